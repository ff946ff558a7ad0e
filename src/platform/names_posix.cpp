// Names and messages where the system's own calls take UTF-8 bytes as they
// are: nothing to convert.
#include <cstdarg>

#include "platform/names.h"

namespace fcplat {

int RunMain(int argc, char** argv, int (*main)(int, char**)) { return main(argc, argv); }

std::FILE* OpenFile(const char* path, const char* mode) { return std::fopen(path, mode); }

bool RemoveFile(const char* path) { return std::remove(path) == 0; }

bool WriteText(std::FILE* stream, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

bool PrintText(std::FILE* stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const bool ok = std::vfprintf(stream, format, args) >= 0;
    va_end(args);
    return ok;
}

}  // namespace fcplat
