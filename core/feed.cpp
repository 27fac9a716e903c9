#include "core/feed.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

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
    std::string path = platform::join_path(FeedMoviesFolder(programFolder), name);
    if (!HasSupportedExtension(extensionList, ToUpperAscii(path))) {
        AppendExtensionForMimeType(path, item.m_strType);
    }
    return path;
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
