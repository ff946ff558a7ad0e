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

namespace fccheck {
namespace {

const char kUsage[] =
    "usage: fcboot-check [--fleet FILE] [--expect FILE] [--expect-efi FILE] [--json]\n"
    "       fcboot-check --help | --version\n"
    "\n"
    "Tells whether this server will boot from the SAN, changing nothing: reads every\n"
    "adapter with read-only requests (with --fleet, judges the fleet file FILE\n"
    "instead: a capture, or a twin after a rehearsed load) and judges each in its\n"
    "BIOS and EFIB boot settings. Critical: an adapter set to boot whose selected\n"
    "image does not suit its model, whose model is unknown, or whose image\n"
    "activation did not finish. Warning: a boot device of name 0, or one that the\n"
    "adapter's node list does not hold.\n"
    "  --expect FILE      also compares FILE, a boot configuration file, as /s saves;\n"
    "                     any difference, any adapter it names that is missing or\n"
    "                     that it sets to boot and is not ready, is critical\n"
    "  --expect-efi FILE  the same as /se saves\n"
    "  --json             the same report as one JSON document\n"
    "\n"
    "The first line is \"FCBOOT <STATE> - <summary> | <perfdata>\", then one line per\n"
    "finding. Exit codes: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (no served\n"
    "adapter, no rights, a file that cannot be read or has findings of its own,\n"
    "another fcboot program using the adapters for 5 s, wrong use).\n";

// How long a check waits while another fcboot program works on the
// adapters: well inside a monitoring client's usual 10 s.
constexpr unsigned kCheckLockWaitMs = 5000;

struct Options {
    std::string fleet;
    std::vector<std::pair<std::string, bool>> expect;  // path, EFIB
    bool hasFleet = false, hasExpect = false, hasExpectEfi = false, json = false;
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
        if (i + 1 >= argc || argv[i + 1] == nullptr) {
            *error = arg + " needs a file name";
            return false;
        }
        *seen = true;
        const std::string value = argv[++i];
        if (arg == "--fleet")
            o->fleet = value;
        else
            o->expect.emplace_back(value, arg == "--expect-efi");
    }
    return true;
}

std::uint32_t TakeSection(void* context, const fcboot::BootParams& record) {
    static_cast<Expectation*>(context)->sections.push_back(record);
    return 0;
}

std::string JsonCount(const char* name, unsigned value) {
    return std::string(name) + "=" + std::to_string(value);
}

std::string Perfdata(const Verdict& v) {
    return JsonCount("adapters", v.adapters) + " " + JsonCount("set_to_boot", v.setToBoot) + " " +
           JsonCount("ready", v.ready) + " " + JsonCount("warnings", v.warnings) + " " +
           JsonCount("critical", v.critical);
}

// Plugin output is one line per item: a line end inside a text would start
// a line of its own.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
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
    std::string out = std::string("FCBOOT ") + StateWord(v.state) + " - " + OneLine(v.summary) +
                      " | " + Perfdata(v) + "\n";
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
    doc["perfdata"] = {{"adapters", v.adapters},
                       {"set_to_boot", v.setToBoot},
                       {"ready", v.ready},
                       {"warnings", v.warnings},
                       {"critical", v.critical}};
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
            if (usable) verdict = Judge(fleet, expectations);
        }
    }
    *out = o.json ? VerdictJson(verdict) : VerdictText(verdict);
    return static_cast<int>(verdict.state);
}

}  // namespace fccheck
