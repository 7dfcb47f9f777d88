// Strings between the automation world (BSTR, UTF-16) and the component (UTF-8).
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

namespace llupdate::windows {

std::string Utf8(const wchar_t* text, int length);
std::string Utf8(BSTR text);
std::wstring Wide(const std::string& utf8);
// A new BSTR (the caller frees it).
BSTR NewBstr(const std::string& utf8);

}  // namespace llupdate::windows
