// Runs a fuzz target over stored inputs, for builds without libFuzzer: every
// file named on the command line and every file of every folder named on it,
// in name order. A fault aborts the run; otherwise the exit code is 0 when at
// least one input ran.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (!std::filesystem::is_directory(argv[i], ec)) files.emplace_back(argv[i]);
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
            return 1;
        }
        // Exactly the input's bytes, so that the sanitizers catch a read past
        // the end as they would under the fuzzer.
        const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay %s (%u bytes)\n", path.string().c_str(),
                     static_cast<unsigned>(data.size()));
        std::fflush(stderr);
        LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    }
    std::fprintf(stderr, "%u inputs replayed\n", static_cast<unsigned>(files.size()));
    return files.empty() ? 1 : 0;
}
