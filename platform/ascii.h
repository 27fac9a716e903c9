#pragma once
// Letter case of ASCII text, the same in every locale: names on the wire, in
// INI and registry files and on disk compare bytes above 127 unchanged.

#include <string>

namespace platform {

std::string ToUpperAscii(std::string text);
std::string ToLowerAscii(std::string text);

}  // namespace platform
