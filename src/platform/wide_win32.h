// UTF-8 and the UTF-16 of Windows' wide calls, for the Windows side of the
// platform layer only.
#pragma once

#include <string>

namespace fcplat {

// Invalid UTF-8 becomes U+FFFD, so a name that was never valid opens
// nothing rather than something else.
std::wstring Utf8ToWide(const std::string& text);
std::wstring Utf8ToWide(const char* text);
std::string WideToUtf8(const wchar_t* text);

}  // namespace fcplat
