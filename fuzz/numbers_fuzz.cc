// Numbers in project texts against an exact decimal reference: reading gives the double nearest to
// the decimal (glibc's strtod rounds exactly), 0 or a subnormal where it is too small, the
// overflow error where it is too large, and the type error for anything that is no number;
// writing gives what glibc's exact rounding to 15 significant digits gives, except that an exact
// half goes away from zero.
#include <clocale>
#include <cmath>
#include <cstring>

#include "fuzz_support.h"
#include "ll15/ll24_rules.h"
#include "rewrites/number_text.h"

using namespace llupdate;

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

// The grammar: blanks, a sign, digits with at most one ".", at least one digit, an exponent with
// at least one digit, blanks.
bool IsNumber(const std::string& text) {
  size_t i = 0, n = text.size();
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  while (n > i && (text[n - 1] == ' ' || text[n - 1] == '\t')) --n;
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < n && Digit(text[i])) ++i, ++digits;
  if (i < n && text[i] == '.') {
    for (++i; i < n && Digit(text[i]); ++i) ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent = 0;
    while (i < n && Digit(text[i])) ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == n;
}

void CheckParse(const std::string& text) {
  int error = 0;
  double value = 0;
  try {
    value = rewrites::ParseNumber(text);
  } catch (const Error& e) {
    error = e.number();
  }
  if (!IsNumber(text)) {
    FUZZ_CHECK(error == kTypeMismatch);
    return;
  }
  errno = 0;
  double reference = std::strtod(text.c_str(), nullptr);
  if (std::isinf(reference)) {
    FUZZ_CHECK(error == kOverflow);
    return;
  }
  FUZZ_CHECK(error == 0);
  FUZZ_CHECK(std::memcmp(&value, &reference, sizeof value) == 0 || (value == 0 && reference == 0));
}

// Whether |value| lies exactly halfway between two numbers of 15 significant digits: its exact
// decimal expansion has a 5 as 16th digit and nothing after it.
bool ExactTie(double value) {
  static char buffer[1200];
  std::snprintf(buffer, sizeof buffer, "%.800e", std::fabs(value));  // exact: no double has more
  std::string digits;
  for (const char* p = buffer; *p != 'e'; ++p) {
    if (*p != '.') digits.push_back(*p);
  }
  return digits.size() > 16 && digits.compare(15, 1, "5") == 0 &&
         digits.find_first_not_of('0', 16) == std::string::npos;
}

void CheckFormat(double value) {
  if (!std::isfinite(value)) return;
  std::string text = rewrites::FormatGeneral(value);
  if (value == 0) {
    FUZZ_CHECK(text == "0");
    return;
  }
  FUZZ_CHECK(text.find_first_not_of("0123456789.E+-") == std::string::npos);
  // glibc rounds exactly, halves to even; the general format rounds halves away from zero.
  char rounded[64];
  std::snprintf(rounded, sizeof rounded, "%.14e", value);
  double shown = std::strtod(text.c_str(), nullptr), reference = std::strtod(rounded, nullptr);
  if (!ExactTie(value)) {
    FUZZ_CHECK(shown == reference);
  } else {
    FUZZ_CHECK(std::fabs(shown) > std::fabs(value) && std::signbit(shown) == std::signbit(value));
  }
  // Written with at most 15 significant digits and without trailing zeros in a fraction.
  if (text.find('.') != std::string::npos && text.find('E') == std::string::npos) {
    FUZZ_CHECK(text.back() != '0');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Bytes(data, size);
  if (text.find('\0') != std::string::npos) return 0;
  CheckParse(text);
  if (size == sizeof(double)) {
    double value;
    std::memcpy(&value, data, sizeof value);
    CheckFormat(value);
  }
  for (size_t at = 0; at + sizeof(double) <= size && at < 64; at += sizeof(double)) {
    double value;
    std::memcpy(&value, data + at, sizeof value);
    CheckFormat(value);
  }
  // A file version reads as a leading number; where it reads, it fits 16 bits.
  try {
    int16_t version = ll15::FileVersionNumber(text);
    (void)version;
  } catch (const Error& e) {
    FUZZ_CHECK(e.number() == kOverflow);
  }
  return 0;
}
