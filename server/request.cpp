#include "server/request.h"

#include <locale.h>
#include <stdlib.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string>

#include "core/text_to_number.h"

int FindCommandWord(const char* request) {
    for (int i = 0; i < COMMAND_WORD_COUNT; ++i) {
        if (std::strstr(request, COMMAND_WORDS[i]) != nullptr) return i;
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

namespace {

const char* SkipDigits(const char* text) {
    while (std::isdigit(static_cast<unsigned char>(*text))) ++text;
    return text;
}

// End of the exponent that starts at text, or text itself when none is there.
const char* SkipExponent(const char* text) {
    if (*text != 'e' && *text != 'E') return text;
    const char* digits = text + 1;
    if (*digits == '+' || *digits == '-') ++digits;
    const char* end = SkipDigits(digits);
    return end == digits ? text : end;
}

}  // namespace

double ReadRequestFloat(const char* value) {
    const char* text = value;
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    const char* integerEnd = SkipDigits(text);
    const char* end = integerEnd;
    bool anyDigit = integerEnd != text;
    if (*end == '.') {
        const char* fractionEnd = SkipDigits(end + 1);
        anyDigit = anyDigit || fractionEnd != end + 1;
        end = fractionEnd;
    }
    if (!anyDigit) return 0.0;
    end = SkipExponent(end);
    // The "C" locale's decimal point, whatever locale the program runs in.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    const double number = strtod_l(std::string(text, end).c_str(), nullptr, cLocale);
    return negative ? -number : number;
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
