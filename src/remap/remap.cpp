// The remap: the boot configuration file read as a load reads it, the
// server read as a capture reads it, and the file written again with only
// the WWID values of replaced adapters changed.
#include "remap/remap.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "adapter/adapter.h"
#include "bootcfg/bootcfg.h"
#include "capture/capture.h"
#include "frontend/frontend.h"
#include "platform/names.h"
#include "platform/output_file.h"
#include "platform/server_lock.h"

namespace fcremap {
namespace {

using Wwn = std::array<std::uint8_t, 8>;

std::string Name(const Wwn& w) { return fcfleet::HexBytes(w.data(), w.size()); }

// Where a section's WWID value stands in the file: the value word that the
// load took from the section's last accepted WWID line.
struct Spot {
    std::uint32_t line = 0;  // from 1
    std::size_t inLine = 0;  // bytes from the start of the line
    std::string word;        // as the load read it
};

struct Section {
    fcboot::BootParams record{};
    Spot spot;
};

struct Collector {
    std::vector<Section> sections;
    Spot spot;
    std::size_t lineOffset = 0;  // where the current piece starts in its line
};

void TakePiece(void* context, const fcboot::ConfigPiece& p) {
    Collector& c = *static_cast<Collector*>(context);
    if (!p.continued) c.lineOffset = 0;
    if (p.kind == fcboot::ConfigPieceKind::Accepted && p.bit == fcboot::ConfigKeywords[1].bit)
        c.spot = Spot{p.line, c.lineOffset + p.valueAt, std::string(p.text + p.valueAt, p.valueLength)};
    c.lineOffset += p.length;
}

std::uint32_t TakeSection(void* context, const fcboot::BootParams& record) {
    Collector& c = *static_cast<Collector*>(context);
    c.sections.push_back(Section{record, c.spot});
    return 0;
}

bool ReadBytes(const std::string& path, std::string* bytes) {
    std::FILE* file = fcplat::OpenFile(path.c_str(), "rb");
    if (file == nullptr) return false;
    char buffer[4096];
    std::size_t n = 0;
    bytes->clear();
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes->append(buffer, n);
    const bool read = std::ferror(file) == 0;
    return std::fclose(file) == 0 && read;
}

// The complete sections of a boot configuration file, each as a load takes
// it, read in text mode as the load reads it.
bool ReadSections(const std::string& path, std::vector<Section>* sections) {
    std::FILE* file = fcplat::OpenFile(path.c_str(), "rt");
    if (file == nullptr) return false;
    Collector c;
    fcboot::ConfigReaderHooks hooks;
    hooks.context = &c;
    hooks.apply = TakeSection;
    hooks.piece = TakePiece;
    const fcboot::ConfigReadResult result = fcboot::ReadBootConfig(file, hooks);
    std::fclose(file);
    *sections = std::move(c.sections);
    return !result.readFailed;
}

bool IsAdapter(const fcfleet::DeviceConfig& d) {
    const std::size_t n = sizeof fcboot::kServedManufacturer - 1;
    return !d.attributes_fail && d.manufacturer.compare(0, n, fcboot::kServedManufacturer) == 0;
}

const Located* WithPortName(const std::vector<Located>& adapters, const Wwn& w) {
    for (const Located& a : adapters)
        if (a.port_wwn == w) return &a;
    return nullptr;
}

const Located* AtPosition(const std::vector<Located>& adapters, const Position& p) {
    for (const Located& a : adapters)
        if (a.position == p) return &a;
    return nullptr;
}

struct Plan {
    std::vector<std::pair<std::size_t, Wwn>> rewrites;  // section, new name
    std::vector<std::string> lines;                     // the report, one per replacement
    std::vector<std::string> problems;
};

std::string Describe(const Located& a) {
    return Name(a.port_wwn) + " (node " + Name(a.node_wwn) + ") at " + PositionText(a.position);
}

Wwn NameOf(const std::uint8_t* bytes) {
    Wwn w;
    std::memcpy(w.data(), bytes, w.size());
    return w;
}

std::string ReportLine(const Located& old, const Located& successor, const fcboot::BootParams& record) {
    return PositionText(old.position) + ": port " + Name(old.port_wwn) + " -> " +
           Name(successor.port_wwn) + ", node " + Name(old.node_wwn) + " -> " +
           Name(successor.node_wwn) + ": " + SanChange(old, successor, record) + "\n";
}

Plan MakePlan(const std::vector<Section>& sections, const std::vector<Located>& before,
              const std::vector<Located>& now) {
    Plan plan;
    std::set<Wwn> named;
    for (const Section& s : sections) named.insert(NameOf(s.record.WWID));
    // The adapters that are new since the capture and that no section names:
    // the only candidates for a successor.
    std::string unclaimed;
    for (const Located& a : now)
        if (WithPortName(before, a.port_wwn) == nullptr && named.count(a.port_wwn) == 0)
            unclaimed += (unclaimed.empty() ? "" : "; ") + Describe(a);
    if (unclaimed.empty()) unclaimed = "none";

    std::set<std::string> said;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = sections[i];
        const Wwn w = NameOf(s.record.WWID);
        if (WithPortName(now, w) != nullptr) continue;  // present: the section follows the name
        const std::string where = "line " + std::to_string(s.spot.line) + ": " + Name(w);
        const Succession found = FindSuccessor(w, before, now, named);
        if (found.old == nullptr) {
            plan.problems.push_back(where + " is absent, and " + found.why);
            continue;
        }
        if (found.successor == nullptr) {
            plan.problems.push_back(where + " is absent, and was at " + PositionText(found.old->position) +
                                    ": " + found.why +
                                    (found.there == nullptr ? "; new adapters no section names: " + unclaimed
                                                            : std::string()));
            continue;
        }
        plan.rewrites.emplace_back(i, found.successor->port_wwn);
        const std::string line = ReportLine(*found.old, *found.successor, s.record);
        if (said.insert(line).second) plan.lines.push_back(line);
    }
    return plan;
}

// Where each line of the file starts, from line 1 on.
std::vector<std::size_t> LineStarts(const std::string& bytes) {
    std::vector<std::size_t> starts{0, 0};
    for (std::size_t at = 0; at < bytes.size(); ++at)
        if (bytes[at] == '\n') starts.push_back(at + 1);
    return starts;
}

// IN with each rewritten section's WWID value replaced by its new name, as
// a save writes names. A value of another length changes the line's length;
// that is done only where the line still fits one piece of the reader, so
// that a load reads the new line as it read the old one. False, with the
// line in *problem, where that cannot be had. The sections, and so their
// values, come in file order.
bool Rewrite(const std::string& in, const std::vector<Section>& sections, const Plan& plan,
             std::string* out, std::string* problem) {
    const std::vector<std::size_t> starts = LineStarts(in);
    out->clear();
    std::size_t from = 0;
    for (const auto& r : plan.rewrites) {
        const Spot& spot = sections[r.first].spot;
        const std::string name = Name(r.second);
        const std::size_t at = spot.line < starts.size() ? starts[spot.line] + spot.inLine : in.size();
        if (at < from || at > in.size() || in.compare(at, spot.word.size(), spot.word) != 0) {
            *problem = "line " + std::to_string(spot.line) + ": not found where the load read it";
            return false;
        }
        if (spot.word.size() != name.size()) {
            std::size_t end = in.find('\n', at);
            if (end == std::string::npos) end = in.size();
            std::size_t content = end - starts[spot.line];
            if (content > 0 && in[end - 1] == '\r') --content;
            // Room for the line end in either form.
            if (content - spot.word.size() + name.size() + 2 > fcboot::kMaxLinePiece) {
                *problem = "line " + std::to_string(spot.line) +
                           ": the WWID value is shorter than 16 digits in a line too long to "
                           "widen it; write it with 16 digits";
                return false;
            }
        }
        out->append(in, from, at - from);
        out->append(name);
        from = at + spot.word.size();
    }
    out->append(in, from, std::string::npos);
    return true;
}

int Fail(std::FILE* err, const char* program, const std::string& what, int code) {
    fcplat::PrintText(err, "%s: %s\n", program, what.c_str());
    return code;
}

}  // namespace

bool operator==(const Position& a, const Position& b) {
    return a.bus == b.bus && a.device == b.device && a.function == b.function && a.index == b.index;
}

std::string PositionText(const Position& p) {
    std::string text = "bus " + std::to_string(p.bus) + " device " + std::to_string(p.device) +
                       " function " + std::to_string(p.function);
    if (p.shared) text += " port " + std::to_string(p.index);
    return text;
}

std::vector<Located> LocateAdapters(const fcfleet::Fleet& fleet) {
    std::vector<const fcfleet::DeviceConfig*> devices;
    for (const fcfleet::DeviceConfig& d : fleet.devices)
        if (IsAdapter(d)) devices.push_back(&d);
    std::stable_sort(devices.begin(), devices.end(),
                     [](const fcfleet::DeviceConfig* a, const fcfleet::DeviceConfig* b) {
                         return a->port < b->port;
                     });
    std::vector<Located> adapters;
    for (const fcfleet::DeviceConfig* d : devices) {
        Located a;
        a.port_wwn = d->port_wwn;
        a.node_wwn = d->node_wwn;
        // RETURN_INFO's slot word: the device number in bits 0-4, the
        // function in bits 5-7.
        a.position.bus = d->pci_bus;
        a.position.device = d->pci_slot & 0x1Fu;
        a.position.function = (d->pci_slot >> 5) & 0x7u;
        for (Located& earlier : adapters) {
            Position p = earlier.position;
            p.index = a.position.index;
            if (p == a.position) {
                ++a.position.index;
                earlier.position.shared = a.position.shared = true;
            }
        }
        adapters.push_back(a);
    }
    return adapters;
}

bool LoadBeforeCapture(const std::string& path, fcfleet::Fleet* before, std::string* error) {
    if (!fcfleet::LoadFleetFile(path, before, error)) return false;
    if (!fcfleet::HasIncompleteDevice(*before)) return true;
    *error = path + " holds devices a capture could not read whole: take a complete capture before a swap";
    return false;
}

Succession FindSuccessor(const Wwn& absent, const std::vector<Located>& before, const std::vector<Located>& now,
                         const std::set<Wwn>& named) {
    Succession s;
    s.old = WithPortName(before, absent);
    if (s.old == nullptr) {
        s.why = "the capture before the swap shows no adapter with that port name, so its position is unknown";
        return s;
    }
    s.there = AtPosition(now, s.old->position);
    if (s.there == nullptr)
        s.why = "no adapter is there now";
    else if (const Located* was = WithPortName(before, s.there->port_wwn))
        s.why = "the adapter there now, " + Name(s.there->port_wwn) + ", was at " + PositionText(was->position) +
                " before: it moved, and replaced nothing";
    else if (named.count(s.there->port_wwn) != 0)
        s.why = "the adapter there now, " + Name(s.there->port_wwn) + ", is already named by another section";
    else
        s.successor = s.there;
    return s;
}

std::string SanChange(const Located& old, const Located& successor, const fcboot::BootParams& record) {
    std::string change = "replace initiator " + Name(old.port_wwn) + " with " + Name(successor.port_wwn) +
                         " in the zones and masking";
    const Wwn device = NameOf(record.BootDeviceWWID);
    if (device != Wwn{})
        change += " that present boot device " + Name(device) + " LUN " + std::to_string(record.BootDeviceLUN);
    return change;
}

int RunRemap(const std::string& before, const std::string& in, const std::string& out,
             std::FILE* report, std::FILE* err, const char* program) {
    fcfleet::Fleet then;
    std::string error;
    if (!LoadBeforeCapture(before, &then, &error)) return Fail(err, program, error, kRemapFile);
    std::string text;
    std::vector<Section> sections;
    if (!ReadBytes(in, &text) || !ReadSections(in, &sections))
        return Fail(err, program, "cannot read " + in, kRemapFile);
    // Opened before the server is read, as the capture does, so that a
    // target that cannot be written is said as such whatever the adapters.
    fcplat::OutputFile file;
    if (!fcplat::OpenOutputFile(out.c_str(), false, &file))
        return Fail(err, program, "cannot write " + out, kRemapFile);
    const auto nothing = [&](const std::string& why, int code) {
        fcplat::CloseOutputFile(&file);
        fcplat::PlaceOutputFile(&file, false);
        return Fail(err, program, why + "; nothing written", code);
    };

    // The utility's own dump failure line would break the report: the
    // capture marks such a device incomplete instead.
    // Read as a capture reads, under the same lock: a server read half-way
    // through another program's load is no server's.
    if (fcplat::TakeServerLock(fcboot::g_ServerLockWaitMs) == fcplat::ServerLock::Busy)
        return nothing("another fcboot program is using the adapters", fccapture::kCaptureBusy);
    const bool dumpLine = fcboot::g_DumpFailureLine;
    fcboot::g_DumpFailureLine = false;
    const fcfleet::Fleet now = fccapture::CaptureServer();
    fcboot::g_DumpFailureLine = dumpLine;
    fcplat::ReleaseServerLock();
    for (const fcfleet::DeviceConfig& d : now.devices)
        for (const std::string& problem : d.incomplete)
            fcplat::PrintText(err, "%s: port %u: %s\n", program, static_cast<unsigned>(d.port),
                              problem.c_str());
    if (fcfleet::HasIncompleteDevice(now))
        return nothing("the server could not be read whole", fccapture::kCaptureIncomplete);
    const std::vector<Located> adapters = LocateAdapters(now);
    if (adapters.empty())
        return nothing("no adapter at \\\\.\\Scsi0: to \\\\.\\Scsi255:", fccapture::kCaptureNoDevice);

    const Plan plan = MakePlan(sections, LocateAdapters(then), adapters);
    for (const std::string& problem : plan.problems)
        fcplat::PrintText(err, "%s: %s\n", program, problem.c_str());
    if (!plan.problems.empty())
        return nothing("an absent adapter has no successor", kRemapUnresolved);
    std::string remapped;
    if (!Rewrite(text, sections, plan, &remapped, &error))
        return nothing(in + ": " + error, kRemapFile);

    const bool written = fcplat::WriteOutputFile(&file, remapped.data(), remapped.size());
    if (!fcplat::CloseOutputFile(&file) || !fcplat::PlaceOutputFile(&file, written) || !written)
        return Fail(err, program, "cannot write " + out, kRemapFile);
    for (const std::string& line : plan.lines) fcplat::WriteText(report, line);
    return kRemapOk;
}

int RemapMain(int argc, char** argv) {
    if (argc != 5) {
        fcplat::PrintText(stderr,
                          "fcboot-capture: --remap takes BEFORE.json IN.cfg OUT.cfg\n"
                          "usage: fcboot-capture --remap BEFORE.json IN.cfg OUT.cfg\n");
        return kRemapUnresolved;
    }
    return RunRemap(argv[2], argv[3], argv[4], stdout, stderr, "fcboot-capture");
}

}  // namespace fcremap
