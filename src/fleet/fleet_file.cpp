// Fleet files: the JSON description of a server's devices, read strictly
// (an invalid file is refused whole, naming the field) and written with
// every field spelled out.
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include <nlohmann/json.hpp>

#include "adapter/hba_records.h"
#include "fleet/fleet.h"
#include "platform/names.h"
#include "platform/output_file.h"

namespace fcfleet {
namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

// Thrown inside the parser only; ParseFleet turns it into *error.
struct FieldError {
    std::string text;
};

[[noreturn]] void Refuse(const std::string& field, const std::string& what) {
    throw FieldError{field + ": " + what};
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A JSON number or a "0x" string, at most `max`.
std::uint64_t Number(const json& v, const std::string& field, std::uint64_t max) {
    std::uint64_t value = 0;
    if (v.is_number_unsigned()) {
        value = v.get<std::uint64_t>();
    } else if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X') || s.size() > 18)
            Refuse(field, "expected a number or a \"0x\" hex string, got \"" + s + "\"");
        for (std::size_t i = 2; i < s.size(); ++i) {
            const int d = HexValue(s[i]);
            if (d < 0) Refuse(field, "\"" + s + "\" is not a hex number");
            value = (value << 4) | static_cast<std::uint64_t>(d);
        }
    } else {
        Refuse(field, "expected a non-negative whole number or a \"0x\" hex string");
    }
    if (value > max) Refuse(field, std::to_string(value) + " is above " + std::to_string(max));
    return value;
}

std::uint32_t Number32(const json& v, const std::string& field, std::uint32_t max = 0xFFFFFFFFu) {
    return static_cast<std::uint32_t>(Number(v, field, max));
}

std::string String(const json& v, const std::string& field, std::size_t maxSize) {
    if (!v.is_string()) Refuse(field, "expected a string");
    const std::string& s = v.get_ref<const std::string&>();
    if (s.size() > maxSize)
        Refuse(field, "is " + std::to_string(s.size()) + " bytes long; its field holds " +
                          std::to_string(maxSize));
    if (s.find('\0') != std::string::npos) Refuse(field, "holds a NUL character");
    return s;
}

// bytes * 2 hex digits from text into out.
void DecodeHex(const char* text, const std::string& field, std::uint8_t* out, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        const int hi = HexValue(text[2 * i]);
        const int lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) Refuse(field, "holds a character that is no hex digit");
        out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
}

void HexField(const json& v, const std::string& field, std::uint8_t* out, std::size_t bytes) {
    if (!v.is_string()) Refuse(field, "expected a string of " + std::to_string(bytes * 2) +
                                          " hex digits");
    const std::string& s = v.get_ref<const std::string&>();
    if (s.size() != bytes * 2)
        Refuse(field, "expected " + std::to_string(bytes * 2) + " hex digits, got " +
                          std::to_string(s.size()) + " characters");
    DecodeHex(s.data(), field, out, bytes);
}

bool Bool(const json& v, const std::string& field) {
    if (!v.is_boolean()) Refuse(field, "expected true or false");
    return v.get<bool>();
}

// Refuses keys an object may not have, so that a misspelt key is not
// silently ignored.
void OnlyKeys(const json& obj, const std::string& field, std::initializer_list<const char*> keys) {
    if (!obj.is_object()) Refuse(field, "expected an object");
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        bool known = false;
        for (const char* k : keys) known = known || it.key() == k;
        if (!known) Refuse(field.empty() ? it.key() : field + "." + it.key(), "unknown field");
    }
}

const json* Find(const json& obj, const char* key) {
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

FaultRule ParseFault(const json& v, const std::string& field) {
    OnlyKeys(v, field,
             {"match", "skip", "times", "fail", "return_code", "mbx_status", "deliver_bytes",
              "state", "delay_ms"});
    FaultRule rule;
    const json* match = Find(v, "match");
    if (match == nullptr) Refuse(field + ".match", "missing");
    rule.match = String(*match, field + ".match", 64);
    FaultMatch m;
    std::string why;
    if (!ParseFaultMatch(rule.match, &m, &why)) Refuse(field + ".match", why);
    if (const json* skip = Find(v, "skip")) rule.skip = Number32(*skip, field + ".skip");
    if (const json* times = Find(v, "times")) rule.times = Number32(*times, field + ".times");

    struct EffectKey {
        const char* key;
        FaultRule::Effect effect;
        std::uint32_t min, max;
    };
    const EffectKey effects[] = {
        {"fail", FaultRule::Effect::Fail, 1, 0xFFFFFFFFu},
        {"return_code", FaultRule::Effect::ReturnCode, 1, 0xFFFFFFFFu},
        {"mbx_status", FaultRule::Effect::MbxStatus, 1, 0xFFFF},
        {"deliver_bytes", FaultRule::Effect::DeliverBytes, 0, 0xFFFFFFFFu},
        {"state", FaultRule::Effect::State, 0, 0xFF},
        // A slow call, for rehearsing what meets a long run: at most 10 minutes.
        {"delay_ms", FaultRule::Effect::DelayMs, 1, 600000},
    };
    int found = 0;
    for (const EffectKey& e : effects) {
        const json* value = Find(v, e.key);
        if (value == nullptr) continue;
        ++found;
        const std::string name = field + "." + e.key;
        rule.effect = e.effect;
        rule.value = Number32(*value, name, e.max);
        if (rule.value < e.min) Refuse(name, "must not be 0");
        bool fits = false;
        switch (e.effect) {
            case FaultRule::Effect::Fail: fits = true; break;
            case FaultRule::Effect::ReturnCode:
                fits = m.kind == MatchKind::Ioctl || m.kind == MatchKind::Mailbox;
                break;
            case FaultRule::Effect::MbxStatus: fits = m.kind == MatchKind::Mailbox; break;
            case FaultRule::Effect::DeliverBytes:
                fits = m.kind == MatchKind::Mailbox && m.code == 23;
                break;
            case FaultRule::Effect::State:
                fits = m.kind == MatchKind::Mailbox && m.code == 156;
                break;
            case FaultRule::Effect::DelayMs: fits = true; break;
        }
        if (!fits) Refuse(name, "does not apply to calls matched by \"" + rule.match + "\"");
    }
    if (found != 1)
        Refuse(field, "needs exactly one effect: fail, return_code, mbx_status, deliver_bytes, "
                      "state or delay_ms");
    return rule;
}

// A node packed into a string: its name (16 hex digits), its port address
// (6) and its two host bytes (2 each). Long lists are written so, many
// nodes to a string: a list of 50000 nodes reads and writes in moments.
constexpr std::size_t kPackedNodeDigits = 26;
constexpr std::size_t kNodesPerPackedString = 64;
// Lists up to this long are written as node objects, for people to read.
constexpr std::size_t kMostNodesAsObjects = 64;
// Stands for a long node list in a device's JSON until the list is written.
const char kPackedPlaceholder[] = "\x01packed nodes";

void UnpackNodes(const std::string& text, const std::string& field, std::vector<NodeEntry>* nodes) {
    if (text.empty() || text.size() % kPackedNodeDigits != 0)
        Refuse(field, "expected nodes of 26 hex digits each, got " + std::to_string(text.size()) +
                          " characters");
    std::uint8_t bytes[kPackedNodeDigits / 2];
    for (std::size_t at = 0; at < text.size(); at += kPackedNodeDigits) {
        DecodeHex(text.data() + at, field, bytes, sizeof bytes);
        NodeEntry e;
        std::copy(bytes, bytes + 8, e.wwn.begin());
        e.fcid = static_cast<std::uint32_t>(bytes[8] << 16 | bytes[9] << 8 | bytes[10]);
        e.host_byte_1 = bytes[11];
        e.host_byte_2 = bytes[12];
        nodes->push_back(e);
    }
}

DeviceConfig ParseDevice(const json& v, const std::string& field) {
    OnlyKeys(v, field,
             {"port",          "manufacturer",       "model",           "model_description",
              "serial_number", "driver_name",        "driver_version",  "node_wwn",
              "port_wwn",      "vendor_specific_id", "number_of_ports", "revision",
              "pci",           "return_info",        "regions",         "boot_images",
              "memory",        "node_list",          "attributes_fail", "faults",
              "incomplete"});
    const json* port = Find(v, "port");
    if (port == nullptr) Refuse(field + ".port", "missing");
    DeviceConfig d = DefaultDevice(Number32(*port, field + ".port", 255));
    const json* portWwn = Find(v, "port_wwn");
    if (portWwn == nullptr) Refuse(field + ".port_wwn", "missing");
    HexField(*portWwn, field + ".port_wwn", d.port_wwn.data(), 8);
    d.node_wwn = d.port_wwn;
    d.node_wwn[0] = 0x20;

    using fcboot::kAttrManufacturerSize;
    using fcboot::kAttrSerialNumberSize;
    using fcboot::kAttrStringSize;
    if (const json* x = Find(v, "manufacturer"))
        d.manufacturer = String(*x, field + ".manufacturer", kAttrManufacturerSize);
    if (const json* x = Find(v, "model")) d.model = String(*x, field + ".model", fcboot::kAttrModelSize);
    if (const json* x = Find(v, "model_description"))
        d.model_description = String(*x, field + ".model_description", kAttrStringSize);
    if (const json* x = Find(v, "serial_number"))
        d.serial_number = String(*x, field + ".serial_number", kAttrSerialNumberSize);
    if (const json* x = Find(v, "driver_name"))
        d.driver_name = String(*x, field + ".driver_name", kAttrStringSize);
    if (const json* x = Find(v, "driver_version"))
        d.driver_version = String(*x, field + ".driver_version", kAttrStringSize);
    if (const json* x = Find(v, "node_wwn")) HexField(*x, field + ".node_wwn", d.node_wwn.data(), 8);
    if (const json* x = Find(v, "vendor_specific_id"))
        d.vendor_specific_id = Number32(*x, field + ".vendor_specific_id");
    if (const json* x = Find(v, "number_of_ports"))
        d.number_of_ports = Number32(*x, field + ".number_of_ports");
    if (const json* x = Find(v, "revision")) {
        const std::string f = field + ".revision";
        OnlyKeys(*x, f, {"primary", "secondary"});
        if (const json* y = Find(*x, "primary")) d.revision_primary = Number32(*y, f + ".primary");
        if (const json* y = Find(*x, "secondary"))
            d.revision_secondary = Number32(*y, f + ".secondary");
    }
    if (const json* x = Find(v, "pci")) {
        const std::string f = field + ".pci";
        OnlyKeys(*x, f, {"bus", "slot"});
        if (const json* y = Find(*x, "bus")) d.pci_bus = Number32(*y, f + ".bus");
        if (const json* y = Find(*x, "slot")) d.pci_slot = Number32(*y, f + ".slot");
    }
    if (const json* x = Find(v, "return_info")) {
        const std::string f = field + ".return_info";
        OnlyKeys(*x, f, {"value_456", "value_472"});
        if (const json* y = Find(*x, "value_456"))
            d.value_456 = Number(*y, f + ".value_456", ~std::uint64_t{0});
        if (const json* y = Find(*x, "value_472"))
            d.value_472 = Number(*y, f + ".value_472", ~std::uint64_t{0});
    }
    if (const json* x = Find(v, "regions")) {
        const std::string f = field + ".regions";
        OnlyKeys(*x, f, {"4", "8", "10"});
        if (const json* y = Find(*x, "4")) HexField(*y, f + ".4", d.region4.data(), 60);
        if (const json* y = Find(*x, "8")) HexField(*y, f + ".8", d.region8.data(), 60);
        if (const json* y = Find(*x, "10")) HexField(*y, f + ".10", d.region10.data(), 256);
    }
    if (const json* x = Find(v, "boot_images")) {
        const std::string f = field + ".boot_images";
        if (!x->is_array()) Refuse(f, "expected an array of image identifiers");
        d.boot_images.clear();
        for (std::size_t i = 0; i < x->size(); ++i)
            d.boot_images.push_back(Number32((*x)[i], f + "[" + std::to_string(i) + "]"));
    }
    if (const json* x = Find(v, "memory")) {
        const std::string f = field + ".memory";
        if (!x->is_array()) Refuse(f, "expected an array of {address, words}");
        for (std::size_t i = 0; i < x->size(); ++i) {
            const std::string g = f + "[" + std::to_string(i) + "]";
            const json& run = (*x)[i];
            OnlyKeys(run, g, {"address", "words"});
            MemoryWords words;
            const json* address = Find(run, "address");
            if (address == nullptr) Refuse(g + ".address", "missing");
            words.address = Number32(*address, g + ".address");
            if (words.address % 4 != 0) Refuse(g + ".address", "not a multiple of 4");
            const json* list = Find(run, "words");
            if (list == nullptr || !list->is_array()) Refuse(g + ".words", "expected an array");
            for (std::size_t k = 0; k < list->size(); ++k)
                words.words.push_back(Number32((*list)[k], g + ".words[" + std::to_string(k) + "]"));
            d.memory.push_back(words);
        }
    }
    if (const json* x = Find(v, "node_list")) {
        const std::string f = field + ".node_list";
        if (x->is_null()) {
            d.node_list.reset();
        } else {
            if (!x->is_array()) Refuse(f, "expected an array of nodes or null");
            std::vector<NodeEntry> nodes;
            for (std::size_t i = 0; i < x->size(); ++i) {
                const std::string g = f + "[" + std::to_string(i) + "]";
                const json& n = (*x)[i];
                if (n.is_string()) {
                    UnpackNodes(n.get_ref<const std::string&>(), g, &nodes);
                    continue;
                }
                OnlyKeys(n, g, {"wwn", "fcid", "host_byte_1", "host_byte_2"});
                NodeEntry e;
                const json* wwn = Find(n, "wwn");
                if (wwn == nullptr) Refuse(g + ".wwn", "missing");
                HexField(*wwn, g + ".wwn", e.wwn.data(), 8);
                if (const json* y = Find(n, "fcid")) e.fcid = Number32(*y, g + ".fcid", 0xFFFFFF);
                if (const json* y = Find(n, "host_byte_1"))
                    e.host_byte_1 = static_cast<std::uint8_t>(Number32(*y, g + ".host_byte_1", 255));
                if (const json* y = Find(n, "host_byte_2"))
                    e.host_byte_2 = static_cast<std::uint8_t>(Number32(*y, g + ".host_byte_2", 255));
                nodes.push_back(e);
            }
            d.node_list = nodes;
        }
    }
    if (const json* x = Find(v, "attributes_fail"))
        d.attributes_fail = Bool(*x, field + ".attributes_fail");
    if (const json* x = Find(v, "faults")) {
        const std::string f = field + ".faults";
        if (!x->is_array()) Refuse(f, "expected an array of fault rules");
        for (std::size_t i = 0; i < x->size(); ++i)
            d.faults.push_back(ParseFault((*x)[i], f + "[" + std::to_string(i) + "]"));
    }
    if (const json* x = Find(v, "incomplete")) {
        const std::string f = field + ".incomplete";
        if (!x->is_array()) Refuse(f, "expected an array of strings");
        for (std::size_t i = 0; i < x->size(); ++i)
            d.incomplete.push_back(String((*x)[i], f + "[" + std::to_string(i) + "]", 4096));
    }
    return d;
}

std::string HexNumber(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

const char* EffectKeyName(FaultRule::Effect effect) {
    switch (effect) {
        case FaultRule::Effect::Fail: return "fail";
        case FaultRule::Effect::ReturnCode: return "return_code";
        case FaultRule::Effect::MbxStatus: return "mbx_status";
        case FaultRule::Effect::DeliverBytes: return "deliver_bytes";
        case FaultRule::Effect::State: return "state";
        case FaultRule::Effect::DelayMs: return "delay_ms";
    }
    return "fail";
}

ordered_json DeviceJson(const DeviceConfig& d) {
    ordered_json j;
    j["port"] = d.port;
    j["manufacturer"] = d.manufacturer;
    j["model"] = d.model;
    j["model_description"] = d.model_description;
    j["serial_number"] = d.serial_number;
    j["driver_name"] = d.driver_name;
    j["driver_version"] = d.driver_version;
    j["node_wwn"] = HexBytes(d.node_wwn.data(), 8);
    j["port_wwn"] = HexBytes(d.port_wwn.data(), 8);
    j["vendor_specific_id"] = HexNumber(d.vendor_specific_id, 8);
    j["number_of_ports"] = d.number_of_ports;
    j["revision"] = {{"primary", HexNumber(d.revision_primary, 8)},
                     {"secondary", HexNumber(d.revision_secondary, 8)}};
    j["pci"] = {{"bus", d.pci_bus}, {"slot", d.pci_slot}};
    j["return_info"] = {{"value_456", HexNumber(d.value_456, 16)},
                        {"value_472", HexNumber(d.value_472, 16)}};
    j["regions"] = {{"4", HexBytes(d.region4.data(), d.region4.size())},
                    {"8", HexBytes(d.region8.data(), d.region8.size())},
                    {"10", HexBytes(d.region10.data(), d.region10.size())}};
    ordered_json images = ordered_json::array();
    for (std::uint32_t id : d.boot_images) images.push_back(HexNumber(id, 8));
    j["boot_images"] = images;
    ordered_json memory = ordered_json::array();
    for (const MemoryWords& run : d.memory) {
        ordered_json words = ordered_json::array();
        for (std::uint32_t w : run.words) words.push_back(HexNumber(w, 8));
        memory.push_back({{"address", HexNumber(run.address, 8)}, {"words", words}});
    }
    j["memory"] = memory;
    if (d.node_list && d.node_list->size() > kMostNodesAsObjects) {
        j["node_list"] = kPackedPlaceholder;
    } else if (d.node_list) {
        ordered_json nodes = ordered_json::array();
        for (const NodeEntry& n : *d.node_list)
            nodes.push_back({{"wwn", HexBytes(n.wwn.data(), 8)},
                             {"fcid", HexNumber(n.fcid, 6)},
                             {"host_byte_1", n.host_byte_1},
                             {"host_byte_2", n.host_byte_2}});
        j["node_list"] = nodes;
    } else {
        j["node_list"] = nullptr;
    }
    j["attributes_fail"] = d.attributes_fail;
    ordered_json faults = ordered_json::array();
    for (const FaultRule& f : d.faults) {
        ordered_json rule;
        rule["match"] = f.match;
        if (f.skip != 0) rule["skip"] = f.skip;
        if (f.times) rule["times"] = *f.times;
        rule[EffectKeyName(f.effect)] = f.value;
        faults.push_back(rule);
    }
    j["faults"] = faults;
    if (!d.incomplete.empty()) j["incomplete"] = d.incomplete;
    return j;
}

// A long node list as strings of packed nodes, one string to a line, laid
// out as the JSON writer lays out an array inside a device.
bool WritePackedNodes(const std::vector<NodeEntry>& nodes, const TextSink& put) {
    // Two hex digits for every byte value, looked up rather than worked out:
    // the largest fleets hold millions of nodes.
    static const std::array<char, 512> kHex = [] {
        std::array<char, 512> table{};
        for (int b = 0; b < 256; ++b) {
            table[2 * b] = "0123456789abcdef"[b >> 4];
            table[2 * b + 1] = "0123456789abcdef"[b & 15];
        }
        return table;
    }();
    constexpr std::size_t kChunk = 1u << 16;
    constexpr std::size_t kLine = 12 + kPackedNodeDigits * kNodesPerPackedString;
    std::vector<char> text(kChunk + kLine);
    std::size_t used = 0;
    text[used++] = '[';
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (i % kNodesPerPackedString == 0) {
            static const char kFirst[] = "\n        \"", kNext[] = "\",\n        \"";
            const char* start = i == 0 ? kFirst : kNext;
            const std::size_t length = i == 0 ? sizeof kFirst - 1 : sizeof kNext - 1;
            std::memcpy(&text[used], start, length);
            used += length;
            if (used >= kChunk) {
                if (!put(text.data(), used)) return false;
                used = 0;
            }
        }
        const NodeEntry& n = nodes[i];
        const std::uint8_t bytes[kPackedNodeDigits / 2] = {n.wwn[0],
                                                           n.wwn[1],
                                                           n.wwn[2],
                                                           n.wwn[3],
                                                           n.wwn[4],
                                                           n.wwn[5],
                                                           n.wwn[6],
                                                           n.wwn[7],
                                                           static_cast<std::uint8_t>(n.fcid >> 16),
                                                           static_cast<std::uint8_t>(n.fcid >> 8),
                                                           static_cast<std::uint8_t>(n.fcid),
                                                           n.host_byte_1,
                                                           n.host_byte_2};
        for (std::uint8_t b : bytes) {
            text[used++] = kHex[2 * b];
            text[used++] = kHex[2 * b + 1];
        }
    }
    static const char kEnd[] = "\"\n      ]";
    std::memcpy(&text[used], kEnd, sizeof kEnd - 1);
    used += sizeof kEnd - 1;
    return put(text.data(), used);
}

}  // namespace

DeviceConfig DefaultDevice(std::uint32_t port) {
    DeviceConfig d;
    d.port = port;
    d.manufacturer = "Tarvio";
    d.model = "TV-9002";
    d.model_description = "Tarvio 4Gb PCI-X Fibre Channel Adapter";
    char serial[16];
    std::snprintf(serial, sizeof serial, "TV8%07u", static_cast<unsigned>(1000 + port));
    d.serial_number = serial;
    d.driver_name = "tarsli2";
    d.driver_version = "5.10a3";
    const std::uint32_t n = port + 1;
    d.port_wwn = {0x10, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(n >> 8),
                  static_cast<std::uint8_t>(n)};
    d.node_wwn = d.port_wwn;
    d.node_wwn[0] = 0x20;
    // Device ID 0xF0A5 with chip code 18: a model that takes boot image kind 0x96.
    d.vendor_specific_id = 0xF0A510DFu;
    d.number_of_ports = 1;
    d.revision_primary = 0x00012000u;
    d.revision_secondary = 0;
    d.pci_bus = 3 + port / 32;
    d.pci_slot = port % 32;
    d.boot_images = {0x03960001u};
    d.node_list = std::vector<NodeEntry>();
    return d;
}

AdapterMemory DeviceMemory(const DeviceConfig& device) {
    // The head word at 0x79C names the first entry, each entry's link names
    // the next, the last one links back to the head; entries are 48 bytes
    // from 0x800 on, the image identifier at entry offset 16. With no image
    // the head names itself, an entry with no image that ends the walk.
    constexpr std::uint32_t kHead = 0x79C, kFirstEntry = 0x800, kEntrySize = 48;
    AdapterMemory memory;
    memory[kHead] = device.boot_images.empty() ? kHead : kFirstEntry;
    for (std::size_t i = 0; i < device.boot_images.size(); ++i) {
        const std::uint32_t entry = kFirstEntry + static_cast<std::uint32_t>(i) * kEntrySize;
        memory[entry] = i + 1 == device.boot_images.size() ? kHead : entry + kEntrySize;
        memory[entry + 16] = device.boot_images[i];
    }
    for (const MemoryWords& run : device.memory)
        for (std::size_t i = 0; i < run.words.size(); ++i)
            memory[run.address + static_cast<std::uint32_t>(i) * 4] = run.words[i];
    return memory;
}

bool ParseFleet(const std::string& text, Fleet* fleet, std::string* error) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception& e) {
        *error = std::string("not valid JSON: ") + e.what();
        return false;
    }
    try {
        OnlyKeys(doc, "", {"fleet_version", "devices"});
        Fleet result;
        const json* version = Find(doc, "fleet_version");
        if (version == nullptr) Refuse("fleet_version", "missing");
        result.fleet_version = Number32(*version, "fleet_version");
        if (result.fleet_version != 1)
            Refuse("fleet_version", std::to_string(result.fleet_version) + " is not supported");
        const json* devices = Find(doc, "devices");
        if (devices == nullptr || !devices->is_array()) Refuse("devices", "expected an array");
        std::set<std::uint32_t> ports;
        for (std::size_t i = 0; i < devices->size(); ++i) {
            const std::string field = "devices[" + std::to_string(i) + "]";
            DeviceConfig d = ParseDevice((*devices)[i], field);
            if (!ports.insert(d.port).second)
                Refuse(field + ".port", "port " + std::to_string(d.port) + " is listed twice");
            result.devices.push_back(std::move(d));
        }
        *fleet = std::move(result);
        return true;
    } catch (const FieldError& e) {
        *error = e.text;
    } catch (const std::exception& e) {
        *error = e.what();
    }
    return false;
}

bool WriteFleetHead(const TextSink& put, std::uint32_t fleetVersion) {
    const std::string text =
        "{\n  \"fleet_version\": " + std::to_string(fleetVersion) + ",\n  \"devices\": [";
    return put(text.data(), text.size());
}

bool WriteFleetDevice(const TextSink& put, const DeviceConfig& device, bool first) {
    const std::string json =
        DeviceJson(device).dump(2, ' ', false, ordered_json::error_handler_t::replace);
    // One level deeper: the device sits in the array of devices.
    std::string text = first ? "\n    " : ",\n    ";
    std::size_t from = 0;
    for (std::size_t nl = json.find('\n'); nl != std::string::npos; nl = json.find('\n', from)) {
        text.append(json, from, nl + 1 - from);
        text += "    ";
        from = nl + 1;
    }
    text.append(json, from, std::string::npos);
    // No string value holds a bare line feed, so the key found after one is
    // the device's own, and the placeholder is its value.
    static const std::string kKey = "\n      \"node_list\": ";
    static const std::string kValue = ordered_json(kPackedPlaceholder).dump();
    const std::size_t key = text.find(kKey + kValue);
    if (key != std::string::npos) {
        if (!put(text.data(), key + kKey.size()) || !WritePackedNodes(*device.node_list, put))
            return false;
        text.erase(0, key + kKey.size() + kValue.size());
    }
    return put(text.data(), text.size());
}

bool WriteFleetTail(const TextSink& put, bool anyDevice) {
    const char* text = anyDevice ? "\n  ]\n}\n" : "]\n}\n";
    return put(text, std::strlen(text));
}

namespace {

bool WriteFleet(const Fleet& fleet, const TextSink& put) {
    if (!WriteFleetHead(put, fleet.fleet_version)) return false;
    for (std::size_t i = 0; i < fleet.devices.size(); ++i)
        if (!WriteFleetDevice(put, fleet.devices[i], i == 0)) return false;
    return WriteFleetTail(put, !fleet.devices.empty());
}

}  // namespace

std::string SerializeFleet(const Fleet& fleet) {
    std::string text;
    WriteFleet(fleet, [&text](const char* data, std::size_t size) {
        text.append(data, size);
        return true;
    });
    return text;
}

bool HasIncompleteDevice(const Fleet& fleet) {
    for (const DeviceConfig& d : fleet.devices)
        if (!d.incomplete.empty()) return true;
    return false;
}

bool LoadFleetFile(const std::string& path, Fleet* fleet, std::string* error) {
    std::FILE* in = fcplat::OpenFile(path.c_str(), "rb");
    if (in == nullptr) {
        *error = "cannot read " + path;
        return false;
    }
    std::string text;
    char block[65536];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, in)) > 0) text.append(block, got);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        *error = "cannot read " + path;
        return false;
    }
    std::string why;
    if (!ParseFleet(text, fleet, &why)) {
        *error = path + ": " + why;
        return false;
    }
    return true;
}

bool SaveFleetFile(const std::string& path, const Fleet& fleet, std::string* error) {
    // A reader never sees a half-written fleet, and a failed write leaves
    // the file before it as it was.
    fcplat::OutputFile file;
    if (!fcplat::OpenOutputFile(path.c_str(), false, &file)) {
        *error = "cannot write " + path;
        return false;
    }
    bool ok = WriteFleet(fleet, [&file](const char* data, std::size_t size) {
        return fcplat::WriteOutputFile(&file, data, size);
    });
    ok = fcplat::CloseOutputFile(&file) && ok;
    if (!fcplat::PlaceOutputFile(&file, ok) || !ok) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace fcfleet
