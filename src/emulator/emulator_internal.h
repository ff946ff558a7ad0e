// Pieces shared between the emulator's own sources: the parsed form of a
// fault rule's match, the live state of one emulated adapter, and the
// firmware's mailbox interpreter. Nothing outside src/emulator includes this.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"

namespace fcemu {
namespace detail {

using fcfleet::FaultMatch;
using fcfleet::Hex32;
using fcfleet::HexBytes;
using fcfleet::MatchKind;
using fcfleet::ParseFaultMatch;

// The effects that the armed fault rules put on one call.
struct FaultEffects {
    std::optional<std::uint32_t> fail;
    std::optional<std::uint32_t> return_code;
    std::optional<std::uint32_t> mbx_status;
    std::optional<std::uint32_t> deliver_bytes;
    std::optional<std::uint32_t> state;
    bool Any() const { return fail || return_code || mbx_status || deliver_bytes || state; }
};

// Region sizes the firmware keeps.
constexpr std::uint32_t kRegion4Size = 60;
constexpr std::uint32_t kRegion8Size = 60;
constexpr std::uint32_t kRegion10Size = 256;

using AdapterMemory = fcfleet::AdapterMemory;

// One emulated adapter during a server run.
struct DeviceState {
    DeviceConfig config;          // regions are updated in place by command 27
    AdapterMemory memory;
    std::vector<FaultMatch> matches;             // parsed `match` of each fault rule
    std::vector<std::uint32_t> matched;          // calls each rule has matched so far
    bool handle_open = false;
    std::optional<std::uint32_t> last_carry;     // carry word of the last command-156 reply
    std::uint32_t carry_serial = 0;
};

// Counts the call against every rule of `device` that matches it and returns
// the effects of the rules that are armed for it.
FaultEffects TakeFaults(DeviceState& device, MatchKind kind, std::uint32_t code);

// How a mailbox block reached the firmware.
struct MailboxCarrier {
    std::uint32_t control_code = 0;              // the miniport request that carries it
    bool extended = false;
    std::uint32_t request_size = 0;              // ISSUE_MBOX
    std::uint32_t selector = 0;                  // ISSUE_MBOX_EXT
    std::uint32_t in_words = 0;
    std::uint32_t out_words = 0;
    const std::uint8_t* extension = nullptr;     // in_words words
};

struct MailboxOutcome {
    std::string violation;                       // non-empty: the block broke the protocol
    std::optional<std::uint32_t> fail;           // the request fails with this Windows error
    std::optional<std::uint32_t> return_code;    // miniport ReturnCode to set
};

// Checks the 256-byte block field by field, applies the fault rules of the
// carrying request and of the command and carries out the command: on success the block holds the answer; on a
// firmware error only its status bytes change. Fills the mailbox fields of
// *record. The block is left untouched when the outcome names a violation
// or a failure.
MailboxOutcome RunMailbox(DeviceState& device, const MailboxCarrier& carrier, std::uint8_t* block,
                          RequestRecord* record);

// The driver's own records, built from the adapter's description.
void FillAdapterAttributes(const DeviceConfig& config, std::uint8_t* record);  // 2192 bytes
void FillPortAttributes(const DeviceConfig& config, std::uint8_t* record);     // 632 bytes
void FillReturnInfo(const DeviceConfig& config, std::uint8_t* record);         // 480 bytes
// The node list as GET_NODE_LIST delivers it, 40 bytes per entry, into out.
void PutNodeList(const std::vector<NodeEntry>& nodes, std::uint8_t* out);
// The driver name for which the port-driver forms of the requests apply.
constexpr const char kPortDriverName[] = "tarsli2";

// Firmware status values the emulator answers with.
constexpr std::uint16_t kMbxUnsupportedFeature = 17;  // dump of a region the firmware does not keep
constexpr std::uint16_t kMbxUnknownCommand = 18;      // MBXERR_UNKNOWN_CMD

}  // namespace detail
}  // namespace fcemu
