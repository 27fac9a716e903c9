#pragma once
// Numbers written as text (request values, INI values, bit-rate texts) read by
// the atoi/atof rules: leading blanks, an optional sign, then digits up to the
// first other character; no digits gives 0. Unlike atoi, a number too large for
// an int saturates instead of being undefined.

#include <string>

int TextToInt(const char* text);
inline int TextToInt(const std::string& text) { return TextToInt(text.c_str()); }

// Decimal digits with an optional "." and fraction and an optional exponent,
// read with the "C" locale's decimal point whatever the program's locale.
double TextToDouble(const char* text);
inline double TextToDouble(const std::string& text) { return TextToDouble(text.c_str()); }

// A kbit/s text (a bit rate as the settings hold it) in bit/s, saturated to
// the int range.
int KbitTextToBits(const std::string& kbits);

// double to 32-bit float; values beyond the float range become +/-infinity.
float NarrowToFloat(double value);
