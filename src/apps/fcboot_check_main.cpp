// fcboot-check: will this server boot from the SAN? Reads the adapters,
// changing nothing, and answers in the monitoring-plugin convention.
#include <cstdio>
#include <string>

#include "check/check.h"

int main(int argc, char** argv) {
    std::string out, err;
    const int code = fccheck::CheckMain(argc, argv, &out, &err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return code;
}
