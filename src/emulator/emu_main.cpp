// fcboot-emu: runs the utility's main in this process against an emulated
// server (or, serving, a program of its own through the emulator's driver),
// then reports protocol violations, writes the request log and keeps the
// adapters' state in the fleet file.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "check/check.h"
#include "emulator/emulator.h"
#include "emulator/serving.h"
#include "frontend/frontend.h"
#include "platform/emulated_backend.h"
#include "platform/names.h"
#include "platform/server_lock.h"
#include "remap/remap.h"

namespace fcemu {
namespace {

const char kUsage[] =
    "usage: fcboot-emu [--fleet FILE] [--requests FILE] [--allow-incomplete] [--] ARG...\n"
    "       fcboot-emu [--fleet FILE] [--requests FILE] [--allow-incomplete] --capture OUT\n"
    "       fcboot-emu [--fleet FILE] [--requests FILE] [--allow-incomplete] --check [CHECK-ARG...]\n"
    "       fcboot-emu [--fleet FILE] [--requests FILE] [--allow-incomplete] --remap BEFORE IN OUT\n"
    "       fcboot-emu --show FLEET\n"
    "       fcboot-emu --write-demo-fleet FILE\n"
    "       fcboot-emu --serve [--fleet FILE] [--requests FILE] --run PROGRAM ARG...\n"
    "Runs fcboot with ARG... (/s FILE, /l FILE, ...) against an emulated server:\n"
    "the fleet file (default: the built-in two-adapter demo server), written back\n"
    "when the run changed what the adapters hold.\n"
    "  --requests FILE          every request sent to the adapters, one JSON line each\n"
    "  --allow-incomplete       serves a fleet a capture could not read whole\n"
    "  --capture OUT            captures the emulated server into the fleet file OUT\n"
    "  --check [CHECK-ARG...]   runs fcboot-check (--expect FILE, --json, ...) against\n"
    "                           the emulated server; its exit code is the check's\n"
    "  --remap BEFORE IN OUT    runs fcboot-capture --remap against the emulated server:\n"
    "                           IN's sections of replaced adapters moved to their\n"
    "                           successors in OUT\n"
    "  --show FLEET             prints what each adapter of a fleet file holds\n"
    "  --write-demo-fleet FILE  writes the demo server as a new fleet file\n"
    "  --serve ... --run        serves PROGRAM's device requests through the emulator's\n"
    "                           test driver; for the source tree's Windows build with\n"
    "                           scripts/fcboot-emu-wine.sh: the packages hold neither\n"
    "  --help, --version        this text; the version line\n"
    "Exit code: fcboot's (the capture's, the check's, the remap's), or 125 for fcboot-emu's own\n"
    "errors (with --check: 3, UNKNOWN, with a status line saying what went wrong).\n";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The fleet file is the emulated server, and its lock the server's lock:
// runs on one fleet take turns as programs on one server do. Whoever holds
// the lock reads the fleet then (another run may have changed it meanwhile)
// and writes it back before letting go.
struct FleetLock {
    std::string path;
    bool serving = false;  // the served program's fleet is read here, served by RunServed
    Fleet read;            // the fleet as read under the lock
    bool taken = false;
    bool keep = true;      // false: the run proves nothing, the file stays as it was
    std::string error;     // the fleet could not be read or written back
};

void FleetTaken(void* context) {
    FleetLock& lock = *static_cast<FleetLock*>(context);
    lock.taken = true;
    Fleet fresh;
    std::string error;
    if (!LoadFleetFile(lock.path, &fresh, &error)) {
        // Served as a server without adapters: nothing may change.
        lock.error = error;
        lock.keep = false;
        fresh = Fleet();
    }
    lock.read = fresh;
    if (!lock.serving) StartServer(fresh);
}

void FleetReleasing(void* context) {
    FleetLock& lock = *static_cast<FleetLock*>(context);
    if (!lock.keep) return;
    std::string error;
    const Fleet after = CurrentFleet();
    if (SerializeFleet(after) != SerializeFleet(lock.read) &&
        !SaveFleetFile(lock.path, after, &error))
        lock.error = error + "; the adapters' new state is lost";
}

// The first of fcboot-emu's own errors, for the status line of a --check.
std::string g_ownError;

int OwnError(const std::string& what, bool withUsage = false) {
    if (g_ownError.empty()) g_ownError = what;
    fcplat::PrintText(stderr, "fcboot-emu: %s\n%s", what.c_str(), withUsage ? kUsage : "");
    std::fflush(stderr);
    return kEmuOwnError;
}

struct Options {
    std::string fleet;
    std::string requests;
    std::string demo_out;
    std::string capture, show;
    bool has_fleet = false, has_requests = false, has_demo = false;
    bool help = false, version = false;
    bool bad_option = false;
    bool has_capture = false, has_show = false, allow_incomplete = false;
    bool has_check = false;  // the check's own arguments follow --check
    bool has_remap = false;  // BEFORE, IN and OUT follow --remap
    int first_arg = 1;  // index of the utility's first argument
    // Serving mode: --serve [--exit-code-file FILE] [--abort-after N] --run PROGRAM ARG...
    // --fail-step STEP: a self-test of the harness, like --abort-after.
    bool serve = false, has_run = false, has_exit_code_file = false, has_abort = false;
    bool has_fail_step = false;
    std::string exit_code_file, abort_after, fail_step;
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
        if (arg == "--serve") {
            if (o->serve) {
                *error = "--serve given twice";
                return false;
            }
            o->serve = true;
            ++i;
            continue;
        }
        if (arg == "--run") {  // the program and its arguments follow
            o->has_run = true;
            ++i;
            break;
        }
        if (arg == "--check" || arg == "--remap") {  // their own arguments follow
            (arg == "--check" ? o->has_check : o->has_remap) = true;
            ++i;
            break;
        }
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
        } else if (arg == "--exit-code-file") {
            value = &o->exit_code_file;
            seen = &o->has_exit_code_file;
        } else if (arg == "--abort-after") {
            value = &o->abort_after;
            seen = &o->has_abort;
        } else if (arg == "--fail-step") {
            value = &o->fail_step;
            seen = &o->has_fail_step;
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
            *error = arg + (value == &o->abort_after ? " needs a count"
                            : value == &o->fail_step ? " needs a step"
                                                     : " needs a file name");
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
    if (o->has_check && (o->has_capture || o->has_demo || o->serve)) {
        *error = "--check takes no --capture, --write-demo-fleet or --serve";
        return false;
    }
    if (o->has_remap && (o->has_capture || o->has_demo || o->serve || argc - i != 3)) {
        *error = "--remap takes BEFORE IN OUT, and no --capture, --write-demo-fleet or --serve";
        return false;
    }
    if (o->has_capture && (o->has_demo || i < argc)) {
        *error = "--capture takes no arguments for fcboot";
        return false;
    }
    if (o->serve != o->has_run || (o->serve && i >= argc) ||
        (o->serve && (o->has_capture || o->has_show || o->has_demo)) ||
        (!o->serve && (o->has_exit_code_file || o->has_abort || o->has_fail_step))) {
        *error = "serving takes --serve [--fleet FILE] [--requests FILE] [--exit-code-file FILE] "
                 "[--abort-after N] [--fail-step STEP] --run PROGRAM [ARG...]";
        return false;
    }
    return true;
}

int EmuMain(int argc, char** argv, Options& options) {
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
        const auto type =
            std::filesystem::symlink_status(std::filesystem::u8path(options.demo_out), ec).type();
        if (type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none)
            return OwnError(options.demo_out + " exists; not overwritten");
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

    ServeOptions serving;
    if (options.serve) {
        const std::string name = options.has_fleet ? options.fleet : "the demo fleet";
        if (!CheckServableFleet(fleet, name, &error)) return OwnError(error);
        const char* count = options.abort_after.c_str();
        char* end = nullptr;
        serving.abort_after = options.has_abort ? std::strtoull(count, &end, 10) : 0;
        if (options.has_abort && (end == count || *end != '\0'))
            return OwnError("--abort-after needs a count");
        if (options.has_fail_step && !IsFailStep(options.fail_step))
            return OwnError("--fail-step takes tie, exit-code, status or hang");
        serving.fail_step = options.fail_step;
        serving.program = argv[options.first_arg];
        serving.args.assign(argv + options.first_arg + 1, argv + argc);
    }

    // Opened before the run so that an unwritable log stops us before the
    // utility has touched any adapter.
    FilePtr requests;
    if (options.has_requests) {
        requests.reset(fcplat::OpenFile(options.requests.c_str(), "wb"));
        if (!requests) return OwnError("cannot write " + options.requests);
    }

    std::vector<char*> args;
    static char programName[] = "fcboot";
    static char checkName[] = "fcboot-check";
    args.push_back(programName);
    for (int i = options.first_arg; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

    FleetLock fleetLock;
    fleetLock.path = options.fleet;
    fleetLock.serving = options.serve;
    fleetLock.read = fleet;
    const fcplat::EmulatedServerLock lockHooks{fleetLock.path.c_str(), FleetTaken, FleetReleasing,
                                               &fleetLock};
    if (options.has_fleet) fcplat::InstallEmulatedServerLock(&lockHooks);
    struct Uninstall {
        ~Uninstall() { fcplat::InstallEmulatedServerLock(nullptr); }
    } uninstall;

    int exitCode = 0;
    std::string harnessFailure;
    if (options.serve) {
        // The served program takes the server's own lock; the fleet's is
        // held here, around the whole run, as a load's would be.
        if (fcplat::TakeServerLock(fcboot::g_ServerLockWaitMs) == fcplat::ServerLock::Busy)
            return OwnError("another run is using " + options.fleet + "; nothing was done");
        if (!fleetLock.error.empty()) {
            fcplat::ReleaseServerLock();
            return OwnError(fleetLock.error);
        }
        const ServedRun run = RunServed(fleetLock.read, serving);
        if (!run.started || !run.failure.empty()) fleetLock.keep = false;
        fcplat::ReleaseServerLock();
        if (!run.started) return OwnError(run.failure);
        exitCode = run.exit_code;
        harnessFailure = run.failure;
    } else {
        fcboot::ResetUtilityState();
        StartServer(fleet);
        if (options.has_check) {
            args[0] = checkName;
            std::string out, err;
            exitCode = fccheck::CheckMain(static_cast<int>(args.size() - 1), args.data(), &out, &err);
            std::fputs(out.c_str(), stdout);
            std::fputs(err.c_str(), stderr);
        } else {
            const int first = options.first_arg;
            exitCode = options.has_capture
                           ? fccapture::RunCapture(options.capture, stderr, "fcboot-emu")
                       : options.has_remap
                           ? fcremap::RunRemap(argv[first], argv[first + 1], argv[first + 2],
                                               stdout, stderr, "fcboot-emu")
                           : fcboot::FcbootMain(static_cast<int>(args.size() - 1), args.data());
        }
        std::fflush(stdout);
        StopServer();
    }

    for (const std::string& v : Violations())
        std::fprintf(stderr, "fcboot-emu: protocol violation: %s\n", v.c_str());
    std::fflush(stderr);

    bool ownFailure = false;
    if (options.has_requests) {
        bool written = true;
        for (const RequestRecord& r : RequestLog()) {
            const std::string line = r.ToJson() + '\n';
            written = std::fwrite(line.data(), 1, line.size(), requests.get()) == line.size() &&
                      written;
        }
        if (std::fclose(requests.release()) != 0 || !written) {
            OwnError("cannot write " + options.requests);
            ownFailure = true;
        }
    }
    // A served run that the harness broke proves nothing about the utility.
    if (!harnessFailure.empty())
        return OwnError("the device path failed: " + harnessFailure +
                        (options.has_fleet ? "; the fleet file is left as it was" : ""));
    // The adapters' state is kept whatever the utility's exit code, and only
    // a run that changed it writes: a save or a capture leaves the fleet file
    // untouched, even where it could not be written. It was written back
    // under the lock; a run that never took the lock changed nothing.
    if (!fleetLock.error.empty()) {
        OwnError(fleetLock.error);
        ownFailure = true;
    }
    // A run whose state or log could not be kept must not look like a
    // success of the utility.
    return ownFailure ? kEmuOwnError : exitCode;
}

}  // namespace

int FcbootEmuMain(int argc, char** argv) {
    Options options;
    const int exitCode = EmuMain(argc, argv, options);
    // Written last, so that whoever started a serving run can tell a run
    // that ended by itself from a serving emulator that died.
    if (options.has_exit_code_file) {
        FilePtr file(fcplat::OpenFile(options.exit_code_file.c_str(), "wb"));
        const std::string line = std::to_string(exitCode) + '\n';
        const bool written =
            file && std::fwrite(line.data(), 1, line.size(), file.get()) == line.size();
        if (!file || std::fclose(file.release()) != 0 || !written)
            return OwnError("cannot write " + options.exit_code_file);
    }
    // A monitoring system runs --check: its own trouble is the plugin
    // convention's UNKNOWN, with a status line that says what it was.
    if (options.has_check && exitCode == kEmuOwnError) {
        fcplat::PrintText(stdout, "FCBOOT UNKNOWN - fcboot-emu could not run the check: %s\n",
                          g_ownError.c_str());
        std::fflush(stdout);
        return 3;
    }
    return exitCode;
}

}  // namespace fcemu
