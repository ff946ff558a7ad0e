// fcboot-diff: compares two boot configuration files as a load reads them,
// adapter by adapter, or checks one alone. A file tool: it opens no device.
#include <cstdio>
#include <string>

#include "diff/diff.h"

int main(int argc, char** argv) {
    std::string out, err;
    int code = fcdiff::DiffMain(argc, argv, &out, &err);
    std::fwrite(out.data(), 1, out.size(), stdout);
    // A report that did not reach its reader must not pass for one.
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && code != fcdiff::kDiffTrouble) {
        err += "fcboot-diff: cannot write the report\n";
        code = fcdiff::kDiffTrouble;
    }
    std::fwrite(err.data(), 1, err.size(), stderr);
    return code;
}
