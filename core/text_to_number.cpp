#include "core/text_to_number.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>

int TextToInt(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

double TextToDouble(const char* text) {
    return std::strtod(text, nullptr);
}

float NarrowToFloat(double value) {
    constexpr double largest = std::numeric_limits<float>::max();
    if (value > largest) return std::numeric_limits<float>::infinity();
    if (value < -largest) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}
