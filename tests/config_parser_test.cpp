// The boot configuration file's line and value parsers, character by
// character.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "support/harness.h"

namespace {

TEST(ConfigParser, KeyLinesHandBackTheirBitAndValueWord) {
    const struct { const char* line; std::uint32_t bit; const char* value; } cases[] = {
        {"wwid=1000000000000001\n", 2, "1000000000000001"}, {"hostadapterbiosenable=1\n", 4, "1"},
        {"  SELECTBOOTENABLE = 1 ; by script\r\n", 8, "1"}, {"BootDeviceWwid=0\n", 16, "0"},
        {"bootdevicelun[0]=0\n", 32, "0"}, {"WWID=12=34 rest\n", 2, "12=34"}, {"WWID=c9;x\n", 2, "c9"},
        {"==WWID=c9\n", 2, "c9"}, {"WWID=\n", 2, nullptr}, {"WWID\n", 2, nullptr}, {"WWID= \t;\r\n", 2, nullptr},
        // A header is a key line of its own only when nothing else is on it.
        {"  [HBA3] \r\n", 1, nullptr}, {"[HBA3]=anything\n", 1, nullptr},
        {"", 0, nullptr}, {"===\n", 0, nullptr}, {"; comment\n", 0, nullptr}, {"Host Adapter=1\n", 0, nullptr},
        {"WWID 1000000000000001\n", 0, nullptr}, {"WWIDX=1\n", 0, nullptr}, {"BootDeviceLUN=0\n", 0, nullptr},
        {"[HBA0] WWID=1000000000000001\n", 0, nullptr}, {"[HBA1] extra\n", 0, nullptr}, {"[hba1]\n", 0, nullptr},
    };
    for (const auto& c : cases) {
        std::string line = c.line;
        char* keyword = nullptr;
        char* value = nullptr;
        EXPECT_EQ(fcboot::ParseConfigLine(line.data(), &keyword, &value), c.bit) << c.line;
        if (c.bit > 1) {
            EXPECT_EQ(value ? std::string(value) : "<none>", c.value ? c.value : "<none>") << c.line;
        }
    }
    std::string line = "  SelectBootEnable = 1\n";
    char* keyword = nullptr;
    char* value = nullptr;
    fcboot::ParseConfigLine(line.data(), &keyword, &value);
    EXPECT_STREQ(keyword, "SelectBootEnable");

    for (const char* header : {"[HBA]", "[HBA7]x", "x[HBA]", "  [HBA1] extra words\n", "[HBA1];comment"}) {
        std::string h = header;
        EXPECT_EQ(fcboot::IsHbaSectionHeader(h.data()), 1) << header;
    }
    for (const char* other : {"[hba0]\n", "[HBA", "[HBA0\n", "  \t", "HBA0]", "[ HBA0]", "x [HBA0]", "]x[HBA"}) {
        std::string h = other;
        EXPECT_EQ(fcboot::IsHbaSectionHeader(h.data()), 0) << other;
    }
}

TEST(ConfigParser, ValuesAreRightAlignedHexNamesAndShortUnsignedDecimals) {
    using Bytes = std::vector<std::uint8_t>;
    const struct { const char* text; Bytes wwn; } names[] = {
        {"c9", {0, 0, 0, 0, 0, 0, 0, 0xc9}},
        {"AbCdEf0123456789 trailing", {0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89}},
        {"  5;x", {0, 0, 0, 0, 0, 0, 0, 5}},
        // Rejected: the area is left cleared.
        {"0x10000000000001", {}}, {"10000000000000001", {}}, {"", {}}, {" ;", {}}, {"12g4", {}},
        {"12=34", {}}, {"-1", {}},
    };
    for (const auto& n : names) {
        std::uint8_t out[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        EXPECT_EQ(fcboot::ParseWWN(n.text, out), n.wwn.empty() ? 1 : 0) << n.text;
        EXPECT_EQ(Bytes(out, out + 8), n.wwn.empty() ? Bytes(8, 0) : n.wwn) << n.text;
    }
    std::uint8_t wwn[8];
    EXPECT_EQ(fcboot::ParseWWN(nullptr, wwn), 1);

    const struct { const char* text; int result; std::uint32_t value; } decimals[] = {
        {"00001", 0, 1}, {"99999", 0, 99999}, {" 255 ;lun", 0, 255}, {"000001", 1, 0}, {"100000", 1, 0},
        {"-1", 1, 0}, {"+1", 1, 0}, {"1a", 1, 0}, {"", 1, 0}, {"\r\n", 1, 0}, {"0x1", 1, 0}, {"1=1", 1, 0},
    };
    for (const auto& d : decimals) {
        std::uint32_t v = 7;
        EXPECT_EQ(fcboot::ParseDecimal(d.text, &v), d.result) << d.text;
        EXPECT_EQ(v, d.value) << d.text;
    }
}

// The section reader reads a file as the Windows runtime's text mode does,
// whatever the platform: CR LF is one line end (so a long line splits where
// it does on the server), a lone CR stays, and a Ctrl-Z ends the file.
TEST(ConfigParser, TheReaderReadsAsWindowsTextModeDoes) {
    const struct { std::string file; const char* pieces; std::uint32_t ctrlZLine; } cases[] = {
        {std::string(254, '#') + "\r\nx\r\n", "1:255 2:2", 0},
        {std::string(255, '#') + "\r\n", "1:255 1+:1", 0},
        {"a\rb\r\r\nc\r", "1:5 2:2", 0},
        {"a\n\x1a[HBA0]\n", "1:2", 2},
        {"a\nb\x1a\nc\n", "1:2 2:1", 2},
        {"\x1a", "", 1},
    };
    for (const auto& c : cases) {
        const std::string path = fctest::TempDir() + "/boot.cfg";
        fctest::WriteFileBytes(path, c.file);
        std::FILE* file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        std::string pieces;
        fcboot::ConfigReaderHooks hooks;
        hooks.context = &pieces;
        hooks.apply = [](void*, const fcboot::BootParams&) { return 0u; };
        hooks.piece = [](void* context, const fcboot::ConfigPiece& p) {
            std::string& out = *static_cast<std::string*>(context);
            out += (out.empty() ? "" : " ") + std::to_string(p.line) + (p.continued ? "+:" : ":") +
                   std::to_string(p.length);
        };
        const fcboot::ConfigReadResult read = fcboot::ReadBootConfig(file, hooks);
        std::fclose(file);
        EXPECT_EQ(pieces, c.pieces) << c.file;
        EXPECT_EQ(read.ctrlZLine, c.ctrlZLine) << c.file;
    }
}

}  // namespace
