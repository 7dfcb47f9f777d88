#include "text/text.h"

#include <charconv>
#include <cmath>
#include <string>

namespace llupdate::text {

std::string FoldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c + 32));
    } else if ((c == 0xC3 || c == 0xC4 || c == 0xC5) && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
      unsigned char d = static_cast<unsigned char>(text[i + 1]);
      unsigned code = ((c & 0x1Fu) << 6) | (d & 0x3Fu);
      if (code >= 0xC0 && code <= 0xDE && code != 0xD7) {
        code += 0x20;  // Latin-1 capitals
      } else if (code >= 0x100 && code <= 0x17E) {
        // Latin Extended-A: capitals and small letters alternate, with two changes of parity.
        bool odd_capitals = (code >= 0x139 && code <= 0x148) || code >= 0x179;
        bool capital = odd_capitals ? (code % 2 == 1) : (code % 2 == 0);
        if (capital && code != 0x130 && code != 0x138 && code != 0x149 && code != 0x178) ++code;
      }
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return FoldCase(a) == FoldCase(b);
}

std::string TrimSpaces(std::string_view text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return text;
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (c >= 'a' && c <= 'z') {
      out[i] = static_cast<char>(c - 32);
    } else if (c == 0xC3 && i + 1 < out.size()) {
      unsigned char d = static_cast<unsigned char>(out[i + 1]);
      if (d >= 0xA0 && d <= 0xBE && d != 0xB7) out[i + 1] = static_cast<char>(d - 0x20);
      ++i;
    }
  }
  return out;
}

std::string_view FirstCharacters(std::string_view text, size_t count) {
  size_t end = 0;
  for (size_t seen = 0; end < text.size() && seen < count; ++seen) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  }
  return text.substr(0, end);
}

std::string_view LastCharacters(std::string_view text, size_t count) {
  size_t start = text.size();
  for (size_t seen = 0; seen < count && start > 0;) {
    --start;
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) ++seen;
  }
  return text.substr(start);
}

bool NameLess(std::string_view a, std::string_view b) {
  std::string fa = FoldCase(a), fb = FoldCase(b);
  if (fa != fb) return fa < fb;
  return a < b;
}

double LeadingNumber(std::string_view text) {
  std::string trimmed = TrimSpaces(text);
  auto digit = [&](size_t at) {
    return at < trimmed.size() && trimmed[at] >= '0' && trimmed[at] <= '9';
  };
  size_t end = 0;
  if (end < trimmed.size() && (trimmed[end] == '+' || trimmed[end] == '-')) ++end;
  size_t digits = 0;
  for (; digit(end); ++end) ++digits;
  if (end < trimmed.size() && trimmed[end] == '.') {
    for (++end; digit(end); ++end) ++digits;
  }
  if (digits == 0) return 0;
  if (end < trimmed.size() && (trimmed[end] == 'e' || trimmed[end] == 'E')) {
    size_t exponent = end + 1;
    if (exponent < trimmed.size() && (trimmed[exponent] == '+' || trimmed[exponent] == '-')) {
      ++exponent;
    }
    if (digit(exponent)) {
      for (end = exponent; digit(end);) ++end;
    }
  }
  const char* first = trimmed.data() + (trimmed[0] == '+' ? 1 : 0);
  double value = 0;
  auto [ptr, error] = std::from_chars(first, trimmed.data() + end, value);
  (void)ptr;
  if (error == std::errc::result_out_of_range) {
    // Out of range: too large is an overflow, too small reads as 0, as the platform has it.
    size_t e = trimmed.find_first_of("eE");
    bool tiny = e != std::string::npos && e + 1 < end && trimmed[e + 1] == '-';
    bool negative = trimmed[0] == '-';
    if (tiny) return negative ? -0.0 : 0.0;
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  return value;
}

}  // namespace llupdate::text
