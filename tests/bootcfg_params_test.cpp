// Boot parameter operations against the adapter emulator: region contents,
// the requests each path sends and does not send, and the directory walk.
#include <gtest/gtest.h>

#include <cstring>

#include "adapter/bytes.h"
#include "bootcfg/bootcfg.h"
#include "frontend/frontend.h"
#include "support/harness.h"

namespace {

using namespace fcboot;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kChipF100 = 0x01004000, kChipF800 = 0x00021000, kChipUnknown = 0x00099000;

fcemu::DeviceConfig Device(std::uint32_t revision, std::uint16_t deviceId = 0x1234) {
    fcemu::DeviceConfig d = fcemu::DefaultDevice(0);
    d.port_wwn = fctest::Wwn("10000000C9AABB01");
    d.vendor_specific_id = static_cast<std::uint32_t>(deviceId) << 16 | 0x10DF;
    d.revision_primary = revision;
    d.boot_images.clear();
    return d;
}

// An image identifier: type in byte 3, kind in byte 2.
constexpr std::uint32_t Image(std::uint8_t type, std::uint8_t kind, std::uint16_t n) {
    return static_cast<std::uint32_t>(type) << 24 | static_cast<std::uint32_t>(kind) << 16 | n;
}

class BootParamsEmu : public ::testing::Test {
protected:
    void Start(const fcemu::DeviceConfig& device) {
        fcemu::Fleet fleet;
        fleet.devices.push_back(device);
        ResetUtilityState();
        fcemu::StartServer(fleet);
        ASSERT_EQ(OpenAdapters(), 0u);
        ASSERT_EQ(GetAdapterCount(), 1u);
        std::memcpy(p.WWID, device.port_wwn.data(), 8);
        mark = fcemu::RequestLog().size();
    }
    void Restart(const fcemu::DeviceConfig& device) {
        TearDown();
        Start(device);
    }
    void TearDown() override {
        CloseAdapters();
        fcemu::StopServer();
        EXPECT_TRUE(fcemu::Violations().empty()) << fcemu::Violations().front();
        ResetUtilityState();
    }
    // Mailbox commands of one code sent since Start.
    std::size_t Sent(std::uint32_t code) {
        std::vector<fcemu::RequestRecord> since(fcemu::RequestLog().begin() + mark, fcemu::RequestLog().end());
        return fctest::MailboxCalls(since, code).size();
    }
    std::size_t SentAny() { return Sent(17) + Sent(23) + Sent(27) + Sent(156); }
    const fcemu::DeviceConfig After() { return fcemu::CurrentFleet().devices.at(0); }
    BootParams p{};
    std::size_t mark = 0;
};

TEST_F(BootParamsEmu, RoundTripsBothVariantsAndReadsHonourMarkers) {
    Start(Device(kChipF100));
    const auto boot = fctest::Wwn("2000001122334455");
    std::memcpy(p.BootDeviceWWID, boot.data(), 8);
    p.BootDeviceLUN = 200, p.HostAdapterBiosEnable = 1;
    ASSERT_EQ(WriteBootParamsBios(&p), 0u);
    ASSERT_EQ(WriteBootParamsEfib(&p), 0u);
    const Bytes stored{0x11, 0x00, 0x00, 0x20, 0x55, 0x44, 0x33, 0x22};
    const auto r8 = After().region8;
    const auto r10 = After().region10;
    EXPECT_EQ(Bytes(r8.begin(), r8.begin() + 10), (Bytes{'B', 'I', 'O', 'S', 0x02, 0x05, 0, 0, 0, 1}));
    EXPECT_EQ(Bytes(r8.begin() + 17, r8.begin() + 25), stored);
    EXPECT_EQ(r8[28], 200);
    EXPECT_EQ(Bytes(r10.begin() + 4, r10.begin() + 12), stored);
    EXPECT_EQ(Bytes(r10.begin(), r10.begin() + 4), (Bytes{'E', 'F', 'I', 'B'}));
    EXPECT_EQ((Bytes{r10[12], r10[13], r10[23], r10[196], r10[200], r10[201]}), (Bytes{0, 200, 1, 1, 0, 1}));

    for (auto read : {ReadBootParamsBios, ReadBootParamsEfib}) {
        BootParams q{};
        std::memcpy(q.WWID, p.WWID, 8);
        ASSERT_EQ(read(&q), 0u);
        EXPECT_EQ(Bytes(q.BootDeviceWWID, q.BootDeviceWWID + 8), Bytes(boot.begin(), boot.end()));
        EXPECT_EQ(q.BootDeviceLUN, 200u);
        EXPECT_EQ(q.HostAdapterBiosEnable, 1u);
        EXPECT_EQ(q.SelectBootEnable, 0u);
    }

    fcemu::DeviceConfig d = Device(kChipF100);  // reads honour the markers and flags
    d.region8 = {};
    d.region8[4] = 0x00, d.region8[5] = 0x04;  // flags bit 10 only
    d.region8[9] = 1, d.region8[17] = 0x42, d.region8[28] = 7;
    d.region10[0] = 'X';
    d.region4[12] = 1;
    p = BootParams{};
    Restart(d);
    ASSERT_EQ(ReadBootParamsBios(&p), 0u);
    EXPECT_EQ(Bytes(p.BootDeviceWWID, p.BootDeviceWWID + 8), Bytes(8, 0));
    EXPECT_EQ(p.HostAdapterBiosEnable, 0u);
    EXPECT_EQ(p.BootDeviceLUN, 7u);
    EXPECT_EQ(p.SelectBootEnable, 1u);
    mark = fcemu::RequestLog().size();
    EXPECT_EQ(ReadBootParamsEfib(&p), kBootAdapterCommandFailed);
    EXPECT_EQ(Sent(23), 2u);  // region 4, then only the first piece of region 10
}

TEST_F(BootParamsEmu, SelectionSendsOnlyWhatIsNeededAndWalksTheDirectory) {
    fcemu::DeviceConfig d = Device(kChipF100);
    for (std::uint8_t i = 0; i < 60; ++i) d.region4[i] = static_cast<std::uint8_t>(0xA0 + i);
    StoreLe32(d.region4.data() + 12, Image(3, 0x7E, 1));  // acceptable for 0xF100 in both checks
    StoreLe32(d.region4.data() + 52, Image(3, 0x7E, 1));  // and its activation finished
    Start(d);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(EnableBootSelection(&p, 0), 0u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "isValidBootBios f100\n");
    EXPECT_EQ(EnableBootSelection(&p, kModeEfib), 0u);
    EXPECT_EQ(Sent(23), 2u);
    EXPECT_EQ(SentAny(), 2u);

    ASSERT_EQ(DisableBootSelection(&p), 0u);  // clears bytes 12-15, keeps every other byte
    auto want = d.region4;
    StoreLe32(want.data() + 12, 0);
    EXPECT_EQ(After().region4, want);
    EXPECT_EQ(Sent(27), 1u);
    EXPECT_EQ(DisableBootSelection(&p), 0u);  // nothing selected: no write
    EXPECT_EQ(Sent(27), 1u);
    EXPECT_EQ(Sent(156), 0u);

    // The walk takes the first suitable entry in ring order; 0xF100 needs the staged sequence.
    d.boot_images = {0xFFFFFFFFu, Image(2, 0x7E, 1), 0, Image(3, 0x7D, 2), Image(3, 0x79, 3), Image(3, 0x7B, 4)};
    StoreLe32(d.region4.data() + 12, 0);
    Restart(d);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(EnableBootSelection(&p, 0), 0u);
    // Only entries of type 3 with a real identifier reach the kind check.
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "isValidBootBios f100\nisValidBootBios f100\n");
    const auto r4 = After().region4;
    EXPECT_EQ(LoadLe32(r4.data() + 12), Image(3, 0x79, 3));
    EXPECT_EQ(LoadLe32(r4.data() + 52), Image(3, 0x79, 3));
    EXPECT_EQ(Sent(156), 3u);
    EXPECT_EQ(Sent(27), 2u);  // before and after the staged sequence
}

// A selection whose staged activation never finished (bytes 52..55 of region
// 4 do not repeat bytes 12..15) is finished by the next selection on a model
// that stages it, and left alone on one that does not. Whatever step of a
// selection fails, running it again without the fault ends where a clean
// selection ends.
TEST_F(BootParamsEmu, AnUnfinishedActivationIsFinishedWhereTheModelStagesIt) {
    using Effect = fcemu::FaultRule::Effect;
    const std::uint32_t kSame = 1, kOther = Image(3, 0x79, 3);
    const struct {
        const char* what;
        bool staged;          // 0xF100, else 0xF800
        std::uint32_t mode;
        bool selected;        // the boot code image in bytes 12..15, else none
        std::uint32_t activated;  // bytes 52..55; kSame: the boot code image
        std::vector<fcemu::FaultRule> faults;
        std::uint32_t result;
        int steps, writes;    // commands 156 and 27 sent, when no fault is set
    } cases[] = {
        {"finished", true, 0, true, kSame, {}, kBootOk, 0, 0},
        {"finished, EFIB", true, kModeEfib, true, kSame, {}, kBootOk, 0, 0},
        {"never activated", true, 0, true, 0, {}, kBootOk, 3, 1},
        {"never activated, EFIB", true, kModeEfib, true, 0, {}, kBootOk, 3, 1},
        {"another image activated", true, 0, true, kOther, {}, kBootOk, 3, 1},
        {"no staged sequence", false, kModeEfib, true, 0, {}, kBootOk, 0, 0},
        {"advance step fails", true, 0, true, 0, {{"mailbox:156", 1, {}, Effect::Fail, 31}},
         kBootNoValidImage, 0, 0},
        {"start answers no known state", true, 0, true, 0, {{"mailbox:156", 0, {}, Effect::State, 0}},
         kBootNoValidImage, 0, 0},
        {"final region 4 write fails", true, 0, true, 0, {{"mailbox:27", 0, {}, Effect::Fail, 31}},
         kBootNoValidImage, 0, 0},
        {"fresh selection, finish step fails", true, 0, false, 0,
         {{"mailbox:156", 2, {}, Effect::MbxStatus, 18}}, kBootNoValidImage, 0, 0},
        {"fresh selection, final region 4 write fails", true, 0, false, 0,
         {{"mailbox:27", 1, {}, Effect::Fail, 31}}, kBootNoValidImage, 0, 0},
    };
    Start(Device(kChipF100));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint32_t image = c.staged ? Image(3, 0x7E, 1) : Image(3, 0x25, 9);
        fcemu::DeviceConfig d = Device(c.staged ? kChipF100 : kChipF800);
        d.boot_images = {image};
        for (std::uint8_t i = 0; i < 60; ++i) d.region4[i] = static_cast<std::uint8_t>(0xA0 + i);
        StoreLe32(d.region4.data() + 12, c.selected ? image : 0);
        StoreLe32(d.region4.data() + 52, c.activated == kSame ? image : c.activated);
        d.faults = c.faults;
        // Where one clean selection puts region 4: the image selected, and on
        // a staged model activated; every other byte as it was.
        auto clean = d.region4;
        StoreLe32(clean.data() + 12, image);
        if (c.staged) StoreLe32(clean.data() + 52, image);

        Restart(d);
        EXPECT_EQ(EnableBootSelection(&p, c.mode), c.result);
        if (c.faults.empty()) {
            EXPECT_EQ(After().region4, clean);
            EXPECT_EQ(Sent(156), static_cast<std::size_t>(c.steps));
            EXPECT_EQ(Sent(27), static_cast<std::size_t>(c.writes));
            // Finishing a selection takes the image in place: no directory walk.
            EXPECT_EQ(Sent(23), 1u);
            continue;
        }
        // The failure leaves the image selected but not activated, and says so.
        const auto failed = After().region4;
        EXPECT_EQ(LoadLe32(failed.data() + 12), image);
        EXPECT_FALSE(BootImageActivationFinished(failed.data()));

        fcemu::DeviceConfig again = After();
        again.faults.clear();
        Restart(again);
        EXPECT_EQ(EnableBootSelection(&p, c.mode), kBootOk);
        EXPECT_EQ(After().region4, clean);
        EXPECT_TRUE(BootImageActivationFinished(After().region4.data()));
        EXPECT_EQ(Sent(23), 1u);  // region 4 only: the selection is taken as found
    }
}

TEST_F(BootParamsEmu, WalksThatEndWithoutAWrite) {
    Start(Device(kChipUnknown));  // no model: no kind check can be made
    EXPECT_EQ(EnableBootSelection(&p, 0), kBootUnknownModel);
    EXPECT_EQ(SentAny(), 0u);

    fcemu::DeviceConfig d = Device(kChipF800);  // no staged sequence
    d.memory = {{0x79C + 16, {Image(3, 0x25, 9)}}};  // a head word naming itself is one entry
    Restart(d);
    ASSERT_EQ(EnableBootSelection(&p, kModeEfib), 0u);
    EXPECT_EQ(LoadLe32(After().region4.data() + 12), Image(3, 0x25, 9));
    EXPECT_EQ(Sent(156), 0u);
    EXPECT_EQ(Sent(27), 1u);

    d.memory.clear(), d.boot_images = {Image(3, 0x21, 1)};  // a BIOS kind, judged for EFIB boot
    Restart(d);
    EXPECT_EQ(EnableBootSelection(&p, kModeEfib), kBootNoValidImage);
    EXPECT_EQ(Sent(27), 0u);

    d.boot_images.clear();
    d.memory = {{0x79C, {0x900}}, {0x900, {0x900}}};  // a ring that never returns to the head
    Restart(d);
    EXPECT_EQ(EnableBootSelection(&p, kModeEfib), kBootNoValidImage);
    EXPECT_EQ(Sent(23), 2u + kMaxBootImageDirectoryEntries);  // region 4, head word, the bound
    EXPECT_EQ(Sent(27), 0u);
    EXPECT_EQ(After().region4, d.region4);
}

}  // namespace
