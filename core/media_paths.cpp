#include "core/media_paths.h"

#include <algorithm>
#include <strings.h>

namespace {

// A character is one UTF-8 sequence: a lead byte and its continuation bytes.
bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

size_t CharacterCount(const std::string& text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuationByte(c); }));
}

size_t LastCharacterStart(const std::string& text) {
    size_t start = text.size();
    while (start > 0 && IsContinuationByte(text[--start])) {
    }
    return start;
}

bool EndsWith(const std::string& text, size_t length, const std::string& tail) {
    return length >= tail.size() && text.compare(length - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

bool HasSupportedExtension(const std::vector<std::string>& extensionList, std::string name) {
    for (const std::string& extension : extensionList) {
        const std::string dotted = "." + ToUpperAscii(extension);
        if (CharacterCount(name) <= CharacterCount(dotted)) continue;
        // The extension at the very end, or followed by exactly one more character.
        if (EndsWith(name, name.size(), dotted) || EndsWith(name, LastCharacterStart(name), dotted)) return true;
    }
    return false;
}

std::string ClientPathToFileSystem(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string NormalizePathLexically(const std::string& path) {
    const bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        const std::string part = path.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string normal = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) normal += '/';
        normal += parts[i];
    }
    return normal;
}

bool IsPathInsideFolder(const std::string& path, const std::string& folder) {
    if (folder.empty()) return false;
    const std::string inner = NormalizePathLexically(ClientPathToFileSystem(path));
    const std::string outer = NormalizePathLexically(ClientPathToFileSystem(folder));
    if (outer == "/") return !inner.empty() && inner[0] == '/';
    if (outer.empty() || outer == "..") return false;
    if (inner == outer) return true;
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
           inner[outer.size()] == '/';
}

bool IsInsideMediaFolders(const std::string& path, const std::vector<std::string>& mediaFolders) {
    return std::any_of(mediaFolders.begin(), mediaFolders.end(),
                       [&](const std::string& folder) { return IsPathInsideFolder(path, folder); });
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

size_t FindFeedAddress(const std::string& text) {
    const std::string lower = ToLowerAscii(text);
    return std::min(lower.find("http://"), lower.find("https://"));
}
