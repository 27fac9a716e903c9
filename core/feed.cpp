#include "core/feed.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/media_paths.h"
#include "platform/paths.h"

namespace {

uint64_t NextFeedId() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

// Only a count of bytes may stand in front of the name.
std::string LengthPrefix(const std::string& length) {
    const bool digits = std::all_of(length.begin(), length.end(),
                                    [](unsigned char c) { return std::isdigit(c) != 0; });
    return digits ? length : std::string();
}

// The URL's last segment, unless it could name anything but a file in MOVIES.
std::string SafeFileName(const std::string& url) {
    const std::string name = UrlLastSegment(url);
    if (name.empty() || name == "." || name == ".." || name.find('\\') != std::string::npos) {
        return FEED_ITEM_SAFE_NAME;
    }
    return name;
}

// The longest file name the file systems here take, in bytes.
constexpr size_t MAX_FILE_NAME_BYTES = 255;
// What a shortened name keeps of its end: the extension and a little before it.
constexpr size_t KEPT_END_BYTES = 16;

bool IsUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// FNV-1a: the same name gives the same mark in every run.
uint64_t NameHash(const std::string& name) {
    uint64_t hash = 1469598103934665603ull;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// A name too long for a file becomes its start, a mark made from the whole
// name (so names that differ anywhere stay apart) and its end; cuts fall
// between characters.
std::string FittingFileName(const std::string& name) {
    if (name.size() <= MAX_FILE_NAME_BYTES) return name;
    char mark[32];
    std::snprintf(mark, sizeof mark, "~%016llx", static_cast<unsigned long long>(NameHash(name)));
    size_t endStart = name.size() - KEPT_END_BYTES;
    while (endStart < name.size() && IsUtf8Continuation(name[endStart])) ++endStart;
    size_t startLength = MAX_FILE_NAME_BYTES - std::strlen(mark) - (name.size() - endStart);
    while (startLength > 0 && IsUtf8Continuation(name[startLength])) --startLength;
    return name.substr(0, startLength) + mark + name.substr(endStart);
}

// A file the item's enclosure can be: a folder, a device or a link to one is none.
bool IsRegularFile(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::is_regular_file(path, error);
}

bool HasServedExtension(const std::string& folder, const std::string& name,
                        const std::vector<std::string>& extensionList) {
    return HasSupportedExtension(extensionList, ToUpperAscii(platform::join_path(folder, name)));
}

// The mark goes before the name's extension, so it keeps its type.
std::string WithMark(const std::string& name, const std::string& mark, bool served) {
    const size_t dot = name.rfind('.');
    if (!served || dot == std::string::npos) return name + mark;
    return name.substr(0, dot) + mark + name.substr(dot);
}

// "<length><last URL segment>" (first '?' made '_'), with the mark when one
// is given, and an extension from the MIME type when it has no served one.
std::string ItemPath(const std::string& programFolder, const CFeedItem& item,
                     const std::vector<std::string>& extensionList, const std::string& mark) {
    std::string name = LengthPrefix(item.m_strLength) + SafeFileName(item.m_strEnclosureUrl);
    // Only the name's '?': one in the program folder must not move the file elsewhere.
    const size_t question = name.find('?');
    if (question != std::string::npos) name[question] = '_';
    const std::string folder = FeedMoviesFolder(programFolder);
    if (!mark.empty()) name = WithMark(name, mark, HasServedExtension(folder, name, extensionList));
    if (!HasServedExtension(folder, name, extensionList)) AppendExtensionForMimeType(name, item.m_strType);
    return platform::join_path(folder, FittingFileName(name));
}

// The name marked with the whole enclosure URL, for an item whose plain name
// another URL would have too.
std::string MarkedPath(const std::string& programFolder, const CFeedItem& item,
                       const std::vector<std::string>& extensionList) {
    char mark[32];
    std::snprintf(mark, sizeof mark, "~%016llx",
                  static_cast<unsigned long long>(NameHash(item.m_strEnclosureUrl)));
    return ItemPath(programFolder, item, extensionList, mark);
}

// The title, or when an earlier item was given it, the title with the first
// number that no item's title is and no item was given.
std::string FreeName(const std::string& title, const std::set<std::string>& titles,
                     const std::set<std::string>& given) {
    if (given.count(title) == 0) return title;
    for (int n = 2;; ++n) {
        std::string name = title + " (" + std::to_string(n) + ")";
        if (titles.count(name) == 0 && given.count(name) == 0) return name;
    }
}

}  // namespace

CFeed::CFeed() : m_nId(NextFeedId()) {}

std::string FeedMoviesFolder(const std::string& programFolder) {
    return platform::join_path(programFolder, "MOVIES");
}

std::string UrlLastSegment(const std::string& url) {
    const size_t lastSlash = url.rfind('/');
    return lastSlash == std::string::npos ? url : url.substr(lastSlash + 1);
}

std::string FeedItemLocalPath(const std::string& programFolder, const CFeedItem& item,
                              const std::vector<std::string>& extensionList) {
    return ItemPath(programFolder, item, extensionList, "");
}

uint64_t FeedItemLength(const CFeedItem& item) {
    const std::string digits = LengthPrefix(item.m_strLength);
    if (digits.empty() || digits.size() > 19) return 0;  // more than 19 digits: no real size
    return std::strtoull(digits.c_str(), nullptr, 10);
}

CFeedItemFiles::CFeedItemFiles(const std::string& programFolder, const std::vector<std::string>& extensionList,
                               const std::list<CFeedPtr>& feeds)
    : m_strProgramFolder(programFolder), m_extensionList(extensionList) {
    for (const CFeedPtr& feed : feeds) {
        for (const CFeedItemPtr& item : feed->m_items) {
            m_urlsByPath[FeedItemLocalPath(programFolder, *item, extensionList)].insert(item->m_strEnclosureUrl);
        }
    }
}

bool CFeedItemFiles::OwnsSharedName(const CFeedItem& item, const std::string& path) const {
    const auto found = m_urlsByPath.find(path);
    if (found == m_urlsByPath.end()) return true;
    return std::all_of(found->second.begin(), found->second.end(),
                       [&](const std::string& url) { return url == item.m_strEnclosureUrl; });
}

std::string CFeedItemFiles::DownloadPath(const CFeedItem& item) const {
    const std::string shared = FeedItemLocalPath(m_strProgramFolder, item, m_extensionList);
    return OwnsSharedName(item, shared) ? shared : MarkedPath(m_strProgramFolder, item, m_extensionList);
}

std::string CFeedItemFiles::FileOnDisk(const CFeedItem& item) const {
    if (item.m_nState.load() == FEED_ITEM_DONE && IsRegularFile(item.m_strLocalPath)) return item.m_strLocalPath;
    const std::string marked = MarkedPath(m_strProgramFolder, item, m_extensionList);
    if (IsRegularFile(marked)) return marked;
    const std::string shared = FeedItemLocalPath(m_strProgramFolder, item, m_extensionList);
    return OwnsSharedName(item, shared) && IsRegularFile(shared) ? shared : std::string();
}

std::vector<std::string> FeedItemListedNames(const CFeed& feed, ListableTitle listable) {
    std::vector<std::string> listed;
    for (const CFeedItemPtr& item : feed.m_items) {
        listed.push_back(listable != nullptr ? listable(item->m_strTitle) : item->m_strTitle);
    }
    const std::set<std::string> titles(listed.begin(), listed.end());
    std::set<std::string> given;
    std::vector<std::string> names;
    for (const std::string& title : listed) {
        names.push_back(FreeName(title, titles, given));
        given.insert(names.back());
    }
    return names;
}

void AppendExtensionForMimeType(std::string& path, const std::string& type) {
    struct TypeExtension {
        const char* type;
        const char* extension;
    };
    static const TypeExtension TABLE[] = {
        {"video/mpeg", ".mpg"},      {"video/mpg", ".mpg"},       {"video/quicktime", ".mov"},
        {"video/avi", ".avi"},       {"video/x-msvideo", ".avi"}, {"audio/mp3", ".mp3"},
    };
    for (const TypeExtension& entry : TABLE) {
        if (strcasecmp(type.c_str(), entry.type) == 0) {
            path += entry.extension;
            return;
        }
    }
    path += ".mpg";
}
