// Fleet files: the JSON description of a server's adapters, byte for byte as
// their driver and firmware answer; the emulator serves one, the capture
// writes one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fcfleet {

// One fault rule of a device. A call matches by `match`; the first `skip`
// matching calls pass, the next `times` (all when absent) take the effect.
struct FaultRule {
    std::string match;  // "open", "ioctl:<ControlCode hex>", "bus_slot", "node_list", "mailbox:<code>"
    std::uint32_t skip = 0;
    std::optional<std::uint32_t> times;
    enum class Effect { Fail, ReturnCode, MbxStatus, DeliverBytes, State, DelayMs };
    Effect effect = Effect::Fail;
    std::uint32_t value = 0;  // Windows error, ReturnCode, mbxStatus, byte count, state or milliseconds
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
    // What a capture could not read from the device, one line each; empty
    // for a device described whole. A fleet holding such a device is no
    // exact twin of its server.
    std::vector<std::string> incomplete;
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
// Writes the file whole: a file already at path is replaced only by a
// complete one, and stays as it was when any step of the writing fails.
bool SaveFleetFile(const std::string& path, const Fleet& fleet, std::string* error);

// A fleet written device by device, as SerializeFleet spells it, so that a
// fleet of large node lists need never be held whole: the head, each device
// (the first one says so), then the tail. The text goes to `put` in pieces;
// false from it stops the writing and is handed back.
using TextSink = std::function<bool(const char* data, std::size_t size)>;
bool WriteFleetHead(const TextSink& put, std::uint32_t fleetVersion);
bool WriteFleetDevice(const TextSink& put, const DeviceConfig& device, bool first);
bool WriteFleetTail(const TextSink& put, bool anyDevice);

// Whether any device of the fleet is marked incomplete.
bool HasIncompleteDevice(const Fleet& fleet);

// A device with every field at its default, at the given port.
DeviceConfig DefaultDevice(std::uint32_t port);

// The adapter memory a device describes: the boot_images laid out as a
// well-formed directory ring, then the raw memory words over it. Word
// addresses to words; a word absent reads as 0.
using AdapterMemory = std::map<std::uint32_t, std::uint32_t>;
AdapterMemory DeviceMemory(const DeviceConfig& device);

// What a fault rule's `match` names.
enum class MatchKind { Open, Ioctl, BusSlot, NodeList, Mailbox };

struct FaultMatch {
    MatchKind kind = MatchKind::Open;
    std::uint32_t code = 0;  // miniport ControlCode (Ioctl) or command code (Mailbox)
};

// Parses "open", "ioctl:<hex>", "bus_slot", "node_list" or "mailbox:<decimal>".
// *error says what is wrong when it returns false.
bool ParseFaultMatch(const std::string& text, FaultMatch* match, std::string* error);

// Formatting helpers of the format and of messages about it.
std::string Hex32(std::uint32_t value);   // "0x0000079C"
std::string HexBytes(const std::uint8_t* bytes, std::size_t count);  // lower-case, no prefix

}  // namespace fcfleet
