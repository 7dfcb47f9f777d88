// Numbers in project texts: read as decimal numbers with "." as separator and written the way
// the platform's general number format writes a double.
#pragma once

#include <cstdint>
#include <string>

namespace llupdate::rewrites {

// The number in text (blanks around it allowed): optional sign, digits, optional fraction with
// ".", optional exponent. Anything else is error 13.
double ParseNumber(const std::string& text);

// The number in text as a 16-bit integer, rounded with halves to the even neighbour: error 13
// when the text is not a number, 6 when it is outside 16 bits.
int16_t ToInteger16(const std::string& text);

// At most 15 significant digits, rounded half away from zero; no trailing zeros, no thousands
// separator; exponent form (1E+15, 1.5E-05) from 1E+15 up and below 0.0001. A value that is no
// finite number (none is ever read from a project) is written as 0.
std::string FormatGeneral(double value);

}  // namespace llupdate::rewrites
