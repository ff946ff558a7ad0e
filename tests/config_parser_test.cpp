// The boot configuration file's line and value parsers, character by
// character.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/frontend.h"

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

}  // namespace
