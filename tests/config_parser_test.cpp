// The boot configuration file's line and value parsers, character by
// character.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/frontend.h"

namespace {

struct Parsed {
    std::uint32_t bit;
    std::string keyword;  // "<none>" when no keyword was handed back
    std::string value;    // "<none>" when no value word was handed back
};

Parsed Parse(const std::string& text) {
    std::string line = text;
    char* keyword = nullptr;
    char* value = nullptr;
    std::uint32_t bit = fcboot::ParseConfigLine(line.data(), &keyword, &value);
    return {bit, keyword ? keyword : "<none>", value ? value : "<none>"};
}

int Header(const std::string& text) {
    std::string line = text;
    return fcboot::IsHbaSectionHeader(line.data());
}

TEST(ConfigLineParser, KeywordsMatchInAnyLetterCaseAndHandBackTheValueWord) {
    EXPECT_EQ(Parse("WWID=1000000000000001\n").bit, 2u);
    EXPECT_EQ(Parse("wwid=1000000000000001\n").bit, 2u);
    EXPECT_EQ(Parse("hostadapterbiosenable=1\n").bit, 4u);
    EXPECT_EQ(Parse("SELECTBOOTENABLE=1\r\n").bit, 8u);
    EXPECT_EQ(Parse("BootDeviceWwid=0\n").bit, 16u);
    EXPECT_EQ(Parse("bootdevicelun[0]=0\n").bit, 32u);

    Parsed p = Parse("  SelectBootEnable = 1 ; set by script\r\n");
    EXPECT_EQ(p.bit, 8u);
    EXPECT_EQ(p.keyword, "SelectBootEnable");
    EXPECT_EQ(p.value, "1");

    // The value word may hold "=", and a ";" or blank ends it.
    EXPECT_EQ(Parse("WWID=12=34 rest\n").value, "12=34");
    EXPECT_EQ(Parse("WWID=c9;comment\n").value, "c9");
    // Leading "=" characters are passed over before the keyword.
    EXPECT_EQ(Parse("==WWID=c9\n").bit, 2u);
    // A keyword without "=" or without a value word hands back none.
    EXPECT_EQ(Parse("WWID=\n").value, "<none>");
    EXPECT_EQ(Parse("WWID\n").bit, 2u);
    EXPECT_EQ(Parse("WWID\n").value, "<none>");
    EXPECT_EQ(Parse("WWID= \t;\r\n").value, "<none>");
}

TEST(ConfigLineParser, LinesThatAreNoKeyLines) {
    for (const char* line : {"", "\n", "\r\n", "=", "===\n", "   \t\n", "; comment\n",
                             "Host Adapter=1\n", "WWID 1000000000000001\n", "WWIDX=1\n",
                             "BootDeviceLUN=0\n", "Unknown=1\n", "[HBA0] WWID=1000000000000001\n",
                             "[HBA1] extra\n", "[hba1]\n"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(Parse(line).bit, 0u);
    }
    // A header is a key line of its own inside a section.
    EXPECT_EQ(Parse("[HBA3]\n").bit, 1u);
    EXPECT_EQ(Parse("  [HBA3] \r\n").bit, 1u);
    EXPECT_EQ(Parse("[HBA3]=anything\n").bit, 1u);
}

TEST(ConfigLineParser, SectionHeaderNeedsHbaInCapitalsAndAClosingBracket) {
    for (const char* line : {"[HBA0]\n", "[HBA]", "[HBA7]x", "x[HBA]", "[HBA12]\r\n",
                             "  [HBA1] extra words\n", "[HBA1];comment"})
        EXPECT_EQ(Header(line), 1) << line;
    for (const char* line : {"[hba0]\n", "[HBA", "[HBA0\n", "", "\n", "  \t", "HBA0]",
                             "[ HBA0]", "x [HBA0]", "]x[HBA"})
        EXPECT_EQ(Header(line), 0) << line;
}

TEST(ConfigValueParser, WorldWideNamesAreRightAlignedHexOfEitherCase) {
    std::uint8_t wwn[8];
    ASSERT_EQ(fcboot::ParseWWN("1000000000000001", wwn), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(wwn, wwn + 8),
              (std::vector<std::uint8_t>{0x10, 0, 0, 0, 0, 0, 0, 0x01}));
    ASSERT_EQ(fcboot::ParseWWN("c9", wwn), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(wwn, wwn + 8),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0xc9}));
    ASSERT_EQ(fcboot::ParseWWN("AbCdEf0123456789 trailing", wwn), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(wwn, wwn + 8),
              (std::vector<std::uint8_t>{0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89}));
    ASSERT_EQ(fcboot::ParseWWN("  5;x", wwn), 0);
    EXPECT_EQ(wwn[7], 0x05);

    // Rejected values leave the area cleared.
    for (const char* bad : {"0x10000000000001", "10000000000000001", "", " ;", "12g4", "12=34",
                            "-1"}) {
        std::uint8_t out[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        EXPECT_EQ(fcboot::ParseWWN(bad, out), 1) << bad;
        EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8), std::vector<std::uint8_t>(8, 0)) << bad;
    }
    EXPECT_EQ(fcboot::ParseWWN(nullptr, wwn), 1);

    EXPECT_EQ(fcboot::HexPairToByte('f', 'F'), 0xff);
    EXPECT_EQ(fcboot::HexPairToByte('0', 'a'), 0x0a);
    EXPECT_EQ(fcboot::HexPairToByte('A', '9'), 0xa9);
}

TEST(ConfigValueParser, DecimalsAreOneToFiveDigitsWithoutSign) {
    std::uint32_t v = 7;
    EXPECT_EQ(fcboot::ParseDecimal("01", &v), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(fcboot::ParseDecimal("00001", &v), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(fcboot::ParseDecimal("99999", &v), 0);
    EXPECT_EQ(v, 99999u);
    EXPECT_EQ(fcboot::ParseDecimal(" 255 ;lun", &v), 0);
    EXPECT_EQ(v, 255u);
    for (const char* bad : {"000001", "100000", "-1", "+1", "1a", "", "\r\n", "0x1", "1=1"}) {
        v = 7;
        EXPECT_EQ(fcboot::ParseDecimal(bad, &v), 1) << bad;
        EXPECT_EQ(v, 0u) << bad;
    }
}

}  // namespace
