// Runs a fuzz target over stored inputs, for builds without libFuzzer: every
// file named on the command line, and every file of every folder named on
// it, in name order. A target that finds a fault aborts the run; otherwise
// the exit code is 0 when at least one input was run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay %s (%u bytes)\n", path.string().c_str(),
                 static_cast<unsigned>(bytes.size()));
    std::fflush(stderr);
    // A copy of exactly the input's size, so that reading past its end is
    // caught by the sanitizers as it would be under the fuzzer.
    std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg, ec))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());
    unsigned run = 0;
    for (const auto& f : files) {
        if (!RunFile(f)) {
            std::fprintf(stderr, "cannot read %s\n", f.string().c_str());
            return 1;
        }
        ++run;
    }
    std::fprintf(stderr, "%u inputs replayed\n", run);
    return run > 0 ? 0 : 1;
}
