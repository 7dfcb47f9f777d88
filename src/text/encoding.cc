#include "text/encoding.h"

#include <cstring>

namespace llupdate::text {
namespace {

// Code points of the bytes 0x80 to 0x9F; the undefined ones map to themselves.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

int EncodeCp1252(uint32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) {
    return static_cast<int>(code_point);
  }
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == code_point) return 0x80 + i;
  }
  return -1;
}

// Decodes one UTF-8 (or generalised UTF-8) sequence at s[i]; returns its length, or 0 when the
// byte there does not start a valid sequence.
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t* code_point) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    *code_point = c;
    return 1;
  }
  size_t n;
  uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) ||
      (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  *code_point = cp;
  return n;
}

}  // namespace

std::string_view ByteOrderMark(Encoding encoding) {
  switch (encoding) {
    case Encoding::kUtf8Bom:
      return "\xEF\xBB\xBF";
    case Encoding::kUtf16Le:
      return "\xFF\xFE";
    case Encoding::kUtf16Be:
      return "\xFE\xFF";
    default:
      return "";
  }
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The length of the run of ASCII bytes at the start of bytes, eight at a time where it can.
static size_t AsciiRun(std::string_view bytes) {
  size_t i = 0;
  while (i + 8 <= bytes.size()) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

void AppendCp1252AsUtf8(std::string& out, std::string_view bytes) {
  out.reserve(out.size() + bytes.size());
  while (!bytes.empty()) {
    size_t run = AsciiRun(bytes);
    out.append(bytes.data(), run);
    bytes.remove_prefix(run);
    if (bytes.empty()) break;
    unsigned char c = static_cast<unsigned char>(bytes.front());
    AppendUtf8(out, c < 0xA0 ? kCp1252High[c - 0x80] : c);
    bytes.remove_prefix(1);
  }
}

void AppendUtf8AsCp1252(std::string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    size_t run = AsciiRun(utf8.substr(i));
    out.append(utf8.data() + i, run);
    i += run;
    if (i >= utf8.size()) break;
    uint32_t cp = 0;
    size_t n = DecodeUtf8(utf8, i, &cp);
    if (n == 0) {
      out.push_back('?');
      ++i;
      continue;
    }
    int byte = EncodeCp1252(cp);
    out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
    i += n;
  }
}

bool EncodeCp1252Exactly(std::string_view utf8, std::string* bytes) {
  bytes->clear();
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = 0;
    size_t n = DecodeUtf8(utf8, i, &cp);
    int byte = n == 0 ? -1 : EncodeCp1252(cp);
    if (byte < 0) return false;
    bytes->push_back(static_cast<char>(byte));
    i += n;
  }
  return true;
}

size_t AppendUtf16AsUtf8(std::string& out, std::string_view bytes, bool big_endian, bool final) {
  auto unit_at = [&](size_t i) -> uint32_t {
    unsigned char a = static_cast<unsigned char>(bytes[i]);
    unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
    return big_endian ? (static_cast<uint32_t>(a) << 8 | b) : (static_cast<uint32_t>(b) << 8 | a);
  };
  size_t i = 0;
  while (i + 1 < bytes.size()) {
    uint32_t unit = unit_at(i);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 3 < bytes.size()) {
        uint32_t low = unit_at(i + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          i += 4;
          continue;
        }
      } else if (!final) {
        break;  // its partner may come with the next bytes
      }
    }
    AppendUtf8(out, unit);
    i += 2;
  }
  if (final && i < bytes.size()) {
    AppendUtf8(out, 0xFFFD);  // an odd last byte is not a character
    i = bytes.size();
  }
  return i;
}

void AppendUtf8AsUtf16(std::string& out, std::string_view utf8, bool big_endian) {
  auto put = [&out, big_endian](uint32_t unit) {
    char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    out.push_back(big_endian ? high : low);
    out.push_back(big_endian ? low : high);
  };
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = 0;
    size_t n = DecodeUtf8(utf8, i, &cp);
    if (n == 0) {
      put(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
    i += n;
  }
}

std::string DecodeText(std::string_view bytes, Encoding encoding) {
  std::string out;
  switch (encoding) {
    case Encoding::kAnsi:
      AppendCp1252AsUtf8(out, bytes);
      break;
    case Encoding::kUtf8Bom:
      out.assign(bytes);
      break;
    case Encoding::kUtf16Le:
    case Encoding::kUtf16Be:
      AppendUtf16AsUtf8(out, bytes, encoding == Encoding::kUtf16Be, true);
      break;
  }
  return out;
}

void AppendEncoded(std::string& out, std::string_view utf8, Encoding encoding) {
  switch (encoding) {
    case Encoding::kAnsi:
      AppendUtf8AsCp1252(out, utf8);
      break;
    case Encoding::kUtf8Bom:
      out.append(utf8);
      break;
    case Encoding::kUtf16Le:
    case Encoding::kUtf16Be:
      AppendUtf8AsUtf16(out, utf8, encoding == Encoding::kUtf16Be);
      break;
  }
}

std::string EncodeText(std::string_view utf8, Encoding encoding) {
  std::string out;
  AppendEncoded(out, utf8, encoding);
  return out;
}

Encoding DetectEncoding(std::string_view bytes, size_t* mark_length) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    *mark_length = 3;
    return Encoding::kUtf8Bom;
  }
  if (bytes.substr(0, 2) == "\xFF\xFE") {
    *mark_length = 2;
    return Encoding::kUtf16Le;
  }
  if (bytes.substr(0, 2) == "\xFE\xFF") {
    *mark_length = 2;
    return Encoding::kUtf16Be;
  }
  *mark_length = 0;
  return Encoding::kAnsi;
}

}  // namespace llupdate::text
