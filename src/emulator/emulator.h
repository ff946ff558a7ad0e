// The adapter emulator: a stand-in for the adapters' miniport driver and
// firmware, serving an emulated server described by a fleet. It installs
// itself as the device table of the platform layer's emulated backend, so
// the utility runs against it unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fcemu {

// One fault rule of a device. A call matches by `match`; the first `skip`
// matching calls pass, the next `times` (all when absent) take the effect.
struct FaultRule {
    std::string match;  // "open", "ioctl:<ControlCode hex>", "bus_slot", "node_list", "mailbox:<code>"
    std::uint32_t skip = 0;
    std::optional<std::uint32_t> times;
    enum class Effect { Fail, ReturnCode, MbxStatus, DeliverBytes, State };
    Effect effect = Effect::Fail;
    std::uint32_t value = 0;  // Windows error, ReturnCode, mbxStatus, byte count or state
};

struct NodeEntry {
    std::array<std::uint8_t, 8> wwn{};
    std::uint32_t fcid = 0;
    std::uint8_t host_byte_1 = 0;
    std::uint8_t host_byte_2 = 0;
};

struct MemoryWords {
    std::uint32_t address = 0;
    std::vector<std::uint32_t> words;
};

struct DeviceConfig {
    std::uint32_t port = 0;
    std::string manufacturer = "Tarvio";
    std::string model;
    std::string model_description;
    std::string serial_number;
    std::string driver_name;
    std::string driver_version;
    std::array<std::uint8_t, 8> node_wwn{};
    std::array<std::uint8_t, 8> port_wwn{};
    std::uint32_t vendor_specific_id = 0;
    std::uint32_t number_of_ports = 1;
    std::uint32_t revision_primary = 0;
    std::uint32_t revision_secondary = 0;
    std::uint32_t pci_bus = 0;
    std::uint32_t pci_slot = 0;
    std::uint64_t value_456 = 0;
    std::uint64_t value_472 = 0;
    std::array<std::uint8_t, 60> region4{};
    std::array<std::uint8_t, 60> region8{};
    std::array<std::uint8_t, 256> region10{};
    std::vector<std::uint32_t> boot_images;   // laid out as a well-formed directory ring
    std::vector<MemoryWords> memory;          // raw words, applied after boot_images
    std::optional<std::vector<NodeEntry>> node_list;  // nullopt: the driver keeps no list
    bool attributes_fail = false;
    std::vector<FaultRule> faults;
};

struct Fleet {
    std::uint32_t fleet_version = 1;
    std::vector<DeviceConfig> devices;
};

// Fleet files (JSON). Parse refuses an invalid file as a whole; *error names
// the field.
bool ParseFleet(const std::string& text, Fleet* fleet, std::string* error);
std::string SerializeFleet(const Fleet& fleet);
bool LoadFleetFile(const std::string& path, Fleet* fleet, std::string* error);
// Writes a temporary file in the same folder, then renames it over path.
bool SaveFleetFile(const std::string& path, const Fleet& fleet, std::string* error);

// A device with every field at its default, at the given port.
DeviceConfig DefaultDevice(std::uint32_t port);
// The built-in demo fleet: two adapters holding the boot settings of the
// worked example of the boot configuration file reference.
Fleet DemoFleet();

// One device call, as the request log records it.
struct RequestRecord {
    std::uint64_t seq = 0;
    std::string op;                     // "open", "ioctl", "close"
    int port = -1;                      // -1 when the call named no device
    std::string path;                   // opens only
    bool ok = false;
    std::uint32_t error = 0;            // when !ok
    std::uint32_t ioctl = 0;            // device control code
    std::optional<std::uint32_t> control_code, size, return_code;  // miniport requests
    std::optional<std::uint32_t> mailbox, mbx_status;               // mailbox commands
    std::optional<std::uint32_t> region, offset, words, address, step, selector, in_words;
    std::optional<std::uint32_t> node_list_size;                    // GET_NODE_LIST buffer size
    std::string violation;              // empty unless the call broke the protocol
    std::string ToJson() const;         // one line, no line feed
};

// The request log summed by kind of request.
struct RequestCounts {
    std::uint64_t opens = 0, closes = 0;
    std::uint64_t attributes = 0, portQueries = 0, refreshes = 0, returnInfo = 0;
    std::uint64_t busSlot = 0, nodeList = 0;
    std::uint64_t mbox17 = 0, mbox23 = 0, mbox27 = 0, mbox27Ext = 0, mbox156 = 0;
    std::uint64_t other = 0;  // anything the utility is not known to send
    bool operator==(const RequestCounts& o) const;
};
RequestCounts CountRequests(const std::vector<RequestRecord>& log);

// Starts serving the fleet: installs the device table in the platform layer,
// clears the request log. Replaces a server already running.
void StartServer(const Fleet& fleet);
// Records a violation for every handle still open (as when the utility's
// main has returned), then uninstalls the device table.
void StopServer();
bool ServerRunning();
// A hook on the driver's replies, for tests that play a hostile driver: it
// is called for every I/O control request that succeeds, after the driver
// has built the reply and logged the call, with the caller's output buffer
// (`size` bytes: the whole request for miniport requests, the reply area for
// GET_BUS_SLOT and GET_NODE_LIST) and the count of bytes returned, both of
// which it may change at will (the count even beyond `size`). Failed
// requests, opens and closes are not shown to it. It belongs to the running
// server: StartServer removes it; nullptr removes it too.
using ReplyMutator = void (*)(void* ctx, const RequestRecord& record, std::uint8_t* reply,
                              std::uint32_t size, std::uint32_t* bytesReturned);
void SetReplyMutator(ReplyMutator mutator, void* ctx);
// The fleet with the devices' persistent state (regions 4, 8, 10, adapter
// memory) as it stands now; fault rules as they were given.
Fleet CurrentFleet();
const std::vector<RequestRecord>& RequestLog();
// Every protocol violation recorded since StartServer, in order.
std::vector<std::string> Violations();
std::size_t OpenHandleCount();
// Records one violation per open handle ("handle still open when main
// returns: ..."). StopServer calls it.
void CheckNoOpenHandles();

// fcboot-emu: [--fleet FILE] [--requests FILE] [--] ARG... , or
// --write-demo-fleet FILE. Runs the utility's main in this process against
// the emulated server and returns its exit code (125 for fcboot-emu's own
// errors).
int FcbootEmuMain(int argc, char** argv);
constexpr int kEmuOwnError = 125;

}  // namespace fcemu
