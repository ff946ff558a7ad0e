// The judgement of a snapshot: each served adapter in both variants, what a
// save of that variant would report, whether the image it boots suits its
// model and finished its activation, whether it sees its boot device; and
// the settings an expectation holds against what the adapters hold.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "bootcfg/bootcfg.h"
#include "check/check.h"

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
    bool critical = false;
};

struct AdapterState {
    const DeviceConfig* device = nullptr;
    std::string name;
    bool unread = false;       // not judged: the snapshot lacks some of it
    VariantState variants[2];  // BIOS, EFIB
};

const char* const kVariantNames[2] = {"BIOS", "EFIB"};

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
    const std::uint32_t image = fcboot::LoadLe32(d.region4.data() + kSelectedImageOffset);
    const std::uint8_t kind = d.region4[kSelectedKindOffset];
    const std::uint32_t mode = v == 1 ? fcboot::kModeEfib : 0;
    const std::uint16_t deviceId = static_cast<std::uint16_t>(d.vendor_specific_id >> 16);
    if (model == 0) {
        j->Add(State::Critical, a.name, variant, "unknown-model",
               "the adapter's model is unknown (device ID " + Hex(deviceId, 4) +
                   "): no boot image can be judged for it, and a load refuses to select one");
        s->critical = true;
    } else if (fcboot::IsValidBootKind(model, kind, mode) != 0) {
        j->Add(State::Critical, a.name, variant, "image-kind",
               "the selected boot image " + Hex(image, 8) + " is of kind " + Hex(kind, 2) +
                   ", which model " + Hex(model, 4) + " does not take for " + variant +
                   " boot");
        s->critical = true;
    }
    if (model != 0 && fcboot::ModelNeedsBootImageSequence(model) &&
        !fcboot::BootImageActivationFinished(d.region4.data())) {
        j->Add(State::Critical, a.name, variant, "activation",
               "the activation of boot image " + Hex(image, 8) +
                   " did not finish (region 4 bytes 52 to 55 hold " +
                   Hex(fcboot::LoadLe32(d.region4.data() + kActivatedImageOffset), 8) +
                   "); load the file again");
        s->critical = true;
    }

    static const std::uint8_t kZero[8] = {};
    const std::string device = Hex16(s->params.BootDeviceWWID);
    const std::string lun = std::to_string(s->params.BootDeviceLUN);
    if (std::memcmp(s->params.BootDeviceWWID, kZero, 8) == 0) {
        j->Add(State::Warning, a.name, variant, "device-zero",
               "the boot device name is 0: some adapter firmware then boots from the first "
               "target it finds, so this may be intended");
    } else if (d.node_list && !d.node_list->empty()) {
        bool seen = false;
        for (const fcfleet::NodeEntry& node : *d.node_list)
            seen = seen || std::memcmp(node.wwn.data(), s->params.BootDeviceWWID, 8) == 0;
        if (!seen)
            j->Add(State::Warning, a.name, variant, "device-unseen",
                   "the boot device " + device + " is not among the " +
                       std::to_string(d.node_list->size()) +
                       " ports the adapter sees: check the zoning, the LUN masking and the name");
    } else if (!d.node_list) {
        j->Add(State::Ok, a.name, variant, "no-node-list",
               "the driver keeps no node list: whether the adapter sees boot device " + device +
                   " cannot be told");
    }
    if (!s->critical)
        j->Add(State::Ok, a.name, variant, "ready",
               "set to boot from " + device + " LUN " + lun + ", image " + Hex(image, 8));
}

std::string Flag(std::uint32_t value) { return std::to_string(value); }

void JudgeExpectation(const Expectation& e, const std::vector<AdapterState>& adapters,
                      Judgement* j) {
    const int v = e.efib ? 1 : 0;
    const std::string variant = kVariantNames[v];
    // Named by its option, not its path: the same report wherever the file is.
    const std::string file = e.efib ? "the --expect-efi file" : "the --expect file";
    for (const BootParams& want : e.sections) {
        const std::string name = Hex16(want.WWID);
        const auto it = std::find_if(adapters.begin(), adapters.end(),
                                     [&](const AdapterState& a) { return a.name == name; });
        if (it == adapters.end()) {
            j->Add(State::Critical, name, variant, "absent",
                   file + " names it, but no served adapter of this server has that port name");
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
        if (wantsBoot && (!s.setToBoot || s.critical))
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

Verdict Judge(const fcfleet::Fleet& fleet, const std::vector<Expectation>& expectations) {
    Judgement j;
    std::vector<AdapterState> adapters;
    std::vector<std::string> unreadDevices;
    for (const DeviceConfig& d : fleet.devices) {
        if (!Served(d)) {
            // A device that could not be asked may be an adapter of ours.
            if (!d.incomplete.empty()) {
                j.Add(State::Unknown, "", "", "unreadable",
                      "port " + std::to_string(d.port) + ": " + Joined(d.incomplete));
                unreadDevices.push_back(j.findings().back().text);
            }
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
    for (const Expectation& e : expectations) JudgeExpectation(e, adapters, &j);

    Verdict verdict;
    verdict.adapters = static_cast<unsigned>(adapters.size());
    for (const AdapterState& a : adapters) {
        const bool set = a.variants[0].setToBoot || a.variants[1].setToBoot;
        const bool ready = (a.variants[0].setToBoot && !a.variants[0].critical) ||
                           (a.variants[1].setToBoot && !a.variants[1].critical);
        verdict.setToBoot += set ? 1 : 0;
        verdict.ready += ready ? 1 : 0;
    }
    verdict.findings = std::move(j.findings());
    std::stable_sort(verdict.findings.begin(), verdict.findings.end(),
                     [](const Finding& x, const Finding& y) { return Rank(x.state) < Rank(y.state); });
    for (const Finding& f : verdict.findings) {
        verdict.warnings += f.state == State::Warning ? 1 : 0;
        verdict.critical += f.state == State::Critical ? 1 : 0;
    }

    const std::string counts = Plural(verdict.adapters, "adapter", "adapters") + ", " +
                               std::to_string(verdict.setToBoot) + " set to boot, " +
                               std::to_string(verdict.ready) + " ready";
    if (adapters.empty()) {
        verdict.state = State::Unknown;
        verdict.summary = "no served adapter found";
        // Refused opens are what a run without administrator rights meets.
        if (!unreadDevices.empty()) verdict.summary += " (" + unreadDevices.front() + ")";
        return verdict;
    }
    verdict.state = verdict.findings.empty() ? State::Ok : verdict.findings.front().state;
    verdict.summary = counts;
    if (verdict.state != State::Ok) {
        const Finding& worst = verdict.findings.front();
        verdict.summary += ": " + (worst.adapter.empty() ? "" : worst.adapter + " ") +
                           (worst.variant.empty() ? "" : worst.variant + ": ") + worst.text;
    }
    return verdict;
}

}  // namespace fccheck
