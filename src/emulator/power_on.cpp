// The firmware's own answer to "what would this adapter boot from at
// power-on": decided from the adapter's state as the emulator holds it (its
// regions, its flash directory, the ports its link sees), the way the boot
// code reads them at power-on, not from the driver's replies that fcboot and
// fcboot-check read. Tests hold fcboot-check's readiness against it; it
// shares no code with src/check. What the firmware knows of its own model
// (the kinds of boot image it takes, whether it needs the staged
// activation) comes from the model tables the utility's identification
// uses: the emulator has no other record of its model.
#include <cstdio>
#include <cstring>

#include "adapter/bytes.h"
#include "bootcfg/bootcfg.h"
#include "emulator/emulator.h"

namespace fcemu {
namespace {

using fcboot::LoadLe32;

// Region 4: the selected image's identifier, and the one the staged
// activation records when it finishes.
constexpr std::uint32_t kSelected = 12, kActivated = 52;
// Region 8: flags word (bit 1: enable byte valid, bit 8: name present),
// enable byte, boot device name (each 4-byte half reversed), LUN.
constexpr std::uint32_t kBiosFlags = 4, kBiosEnable = 9, kBiosName = 17, kBiosLun = 28;
// Region 10: marker, boot device name, LUN (high 6 bits, low byte), name
// present, enable bit.
constexpr std::uint32_t kEfibName = 4, kEfibLunHigh = 12, kEfibLunLow = 13, kEfibNamed = 23,
                        kEfibEnable = 196;
// The flash directory: the head word, entries linked in a ring back to it,
// the image identifier at entry byte 16 (its top byte the image type).
constexpr std::uint32_t kHead = 0x79C, kEntryId = 16, kMaxEntries = 1024;
constexpr std::uint32_t kBootCodeType = 3;

std::array<std::uint8_t, 8> HalvesReversed(const std::uint8_t* at) {
    std::array<std::uint8_t, 8> name{};
    for (std::size_t i = 0; i < 8; ++i) name[i] = at[i ^ 3];
    return name;
}

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
    return text;
}

// Whether the ring from the head reaches an entry holding `id` of type 3.
bool FlashHoldsBootCode(const DeviceConfig& d, std::uint32_t id) {
    const fcfleet::AdapterMemory memory = fcfleet::DeviceMemory(d);
    const auto word = [&memory](std::uint32_t address) {
        const auto it = memory.find(address);
        return it == memory.end() ? 0u : it->second;
    };
    std::uint32_t entry = word(kHead);
    for (std::uint32_t n = 0; n < kMaxEntries; ++n) {
        const std::uint32_t held = word(entry + kEntryId);
        if (held == id) return (held >> 24) == kBootCodeType;
        entry = word(entry);
        if (entry == kHead) break;
    }
    return false;
}

PowerOnBoot Decide(const DeviceConfig& d, bool efib) {
    PowerOnBoot b;
    bool enabled = false, named = false;
    if (!efib) {
        const std::uint32_t flags = LoadLe32(d.region8.data() + kBiosFlags);
        enabled = (flags & 0x002u) != 0 && d.region8[kBiosEnable] == 1;
        named = (flags & 0x100u) != 0;
        if (named) b.device = HalvesReversed(d.region8.data() + kBiosName);
        b.lun = d.region8[kBiosLun];
    } else {
        if (std::memcmp(d.region10.data(), "EFIB", 4) != 0) {
            b.why = "no EFIB boot settings";
            return b;
        }
        enabled = (d.region10[kEfibEnable] & 1) != 0;
        named = d.region10[kEfibNamed] == 1;
        if (named) b.device = HalvesReversed(d.region10.data() + kEfibName);
        b.lun = d.region10[kEfibLunLow] + 256u * (d.region10[kEfibLunHigh] & 0x3Fu);
    }
    b.image = LoadLe32(d.region4.data() + kSelected);
    if (!enabled) {
        b.why = "boot code disabled";
        return b;
    }
    if (b.image == 0) {
        b.why = "no boot image selected";
        return b;
    }
    if (!FlashHoldsBootCode(d, b.image)) {
        b.why = "image " + Hex(b.image) + " is no boot code image in flash";
        return b;
    }
    const std::uint16_t deviceId = static_cast<std::uint16_t>(d.vendor_specific_id >> 16);
    const std::uint32_t model = fcboot::ModelForIdentity(
        deviceId, fcboot::ChipCodeOf(d.revision_primary, d.revision_secondary, deviceId));
    if (model == 0) {
        b.why = "model unknown";
        return b;
    }
    const std::uint8_t kind = static_cast<std::uint8_t>(b.image >> 16);
    if (fcboot::IsValidBootKind(model, kind, efib ? fcboot::kModeEfib : 0) != 0) {
        b.why = "image " + Hex(b.image) + " is not " + (efib ? "EFI" : "BIOS") + " boot code";
        return b;
    }
    if (fcboot::ModelNeedsBootImageSequence(model) &&
        LoadLe32(d.region4.data() + kActivated) != b.image) {
        b.why = "image " + Hex(b.image) + " not activated";
        return b;
    }
    static const std::array<std::uint8_t, 8> kNone{};
    if (d.node_list) {
        // A driver that keeps no list says nothing of the link: the boot
        // device is taken to be there.
        if (d.node_list->empty()) {
            b.why = "the link sees no port";
            return b;
        }
        if (b.device == kNone) {
            b.device = d.node_list->front().wwn;  // the first target found
        } else {
            bool seen = false;
            for (const NodeEntry& n : *d.node_list) seen = seen || n.wwn == b.device;
            if (!seen) {
                b.why = "boot device " + fcfleet::HexBytes(b.device.data(), 8) + " not seen";
                return b;
            }
        }
    }
    b.boots = true;
    return b;
}

}  // namespace

PowerOn PowerOnDecision(const DeviceConfig& device) {
    PowerOn p;
    p.bios = Decide(device, false);
    p.efib = Decide(device, true);
    return p;
}

std::string PowerOnText(const PowerOnBoot& boot) {
    if (!boot.boots) return "does not boot: " + boot.why;
    return "boots from " + fcfleet::HexBytes(boot.device.data(), 8) + " LUN " +
           std::to_string(boot.lun) + ", image " + Hex(boot.image);
}

}  // namespace fcemu
