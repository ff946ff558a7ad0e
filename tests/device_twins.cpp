// fcboot-capture.exe through the device path, judged by the capture tests'
// own checks. device_path_checks.cmake runs it under Wine in its work folder,
// once with each filter:
//   DeviceTwins.WriteSamples  writes samples/<name>.json: from the capture
//       tests' generated fleets, the first of each shape named below;
//   DeviceTwins.AreExact      then takes every <case>/dev folder that holds a
//       capture made through the device path (fleet.json, twin.json,
//       requests.jsonl): the capture sent only reads, the twin holds every
//       field the fleet holds, and every command gives the same results
//       against the fleet and against its twin.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adapter/nodelist_layout.h"
#include "support/capture_checks.h"
#include "support/harness.h"

namespace {

using fcemu::Fleet;

// The fleet as --show prints it: the utility's own decoding, which tells the
// shapes apart.
std::string Shown(const Fleet& fleet) {
    const std::string path = "samples/shown.txt";
    std::FILE* out = std::fopen(path.c_str(), "w");
    fcemu::ShowFleet(fleet, out);
    std::fclose(out);
    return fctest::ReadFileBytes(path);
}

bool Has(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

const struct {
    const char* name;
    bool (*wanted)(const std::string& shown);
} kSamples[] = {
    {"both-kinds-and-others",
     [](const std::string& s) {
         return Has(s, "(port driver)") && Has(s, "(miniport driver)") && Has(s, "not an adapter fcboot serves");
     }},
    {"raw-directory", [](const std::string& s) { return Has(s, "boot images   malformed:"); }},
    {"grown-node-list",
     [](const std::string& s) {
         const std::regex nodes("nodes +([0-9]+)");
         for (std::sregex_iterator m(s.begin(), s.end(), nodes), end; m != end; ++m)
             if (std::stoul((*m)[1]) > fcboot::kNodeListFirstSize / fcboot::kNodeEntrySize) return true;
         return false;
     }},
};

TEST(DeviceTwins, WriteSamples) {
    std::filesystem::create_directories("samples");
    const std::vector<Fleet> fleets = fctest::GeneratedFleets(40);
    for (const auto& sample : kSamples) {
        std::size_t i = 0;
        while (i < fleets.size() && !sample.wanted(Shown(fleets[i]))) ++i;
        ASSERT_LT(i, fleets.size()) << "no generated fleet of the shape " << sample.name;
        std::string error;
        EXPECT_TRUE(fcemu::SaveFleetFile("samples/" + std::string(sample.name) + ".json", fleets[i], &error))
            << error;
    }
    std::filesystem::remove("samples/shown.txt");
}

// The request log as fcboot-emu writes it, as far as telling reads apart
// needs.
std::vector<fcemu::RequestRecord> ReadLog(const std::string& path) {
    std::vector<fcemu::RequestRecord> log;
    std::istringstream lines(fctest::ReadFileBytes(path));
    const auto hex = [](const nlohmann::json& j, const char* key) {
        return static_cast<std::uint32_t>(std::stoul(j.at(key).get<std::string>(), nullptr, 16));
    };
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json j = nlohmann::json::parse(line);
        fcemu::RequestRecord r;
        r.op = j.at("op").get<std::string>();
        if (j.contains("ioctl")) r.ioctl = hex(j, "ioctl");
        if (j.contains("control_code")) r.control_code = hex(j, "control_code");
        if (j.contains("mailbox")) r.mailbox = j.at("mailbox").get<std::uint32_t>();
        log.push_back(r);
    }
    return log;
}

TEST(DeviceTwins, AreExact) {
    std::size_t judged = 0;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        const std::string dev = (entry.path() / "dev").string();
        if (!fctest::FileExists(dev + "/twin.json")) continue;
        SCOPED_TRACE(entry.path().filename().string());
        Fleet fleet, twin;
        std::string error;
        ASSERT_TRUE(fcemu::LoadFleetFile(dev + "/fleet.json", &fleet, &error)) << error;
        ASSERT_TRUE(fcemu::LoadFleetFile(dev + "/twin.json", &twin, &error)) << error;
        const std::vector<fcemu::RequestRecord> log = ReadLog(dev + "/requests.jsonl");
        EXPECT_FALSE(log.empty());
        fctest::ExpectOnlyReads(log);
        fctest::ExpectFaithful(fleet, twin);
        fctest::ExpectSameRuns(fleet, twin, fctest::TempDir());
        ++judged;
    }
    EXPECT_EQ(judged, std::size(kSamples) + 1) << "the samples and the demo fleet";
}

}  // namespace
