#include "server/request.h"

#include <climits>
#include <cstring>
#include <string>

#include "core/text_to_number.h"
#include "server/command_handlers.h"

int FindCommandWord(const char* request) {
    for (int i = 0; i < COMMAND_COUNT; ++i) {
        if (std::strstr(request, COMMANDS[i].word) != nullptr) return i;
    }
    return -1;
}

char* FindRequestValue(char* request, const char* key) {
    char* found = std::strstr(request, key);
    return found ? found + std::strlen(key) : nullptr;
}

const char* FindRequestValue(const char* request, const char* key) {
    const char* found = std::strstr(request, key);
    return found ? found + std::strlen(key) : nullptr;
}

int ReadRequestInt(const char* value) {
    return TextToInt(value);
}

double ReadRequestFloat(const char* value) {
    return TextToDouble(value);
}

int ReadRequestSlot(const char* value) {
    const int handle = ReadRequestInt(value);
    return handle == INT_MIN ? INT_MIN : handle - 1;
}

char* CutPathValue(char* value) {
    char* end = std::strstr(value, "&size");
    if (end == nullptr) end = std::strchr(value, ' ');
    if (end != nullptr) *end = '\0';
    return value;
}
