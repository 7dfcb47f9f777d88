#include "rewrites/number_text.h"

#include <locale.h>
#include <stdlib.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/error.h"

namespace llupdate::rewrites {
namespace {

// strtod in the "C" locale, whatever locale the host set.
double StrtodC(const char* text) {
#ifdef _WIN32
  static const _locale_t c = _create_locale(LC_NUMERIC, "C");
  return _strtod_l(text, nullptr, c);
#else
  static const locale_t c = ::newlocale(LC_NUMERIC_MASK, "C", nullptr);
  return ::strtod_l(text, nullptr, c);
#endif
}

}  // namespace

double ParseNumber(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  size_t end = text.find_last_not_of(" \t");
  auto invalid = [&] { return platform::Error(platform::kTypeMismatch, "\"" + text + "\""); };
  if (begin == std::string::npos) throw invalid();
  std::string number = text.substr(begin, end - begin + 1);

  size_t i = 0;
  if (number[i] == '+' || number[i] == '-') ++i;
  size_t digits = 0;
  while (i < number.size() && std::isdigit(static_cast<unsigned char>(number[i]))) ++i, ++digits;
  if (i < number.size() && number[i] == '.') {
    ++i;
    while (i < number.size() && std::isdigit(static_cast<unsigned char>(number[i]))) ++i, ++digits;
  }
  if (digits == 0) throw invalid();
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    ++i;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < number.size() && std::isdigit(static_cast<unsigned char>(number[i]))) {
      ++i, ++exponent_digits;
    }
    if (exponent_digits == 0) throw invalid();
  }
  if (i != number.size()) throw invalid();

  double value = 0;
  const char* first = number.data() + (number[0] == '+' ? 1 : 0);
  auto [ptr, ec] = std::from_chars(first, number.data() + number.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Out of the normal range: what the C library's exact conversion gives, so that a number too
    // small for a double reads as 0 or as the nearest subnormal, as the platform's conversion has
    // it; too large overflows.
    value = StrtodC(number.c_str());
    ec = std::errc();
    ptr = number.data() + number.size();
  }
  if (ec != std::errc() || ptr != number.data() + number.size() || !std::isfinite(value)) {
    throw platform::Error(platform::kOverflow, "\"" + text + "\"");
  }
  return value;
}

int16_t ToInteger16(const std::string& text) {
  double rounded = std::nearbyint(ParseNumber(text));  // halves go to the even neighbour
  if (rounded < -32768 || rounded > 32767) {
    throw platform::Error(platform::kOverflow, "\"" + text + "\"");
  }
  return static_cast<int16_t>(rounded);
}

std::string FormatGeneral(double value) {
  if (value == 0 || !std::isfinite(value)) return "0";
  // The exact decimal expansion, rounded by hand at the 15th significant digit, half away from
  // zero (printf would round half to even).
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%.80e", std::fabs(value));
  std::string mantissa;
  const char* p = buffer;
  for (; *p != 'e'; ++p) {
    if (*p != '.') mantissa.push_back(*p);
  }
  int exponent = std::atoi(p + 1);
  std::string digits = mantissa.substr(0, 15);
  if (mantissa[15] >= '5') {
    int k = 14;
    while (k >= 0 && digits[static_cast<size_t>(k)] == '9') digits[static_cast<size_t>(k--)] = '0';
    if (k < 0) {
      digits.insert(digits.begin(), '1');
      digits.pop_back();
      ++exponent;
    } else {
      ++digits[static_cast<size_t>(k)];
    }
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = value < 0 ? "-" : "";
  if (exponent >= 15 || exponent < -4) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char tail[16];
    std::snprintf(tail, sizeof tail, "E%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return out + tail;
  }
  if (exponent < 0)
    return out + "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  size_t whole = static_cast<size_t>(exponent) + 1;
  if (digits.size() <= whole) return out + digits + std::string(whole - digits.size(), '0');
  return out + digits.substr(0, whole) + "." + digits.substr(whole);
}

}  // namespace llupdate::rewrites
