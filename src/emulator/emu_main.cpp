// fcboot-emu: runs the utility's main in this process against an emulated
// server, then reports protocol violations, writes the request log and keeps
// the adapters' state in the fleet file.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "frontend/frontend.h"

namespace fcemu {
namespace {

int OwnError(const std::string& what) {
    std::fprintf(stderr, "fcboot-emu: %s\n", what.c_str());
    std::fflush(stderr);
    return kEmuOwnError;
}

struct Options {
    std::string fleet;
    std::string requests;
    std::string demo_out;
    bool has_fleet = false, has_requests = false, has_demo = false;
    int first_arg = 1;  // index of the utility's first argument
};

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
    int i = 1;
    while (i < argc) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.compare(0, 2, "--") != 0) break;
        std::string* value = nullptr;
        bool* seen = nullptr;
        if (arg == "--fleet") {
            value = &o->fleet;
            seen = &o->has_fleet;
        } else if (arg == "--requests") {
            value = &o->requests;
            seen = &o->has_requests;
        } else if (arg == "--write-demo-fleet") {
            value = &o->demo_out;
            seen = &o->has_demo;
        } else {
            *error = "bad option: " + arg;
            return false;
        }
        if (*seen) {
            *error = arg + " given twice";
            return false;
        }
        if (i + 1 >= argc) {
            *error = arg + " needs a file name";
            return false;
        }
        *seen = true;
        *value = argv[i + 1];
        i += 2;
    }
    o->first_arg = i;
    if (o->has_demo && (o->has_fleet || o->has_requests || i < argc)) {
        *error = "--write-demo-fleet takes no other option or argument";
        return false;
    }
    return true;
}

}  // namespace

int FcbootEmuMain(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) return OwnError(error);

    if (options.has_demo) {
        if (!SaveFleetFile(options.demo_out, DemoFleet(), &error)) return OwnError(error);
        return 0;
    }

    Fleet fleet;
    if (options.has_fleet) {
        if (!LoadFleetFile(options.fleet, &fleet, &error)) return OwnError(error);
    } else {
        fleet = DemoFleet();
    }

    // Opened before the run so that an unwritable log stops us before the
    // utility has touched any adapter.
    std::ofstream requests;
    if (options.has_requests) {
        requests.open(options.requests, std::ios::binary | std::ios::trunc);
        if (!requests) return OwnError("cannot write " + options.requests);
    }

    std::vector<char*> args;
    static char programName[] = "fcboot";
    args.push_back(programName);
    for (int i = options.first_arg; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

    fcboot::ResetUtilityState();
    StartServer(fleet);
    const int exitCode = fcboot::FcbootMain(static_cast<int>(args.size() - 1), args.data());
    std::fflush(stdout);
    StopServer();

    for (const std::string& v : Violations())
        std::fprintf(stderr, "fcboot-emu: protocol violation: %s\n", v.c_str());
    std::fflush(stderr);

    bool ownFailure = false;
    if (options.has_requests) {
        for (const RequestRecord& r : RequestLog()) requests << r.ToJson() << '\n';
        requests.flush();
        if (!requests) {
            OwnError("cannot write " + options.requests);
            ownFailure = true;
        }
    }
    // The adapters' state is kept whatever the utility's exit code.
    if (options.has_fleet && !SaveFleetFile(options.fleet, CurrentFleet(), &error)) {
        OwnError(error + "; the adapters' new state is lost");
        ownFailure = true;
    }
    // A run whose state or log could not be kept must not look like a
    // success of the utility.
    return ownFailure ? kEmuOwnError : exitCode;
}

}  // namespace fcemu
