// fcboot-emu's serving mode: decodes the driver's requests, answers each
// through the emulated backend exactly as an in-process call, and maps the
// emulator's Windows errors to the statuses the driver completes with.
#include "emulator/serving.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "adapter/bytes.h"
#include "emudriver/emudriver.h"
#include "platform/device_service.h"
#include "platform/emulated_backend.h"

namespace fcemu {
namespace {

using fcboot::LoadLe32;
using fcboot::LoadLe64;
using fcboot::StoreLe32;

// Each Windows error with the status that the I/O manager turns back into
// it; the driver accepts no other. Error 8 is the emulator's own internal
// error. Some statuses a driver might think of come back as another error
// (STATUS_NO_SUCH_DEVICE gives 433), which is why this is a table.
#define FCEMU_ERROR_STATUS(error, status) {error, status},
const struct {
    std::uint32_t error;
    std::uint32_t status;
} kErrorStatus[] = {EMUDRV_MAPPED_STATUSES(FCEMU_ERROR_STATUS)};
#undef FCEMU_ERROR_STATUS

// Create options (the driver's view of an open) and the CreateFileA flags
// they come from.
constexpr std::uint32_t kOptionWriteThrough = 0x02;
constexpr std::uint32_t kOptionNoBuffering = 0x08;
constexpr std::uint32_t kOptionSynchronousIo = 0x20;
constexpr fcplat::DWORD kFlagWriteThrough = 0x80000000u;
constexpr fcplat::DWORD kFlagOverlapped = 0x40000000u;
constexpr fcplat::DWORD kFlagNoBuffering = 0x20000000u;
// Not a completion status: a driver that completed a request with it would
// leave the caller waiting.
constexpr std::uint32_t kStatusPending = 0x00000103u;

fcplat::DWORD FlagsOfOptions(std::uint32_t options) {
    fcplat::DWORD flags = 0;
    if ((options & kOptionSynchronousIo) == 0) flags |= kFlagOverlapped;
    if (options & kOptionNoBuffering) flags |= kFlagNoBuffering;
    if (options & kOptionWriteThrough) flags |= kFlagWriteThrough;
    return flags;
}

std::string ErrorList() {
    std::string out;
    for (const auto& e : kErrorStatus) out += (out.empty() ? "" : ", ") + std::to_string(e.error);
    return out;
}

void Reply(std::vector<std::uint8_t>* reply, std::uint32_t status,
           const std::uint8_t* bytes = nullptr, std::uint32_t count = 0) {
    reply->assign(EMUDRV_REP_HEADER_SIZE, 0);
    StoreLe32(reply->data() + EMUDRV_REP_LENGTH, EMUDRV_REP_HEADER_SIZE + count);
    StoreLe32(reply->data() + EMUDRV_REP_STATUS, status);
    StoreLe32(reply->data() + EMUDRV_REP_INFORMATION, count);
    if (count != 0) reply->insert(reply->end(), bytes, bytes + count);
}

// A failed call's error as the driver's status; an error no status delivers
// is a fault of the harness, answered with the driver's own status.
std::uint32_t FailureStatus(DriverConnection& connection) {
    const fcplat::DWORD error = fcplat::GetLastError();
    if (const auto status = StatusOfError(error)) return *status;
    if (connection.failure.empty())
        connection.failure = "the emulator failed a request with Windows error " +
                             std::to_string(error) + ", which no device status delivers";
    return static_cast<std::uint32_t>(EMUDRV_STATUS_NOT_CONNECTED);
}

fcplat::HANDLE HandleOf(const DriverConnection& connection, std::uint64_t file) {
    const auto it = connection.opens.find(file);
    // A request on an open the emulator refused (Wine completes it anyway)
    // or never saw reaches the emulator as one on a handle it never gave.
    return it == connection.opens.end() ? INVALID_HANDLE_VALUE : it->second;
}

bool HandleRequest(void* context, const std::vector<std::uint8_t>& request,
                   std::vector<std::uint8_t>* reply) {
    return AnswerDriverRequest(*static_cast<DriverConnection*>(context), request, reply);
}

}  // namespace

std::optional<std::uint32_t> StatusOfError(std::uint32_t error) {
    for (const auto& e : kErrorStatus)
        if (e.error == error) return e.status;
    return std::nullopt;
}

bool CheckServableFleet(const Fleet& fleet, const std::string& fleetName, std::string* error) {
    for (std::size_t d = 0; d < fleet.devices.size(); ++d) {
        const auto& faults = fleet.devices[d].faults;
        for (std::size_t f = 0; f < faults.size(); ++f) {
            const std::string where = fleetName + ": devices[" + std::to_string(d) + "].faults[" +
                                      std::to_string(f) + "]: ";
            fcfleet::FaultMatch match;
            std::string ignored;
            if (fcfleet::ParseFaultMatch(faults[f].match, &match, &ignored) &&
                match.kind == fcfleet::MatchKind::Open) {
                *error = where +
                         "an \"open\" rule cannot take effect through the driver: Wine "
                         "completes every open whatever the driver answers";
                return false;
            }
            if (faults[f].effect == FaultRule::Effect::Fail && !StatusOfError(faults[f].value)) {
                *error = where + "error " + std::to_string(faults[f].value) +
                         " has no device status that reaches the utility as that error (the "
                         "driver delivers " +
                         ErrorList() + ")";
                return false;
            }
        }
    }
    return true;
}

bool AnswerDriverRequest(DriverConnection& connection, const std::vector<std::uint8_t>& request,
                         std::vector<std::uint8_t>* reply) {
    const std::uint8_t* m = request.data();
    const std::uint32_t kind =
        request.size() >= EMUDRV_REQ_HEADER_SIZE ? LoadLe32(m + EMUDRV_REQ_KIND) : 0;
    const std::uint32_t input = kind != 0 ? LoadLe32(m + EMUDRV_REQ_INPUT_LENGTH) : 0;
    const std::uint32_t output = kind != 0 ? LoadLe32(m + EMUDRV_REQ_OUTPUT_LENGTH) : 0;
    const std::uint32_t port = kind != 0 ? LoadLe32(m + EMUDRV_REQ_PORT) : 0;
    if (kind < EMUDRV_KIND_CREATE || kind > EMUDRV_KIND_IOCTL ||
        LoadLe32(m + EMUDRV_REQ_LENGTH) != request.size() ||
        request.size() != EMUDRV_REQ_HEADER_SIZE + static_cast<std::size_t>(input) ||
        output > EMUDRV_MAX_DATA || port > 255) {
        connection.failure =
            "the driver sent a malformed request of " + std::to_string(request.size()) + " bytes";
        return false;
    }
    if (connection.abort_after != 0 && connection.requests == connection.abort_after) std::_Exit(3);
    ++connection.requests;
    while (connection.hang) std::this_thread::sleep_for(std::chrono::hours(1));
    if (connection.reply_pending && kind == EMUDRV_KIND_IOCTL) {
        connection.reply_pending = false;
        Reply(reply, kStatusPending);
        return true;
    }

    const std::uint64_t file = LoadLe64(m + EMUDRV_REQ_FILE);
    if (kind == EMUDRV_KIND_CREATE) {
        // The access and the disposition do not reach the driver: taken as
        // the ones the emulator expects.
        const std::string path = "\\\\.\\Scsi" + std::to_string(port) + ":";
        fcplat::HANDLE h =
            fcplat::CreateFileA(path.c_str(), fcplat::GENERIC_READ | fcplat::GENERIC_WRITE,
                                LoadLe32(m + EMUDRV_REQ_SHARE), nullptr, fcplat::OPEN_EXISTING,
                                FlagsOfOptions(LoadLe32(m + EMUDRV_REQ_OPTIONS)), nullptr);
        connection.opens[file] = h;
        Reply(reply, h == INVALID_HANDLE_VALUE ? FailureStatus(connection) : 0);
    } else if (kind == EMUDRV_KIND_CLOSE) {
        const fcplat::HANDLE h = HandleOf(connection, file);
        connection.opens.erase(file);
        Reply(reply, fcplat::CloseHandle(h) ? 0 : FailureStatus(connection));
    } else {
        // One buffer for input and output, as the I/O manager's system
        // buffer is: only the bytes the emulator reports go back.
        std::vector<std::uint8_t> buffer(std::max(input, output), 0);
        if (input != 0) std::memcpy(buffer.data(), m + EMUDRV_REQ_HEADER_SIZE, input);
        fcplat::DWORD returned = 0;
        if (fcplat::DeviceIoControl(HandleOf(connection, file), LoadLe32(m + EMUDRV_REQ_IOCTL),
                                    input != 0 ? buffer.data() : nullptr, input,
                                    output != 0 ? buffer.data() : nullptr, output, &returned,
                                    nullptr))
            Reply(reply, 0, buffer.data(), std::min(returned, output));
        else
            Reply(reply, FailureStatus(connection));
    }
    return true;
}

bool IsFailStep(const std::string& step) {
    return step == "tie" || step == "exit-code" || step == "status" || step == "hang";
}

ServedRun RunServed(const Fleet& fleet, const ServeOptions& options) {
    ServedRun run;
    DriverConnection connection;
    connection.abort_after = options.abort_after;
    connection.reply_pending = options.fail_step == "status";
    connection.hang = options.fail_step == "hang";
    fcplat::DeviceServiceRun service;
    service.connect.assign(EMUDRV_CONNECT_SIZE, 0);
    StoreLe32(service.connect.data() + EMUDRV_CONNECT_VERSION, EMUDRV_VERSION);
    for (const DeviceConfig& d : fleet.devices)
        service.connect[EMUDRV_CONNECT_PORTS + d.port / 8] |=
            static_cast<std::uint8_t>(1u << (d.port % 8));
    service.program = options.program;
    service.args = options.args;
    service.handler = HandleRequest;
    service.context = &connection;
    service.fault = options.fail_step == "tie"         ? fcplat::DeviceServiceFault::TieToJob
                    : options.fail_step == "exit-code" ? fcplat::DeviceServiceFault::ExitCode
                                                       : fcplat::DeviceServiceFault::None;

    StartServer(fleet);
    std::string error;
    const fcplat::DeviceServiceOutcome outcome =
        fcplat::ServeDeviceRequests(service, &run.exit_code, &error);
    StopServer();
    run.started = outcome != fcplat::DeviceServiceOutcome::NotStarted;
    // The emulator's own fault explains a broken connection best.
    run.failure = !connection.failure.empty()                     ? connection.failure
                  : outcome != fcplat::DeviceServiceOutcome::Done ? error
                                                                  : std::string();
    return run;
}

}  // namespace fcemu
