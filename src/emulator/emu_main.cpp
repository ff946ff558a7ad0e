// fcboot-emu: runs the utility's main in this process against an emulated
// server, then reports protocol violations, writes the request log and keeps
// the adapters' state in the fleet file.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "frontend/frontend.h"

namespace fcemu {
namespace {

const char kUsage[] =
    "usage: fcboot-emu [--fleet FILE] [--requests FILE] [--] ARG...\n"
    "       fcboot-emu --write-demo-fleet FILE\n"
    "Runs fcboot with ARG... (/s FILE, /l FILE, ...) against an emulated server:\n"
    "the fleet file (default: the built-in two-adapter demo server), written back\n"
    "when the run changed what the adapters hold.\n"
    "  --requests FILE          every request sent to the adapters, one JSON line each\n"
    "  --write-demo-fleet FILE  writes the demo server as a new fleet file\n"
    "  --help, --version        this text; the version line\n"
    "Exit code: fcboot's, or 125 for fcboot-emu's own errors.\n";

int OwnError(const std::string& what, bool withUsage = false) {
    std::fprintf(stderr, "fcboot-emu: %s\n%s", what.c_str(), withUsage ? kUsage : "");
    std::fflush(stderr);
    return kEmuOwnError;
}

struct Options {
    std::string fleet;
    std::string requests;
    std::string demo_out;
    bool has_fleet = false, has_requests = false, has_demo = false;
    bool help = false, version = false;
    bool bad_option = false;
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
        if (arg == "--help" || arg == "--version") {
            (arg == "--help" ? o->help : o->version) = true;
            ++i;
            continue;
        }
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
            *error = "unknown option: " + arg;
            o->bad_option = true;
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
    if (!ParseOptions(argc, argv, &options, &error)) return OwnError(error, options.bad_option);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        fcboot::PrintVersion();
        return 0;
    }

    if (options.has_demo) {
        // A fleet file may describe a real server: never replace one. (A
        // name that cannot be looked up is left to the write to report.)
        std::error_code ec;
        const auto type = std::filesystem::symlink_status(options.demo_out, ec).type();
        if (type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none)
            return OwnError(options.demo_out + " exists; not overwritten");
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
    // The adapters' state is kept whatever the utility's exit code, and only
    // a run that changed it writes: a save leaves the fleet file untouched,
    // even where it could not be written.
    const Fleet after = CurrentFleet();
    if (options.has_fleet && SerializeFleet(after) != SerializeFleet(fleet) &&
        !SaveFleetFile(options.fleet, after, &error)) {
        OwnError(error + "; the adapters' new state is lost");
        ownFailure = true;
    }
    // A run whose state or log could not be kept must not look like a
    // success of the utility.
    return ownFailure ? kEmuOwnError : exitCode;
}

}  // namespace fcemu
