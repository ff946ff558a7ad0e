// fcboot-emu: runs the utility's main in this process against an emulated
// server, then reports protocol violations, writes the request log and keeps
// the adapters' state in the fleet file.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "capture/capture.h"
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
    std::string capture, show;
    bool has_fleet = false, has_requests = false, has_demo = false;
    bool has_capture = false, has_show = false, allow_incomplete = false;
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
        if (arg == "--allow-incomplete") {
            o->allow_incomplete = true;
            ++i;
            continue;
        }
        if (arg == "--capture") {
            value = &o->capture;
            seen = &o->has_capture;
        } else if (arg == "--show") {
            value = &o->show;
            seen = &o->has_show;
        } else if (arg == "--fleet") {
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
    if (o->has_show &&
        (o->has_fleet || o->has_requests || o->has_capture || o->has_demo || i < argc)) {
        *error = "--show takes no other option or argument";
        return false;
    }
    if (o->has_capture && (o->has_demo || i < argc)) {
        *error = "--capture takes no arguments for fcboot";
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

    if (options.has_show) {
        Fleet shown;
        if (!LoadFleetFile(options.show, &shown, &error)) return OwnError(error);
        return ShowFleet(shown, stdout);
    }

    Fleet fleet;
    if (options.has_fleet) {
        if (!LoadFleetFile(options.fleet, &fleet, &error)) return OwnError(error);
    } else {
        fleet = DemoFleet();
    }
    // A rehearsal must not run against a twin that is known to be wrong.
    if (fcfleet::HasIncompleteDevice(fleet) && !options.allow_incomplete)
        return OwnError(options.fleet +
                        " holds devices a capture could not read whole (their "
                        "\"incomplete\" field says what is missing); --allow-incomplete serves it "
                        "all the same");

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
    const int exitCode = options.has_capture
                             ? fccapture::RunCapture(options.capture, stderr, "fcboot-emu")
                             : fcboot::FcbootMain(static_cast<int>(args.size() - 1), args.data());
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
    // The adapters' state is kept whatever the utility's exit code; a
    // capture changes none.
    if (options.has_fleet && !options.has_capture &&
        !SaveFleetFile(options.fleet, CurrentFleet(), &error)) {
        OwnError(error + "; the adapters' new state is lost");
        ownFailure = true;
    }
    // A run whose state or log could not be kept must not look like a
    // success of the utility.
    return ownFailure ? kEmuOwnError : exitCode;
}

}  // namespace fcemu
