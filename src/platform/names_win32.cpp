// Names and messages on Windows: the wide command line and the wide file
// calls take every name whatever the server's code page (the ANSI ones lose
// any character outside it), and a console is written with WriteConsoleW.
#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdarg>
#include <string>
#include <vector>

#include "platform/names.h"
#include "platform/wide_win32.h"

namespace fcplat {
namespace {

bool IsAscii(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

bool WriteBytes(std::FILE* stream, const char* data, std::size_t size) {
    return std::fwrite(data, 1, size, stream) == size;
}

}  // namespace

int RunMain(int argc, char** argv, int (*main)(int, char**)) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return main(argc, argv);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(WideToUtf8(wide[i]));
    ::LocalFree(wide);
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    return main(count, pointers.data());
}

std::FILE* OpenFile(const char* path, const char* mode) {
    return ::_wfopen(Utf8ToWide(path).c_str(), Utf8ToWide(mode).c_str());
}

bool RemoveFile(const char* path) { return ::DeleteFileW(Utf8ToWide(path).c_str()) != 0; }

bool WriteText(std::FILE* stream, const std::string& text) {
    // ASCII reads the same in every code page; text that is no UTF-8 came
    // from elsewhere and is left to its reader.
    const int size = static_cast<int>(text.size());
    if (IsAscii(text) ||
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0) <= 0)
        return WriteBytes(stream, text.data(), text.size());
    const std::wstring wide = Utf8ToWide(text);

    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD consoleMode = 0;
    if (handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &consoleMode)) {
        // What the stream holds goes first; then the characters themselves,
        // in pieces small enough for every console.
        if (std::fflush(stream) != 0) return false;
        constexpr std::size_t kPiece = 4096;
        for (std::size_t at = 0; at < wide.size(); at += kPiece) {
            const DWORD piece = static_cast<DWORD>(std::min(kPiece, wide.size() - at));
            DWORD written = 0;
            if (!::WriteConsoleW(handle, wide.data() + at, piece, &written, nullptr) ||
                written != piece)
                return false;
        }
        return true;
    }

    // A pipe or a file: what a console shell capturing the output decodes it
    // with; characters the code page lacks become its default character.
    UINT codePage = ::GetConsoleOutputCP();
    if (codePage == 0) codePage = CP_UTF8;
    const int wideSize = static_cast<int>(wide.size());
    const int length =
        ::WideCharToMultiByte(codePage, 0, wide.data(), wideSize, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return WriteBytes(stream, text.data(), text.size());
    std::string bytes(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(codePage, 0, wide.data(), wideSize, &bytes[0], length, nullptr, nullptr);
    return WriteBytes(stream, bytes.data(), bytes.size());
}

bool PrintText(std::FILE* stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return length >= 0 && WriteText(stream, text);
}

}  // namespace fcplat
