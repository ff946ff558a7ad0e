// The benchmarks' shared command line (--quick for the smoke run) and their scratch folder.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace fcbench {

// Sets *quick from the only option there is; false after the usage line on
// anything else.
inline bool ParseQuick(int argc, char** argv, const char* program, bool* quick) {
    *quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") != 0) {
            std::fprintf(stderr, "usage: %s [--quick]\n", program);
            return false;
        }
        *quick = true;
    }
    return true;
}

// A folder of this process's own under the system's temporary folder.
inline std::filesystem::path ScratchDir(const char* program) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      (std::string("fcboot-") + program + "-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace fcbench
