#include "core/text_to_number.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

int TextToInt(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
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

double TextToDouble(const char* text) {
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
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    const double number = strtod_l(std::string(text, end).c_str(), nullptr, cLocale);
    return negative ? -number : number;
}

int KbitTextToBits(const std::string& kbits) {
    const int64_t bits = int64_t{TextToInt(kbits)} * 1000;
    return static_cast<int>(std::clamp<int64_t>(bits, INT_MIN, INT_MAX));
}

float NarrowToFloat(double value) {
    constexpr double largest = std::numeric_limits<float>::max();
    if (value > largest) return std::numeric_limits<float>::infinity();
    if (value < -largest) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}
