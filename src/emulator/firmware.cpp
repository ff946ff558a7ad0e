// The adapter firmware: checks every mailbox block it is handed against the
// fields its commands define and carries the command out on the adapter's
// regions and memory.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "adapter/bytes.h"
#include "adapter/mailbox_layout.h"
#include "emulator/emulator_internal.h"

namespace fcemu {
namespace detail {
namespace {

using fcboot::LoadLe32;
using fcboot::StoreLe16;
using fcboot::StoreLe32;

constexpr std::uint32_t kDumpTypeRegion = 0x12;    // type 2 (region) with bit 4
constexpr std::uint32_t kDumpTypeMemory = 0x01;    // type 1 (adapter memory)
constexpr std::uint32_t kUpdateInline = 0x12;
constexpr std::uint32_t kUpdateExtended = 0x32;    // bit 5: data in the extension area
constexpr std::uint32_t kRevisionQuery = 0x80000000u;
constexpr std::uint32_t kMaxDumpWords = 64;        // a dump asks for at most 256 bytes
constexpr std::uint32_t kMaxMemoryWords = 59;      // what fits from block offset 20 on
constexpr std::uint32_t kMaxDelivered = fcboot::kMailboxSize - 20;
constexpr std::uint32_t kRequestSizeRegion = 32;
constexpr std::uint32_t kRequestSizeRevision = 92;
constexpr std::uint32_t kExtSelectorRegionData = 5;
constexpr std::uint32_t kExtRegion10Words = 64;

std::string Str(std::uint32_t v) { return std::to_string(v); }

// Compares the block with the one the command's fields describe; names the
// first byte that differs.
std::string CompareBlock(const std::uint8_t* block, const std::uint8_t* expected,
                         const char* what) {
    for (std::uint32_t i = 0; i < fcboot::kMailboxSize; ++i) {
        if (block[i] != expected[i]) {
            char text[160];
            std::snprintf(text, sizeof text, "%s: block byte %u is 0x%02x, expected 0x%02x", what,
                          static_cast<unsigned>(i), static_cast<unsigned>(block[i]),
                          static_cast<unsigned>(expected[i]));
            return text;
        }
    }
    return std::string();
}

std::uint8_t* RegionBytes(DeviceConfig& config, std::uint32_t region, std::uint32_t* size) {
    switch (region) {
        case 4: *size = kRegion4Size; return config.region4.data();
        case 8: *size = kRegion8Size; return config.region8.data();
        case 10: *size = kRegion10Size; return config.region10.data();
        default: *size = 0; return nullptr;
    }
}

std::string CarrierViolation(const MailboxCarrier& carrier, std::uint32_t code,
                             std::uint32_t expectedSize) {
    if (carrier.extended)
        return "command " + Str(code) + " sent through ISSUE_MBOX_EXT; it travels in ISSUE_MBOX";
    if (carrier.request_size != expectedSize)
        return "command " + Str(code) + ": request size word " + Str(carrier.request_size) +
               ", expected " + Str(expectedSize);
    return std::string();
}

// A fresh carry word for every command-156 reply; never 0, which only the
// first request of a sequence carries.
std::uint32_t NextCarry(DeviceState& device) {
    ++device.carry_serial;
    std::uint32_t carry = 0x4B5A0000u ^ (device.carry_serial * 0x9E3779B1u);
    return carry == 0 ? 1u : carry;
}

}  // namespace

MailboxOutcome RunMailbox(DeviceState& device, const MailboxCarrier& carrier, std::uint8_t* block,
                          RequestRecord* record) {
    MailboxOutcome out;
    const std::uint32_t code = block[fcboot::kMbxCommandOffset];
    const std::uint32_t word4 = LoadLe32(block + 4);
    const std::uint32_t word8 = LoadLe32(block + 8);
    const std::uint32_t word12 = LoadLe32(block + 12);
    const std::uint32_t word16 = LoadLe32(block + 16);
    record->mailbox = code;

    std::uint8_t expected[fcboot::kMailboxSize] = {};
    expected[fcboot::kMbxCommandOffset] = static_cast<std::uint8_t>(code);

    enum class Kind { Revision, Dump, Memory, UpdateInline, UpdateExtended, BootStep, Unknown };
    Kind kind = Kind::Unknown;
    std::string violation;

    switch (code) {
        case fcboot::kMbxReadRevision:
            kind = Kind::Revision;
            violation = CarrierViolation(carrier, code, kRequestSizeRevision);
            StoreLe32(expected + 4, kRevisionQuery);
            if (violation.empty()) violation = CompareBlock(block, expected, "command 17");
            break;
        case fcboot::kMbxDumpMemory:
            violation = CarrierViolation(carrier, code, kRequestSizeRegion);
            if ((word4 & 0xF) == 2) {
                kind = Kind::Dump;
                record->region = word8 & 0xFFFF;
                record->offset = word8 >> 16;
                record->words = word16;
                StoreLe32(expected + 4, kDumpTypeRegion);
                StoreLe32(expected + 8, word8);
                StoreLe32(expected + 16, word16);
                if (violation.empty())
                    violation = CompareBlock(block, expected, "command 23 (region dump)");
                if (violation.empty() && word16 > kMaxDumpWords)
                    violation = "command 23 (region dump): " + Str(word16) +
                                " words asked for, at most 64";
            } else if ((word4 & 0xF) == 1) {
                kind = Kind::Memory;
                record->address = word12;
                record->words = word16;
                expected[fcboot::kMbxFlagsOffset] = 0x02;
                StoreLe32(expected + 4, kDumpTypeMemory);
                StoreLe32(expected + 12, word12 & ~3u);
                StoreLe32(expected + 16, word16);
                if (violation.empty())
                    violation = CompareBlock(block, expected, "command 23 (memory read)");
                if (violation.empty() && (word16 == 0 || word16 > kMaxMemoryWords))
                    violation = "command 23 (memory read): " + Str(word16) +
                                " words asked for, expected 1 to 59";
            } else if (violation.empty()) {
                violation = "command 23: dump type " + Str(word4 & 0xF) +
                            " in the word at 4, expected 2 (region) or 1 (memory)";
            }
            break;
        case fcboot::kMbxUpdateConfig:
            record->region = word8 & 0xFFFF;
            expected[fcboot::kMbxFlagsOffset] = 0x01;
            if (word4 == kUpdateExtended) {
                kind = Kind::UpdateExtended;
                StoreLe32(expected + 4, kUpdateExtended);
                StoreLe32(expected + 8, 10u | (kRegion10Size << 16));
                StoreLe32(expected + 16, kRegion10Size);
                StoreLe32(expected + 20, kRegion10Size);
                if (!carrier.extended)
                    violation = "command 27 (extended update) sent through ISSUE_MBOX; its data "
                                "travels in ISSUE_MBOX_EXT";
                else if (carrier.selector != kExtSelectorRegionData ||
                         carrier.in_words != kExtRegion10Words || carrier.out_words != 0)
                    violation = "command 27 (extended update): selector " +
                                Str(carrier.selector) + ", in-words " + Str(carrier.in_words) +
                                ", out-words " + Str(carrier.out_words) + ", expected 5, 64, 0";
                if (violation.empty())
                    violation = CompareBlock(block, expected, "command 27 (extended update)");
            } else {
                kind = Kind::UpdateInline;
                const std::uint32_t region = word8 & 0xFFFF;
                violation = CarrierViolation(carrier, code, kRequestSizeRegion);
                StoreLe32(expected + 4, kUpdateInline);
                StoreLe32(expected + 8, region | (kRegion4Size << 16));
                StoreLe32(expected + 16, kRegion4Size);
                std::memcpy(expected + 20, block + 20, kRegion4Size);
                if (violation.empty() && region != 4 && region != 8)
                    violation = "command 27 (inline update): region " + Str(region) +
                                ", expected 4 or 8";
                if (violation.empty())
                    violation = CompareBlock(block, expected, "command 27 (inline update)");
            }
            break;
        case fcboot::kMbxBootImageStep: {
            kind = Kind::BootStep;
            const std::uint32_t step = (word4 >> 16) & 0xFF;
            record->step = step;
            violation = CarrierViolation(carrier, code, kRequestSizeRegion);
            StoreLe32(expected + 4, step << 16);
            StoreLe32(expected + 8, word8);
            std::memcpy(expected + 16, block + 16, 8);
            if (violation.empty())
                violation = CompareBlock(block, expected, "command 156");
            if (violation.empty() && step != 8 && step != 9 && step != 10)
                violation = "command 156: step " + Str(step) + ", expected 8, 9 or 10";
            if (violation.empty()) {
                if (step == 8 && word8 != 0)
                    violation = "command 156: step 8 carries word " + Hex32(word8) +
                                ", expected 0";
                else if (step != 8 && !device.last_carry)
                    violation = "command 156: step " + Str(step) +
                                " with no earlier reply to carry from";
                else if (step != 8 && word8 != *device.last_carry)
                    violation = "command 156: step " + Str(step) + " carries word " +
                                Hex32(word8) + ", the previous reply gave " +
                                Hex32(*device.last_carry);
            }
            break;
        }
        default:
            kind = Kind::Unknown;
            break;
    }
    if (kind == Kind::UpdateExtended) {
        record->selector = carrier.selector;
        record->in_words = carrier.in_words;
    }
    if (!violation.empty()) {
        out.violation = violation;
        return out;
    }

    // Every rule that matches counts the call, whichever of them ends it.
    const FaultEffects requestFaults = TakeFaults(device, MatchKind::Ioctl, carrier.control_code);
    const FaultEffects faults = TakeFaults(device, MatchKind::Mailbox, code);
    if (requestFaults.fail || faults.fail) {
        out.fail = faults.fail ? faults.fail : requestFaults.fail;
        return out;
    }
    out.return_code = faults.return_code ? faults.return_code : requestFaults.return_code;

    std::uint32_t status = 0;
    if (faults.mbx_status) status = *faults.mbx_status & 0xFFFF;
    else if (kind == Kind::Unknown) status = kMbxUnknownCommand;

    std::uint32_t regionSize = 0;
    std::uint8_t* regionBytes = nullptr;
    if (status == 0 && kind == Kind::Dump) {
        regionBytes = RegionBytes(device.config, word8 & 0xFFFF, &regionSize);
        if (regionBytes == nullptr || (word8 >> 16) >= regionSize) status = kMbxUnsupportedFeature;
    }
    record->mbx_status = status;
    if (status != 0) {
        StoreLe16(block + fcboot::kMbxStatusOffset, static_cast<std::uint16_t>(status));
        return out;
    }

    switch (kind) {
        case Kind::Revision:
            StoreLe32(block + 8, device.config.revision_primary);
            StoreLe32(block + 12, device.config.revision_secondary);
            break;
        case Kind::Dump: {
            const std::uint32_t offset = word8 >> 16;
            const std::uint32_t available = std::min(regionSize - offset, kMaxDelivered);
            std::uint32_t reported = std::min(word16 * 4, available);
            std::uint32_t delivered = reported;
            if (faults.deliver_bytes) {
                reported = *faults.deliver_bytes;
                delivered = std::min(reported, available);
            }
            StoreLe32(block + 16, reported);
            std::memcpy(block + 20, regionBytes + offset, delivered);
            break;
        }
        case Kind::Memory:
            for (std::uint32_t i = 0; i < word16; ++i) {
                const auto it = device.memory.find(word12 + 4 * i);
                StoreLe32(block + 20 + 4 * i, it == device.memory.end() ? 0 : it->second);
            }
            break;
        case Kind::UpdateInline: {
            std::uint32_t size = 0;
            std::uint8_t* region = RegionBytes(device.config, word8 & 0xFFFF, &size);
            std::memcpy(region, block + 20, size);
            break;
        }
        case Kind::UpdateExtended:
            std::memcpy(device.config.region10.data(), carrier.extension, kRegion10Size);
            break;
        case Kind::BootStep: {
            const std::uint32_t step = (word4 >> 16) & 0xFF;
            std::uint32_t state = step == 8 ? 8 : step == 9 ? 9 : 11;
            if (faults.state) state = *faults.state & 0xFF;
            const std::uint32_t carry = NextCarry(device);
            device.last_carry = carry;
            StoreLe32(block + 4, (step << 16) | (state << 8));
            StoreLe32(block + 8, carry);
            break;
        }
        case Kind::Unknown:
            break;
    }
    return out;
}

}  // namespace detail
}  // namespace fcemu
