// Device service backend of the Windows build: the pipe server, the driver's
// control requests and the program run as a child process.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emudriver/emudriver.h"
#include "platform/device_service.h"
#include "platform/wide_win32.h"

namespace fcplat {
namespace {

std::string WithError(const std::string& what, DWORD error = ::GetLastError()) {
    return what + ": error " + std::to_string(error);
}

// One argument as the C runtime's command line parser reads it back.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

// The driver's control device; the service is started if it is installed
// but not running.
HANDLE OpenControlDevice(std::string* error) {
    HANDLE control = ::CreateFileA(EMUDRV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (control != INVALID_HANDLE_VALUE) return control;
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr ? ::OpenServiceA(manager, EMUDRV_SERVICE_NAME, SERVICE_START) : nullptr;
    const BOOL started = service != nullptr && ::StartServiceA(service, 0, nullptr);
    const DWORD startError = ::GetLastError();
    if (service != nullptr) ::CloseServiceHandle(service);
    if (manager != nullptr) ::CloseServiceHandle(manager);
    if (started || startError == ERROR_SERVICE_ALREADY_RUNNING)
        control = ::CreateFileA(EMUDRV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE && startError == ERROR_SERVICE_DOES_NOT_EXIST)
        *error = WithError("the emulator's test driver (service " EMUDRV_SERVICE_NAME
                           ") is not installed: --serve is for the source tree's Windows "
                           "build with scripts/fcboot-emu-wine.sh, which the packages do not "
                           "hold",
                           startError);
    else if (control == INVALID_HANDLE_VALUE)
        *error = WithError("the emulator's driver (service " EMUDRV_SERVICE_NAME
                           ") is not loaded: starting it failed",
                           startError);
    return control;
}

bool PipeTransfer(HANDLE pipe, bool write, std::uint8_t* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(size - done);
        const BOOL ok = write ? ::WriteFile(pipe, bytes + done, chunk, &n, nullptr)
                              : ::ReadFile(pipe, bytes + done, chunk, &n, nullptr);
        if (!ok || n == 0) return false;
        done += n;
    }
    return true;
}

// The statuses the driver completes a request with, as it checks them.
#define FCPLAT_IS_MAPPED(error, mapped) || status == (mapped)
bool IsMappedStatus(std::uint32_t status) {
    return status == 0 ||
           status == static_cast<std::uint32_t>(EMUDRV_STATUS_NOT_CONNECTED)
               EMUDRV_MAPPED_STATUSES(FCPLAT_IS_MAPPED);
}
#undef FCPLAT_IS_MAPPED

std::uint32_t LoadStatus(const std::vector<std::uint8_t>& reply) {
    const std::uint8_t* b = reply.data() + EMUDRV_REP_STATUS;
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

struct Serving {
    const DeviceServiceRun* run = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    volatile LONG disconnecting = 0;
    std::string error;  // set by the serving thread only
};

DWORD WINAPI ServeLoop(void* argument) {
    Serving& s = *static_cast<Serving*>(argument);
    std::vector<std::uint8_t> request, reply;
    for (;;) {
        std::uint8_t word[4];
        if (!PipeTransfer(s.pipe, false, word, sizeof word)) {
            // The driver closes the pipe on DISCONNECT; before that, a
            // closed pipe means the driver dropped the connection.
            if (::InterlockedCompareExchange(&s.disconnecting, 0, 0) == 0 && s.error.empty())
                s.error = WithError("the driver dropped the connection");
            return 0;
        }
        const std::uint32_t length = word[0] | (word[1] << 8) | (word[2] << 16) |
                                     (static_cast<std::uint32_t>(word[3]) << 24);
        if (length < sizeof word || length > EMUDRV_REQ_HEADER_SIZE + EMUDRV_MAX_DATA) {
            s.error = "the driver sent a request of " + std::to_string(length) + " bytes";
            break;
        }
        request.assign(word, word + sizeof word);
        request.resize(length);
        if (!PipeTransfer(s.pipe, false, request.data() + sizeof word, length - sizeof word)) {
            s.error = WithError("the driver's request broke off");
            break;
        }
        reply.clear();
        if (!s.run->handler(s.run->context, request, &reply)) break;
        // The driver drops the connection on a status it may not complete a
        // request with; said here, before the program can end and make the
        // broken pipe look like the end of the run.
        if (reply.size() >= EMUDRV_REP_HEADER_SIZE && !IsMappedStatus(LoadStatus(reply)))
            s.error = "the driver dropped the connection: a reply carried status " +
                      Hex32(LoadStatus(reply)) + ", outside the mapping";
        if (!PipeTransfer(s.pipe, true, reply.data(), reply.size())) {
            if (s.error.empty()) s.error = WithError("the reply to the driver failed");
            break;
        }
    }
    // The driver sees the pipe break and fails everything from now on.
    ::DisconnectNamedPipe(s.pipe);
    return 0;
}

// True, with `error` as the last error, where the run asks for this step to
// fail.
bool Injected(const DeviceServiceRun& run, DeviceServiceFault step, DWORD error) {
    if (run.fault != step) return false;
    ::SetLastError(error);
    return true;
}

// Starts the program suspended inside a job that ends it when this process
// ends, so that it never outlives the server that answers its requests.
bool StartProgram(const DeviceServiceRun& run, HANDLE job, PROCESS_INFORMATION* child,
                  std::string* error) {
    std::string commandLine = QuoteArgument(run.program);
    for (const std::string& arg : run.args) commandLine += " " + QuoteArgument(arg);
    std::wstring mutableLine = Utf8ToWide(commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!::CreateProcessW(Utf8ToWide(run.program).c_str(), &mutableLine[0], nullptr, nullptr, TRUE,
                          CREATE_SUSPENDED, nullptr, nullptr, &startup, child)) {
        *error = WithError("cannot start " + run.program);
        return false;
    }
    if (Injected(run, DeviceServiceFault::TieToJob, ERROR_ACCESS_DENIED) ||
        !::AssignProcessToJobObject(job, child->hProcess)) {
        *error = WithError("cannot tie " + run.program + " to the serving emulator") +
                 "; it was stopped before it ran";
        ::TerminateProcess(child->hProcess, 1);
        ::WaitForSingleObject(child->hProcess, INFINITE);
        ::CloseHandle(child->hThread);
        ::CloseHandle(child->hProcess);
        // The caller tells a program that ran by its handle.
        *child = PROCESS_INFORMATION{};
        return false;
    }
    ::ResumeThread(child->hThread);
    ::CloseHandle(child->hThread);
    return true;
}

HANDLE KillOnCloseJob() {
    HANDLE job = ::CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr && !::SetInformationJobObject(job, JobObjectExtendedLimitInformation,
                                                     &limits, sizeof limits)) {
        ::CloseHandle(job);
        job = nullptr;
    }
    return job;
}

}  // namespace

DeviceServiceOutcome ServeDeviceRequests(const DeviceServiceRun& run, int* exitCode,
                                         std::string* error) {
    Serving s;
    s.run = &run;
    // One serving emulator at a time: a second one finds the pipe taken.
    s.pipe = ::CreateNamedPipeA(
        EMUDRV_PIPE_PATH, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    if (s.pipe == INVALID_HANDLE_VALUE) {
        *error = WithError("cannot create the pipe " EMUDRV_PIPE_PATH
                           " (is another serving emulator running?)");
        return DeviceServiceOutcome::NotStarted;
    }
    HANDLE control = OpenControlDevice(error);
    if (control == INVALID_HANDLE_VALUE) {
        ::CloseHandle(s.pipe);
        return DeviceServiceOutcome::NotStarted;
    }
    HANDLE job = KillOnCloseJob();
    DWORD returned = 0;
    std::vector<std::uint8_t> connect = run.connect;
    // The driver connects inside CONNECT; the pipe takes it before this
    // process waits for a client.
    PROCESS_INFORMATION child = {};
    HANDLE thread = nullptr;
    bool exitCodeKnown = false;
    std::string codeError = "the program's exit code is unknown";
    if (job == nullptr) {
        *error = WithError("cannot create a job for the program");
    } else if (!::DeviceIoControl(control, EMUDRV_IOCTL_CONNECT, connect.data(),
                                  static_cast<DWORD>(connect.size()), nullptr, 0, &returned,
                                  nullptr)) {
        *error = WithError("the driver could not connect to " EMUDRV_PIPE_PATH
                           " or link a port (a name \\\\.\\Scsi<n>: that is taken)");
    } else if (!::ConnectNamedPipe(s.pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
        *error = WithError("the driver's connection did not arrive");
    } else if ((thread = ::CreateThread(nullptr, 0, ServeLoop, &s, 0, nullptr)) == nullptr) {
        *error = WithError("cannot start serving");
    } else if (StartProgram(run, job, &child, error)) {
        DWORD code = 0;
        const bool ended = ::WaitForSingleObject(child.hProcess, INFINITE) == WAIT_OBJECT_0;
        if (ended && !Injected(run, DeviceServiceFault::ExitCode, ERROR_INVALID_HANDLE) &&
            ::GetExitCodeProcess(child.hProcess, &code)) {
            exitCodeKnown = true;
            *exitCode = static_cast<int>(code);
        } else {
            codeError = WithError("the exit code of " + run.program + " could not be read");
        }
        ::CloseHandle(child.hProcess);
    }
    const bool ran = child.hProcess != nullptr;
    // The driver takes one request at a time: once DISCONNECT is through,
    // every request queued before it, the closes the system made for the
    // program at its exit included, has been answered.
    ::InterlockedExchange(&s.disconnecting, 1);
    ::DeviceIoControl(control, EMUDRV_IOCTL_DISCONNECT, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (thread != nullptr) {
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);
    }
    ::CloseHandle(control);
    ::CloseHandle(s.pipe);
    if (job != nullptr) ::CloseHandle(job);
    if (!ran) return DeviceServiceOutcome::NotStarted;
    if (!s.error.empty() || !exitCodeKnown) {
        *error = !s.error.empty() ? s.error : codeError;
        return DeviceServiceOutcome::Broken;
    }
    return DeviceServiceOutcome::Done;
}

}  // namespace fcplat
