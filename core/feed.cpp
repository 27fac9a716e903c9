#include "core/feed.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

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
    std::string name = LengthPrefix(item.m_strLength) + SafeFileName(item.m_strEnclosureUrl);
    // Only the name's '?': one in the program folder must not move the file elsewhere.
    const size_t question = name.find('?');
    if (question != std::string::npos) name[question] = '_';
    const std::string folder = FeedMoviesFolder(programFolder);
    if (!HasSupportedExtension(extensionList, ToUpperAscii(platform::join_path(folder, name)))) {
        AppendExtensionForMimeType(name, item.m_strType);
    }
    return platform::join_path(folder, FittingFileName(name));
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
