#pragma once
// Numbers written as text (request values, INI values, bit-rate texts) read by
// the atoi/atof rules: leading blanks, an optional sign, then digits up to the
// first other character; no digits gives 0. Unlike atoi, a number too large for
// an int saturates instead of being undefined.

#include <string>

int TextToInt(const char* text);
inline int TextToInt(const std::string& text) { return TextToInt(text.c_str()); }

double TextToDouble(const char* text);
inline double TextToDouble(const std::string& text) { return TextToDouble(text.c_str()); }

// double to 32-bit float; values beyond the float range become +/-infinity.
float NarrowToFloat(double value);
