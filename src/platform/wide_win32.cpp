// UTF-8 to UTF-16 and back through the system's own conversion.
#include "platform/wide_win32.h"

#include <windows.h>

#include <cstring>

namespace fcplat {
namespace {

std::wstring ToWide(const char* text, std::size_t size) {
    if (size == 0) return std::wstring();
    const int length = static_cast<int>(size);
    const int wideLength = ::MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
    if (wideLength <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text, length, &wide[0], wideLength);
    return wide;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) { return ToWide(text.data(), text.size()); }

std::wstring Utf8ToWide(const char* text) { return ToWide(text, std::strlen(text)); }

std::string WideToUtf8(const wchar_t* text) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string narrow(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(length) - 1);  // the terminating zero
    return narrow;
}

}  // namespace fcplat
