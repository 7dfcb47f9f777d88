#include "win_strings.h"

namespace llupdate::windows {

std::string Utf8(const wchar_t* text, int length) {
  if (text == nullptr || length <= 0) return "";
  int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

std::string Utf8(BSTR text) {
  return text == nullptr ? "" : Utf8(text, static_cast<int>(SysStringLen(text)));
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return L"";
  int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
  return out;
}

BSTR NewBstr(const std::string& utf8) {
  std::wstring wide = Wide(utf8);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace llupdate::windows
