#include "server/request_names.h"

#include <cstring>
#include <string>

#include "server/command_handlers.h"
#include "server/request.h"

namespace {

// Beside the name, the request carries a start time: "&stime=" and a
// duration such as "01:23:45.678", with room to spare.
constexpr size_t START_TIME_ROOM = 32;

// A listing line ends at the first line break.
bool HasLineBreak(const std::string& name) {
    return name.find_first_of("\r\n") != std::string::npos;
}

bool IsCommand(const std::string& request, const char* word) {
    const int found = FindCommandWord(request.c_str());
    return found >= 0 && std::strcmp(COMMANDS[found].word, word) == 0;
}

// Texts a request reads as its own syntax, and how a feed title carries them.
struct CuttingText {
    const char* text;
    const char* listed;
};
constexpr CuttingText CUTTING_TEXTS[] = {
    {".pmp", "_pmp"}, {"stime=", "stime-"}, {"listdir", "list dir"}, {"\r", " "}, {"\n", " "},
};

// What the listing may add to a title: the number of an equal title, and both marks.
constexpr size_t LISTED_ADDITIONS_ROOM = 16 + sizeof("[downloading][downloaded]") - 1;

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// Cuts a UTF-8 text to at most `size` bytes without splitting a character.
void CutToCharacters(std::string& text, size_t size) {
    if (text.size() <= size) return;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
    text.resize(size);
}

}  // namespace

std::string RequestSafeTitle(const std::string& title) {
    std::string safe = title;
    for (const CuttingText& cutting : CUTTING_TEXTS) ReplaceAll(safe, cutting.text, cutting.listed);
    const size_t room = REQUEST_MAX_BYTES - START_TIME_ROOM - std::strlen("streamopen filename=") -
                        std::strlen(".pmp") - LISTED_ADDITIONS_ROOM;
    CutToCharacters(safe, room);
    return safe;
}

// The request the client sends for the name, read as "streamopen" reads it.
bool StreamNameSurvivesRequest(const std::string& name) {
    if (HasLineBreak(name)) return false;
    std::string request = "streamopen filename=" + name + ".pmp";
    if (request.size() + START_TIME_ROOM > REQUEST_MAX_BYTES || !IsCommand(request, "streamopen")) return false;
    const char* value = FindRequestValue(request.c_str(), "filename=");
    const char* end = std::strstr(value, ".pmp");
    return std::string(value, end) == name && FindRequestValue(request.c_str(), "stime=") == nullptr;
}

// The request the client sends for the folder, read as "listdir" reads it:
// the limit is found before the path is cut.
bool FolderNameSurvivesRequest(const std::string& name) {
    if (HasLineBreak(name)) return false;
    const std::string path = "\\" + name;
    std::string request = "listdir path=" + path + "&size=4096";
    const char* limit = std::strstr(request.c_str(), "size=");
    const char* expectedLimit = request.c_str() + request.size() - std::strlen("size=4096");
    char* value = FindRequestValue(request.data(), "path=");
    return limit == expectedLimit && CutPathValue(value) == path;
}

std::vector<std::string> FeedItemRequestNames(const CFeed& feed) {
    return FeedItemListedNames(feed, RequestSafeTitle);
}
