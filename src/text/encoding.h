// The encodings of project text. Component strings are UTF-8; file content is converted from its
// own encoding on reading and back on writing:
//  - no byte order mark: 8-bit Windows-1252, one byte per character. The five bytes that
//    Windows-1252 leaves undefined map to the control characters of the same value, so all 256
//    byte values survive a read and a write.
//  - UTF-8 with its mark: passed through as it is.
//  - UTF-16LE (or UTF-16BE) with its mark: unpaired surrogates are carried in the generalised UTF-8
//  form, so
//    that even a damaged file is written back as it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace llupdate::text {

enum class Encoding { kAnsi, kUtf8Bom, kUtf16Le, kUtf16Be };

// The byte order mark of an encoding ("" for kAnsi).
std::string_view ByteOrderMark(Encoding encoding);

// Appends one code point in UTF-8 (surrogates in the generalised form).
void AppendUtf8(std::string& out, uint32_t code_point);

// Windows-1252 bytes to UTF-8, appended to out.
void AppendCp1252AsUtf8(std::string& out, std::string_view bytes);

// UTF-8 to Windows-1252 bytes, appended to out; characters that Windows-1252 lacks become "?".
void AppendUtf8AsCp1252(std::string& out, std::string_view utf8);
// The Windows-1252 bytes of a UTF-8 text; false when a character has none (or the text is no
// valid UTF-8), so that the bytes stand for exactly that text.
bool EncodeCp1252Exactly(std::string_view utf8, std::string* bytes);

// UTF-16 code units (little or big endian) to UTF-8, appended to out. Decodes whole units only
// and returns the number of bytes consumed; a high surrogate at the end is left for the next call
// unless final is true.
size_t AppendUtf16AsUtf8(std::string& out, std::string_view bytes, bool big_endian, bool final);

// UTF-8 to UTF-16 code units (little or big endian), appended to out.
void AppendUtf8AsUtf16(std::string& out, std::string_view utf8, bool big_endian);

// UTF-8 text in an encoding (without its mark), appended to out.
void AppendEncoded(std::string& out, std::string_view utf8, Encoding encoding);

// Converts file bytes (without the mark) to UTF-8 and back.
std::string DecodeText(std::string_view bytes, Encoding encoding);
std::string EncodeText(std::string_view utf8, Encoding encoding);

// Reads the mark at the start of bytes: the encoding and the length of the mark.
Encoding DetectEncoding(std::string_view bytes, size_t* mark_length);

}  // namespace llupdate::text
