// fcboot-check's command line, its expectations read as a load reads them,
// and the verdict written in the monitoring-plugin convention.
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "capture/capture.h"
#include "check/check.h"
#include "diff/diff.h"
#include "fcboot_version.h"
#include "frontend/frontend.h"
#include "platform/names.h"
#include "platform/server_lock.h"
#include "remap/remap.h"

namespace fccheck {
namespace {

const char kUsage[] =
    "usage: fcboot-check [-w RANGE] [-c RANGE] [--fleet FILE] [--expect FILE]\n"
    "                    [--expect-efi FILE] [--before FILE] [--json]\n"
    "       fcboot-check --help | --version\n"
    "\n"
    "Tells whether this server will boot from the SAN, changing nothing: reads every\n"
    "adapter with read-only requests (with --fleet, judges the fleet file FILE\n"
    "instead: a capture, or a twin after a rehearsed load) and judges each in its\n"
    "BIOS and EFIB boot settings. An adapter is ready when it is set to boot, its\n"
    "selected image is in its boot image directory (type 3) and suits its model,\n"
    "the image's activation finished, and, where the driver keeps a node list, it\n"
    "sees a port and the boot device among them. Critical: an adapter set to boot\n"
    "whose image is missing, does not suit its model or was not activated, or whose\n"
    "model is unknown. Warning: a boot device of name 0, one the node list does not\n"
    "hold, an empty node list.\n"
    "  -w RANGE           warning when the number of ready adapters is outside RANGE\n"
    "  -c RANGE           critical likewise (default 1: -- at least one ready adapter;\n"
    "                     -c 0: lets a server have none). RANGE as monitoring plugins\n"
    "                     write it: N (0 to N), N: (N or more), ~:N (N or fewer), N:M,\n"
    "                     and @N:M (alert inside N to M)\n"
    "  --expect FILE      also compares FILE, a boot configuration file, as /s saves;\n"
    "                     any difference, any adapter it names that is missing or\n"
    "                     that it sets to boot and is not ready, is critical\n"
    "  --expect-efi FILE  the same as /se saves\n"
    "  --before FILE      a capture taken before an adapter was replaced: an adapter\n"
    "                     the files name that is absent is said as \"replaced by NEW\"\n"
    "                     when NEW is at its PCI position now, with the change the\n"
    "                     SAN needs (without it, \"replaced?\" names the candidates)\n"
    "  --json             the same report as one JSON document\n"
    "\n"
    "The first line is \"FCBOOT <STATE> - <summary> | <perfdata>\", then one line per\n"
    "finding. Exit codes: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (the check could not\n"
    "look: no rights, a device that could not be read, a file that cannot be read\n"
    "or has findings of its own, another fcboot program using the adapters for 5 s,\n"
    "wrong use).\n";

// How long a check waits while another fcboot program works on the
// adapters: well inside a monitoring client's usual 10 s.
constexpr unsigned kCheckLockWaitMs = 5000;

struct Options {
    std::string fleet, before;
    std::vector<std::pair<std::string, bool>> expect;  // path, EFIB
    bool hasFleet = false, hasExpect = false, hasExpectEfi = false, hasBefore = false, json = false;
    bool hasWarning = false, hasCritical = false;
    Thresholds thresholds;
};

bool ParseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (arg == "--json") {
            if (o->json) {
                *error = "--json given twice";
                return false;
            }
            o->json = true;
            continue;
        }
        bool* seen = arg == "--fleet"        ? &o->hasFleet
                     : arg == "--expect"     ? &o->hasExpect
                     : arg == "--expect-efi" ? &o->hasExpectEfi
                     : arg == "--before"     ? &o->hasBefore
                     : arg == "-w"           ? &o->hasWarning
                     : arg == "-c"           ? &o->hasCritical
                                             : nullptr;
        if (seen == nullptr) {
            *error = arg.compare(0, 1, "-") == 0 ? "unknown option " + arg
                                                 : "unexpected argument " + arg;
            return false;
        }
        if (*seen) {
            *error = arg + " given twice";
            return false;
        }
        const bool range = arg == "-w" || arg == "-c";
        if (i + 1 >= argc || argv[i + 1] == nullptr) {
            *error = arg + (range ? " needs a range" : " needs a file name");
            return false;
        }
        *seen = true;
        const std::string value = argv[++i];
        if (range) {
            if (!ParseRange(value, arg == "-w" ? &o->thresholds.warning : &o->thresholds.critical)) {
                *error = arg + " " + value + " is no range (N, N:, ~:N, N:M or @N:M)";
                return false;
            }
        } else if (arg == "--fleet")
            o->fleet = value;
        else if (arg == "--before")
            o->before = value;
        else
            o->expect.emplace_back(value, arg == "--expect-efi");
    }
    // It tells what became of the adapters the files name.
    if (o->hasBefore && o->expect.empty()) {
        *error = "--before needs --expect or --expect-efi";
        return false;
    }
    return true;
}

std::uint32_t TakeSection(void* context, const fcboot::BootParams& record) {
    static_cast<Expectation*>(context)->sections.push_back(record);
    return 0;
}

// label=value;warn;crit;min;max, as the guidelines write perfdata.
std::string PerfCount(const char* name, unsigned value, const std::string& thresholds,
                      const std::string& max) {
    return std::string(name) + "=" + std::to_string(value) + ";" + thresholds + ";0" +
           (max.empty() ? "" : ";" + max);
}

// Empty when the counts are not what the server holds: a graph would plot
// them as real.
std::string Perfdata(const Verdict& v) {
    if (!v.countsKnown || v.state == State::Unknown) return std::string();
    const Thresholds& t = v.thresholds;
    const std::string all = std::to_string(v.adapters);
    return PerfCount("adapters", v.adapters, ";", "") + " " +
           PerfCount("set_to_boot", v.setToBoot, ";", all) + " " +
           PerfCount("ready", v.ready, t.warning.text + ";" + t.critical.text, all) + " " +
           PerfCount("warnings", v.warnings, ";", "") + " " +
           PerfCount("critical", v.critical, ";", "");
}

// Plugin output is one line per item: a line end inside a text would start
// a line of its own, and a '|' the perfdata (a file's text may quote one).
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
        if (c == '|') c = '/';
    }
    return text;
}

}  // namespace

bool ReadExpectation(const std::string& path, bool efib, Expectation* expectation,
                     std::string* error) {
    expectation->path = path;
    expectation->efib = efib;
    expectation->sections.clear();
    // Text after a value, a section a load skips, a name repeated: a file a
    // load would not take as written is no measure of what the adapters
    // should hold.
    fcdiff::Report lint;
    if (!fcdiff::LintFile(path, &lint, error)) return false;
    if (!lint.differences.empty()) {
        *error = path + " has findings of its own (" + lint.differences.front().text +
                 "; fcboot-diff --lint lists them): not judged";
        return false;
    }
    std::FILE* file = fcplat::OpenFile(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path;
        return false;
    }
    fcboot::ConfigReaderHooks hooks;
    hooks.context = expectation;
    hooks.apply = TakeSection;
    const fcboot::ConfigReadResult result = fcboot::ReadBootConfig(file, hooks);
    std::fclose(file);
    if (result.readFailed) {
        *error = "cannot read " + path + " to its end";
        return false;
    }
    return true;
}

std::string VerdictText(const Verdict& v) {
    const std::string perfdata = Perfdata(v);
    std::string out = std::string("FCBOOT ") + StateWord(v.state) + " - " + OneLine(v.summary) +
                      (perfdata.empty() ? "" : " | " + perfdata) + "\n";
    for (const Finding& f : v.findings)
        out += std::string(StateWord(f.state)) + ": " + (f.adapter.empty() ? "" : f.adapter + " ") +
               (f.variant.empty() ? "" : f.variant + ": ") + OneLine(f.text) + "\n";
    return out;
}

std::string VerdictJson(const Verdict& v) {
    nlohmann::ordered_json doc;
    doc["status"] = StateWord(v.state);
    doc["exit_code"] = static_cast<int>(v.state);
    doc["summary"] = v.summary;
    // null where the text has no perfdata.
    if (Perfdata(v).empty())
        doc["perfdata"] = nullptr;
    else
        doc["perfdata"] = {{"adapters", v.adapters},
                           {"set_to_boot", v.setToBoot},
                           {"ready", v.ready},
                           {"warnings", v.warnings},
                           {"critical", v.critical}};
    doc["thresholds"] = {{"warning", v.thresholds.warning.text},
                         {"critical", v.thresholds.critical.text}};
    doc["findings"] = nlohmann::ordered_json::array();
    for (const Finding& f : v.findings) {
        nlohmann::ordered_json item;
        item["state"] = StateWord(f.state);
        item["adapter"] = f.adapter;
        item["variant"] = f.variant;
        item["kind"] = f.kind;
        if (!f.key.empty()) {
            item["key"] = f.key;
            item["expected"] = f.expected;
            item["found"] = f.found;
        }
        if (!f.candidates.empty()) item["candidates"] = f.candidates;
        if (!f.successor.empty()) {
            item["successor"] = f.successor;
            item["san_change"] = f.sanChange;
        }
        item["text"] = f.text;
        doc["findings"].push_back(std::move(item));
    }
    // Text a fleet or a file name brought in need not be UTF-8: replaced,
    // never a failed report.
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

int CheckMain(int argc, const char* const* argv, std::string* out, std::string* err) {
    const std::string first = argc > 1 && argv[1] != nullptr ? argv[1] : "";
    if (argc == 2 && first == "--help") {
        *out = kUsage;
        return 0;
    }
    if (argc == 2 && first == "--version") {
        *out = FCBOOT_VERSION_STRING ", dated " FCBOOT_VERSION_DATE "\n";
        return 0;
    }
    Options o;
    std::string error;
    Verdict verdict;
    if (!ParseOptions(argc, argv, &o, &error)) {
        *err = "fcboot-check: " + error + "\n" + kUsage;
        verdict = Unknown("wrong use: " + error);
        // The one form a monitoring system may parse, if it asked for it.
        for (int i = 1; i < argc; ++i)
            o.json = o.json || (argv[i] != nullptr && std::strcmp(argv[i], "--json") == 0);
    } else {
        std::vector<Expectation> expectations(o.expect.size());
        bool usable = true;
        for (std::size_t i = 0; i < o.expect.size() && usable; ++i) {
            usable = ReadExpectation(o.expect[i].first, o.expect[i].second, &expectations[i], &error);
            if (!usable) verdict = Unknown(error);
        }
        fcfleet::Fleet before;
        if (usable && o.hasBefore && !fcremap::LoadBeforeCapture(o.before, &before, &error)) {
            usable = false;
            verdict = Unknown(error);
        }
        if (usable) {
            fcfleet::Fleet fleet;
            if (o.hasFleet) {
                if (!fcfleet::LoadFleetFile(o.fleet, &fleet, &error)) {
                    usable = false;
                    verdict = Unknown(error);
                }
            } else if (fcplat::TakeServerLock(kCheckLockWaitMs) == fcplat::ServerLock::Busy) {
                // A server half-way through a load is no server to judge.
                usable = false;
                verdict = Unknown("another fcboot program is using the adapters");
            } else {
                // The utility's own dump failure line would break the plugin's
                // output: the capture marks such a device incomplete instead.
                const bool line = fcboot::g_DumpFailureLine;
                fcboot::g_DumpFailureLine = false;
                fleet = fccapture::CaptureServer();
                fcboot::g_DumpFailureLine = line;
                fcplat::ReleaseServerLock();
            }
            if (usable) verdict = Judge(fleet, expectations, o.thresholds, o.hasBefore ? &before : nullptr);
        }
    }
    *out = o.json ? VerdictJson(verdict) : VerdictText(verdict);
    return static_cast<int>(verdict.state);
}

}  // namespace fccheck
