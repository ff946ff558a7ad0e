// fcboot-check: will this server boot from the SAN? Reads the adapters,
// changing nothing, and answers in the monitoring-plugin convention.
#include <cstdio>
#include <string>

#include "check/check.h"
#include "platform/names.h"

namespace {

int CheckProgram(int argc, char** argv) {
    std::string out, err;
    const int code = fccheck::CheckMain(argc, argv, &out, &err);
    fcplat::WriteText(stdout, out);
    fcplat::WriteText(stderr, err);
    return code;
}

}  // namespace

int main(int argc, char** argv) { return fcplat::RunMain(argc, argv, CheckProgram); }
