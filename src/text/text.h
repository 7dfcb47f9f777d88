// Small text helpers on UTF-8 component strings.
#pragma once

#include <string>
#include <string_view>

namespace llupdate::text {

// The text with letter case folded for comparisons that ignore case: ASCII, Latin-1 and
// Latin Extended-A letters are lowered; every other byte sequence stays as it is.
std::string FoldCase(std::string_view text);

// True when both texts are equal ignoring letter case (as FoldCase defines it).
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The text without leading and trailing spaces (blanks in the sense of the classic Trim).
std::string TrimSpaces(std::string_view text);

// The text with the letters a to z in capitals; every other character stays.
std::string UpperAscii(std::string text);

// The text in capitals: ASCII and Latin-1 letters (so "müller" becomes "MÜLLER").
std::string UpperCase(std::string_view text);

// The first or the last count characters (code points) of a UTF-8 text, all of it when shorter.
std::string_view FirstCharacters(std::string_view text, size_t count);
std::string_view LastCharacters(std::string_view text, size_t count);

// The leading number of the text after its spaces, as the platform's conversion reads it:
// optional sign, digits, optional fraction and exponent; 0 when there is none. A number too
// large for a double is an infinity (so it overflows every narrower type), one too small is 0.
double LeadingNumber(std::string_view text);

// Orders names the way listings are shown: by folded name, then by exact bytes.
bool NameLess(std::string_view a, std::string_view b);

}  // namespace llupdate::text
