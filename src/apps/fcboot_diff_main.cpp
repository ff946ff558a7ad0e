// fcboot-diff: compares two boot configuration files as a load reads them,
// adapter by adapter, or checks one alone. A file tool: it opens no device.
#include <cstdio>
#include <string>

#include "diff/diff.h"
#include "platform/names.h"

namespace {

int DiffProgram(int argc, char** argv) {
    std::string out, err;
    int code = fcdiff::DiffMain(argc, argv, &out, &err);
    const bool wrote = fcplat::WriteText(stdout, out);
    // A report that did not reach its reader must not pass for one.
    if ((!wrote || std::fflush(stdout) != 0 || std::ferror(stdout)) &&
        code != fcdiff::kDiffTrouble) {
        err += "fcboot-diff: cannot write the report\n";
        code = fcdiff::kDiffTrouble;
    }
    fcplat::WriteText(stderr, err);
    return code;
}

}  // namespace

int main(int argc, char** argv) { return fcplat::RunMain(argc, argv, DiffProgram); }
