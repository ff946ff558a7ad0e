// The adapter emulator: a stand-in for the adapters' miniport driver and
// firmware, serving an emulated server described by a fleet. It installs
// itself as the device table of the platform layer's emulated backend, so
// the utility runs against it unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "fleet/fleet.h"

namespace fcemu {

// The fleet file's records, under the names the emulator has always used.
using fcfleet::DefaultDevice;
using fcfleet::DeviceConfig;
using fcfleet::FaultRule;
using fcfleet::Fleet;
using fcfleet::LoadFleetFile;
using fcfleet::MemoryWords;
using fcfleet::NodeEntry;
using fcfleet::ParseFleet;
using fcfleet::SaveFleetFile;
using fcfleet::SerializeFleet;

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

// fcboot-emu: [--fleet FILE] [--requests FILE] [--allow-incomplete] [--] ARG...,
// the same with --capture OUT instead of ARG..., --show FILE,
// --write-demo-fleet FILE, --help or --version. Runs the utility's main (or the
// capture) in this process against the emulated server and returns its exit
// code (125 for fcboot-emu's own errors). Serving (Windows build): --serve
// [--fleet FILE] [--requests FILE] [--exit-code-file FILE] [--abort-after N]
// --run PROGRAM ARG... runs PROGRAM instead and answers its device requests
// (emulator/serving.h).
int FcbootEmuMain(int argc, char** argv);

// Prints the fleet as fcboot sees it: one block per adapter (names, maker,
// model code, driver, BIOS and EFI boot settings, boot images, nodes, and
// the firmware's own power-on answer), then the devices fcboot passes over
// and what a capture could not read.
int ShowFleet(const Fleet& fleet, std::FILE* out);
constexpr int kEmuOwnError = 125;

// The firmware's own answer, variant by variant, to what the adapter would
// boot from if the server were powered on now: decided from the adapter's
// state as the emulator holds it (regions 4, 8 and 10, the boot image
// directory in flash, the ports its link sees), never from the driver
// replies fcboot-check reads. It boots when its boot code is enabled, an
// image is selected that the flash directory holds as boot code (type 3)
// of a kind its model takes in that variant, activated where the model
// needs the staged sequence, and, where the driver keeps a node list, the
// link sees the boot device (name 0: the first port it sees).
struct PowerOnBoot {
    bool boots = false;
    std::array<std::uint8_t, 8> device{};  // the boot device it would boot from
    std::uint32_t lun = 0;
    std::uint32_t image = 0;  // the selected image's identifier
    std::string why;          // why it does not boot
};
struct PowerOn {
    PowerOnBoot bios, efib;
};
PowerOn PowerOnDecision(const DeviceConfig& device);
// "boots from 500000000000a001 LUN 0, image 0x03960001", or
// "does not boot: ...", as --show prints it.
std::string PowerOnText(const PowerOnBoot& boot);

}  // namespace fcemu
