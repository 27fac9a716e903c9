#pragma once
// Which names a listing may offer. The client sends a listed name back inside
// its next request, where the request syntax reads it: a name holding a key or
// the text that ends a value would be cut or read as a parameter there, and
// its entry would be listed but never open.

#include <string>
#include <vector>

#include "core/feed.h"

// A "stream:/" name (a file name, or a feed item's title with what the listing
// adds to it, before ".pmp") that "streamopen filename=NAME.pmp" hands to the
// command whole: no ".pmp" inside (the name ends at the first), no "stime="
// (the start time would be read from the name), no command word tested before
// "streamopen", no line break, and room left for a start time.
bool StreamNameSurvivesRequest(const std::string& name);

// A "dir:/" name that "listdir path=...\NAME&size=N" hands to the listing
// whole: no "&size" (the path ends at the first) and no "size=" (the limit
// and the settings keys would be read from the name), no line break.
bool FolderNameSurvivesRequest(const std::string& name);

// A feed item's title is only the key of its entry, so where the request would
// cut it the entry carries it with those texts broken up ("Has .pmp inside" as
// "Has _pmp inside", an over-long title shortened), and "streamopen" finds the
// item by that listed name.
std::string RequestSafeTitle(const std::string& title);

// The names the listing gives a feed's items and "streamopen" finds them by:
// one function for both, so that every listed entry opens its own item.
std::vector<std::string> FeedItemRequestNames(const CFeed& feed);
