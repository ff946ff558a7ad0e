// The emulated server: the device table installed in the platform layer,
// the handles it gives out, and the miniport driver that frames, checks and
// dispatches every request to the records and the firmware.
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "adapter/bytes.h"
#include "adapter/hba_records.h"
#include "adapter/mailbox_layout.h"
#include "adapter/nodelist_layout.h"
#include "adapter/srb.h"
#include "emulator/emulator_internal.h"
#include "platform/emulated_backend.h"

namespace fcemu {
namespace {

using namespace fcplat;
using detail::DeviceState;
using detail::FaultEffects;
using detail::MatchKind;
using fcboot::LoadLe32;
using fcboot::StoreLe32;

struct HandleEntry {
    std::uint32_t port = 0;
    bool open = true;
};

struct Server {
    std::uint32_t fleet_version = 1;
    std::vector<DeviceState> devices;
    std::map<std::uint32_t, std::size_t> by_port;
    std::map<std::uintptr_t, HandleEntry> handles;
    std::uint64_t handle_serial = 0;
    std::vector<RequestRecord> log;
    std::vector<std::string> violations;
    bool installed = false;
    ReplyMutator reply_mutator = nullptr;
    void* reply_mutator_ctx = nullptr;
};

std::unique_ptr<Server> g_server;

// Handle values: distinct for every open of a run, never reused, and far
// from INVALID_HANDLE_VALUE and the null pointer.
constexpr std::uintptr_t kHandleBase = 0x5C500;
constexpr std::uintptr_t kHandleStep = 8;

HANDLE NewHandle(Server& s, std::uint32_t port) {
    const std::uintptr_t value = kHandleBase + kHandleStep * (++s.handle_serial);
    s.handles[value] = HandleEntry{port, true};
    return reinterpret_cast<HANDLE>(value);
}

RequestRecord& NewRecord(Server& s, const char* op) {
    RequestRecord r;
    r.seq = s.log.size() + 1;
    r.op = op;
    s.log.push_back(r);
    return s.log.back();
}

std::string PortPrefix(int port) {
    return port >= 0 ? "port " + std::to_string(port) + ": " : std::string();
}

// Records a protocol violation on the call and in the run's list; the call
// fails with `error`.
void Violate(Server& s, RequestRecord& r, const std::string& what, DWORD error, DWORD* errorOut) {
    r.violation = what;
    r.ok = false;
    r.error = error;
    s.violations.push_back(PortPrefix(r.port) + what);
    *errorOut = error;
}

void Fail(RequestRecord& r, DWORD error, DWORD* errorOut) {
    r.ok = false;
    r.error = error;
    *errorOut = error;
}

// "\\.\Scsi<n>:" with n decimal 0..255 and no padding; -1 for anything else.
int PortOfPath(const char* path) {
    static const char prefix[] = "\\\\.\\Scsi";
    const std::size_t n = sizeof prefix - 1;
    if (std::strncmp(path, prefix, n) != 0) return -1;
    const char* p = path + n;
    std::size_t digits = 0;
    int value = 0;
    while (p[digits] >= '0' && p[digits] <= '9') {
        value = value * 10 + (p[digits] - '0');
        if (++digits > 3) return -1;
    }
    if (digits == 0 || (digits > 1 && p[0] == '0')) return -1;
    if (p[digits] != ':' || p[digits + 1] != '\0') return -1;
    return value <= 255 ? value : -1;
}

DeviceState* DeviceAt(Server& s, std::uint32_t port) {
    const auto it = s.by_port.find(port);
    return it == s.by_port.end() ? nullptr : &s.devices[it->second];
}

HANDLE OpenImpl(Server& s, LPCSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                DWORD* error) {
    RequestRecord& r = NewRecord(s, "open");
    r.path = path;
    const int port = PortOfPath(path);
    if (port < 0) {
        Fail(r, ERROR_FILE_NOT_FOUND, error);
        return INVALID_HANDLE_VALUE;
    }
    r.port = port;
    DeviceState* dev = DeviceAt(s, static_cast<std::uint32_t>(port));
    if (dev == nullptr) {
        Fail(r, ERROR_FILE_NOT_FOUND, error);
        return INVALID_HANDLE_VALUE;
    }
    if (access != (GENERIC_READ | GENERIC_WRITE) || share != (FILE_SHARE_READ | FILE_SHARE_WRITE) ||
        disposition != OPEN_EXISTING || flags != 0) {
        Violate(s, r,
                "open of " + std::string(path) + " with access " + detail::Hex32(access) +
                    ", share " + detail::Hex32(share) + ", disposition " +
                    std::to_string(disposition) + ", flags " + detail::Hex32(flags) +
                    "; expected read/write access, read/write sharing, open-existing, flags 0",
                ERROR_INVALID_PARAMETER, error);
        return INVALID_HANDLE_VALUE;
    }
    if (dev->handle_open) {
        Violate(s, r, "second open of " + std::string(path) + " while its handle is open",
                ERROR_INVALID_PARAMETER, error);
        return INVALID_HANDLE_VALUE;
    }
    const FaultEffects faults = detail::TakeFaults(*dev, MatchKind::Open, 0);
    if (faults.fail) {
        Fail(r, *faults.fail, error);
        return INVALID_HANDLE_VALUE;
    }
    dev->handle_open = true;
    r.ok = true;
    return NewHandle(s, static_cast<std::uint32_t>(port));
}

// One row of the miniport request table.
struct MiniportRow {
    std::uint32_t code;
    const char* name;
    const char* signature;
    std::uint32_t timeout;
    std::uint32_t size;  // 0: the port query, whose size depends on the driver
};

const MiniportRow kMiniportRows[] = {
    {fcboot::RETURN_INFO, "RETURN_INFO", fcboot::kSignatureKx, fcboot::kTimeoutReturnInfo,
     fcboot::kKxRequestSize},
    {fcboot::ISSUE_MBOX, "ISSUE_MBOX", fcboot::kSignatureKx, fcboot::kTimeoutIssueMbox,
     fcboot::kKxRequestSize},
    {fcboot::ISSUE_MBOX_EXT, "ISSUE_MBOX_EXT", fcboot::kSignatureKxExt,
     fcboot::kTimeoutIssueMboxExt, fcboot::kKxRequestSize},
    {fcboot::GET_ADAPTER_ATTRIBUTES, "GET_ADAPTER_ATTRIBUTES", fcboot::kSignatureHbaApi,
     fcboot::kTimeoutHbaApi, fcboot::kAdapterAttributesRequestSize},
    {fcboot::GET_ADAPTER_PORT_ATTRIBUTES, "GET_ADAPTER_PORT_ATTRIBUTES", fcboot::kSignatureHbaApi,
     fcboot::kTimeoutHbaApi, 0},
    {fcboot::REFRESH_INFORMATION, "REFRESH_INFORMATION", fcboot::kSignatureHbaApi,
     fcboot::kTimeoutHbaApi, fcboot::kRefreshRequestSize},
};

// First nonzero byte in [from, to), or -1.
long FirstNonZero(const std::uint8_t* buf, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i)
        if (buf[i] != 0) return static_cast<long>(i);
    return -1;
}

std::string NonZeroViolation(const char* name, long at) {
    return std::string(name) + ": request byte " + std::to_string(at) +
           " is nonzero where the request carries nothing";
}

bool IsPortDriver(const DeviceConfig& config) {
    return config.driver_name == detail::kPortDriverName;
}

// Checks the SRB_IO_CONTROL framing; returns the row, or nullptr with
// *violation set.
const MiniportRow* CheckFraming(const DeviceState& dev, const std::uint8_t* buf, DWORD size,
                                std::string* violation) {
    const std::uint32_t code = LoadLe32(buf + fcboot::kSrbControlCodeOffset);
    const MiniportRow* row = nullptr;
    for (const MiniportRow& candidate : kMiniportRows)
        if (candidate.code == code) row = &candidate;
    if (row == nullptr) {
        *violation = "miniport request with unknown ControlCode " + detail::Hex32(code);
        return nullptr;
    }
    const std::string name = row->name;
    const std::uint32_t headerLength = LoadLe32(buf + fcboot::kSrbHeaderLengthOffset);
    if (headerLength != fcboot::kSrbHeaderSize) {
        *violation = name + ": HeaderLength " + std::to_string(headerLength) + ", expected 28";
        return nullptr;
    }
    std::uint8_t signature[fcboot::kSrbSignatureSize] = {};
    std::memcpy(signature, row->signature, std::strlen(row->signature));
    if (std::memcmp(buf + fcboot::kSrbSignatureOffset, signature, sizeof signature) != 0) {
        *violation = name + ": Signature bytes " +
                     detail::HexBytes(buf + fcboot::kSrbSignatureOffset, 8) + ", expected " +
                     detail::HexBytes(signature, 8);
        return nullptr;
    }
    const std::uint32_t timeout = LoadLe32(buf + fcboot::kSrbTimeoutOffset);
    if (timeout != row->timeout) {
        *violation = name + ": Timeout " + std::to_string(timeout) + ", expected " +
                     std::to_string(row->timeout);
        return nullptr;
    }
    std::uint32_t expectedSize = row->size;
    if (expectedSize == 0)
        expectedSize = IsPortDriver(dev.config) ? fcboot::kPortAttributesRequestSizePortDriver
                                                : fcboot::kPortAttributesRequestSizeMiniport;
    if (size != expectedSize) {
        *violation = name + ": total size " + std::to_string(size) + ", expected " +
                     std::to_string(expectedSize) +
                     (row->size == 0 ? (IsPortDriver(dev.config) ? " for the port driver"
                                                                 : " for a miniport driver")
                                     : "");
        return nullptr;
    }
    const std::uint32_t length = LoadLe32(buf + fcboot::kSrbLengthOffset);
    if (length != size - fcboot::kSrbHeaderSize) {
        *violation = name + ": Length " + std::to_string(length) + ", expected " +
                     std::to_string(size - fcboot::kSrbHeaderSize);
        return nullptr;
    }
    const std::uint32_t returnCode = LoadLe32(buf + fcboot::kSrbReturnCodeOffset);
    if (returnCode != 0) {
        *violation = name + ": ReturnCode " + std::to_string(returnCode) + " in the request";
        return nullptr;
    }
    return row;
}

// Request offsets of the mailbox payload fields.
constexpr std::uint32_t P = fcboot::kSrbHeaderSize;
constexpr std::uint32_t kMboxBlock = P + fcboot::kMboxPayloadBlock;
constexpr std::uint32_t kMboxSizeWord = P + fcboot::kMboxPayloadRequestSize;
constexpr std::uint32_t kExtSelector = P + fcboot::kMboxExtPayloadSelector;
constexpr std::uint32_t kExtInWords = P + fcboot::kMboxExtPayloadInWords;
constexpr std::uint32_t kExtOutWords = P + fcboot::kMboxExtPayloadOutWords;
constexpr std::uint32_t kExtBlock = P + fcboot::kMboxExtPayloadBlock;
constexpr std::uint32_t kExtArea = P + fcboot::kMboxExtPayloadExtension;

BOOL MiniportImpl(Server& s, DeviceState& dev, RequestRecord& r, LPVOID in, DWORD inSize,
                  LPVOID out, DWORD outSize, LPDWORD bytesReturned, DWORD* error) {
    if (in == nullptr || out == nullptr) {
        Violate(s, r, "miniport request without a buffer", ERROR_INVALID_PARAMETER, error);
        return 0;
    }
    if (in != out) {
        Violate(s, r, "miniport request with different input and output buffers",
                ERROR_INVALID_PARAMETER, error);
        return 0;
    }
    if (inSize != outSize) {
        Violate(s, r,
                "miniport request with input size " + std::to_string(inSize) +
                    " and output size " + std::to_string(outSize),
                ERROR_INVALID_PARAMETER, error);
        return 0;
    }
    r.size = inSize;
    if (inSize < fcboot::kSrbHeaderSize) {
        Violate(s, r, "miniport request of " + std::to_string(inSize) + " bytes, shorter than "
                      "its header", ERROR_INVALID_PARAMETER, error);
        return 0;
    }
    std::uint8_t* buf = static_cast<std::uint8_t*>(in);
    r.control_code = LoadLe32(buf + fcboot::kSrbControlCodeOffset);
    std::string violation;
    const MiniportRow* row = CheckFraming(dev, buf, inSize, &violation);
    if (row == nullptr) {
        Violate(s, r, violation, ERROR_INVALID_PARAMETER, error);
        return 0;
    }
    const std::uint32_t code = row->code;

    // The payload: what the request may carry, everything else zero.
    long nonZero = -1;
    if (code == fcboot::ISSUE_MBOX) {
        nonZero = FirstNonZero(buf, P, kMboxBlock);
        if (nonZero < 0) nonZero = FirstNonZero(buf, kMboxBlock + fcboot::kMailboxSize, kMboxSizeWord);
        if (nonZero < 0) nonZero = FirstNonZero(buf, kMboxSizeWord + 4, inSize);
    } else if (code == fcboot::ISSUE_MBOX_EXT) {
        const std::uint32_t inWords = LoadLe32(buf + kExtInWords);
        const std::uint32_t outWords = LoadLe32(buf + kExtOutWords);
        if (inWords > fcboot::kMboxExtMaxWords || outWords > fcboot::kMboxExtMaxWords) {
            Violate(s, r,
                    "ISSUE_MBOX_EXT: word counts " + std::to_string(inWords) + " in, " +
                        std::to_string(outWords) + " out; the extension area holds 1385",
                    ERROR_INVALID_PARAMETER, error);
            return 0;
        }
        nonZero = FirstNonZero(buf, P, kExtSelector);
        if (nonZero < 0) nonZero = FirstNonZero(buf, kExtSelector + 1, kExtInWords);
        if (nonZero < 0) nonZero = FirstNonZero(buf, kExtArea + inWords * 4, inSize);
    } else {
        nonZero = FirstNonZero(buf, P, inSize);
    }
    if (nonZero >= 0) {
        Violate(s, r, NonZeroViolation(row->name, nonZero), ERROR_INVALID_PARAMETER, error);
        return 0;
    }

    std::uint32_t returnCode = 0;
    if (code == fcboot::ISSUE_MBOX || code == fcboot::ISSUE_MBOX_EXT) {
        detail::MailboxCarrier carrier;
        carrier.control_code = code;
        std::uint8_t* block = buf + kMboxBlock;
        if (code == fcboot::ISSUE_MBOX) {
            carrier.request_size = LoadLe32(buf + kMboxSizeWord);
        } else {
            block = buf + kExtBlock;
            carrier.extended = true;
            carrier.selector = buf[kExtSelector];
            carrier.in_words = LoadLe32(buf + kExtInWords);
            carrier.out_words = LoadLe32(buf + kExtOutWords);
            carrier.extension = buf + kExtArea;
        }
        const detail::MailboxOutcome outcome = detail::RunMailbox(dev, carrier, block, &r);
        if (!outcome.violation.empty()) {
            Violate(s, r, std::string(row->name) + ": " + outcome.violation,
                    ERROR_INVALID_PARAMETER, error);
            return 0;
        }
        if (outcome.fail) {
            Fail(r, *outcome.fail, error);
            return 0;
        }
        if (outcome.return_code) returnCode = *outcome.return_code;
    } else {
        const FaultEffects faults = detail::TakeFaults(dev, MatchKind::Ioctl, code);
        if (faults.fail) {
            Fail(r, *faults.fail, error);
            return 0;
        }
        if (code == fcboot::GET_ADAPTER_ATTRIBUTES && dev.config.attributes_fail)
            returnCode = 1;
        if (faults.return_code) returnCode = *faults.return_code;
        if (code == fcboot::GET_ADAPTER_ATTRIBUTES && returnCode == 0) {
            detail::FillAdapterAttributes(dev.config, buf + fcboot::kAdapterAttributesRecordOffset);
        } else if (code == fcboot::GET_ADAPTER_PORT_ATTRIBUTES &&
                   (returnCode == 0 || returnCode == 8)) {
            detail::FillPortAttributes(dev.config,
                                       buf + (IsPortDriver(dev.config)
                                                  ? fcboot::kPortAttributesRecordOffsetPortDriver
                                                  : fcboot::kPortAttributesRecordOffsetMiniport));
        } else if (code == fcboot::RETURN_INFO) {
            // The driver completes the query whatever ReturnCode it reports.
            detail::FillReturnInfo(dev.config, buf + P + fcboot::kReturnInfoPayloadRecord);
        }
    }
    StoreLe32(buf + fcboot::kSrbReturnCodeOffset, returnCode);
    r.return_code = returnCode;
    r.ok = true;
    *bytesReturned = inSize;
    return 1;
}

BOOL BusSlotImpl(Server& s, DeviceState& dev, RequestRecord& r, DWORD inSize, LPVOID out,
                 DWORD outSize, LPDWORD bytesReturned, DWORD* error) {
    if (inSize != 0 || out == nullptr || outSize != fcboot::kBusSlotReplySize) {
        Violate(s, r,
                "GET_BUS_SLOT with input size " + std::to_string(inSize) + " and output size " +
                    std::to_string(outSize) + "; expected no input and an 8-byte output",
                ERROR_INVALID_PARAMETER, error);
        return 0;
    }
    if (!IsPortDriver(dev.config)) {
        Fail(r, ERROR_INVALID_FUNCTION, error);
        return 0;
    }
    const FaultEffects faults = detail::TakeFaults(dev, MatchKind::BusSlot, 0);
    if (faults.fail) {
        Fail(r, *faults.fail, error);
        return 0;
    }
    std::uint8_t* reply = static_cast<std::uint8_t*>(out);
    StoreLe32(reply, dev.config.pci_bus);
    StoreLe32(reply + 4, dev.config.pci_slot);
    *bytesReturned = fcboot::kBusSlotReplySize;
    r.ok = true;
    return 1;
}

BOOL NodeListImpl(Server& s, DeviceState& dev, RequestRecord& r, DWORD inSize, LPVOID out,
                  DWORD outSize, LPDWORD bytesReturned, DWORD* error) {
    r.node_list_size = outSize;
    if (inSize != 0 || (out == nullptr && outSize != 0)) {
        Violate(s, r,
                "GET_NODE_LIST with input size " + std::to_string(inSize) +
                    (out == nullptr ? " and no output buffer" : "") + "; expected no input",
                ERROR_INVALID_PARAMETER, error);
        return 0;
    }
    const FaultEffects faults = detail::TakeFaults(dev, MatchKind::NodeList, 0);
    if (faults.fail) {
        Fail(r, *faults.fail, error);
        return 0;
    }
    if (!dev.config.node_list) {
        Fail(r, ERROR_INVALID_FUNCTION, error);
        return 0;
    }
    // The largest lists are asked for again and again while the buffer
    // grows: the reply is built only once it fits.
    const std::size_t size = dev.config.node_list->size() * fcboot::kNodeEntrySize;
    if (outSize < size) {
        Fail(r, ERROR_INSUFFICIENT_BUFFER, error);
        return 0;
    }
    detail::PutNodeList(*dev.config.node_list, static_cast<std::uint8_t*>(out));
    *bytesReturned = static_cast<DWORD>(size);
    r.ok = true;
    return 1;
}

BOOL IoctlImpl(Server& s, HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
               DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped, DWORD* error) {
    RequestRecord& r = NewRecord(s, "ioctl");
    r.ioctl = code;
    const auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(device));
    if (it == s.handles.end()) {
        Violate(s, r, "I/O request on a handle the driver never gave out", ERROR_INVALID_HANDLE,
                error);
        return 0;
    }
    r.port = static_cast<int>(it->second.port);
    if (!it->second.open) {
        Violate(s, r, "I/O request on a closed handle", ERROR_INVALID_HANDLE, error);
        return 0;
    }
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (overlapped != nullptr || bytesReturned == nullptr) {
        Violate(s, r,
                overlapped != nullptr ? "overlapped I/O request on a synchronous device"
                                      : "I/O request without a count of bytes returned",
                ERROR_INVALID_PARAMETER, error);
        return 0;
    }
    DeviceState& dev = *DeviceAt(s, it->second.port);
    BOOL ok = 0;
    switch (code) {
        case IOCTL_SCSI_MINIPORT:
            ok = MiniportImpl(s, dev, r, in, inSize, out, outSize, bytesReturned, error);
            break;
        case fcboot::kIoctlGetBusSlot:
            ok = BusSlotImpl(s, dev, r, inSize, out, outSize, bytesReturned, error);
            break;
        case fcboot::kIoctlGetNodeList:
            ok = NodeListImpl(s, dev, r, inSize, out, outSize, bytesReturned, error);
            break;
        default:
            Violate(s, r, "unknown device control code " + detail::Hex32(code),
                    ERROR_INVALID_FUNCTION, error);
            return 0;
    }
    // The reply as built is final for the log; the hook changes only what
    // the caller gets back.
    if (ok && s.reply_mutator != nullptr && out != nullptr) {
        std::uint32_t count = *bytesReturned;
        s.reply_mutator(s.reply_mutator_ctx, r, static_cast<std::uint8_t*>(out), outSize, &count);
        *bytesReturned = count;
    }
    return ok;
}

BOOL CloseImpl(Server& s, HANDLE device, DWORD* error) {
    RequestRecord& r = NewRecord(s, "close");
    const auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(device));
    if (it == s.handles.end()) {
        Violate(s, r, "close of a handle the driver never gave out", ERROR_INVALID_HANDLE, error);
        return 0;
    }
    r.port = static_cast<int>(it->second.port);
    if (!it->second.open) {
        Violate(s, r, "handle closed twice", ERROR_INVALID_HANDLE, error);
        return 0;
    }
    it->second.open = false;
    DeviceAt(s, it->second.port)->handle_open = false;
    r.ok = true;
    return 1;
}

// The platform-layer entry points. Nothing thrown inside the emulator may
// reach the utility: an exception becomes a failed call and a violation.
void InternalError(DWORD* error) {
    if (g_server) g_server->violations.push_back("emulator internal error");
    *error = ERROR_NOT_ENOUGH_MEMORY;
}

HANDLE TableOpen(void*, LPCSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                 DWORD* error) {
    try {
        return OpenImpl(*g_server, path, access, share, disposition, flags, error);
    } catch (...) {
        InternalError(error);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL TableIoctl(void*, HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped, DWORD* error) {
    try {
        return IoctlImpl(*g_server, device, code, in, inSize, out, outSize, bytesReturned,
                         overlapped, error);
    } catch (...) {
        InternalError(error);
        return 0;
    }
}

BOOL TableClose(void*, HANDLE device, DWORD* error) {
    try {
        return CloseImpl(*g_server, device, error);
    } catch (...) {
        InternalError(error);
        return 0;
    }
}

const EmulatedDevices kDeviceTable = {TableOpen, TableIoctl, TableClose, nullptr};

}  // namespace

void StartServer(const Fleet& fleet) {
    auto s = std::make_unique<Server>();
    s->fleet_version = fleet.fleet_version;
    s->devices.reserve(fleet.devices.size());
    for (const DeviceConfig& config : fleet.devices) {
        DeviceState dev;
        dev.config = config;
        dev.memory = fcfleet::DeviceMemory(config);
        for (const FaultRule& rule : config.faults) {
            detail::FaultMatch m;
            std::string ignored;
            // A rule whose match does not parse matches nothing.
            if (!detail::ParseFaultMatch(rule.match, &m, &ignored)) m = {MatchKind::Mailbox, 256};
            dev.matches.push_back(m);
        }
        dev.matched.assign(config.faults.size(), 0);
        if (s->by_port.count(config.port) == 0) {
            s->by_port[config.port] = s->devices.size();
        }
        s->devices.push_back(std::move(dev));
    }
    s->installed = true;
    g_server = std::move(s);
    InstallEmulatedDevices(&kDeviceTable);
}

void StopServer() {
    if (!g_server || !g_server->installed) return;
    CheckNoOpenHandles();
    InstallEmulatedDevices(nullptr);
    g_server->installed = false;
}

void SetReplyMutator(ReplyMutator mutator, void* ctx) {
    if (!g_server) return;
    g_server->reply_mutator = mutator;
    g_server->reply_mutator_ctx = ctx;
}

bool ServerRunning() { return g_server && g_server->installed; }

Fleet CurrentFleet() {
    Fleet fleet;
    if (!g_server) return fleet;
    fleet.fleet_version = g_server->fleet_version;
    for (const DeviceState& dev : g_server->devices) fleet.devices.push_back(dev.config);
    return fleet;
}

const std::vector<RequestRecord>& RequestLog() {
    static const std::vector<RequestRecord> empty;
    return g_server ? g_server->log : empty;
}

std::vector<std::string> Violations() {
    return g_server ? g_server->violations : std::vector<std::string>();
}

std::size_t OpenHandleCount() {
    std::size_t n = 0;
    if (g_server)
        for (const auto& h : g_server->handles) n += h.second.open ? 1 : 0;
    return n;
}

void CheckNoOpenHandles() {
    if (!g_server) return;
    for (auto& h : g_server->handles) {
        if (!h.second.open) continue;
        g_server->violations.push_back("handle still open when main returns: port " +
                                       std::to_string(h.second.port));
        // Reported once; the driver reclaims it.
        h.second.open = false;
        DeviceAt(*g_server, h.second.port)->handle_open = false;
    }
}

}  // namespace fcemu
