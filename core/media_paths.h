#pragma once
// Media file names and folder paths: the extension test shared by the listing,
// the RSS reader and the enclosure download, and the containment test that
// keeps a client inside the media folders.

#include <string>
#include <vector>

#include "platform/ascii.h"

// True when the upper-cased name ends in "." + one of the extensions (any case),
// or in that followed by exactly one more character. The name must be longer
// than the dot and the extension.
bool HasSupportedExtension(const std::vector<std::string>& extensionList, std::string name);

// Every "\" of a client path made "/".
std::string ClientPathToFileSystem(std::string path);

// "." and ".." resolved and repeated "/" collapsed, without touching the file
// system; no trailing "/" except for "/" itself. ".." at the root stays there.
std::string NormalizePathLexically(const std::string& path);

// True when path, after "\" becomes "/" and both are resolved lexically, is
// folder or lies below it. An empty folder contains nothing.
bool IsPathInsideFolder(const std::string& path, const std::string& folder);

// True when path lies inside (or is) one of the media folders.
bool IsInsideMediaFolders(const std::string& path, const std::vector<std::string>& mediaFolders);

// True when text begins with prefix, ASCII letters compared without case.
bool StartsWithNoCase(const std::string& text, const std::string& prefix);

// Where a feed address ("http://" or "https://", any letter case) begins in
// the text; std::string::npos when none does.
size_t FindFeedAddress(const std::string& text);

using platform::ToLowerAscii;
using platform::ToUpperAscii;
