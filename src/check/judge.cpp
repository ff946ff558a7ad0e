// The judgement of a snapshot: each served adapter in both variants, what a
// save of that variant would report, whether the image it boots is in its
// flash as boot code, suits its model and finished its activation, whether
// it sees its boot device; the settings an expectation holds against what
// the adapters hold; and the number of ready adapters against -w and -c.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "bootcfg/bootcfg.h"
#include "check/check.h"
#include "remap/remap.h"

namespace fccheck {
namespace {

using fcboot::BootParams;
using fcfleet::DeviceConfig;

using fcboot::kActivatedImageOffset;
using fcboot::kSelectedImageOffset;
using fcboot::kSelectedKindOffset;
using fcboot::kServedManufacturer;

std::string Hex16(const std::uint8_t* wwn) { return fcfleet::HexBytes(wwn, 8); }

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

bool Served(const DeviceConfig& d) {
    return !d.attributes_fail && d.manufacturer.compare(0, sizeof kServedManufacturer - 1, kServedManufacturer) == 0;
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : "; ") + p;
    return out;
}

// One variant of one adapter, as a save of that variant would see it.
struct VariantState {
    bool readable = false;  // EFIB: the region holds EFIB settings
    BootParams params{};
    bool setToBoot = false;
    bool ready = false;     // set to boot and nothing stands in the way
};

struct AdapterState {
    const DeviceConfig* device = nullptr;
    std::string name;
    bool unread = false;       // not judged: the snapshot lacks some of it
    VariantState variants[2];  // BIOS, EFIB
};

const char* const kVariantNames[2] = {"BIOS", "EFIB"};

// The boot image directory entry with image identifier `id`, as the
// selection's walk reaches it: true, with *type, when the walk meets it.
bool DirectoryHolds(const fcfleet::AdapterMemory& memory, std::uint32_t id, std::uint8_t* type) {
    const auto word = [&memory](std::uint32_t address) {
        const auto it = memory.find(address);
        return it == memory.end() ? 0u : it->second;
    };
    std::uint32_t address = word(fcboot::kBootImageDirectoryHead);
    for (std::uint32_t examined = 0; examined < fcboot::kMaxBootImageDirectoryEntries; ++examined) {
        const std::uint32_t entryId = word(address + fcboot::kEntryImageOffset);
        if (entryId == id) {
            *type = static_cast<std::uint8_t>(entryId >> 24);
            return true;
        }
        address = word(address);
        if (address == fcboot::kBootImageDirectoryHead) break;
    }
    return false;
}

class Judgement {
public:
    void Add(State state, const std::string& adapter, const std::string& variant, const char* kind,
             const std::string& text) {
        Finding f;
        f.state = state;
        f.adapter = adapter;
        f.variant = variant;
        f.kind = kind;
        f.text = text;
        findings_.push_back(std::move(f));
    }
    void AddSetting(const std::string& adapter, const std::string& variant, const char* key,
                    const std::string& expected, const std::string& found) {
        Add(State::Critical, adapter, variant, "setting",
            std::string(key) + ": expected " + expected + ", found " + found);
        findings_.back().key = key;
        findings_.back().expected = expected;
        findings_.back().found = found;
    }
    std::vector<Finding>& findings() { return findings_; }

private:
    std::vector<Finding> findings_;
};

// Readiness of one adapter in one variant.
void JudgeVariant(const AdapterState& a, int v, std::uint32_t model, Judgement* j,
                  VariantState* s) {
    const DeviceConfig& d = *a.device;
    const std::string variant = kVariantNames[v];
    if (!s->readable) {
        j->Add(State::Ok, a.name, variant, "not-set-to-boot",
               "not set to boot: the adapter holds no EFIB settings");
        return;
    }
    if (!s->setToBoot) {
        j->Add(State::Ok, a.name, variant, "not-set-to-boot",
               std::string("not set to boot (HostAdapterBiosEnable=") +
                   std::to_string(s->params.HostAdapterBiosEnable) +
                   ", SelectBootEnable=" + std::to_string(s->params.SelectBootEnable) + ")");
        return;
    }
    bool ready = true;
    const std::uint32_t image = fcboot::LoadLe32(d.region4.data() + kSelectedImageOffset);
    const std::uint8_t kind = d.region4[kSelectedKindOffset];
    const std::uint32_t mode = v == 1 ? fcboot::kModeEfib : 0;
    const std::uint16_t deviceId = static_cast<std::uint16_t>(d.vendor_specific_id >> 16);
    std::uint8_t type = 0;
    const bool listed = DirectoryHolds(fcfleet::DeviceMemory(d), image, &type);
    if (!listed || type != fcboot::kBootCodeImageType) {
        j->Add(State::Critical, a.name, variant, "image-missing",
               "the selected boot image " + Hex(image, 8) +
                   (listed
                        ? " is of type " + std::to_string(type) + " in the boot image directory, not 3"
                        : std::string(" is not in the adapter's boot image directory")) +
                   ": a load keeps such a selection; load a file with SelectBootEnable=0 for "
                   "this adapter, then one with SelectBootEnable=1 to select an image it holds");
        ready = false;
    }
    if (model == 0) {
        j->Add(State::Critical, a.name, variant, "unknown-model",
               "the adapter's model is unknown (device ID " + Hex(deviceId, 4) +
                   "): no boot image can be judged for it, and a load refuses to select one");
        ready = false;
    } else if (fcboot::IsValidBootKind(model, kind, mode) != 0) {
        j->Add(State::Critical, a.name, variant, "image-kind",
               "the selected boot image " + Hex(image, 8) + " is of kind " + Hex(kind, 2) +
                   ", which model " + Hex(model, 4) + " does not take for " + variant +
                   " boot");
        ready = false;
    }
    if (model != 0 && fcboot::ModelNeedsBootImageSequence(model) &&
        !fcboot::BootImageActivationFinished(d.region4.data())) {
        j->Add(State::Critical, a.name, variant, "activation",
               "the activation of boot image " + Hex(image, 8) +
                   " did not finish (region 4 bytes 52 to 55 hold " +
                   Hex(fcboot::LoadLe32(d.region4.data() + kActivatedImageOffset), 8) +
                   "); load the file again");
        ready = false;
    }

    static const std::uint8_t kZero[8] = {};
    const std::string device = Hex16(s->params.BootDeviceWWID);
    const std::string lun = std::to_string(s->params.BootDeviceLUN);
    const bool zero = std::memcmp(s->params.BootDeviceWWID, kZero, 8) == 0;
    if (d.node_list && d.node_list->empty()) {
        j->Add(State::Warning, a.name, variant, "no-nodes",
               "the adapter sees no port at all (its node list is empty), so it reaches no "
               "boot device: check the cabling, the link and the zoning");
        ready = false;
    } else if (zero) {
        j->Add(State::Warning, a.name, variant, "device-zero",
               "the boot device name is 0: some adapter firmware then boots from the first "
               "target it finds, so this may be intended");
    } else if (d.node_list) {
        bool seen = false;
        // Up to 4 of the ports it does see, to tell a zoning fault from a
        // mistyped name.
        std::string some;
        std::size_t named = 0;
        for (const fcfleet::NodeEntry& node : *d.node_list) {
            seen = seen || std::memcmp(node.wwn.data(), s->params.BootDeviceWWID, 8) == 0;
            if (named < 4) some += (named++ == 0 ? "" : ", ") + Hex16(node.wwn.data());
        }
        if (!seen) {
            const std::size_t count = d.node_list->size();
            j->Add(State::Warning, a.name, variant, "device-unseen",
                   "the boot device " + device + " is not among the " + std::to_string(count) +
                       (count == 1 ? " port" : " ports") + " the adapter sees (" +
                       (count > 4 ? "among them " : "") + some +
                       "): check the zoning, the LUN masking and the name");
            ready = false;
        }
    } else {
        j->Add(State::Ok, a.name, variant, "no-node-list",
               "the driver keeps no node list: whether the adapter sees boot device " + device +
                   " cannot be told");
    }
    s->ready = ready;
    if (ready)
        j->Add(State::Ok, a.name, variant, "ready",
               "set to boot from " + device + " LUN " + lun + ", image " + Hex(image, 8));
}

std::string Flag(std::uint32_t value) { return std::to_string(value); }

using Wwn = std::array<std::uint8_t, 8>;
Wwn WwnOf(const std::uint8_t* bytes) {
    Wwn w;
    std::memcpy(w.data(), bytes, w.size());
    return w;
}

// Where the adapters sit, now and in a capture from before a swap.
struct Positions {
    std::vector<fcremap::Located> now, before;
    bool told = false;  // a capture from before was given
};

// An adapter the file names that the server lacks: removed, failed, or
// replaced by a card with new port names. A capture from before tells which
// by position, as the remap does; without one, the present adapters the file
// does not name are the candidates.
void JudgeAbsent(const Expectation& e, const BootParams& want, const std::vector<AdapterState>& adapters,
                 const Positions& located, Judgement* j) {
    const std::string name = Hex16(want.WWID);
    const std::string variant = kVariantNames[e.efib ? 1 : 0];
    const std::string file = e.efib ? "the --expect-efi file" : "the --expect file";
    std::set<Wwn> named;
    for (const BootParams& other : e.sections) named.insert(WwnOf(other.WWID));
    std::string told;
    if (located.told) {
        const fcremap::Succession s = fcremap::FindSuccessor(WwnOf(want.WWID), located.before, located.now, named);
        if (s.successor != nullptr) {
            const std::string next = Hex16(s.successor->port_wwn.data());
            j->Add(State::Critical, name, variant, "replaced",
                   "replaced by " + next + " at " + fcremap::PositionText(s.old->position) + ", node " +
                       Hex16(s.old->node_wwn.data()) + " -> " + Hex16(s.successor->node_wwn.data()) + ": " +
                       fcremap::SanChange(*s.old, *s.successor, want) + "; " + file +
                       " still names the old port: fcboot-capture --remap carries its section over");
            j->findings().back().successor = next;
            j->findings().back().sanChange = fcremap::SanChange(*s.old, *s.successor, want);
            return;
        }
        told = s.old == nullptr ? "; " + s.why
                                : "; the capture from before shows it at " +
                                      fcremap::PositionText(s.old->position) + ": " + s.why;
    }
    // Only adapters new since the capture from before, where there is one,
    // can have replaced it.
    std::vector<std::string> candidates;
    for (const AdapterState& a : adapters) {
        bool known = named.count(a.device->port_wwn) != 0;
        for (const fcremap::Located& b : located.before) known = known || b.port_wwn == a.device->port_wwn;
        if (!known) candidates.push_back(a.name);
    }
    std::string list;
    for (std::size_t i = 0; i < candidates.size(); ++i)
        list += (i == 0 ? "" : i + 1 == candidates.size() ? " or " : ", ") + candidates[i];
    const std::string absent = file + " names it, but no served adapter of this server has that port name";
    if (candidates.empty()) {
        j->Add(State::Critical, name, variant, "absent",
               absent + ": it may have been removed or have failed" + told);
        return;
    }
    j->Add(State::Critical, name, variant, "replaced?",
           "replaced? by " + list + ", present and not named by the file: " + absent +
               (located.told ? told
                             : " (a swapped card has new port names: --before with a capture from "
                               "before the swap tells by position)"));
    j->findings().back().candidates = candidates;
}

void JudgeExpectation(const Expectation& e, const std::vector<AdapterState>& adapters,
                      const Positions& located, Judgement* j) {
    const int v = e.efib ? 1 : 0;
    const std::string variant = kVariantNames[v];
    // Named by its option, not its path: the same report wherever the file is.
    const std::string file = e.efib ? "the --expect-efi file" : "the --expect file";
    for (const BootParams& want : e.sections) {
        const std::string name = Hex16(want.WWID);
        const auto it = std::find_if(adapters.begin(), adapters.end(),
                                     [&](const AdapterState& a) { return a.name == name; });
        if (it == adapters.end()) {
            JudgeAbsent(e, want, adapters, located, j);
            continue;
        }
        if (it->unread) continue;  // already unknown
        const VariantState& s = it->variants[v];
        const bool wantsBoot = want.HostAdapterBiosEnable == 1 && want.SelectBootEnable == 1;
        if (!s.readable) {
            j->Add(State::Critical, name, variant, "setting",
                   "the adapter holds no EFIB settings, which " + file + " sets");
        } else {
            const BootParams& got = s.params;
            if (want.HostAdapterBiosEnable != got.HostAdapterBiosEnable)
                j->AddSetting(name, variant, "HostAdapterBiosEnable", Flag(want.HostAdapterBiosEnable),
                              Flag(got.HostAdapterBiosEnable));
            if (want.SelectBootEnable != got.SelectBootEnable)
                j->AddSetting(name, variant, "SelectBootEnable", Flag(want.SelectBootEnable),
                              Flag(got.SelectBootEnable));
            if (std::memcmp(want.BootDeviceWWID, got.BootDeviceWWID, 8) != 0)
                j->AddSetting(name, variant, "BootDeviceWWID", Hex16(want.BootDeviceWWID),
                              Hex16(got.BootDeviceWWID));
            if (want.BootDeviceLUN != got.BootDeviceLUN)
                j->AddSetting(name, variant, "BootDeviceLUN[0]", std::to_string(want.BootDeviceLUN),
                              std::to_string(got.BootDeviceLUN));
        }
        if (wantsBoot && !s.ready)
            j->Add(State::Critical, name, variant, "not-ready",
                   file + " sets it to boot, but it is not ready" +
                       (s.setToBoot ? ": see the findings above" : ": it is not set to boot"));
    }
}

int Rank(State s) {
    switch (s) {
        case State::Critical: return 0;
        case State::Unknown: return 1;
        case State::Warning: return 2;
        case State::Ok: break;
    }
    return 3;
}

std::string Plural(unsigned n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

const char* StateWord(State state) {
    switch (state) {
        case State::Ok: return "OK";
        case State::Warning: return "WARNING";
        case State::Critical: return "CRITICAL";
        case State::Unknown: break;
    }
    return "UNKNOWN";
}

Verdict Unknown(const std::string& why) {
    Verdict v;
    v.state = State::Unknown;
    v.summary = why;
    return v;
}

namespace {

// A number as the guidelines write one: an optional sign, digits, an
// optional fraction.
bool ParseNumber(const std::string& text, double* value) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    const std::size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == digits) return false;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fraction = ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        if (i == fraction) return false;
    }
    if (i != text.size()) return false;
    *value = std::strtod(text.c_str(), nullptr);
    return true;
}

}  // namespace

bool ParseRange(const std::string& text, Range* range) {
    Range r;
    r.set = true;
    r.text = text;
    std::string body = text;
    if (!body.empty() && body[0] == '@') {
        r.inside = true;
        body.erase(0, 1);
    }
    const std::size_t colon = body.find(':');
    if (colon == std::string::npos) {
        // "N": 0 to N.
        if (!ParseNumber(body, &r.high)) return false;
        r.low = 0;
    } else {
        const std::string start = body.substr(0, colon), end = body.substr(colon + 1);
        if (start == "~")
            r.lowInfinite = true;
        else if (!ParseNumber(start, &r.low))
            return false;
        if (end.empty())
            r.highInfinite = true;
        else if (!ParseNumber(end, &r.high))
            return false;
    }
    if (!r.lowInfinite && !r.highInfinite && r.low > r.high) return false;
    *range = r;
    return true;
}

bool RangeAlerts(const Range& range, double value) {
    if (!range.set) return false;
    const bool within = (range.lowInfinite || value >= range.low) &&
                        (range.highInfinite || value <= range.high);
    return range.inside ? within : !within;
}

Thresholds::Thresholds() { ParseRange("1:", &critical); }

Verdict Judge(const fcfleet::Fleet& fleet, const std::vector<Expectation>& expectations,
              const Thresholds& thresholds, const fcfleet::Fleet* before) {
    Judgement j;
    std::vector<AdapterState> adapters;
    bool unread = false;  // something the counts would take in could not be read
    for (const DeviceConfig& d : fleet.devices) {
        if (!Served(d)) {
            if (d.incomplete.empty()) continue;
            // A port that fails to open for another reason than rights is
            // passed over, as the utility's discovery passes it over.
            static const char kOpenFailed[] = "open failed with Windows error";
            if (d.incomplete.front().compare(0, sizeof kOpenFailed - 1, kOpenFailed) == 0) {
                j.Add(State::Ok, "", "", "skipped",
                      "port " + std::to_string(d.port) + ": " + Joined(d.incomplete) +
                          "; passed over, as fcboot passes it over");
                continue;
            }
            // A device that could not be asked may be an adapter of ours.
            j.Add(State::Unknown, "", "", "unreadable",
                  "port " + std::to_string(d.port) + ": " + Joined(d.incomplete));
            unread = true;
            continue;
        }
        AdapterState a;
        a.device = &d;
        a.name = Hex16(d.port_wwn.data());
        if (!d.incomplete.empty()) {
            // Judged on what could be read, it might pass for ready.
            j.Add(State::Unknown, a.name, "", "unreadable",
                  "port " + std::to_string(d.port) + " could not be read whole: " + Joined(d.incomplete));
            a.unread = true;
            unread = true;
            adapters.push_back(a);  // its name still counts for the expectations
            continue;
        }
        const std::uint16_t deviceId = static_cast<std::uint16_t>(d.vendor_specific_id >> 16);
        const std::uint32_t model = fcboot::ModelForIdentity(
            deviceId, fcboot::ChipCodeOf(d.revision_primary, d.revision_secondary, deviceId));
        for (int v = 0; v < 2; ++v) {
            VariantState& s = a.variants[v];
            if (v == 0) {
                fcboot::DecodeBootParamsBios(d.region4.data(), d.region8.data(), &s.params);
                s.readable = true;
            } else {
                s.readable = fcboot::DecodeBootParamsEfib(d.region4.data(), d.region10.data(),
                                                          &s.params) == fcboot::kBootOk;
            }
            s.setToBoot = s.readable && s.params.HostAdapterBiosEnable == 1 &&
                          s.params.SelectBootEnable == 1;
            JudgeVariant(a, v, model, &j, &s);
        }
        adapters.push_back(a);
    }
    Positions located;
    located.now = fcremap::LocateAdapters(fleet);
    if (before != nullptr) {
        located.before = fcremap::LocateAdapters(*before);
        located.told = true;
    }
    for (const Expectation& e : expectations) JudgeExpectation(e, adapters, located, &j);

    Verdict verdict;
    verdict.thresholds = thresholds;
    verdict.countsKnown = !unread;
    verdict.adapters = static_cast<unsigned>(adapters.size());
    for (const AdapterState& a : adapters) {
        AdapterReadiness r;
        r.adapter = a.name;
        r.unread = a.unread;
        for (int v = 0; v < 2; ++v) r.ready[v] = a.variants[v].ready;
        const bool set = a.variants[0].setToBoot || a.variants[1].setToBoot;
        verdict.setToBoot += set ? 1 : 0;
        verdict.ready += r.ready[0] || r.ready[1] ? 1 : 0;
        verdict.readiness.push_back(r);
    }

    // The ready count against the thresholds. A count that misses what
    // could not be read is no count to judge: the check could not look.
    const bool critical = RangeAlerts(thresholds.critical, verdict.ready);
    const Range& crossed = critical ? thresholds.critical : thresholds.warning;
    if (critical || RangeAlerts(thresholds.warning, verdict.ready)) {
        const State state = unread ? State::Unknown : critical ? State::Critical : State::Warning;
        const std::string n = Plural(verdict.ready, "adapter", "adapters");
        Finding f;
        f.state = state;
        f.kind = "ready-count";
        f.text = (verdict.ready == 1 ? n + " is" : n + " are") + " ready to boot the server, outside " +
                 (critical ? "-c " : "-w ") + crossed.text +
                 (unread ? ", counting only what could be read"
                  : verdict.ready == 0
                      ? ", so it will not boot from the SAN: set an adapter to boot (a load "
                        "of its file) and see the findings below"
                      : ", fewer boot paths than wanted: see the findings below");
        j.findings().insert(j.findings().begin(), std::move(f));
    }

    verdict.findings = std::move(j.findings());
    std::stable_sort(verdict.findings.begin(), verdict.findings.end(),
                     [](const Finding& x, const Finding& y) { return Rank(x.state) < Rank(y.state); });
    for (const Finding& f : verdict.findings) {
        verdict.warnings += f.state == State::Warning ? 1 : 0;
        verdict.critical += f.state == State::Critical ? 1 : 0;
    }

    verdict.state = verdict.findings.empty() ? State::Ok : verdict.findings.front().state;
    verdict.summary = Plural(verdict.adapters, "adapter", "adapters") + ", " +
                      std::to_string(verdict.setToBoot) + " set to boot, " +
                      std::to_string(verdict.ready) + " ready";
    if (verdict.state != State::Ok) {
        const Finding& worst = verdict.findings.front();
        verdict.summary += ": " + (worst.adapter.empty() ? "" : worst.adapter + " ") +
                           (worst.variant.empty() ? "" : worst.variant + ": ") + worst.text;
    }
    return verdict;
}

}  // namespace fccheck
