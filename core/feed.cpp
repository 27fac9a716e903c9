#include "core/feed.h"

#include <strings.h>

#include "core/media_paths.h"

std::string FeedItemLocalPath(const std::string& programFolder, const CFeedItem& item,
                              const std::vector<std::string>& extensionList) {
    const size_t lastSlash = item.m_strEnclosureUrl.rfind('/');
    const std::string fileName =
        lastSlash == std::string::npos ? item.m_strEnclosureUrl : item.m_strEnclosureUrl.substr(lastSlash + 1);
    std::string path = programFolder + "/MOVIES/" + item.m_strLength + fileName;
    const size_t question = path.find('?');
    if (question != std::string::npos) path[question] = '_';
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
