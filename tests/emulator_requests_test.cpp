// The emulated driver and firmware, driven through the platform layer the
// way the utility drives them. Offsets are literal numbers so that a wrong
// shared layout constant cannot hide a fault.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "adapter/bytes.h"
#include "emulator/emulator.h"
#include "emulator/serving.h"
#include "platform/win32.h"
#include "support/harness.h"

namespace {

using namespace fcplat;
using fcboot::LoadLe16;
using fcboot::LoadLe32;
using fcboot::StoreLe32;
using Bytes = std::vector<std::uint8_t>;
using Effect = fcemu::FaultRule::Effect;

HANDLE Open(const char* path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// A framed miniport request with the header the utility writes.
Bytes Frame(std::uint32_t code, std::uint32_t size) {
    Bytes b(size, 0);
    StoreLe32(&b[0], 28);
    const bool hba = (code & 0xFF00) == 0x0200;
    std::memcpy(&b[4], hba ? "HBAAPI" : code == 0x8001013B ? "KX6000 " : "KX6000",
                code == 0x8001013B ? 7 : 6);
    StoreLe32(&b[12], code == 0x80010106 ? 20 : 30);
    StoreLe32(&b[16], code);
    StoreLe32(&b[24], size - 28);
    return b;
}

bool Send(HANDLE h, Bytes& req) {
    DWORD n = 0;
    return DeviceIoControl(h, 0x4D008, req.data(), static_cast<DWORD>(req.size()), req.data(),
                           static_cast<DWORD>(req.size()), &n, nullptr) != 0;
}

// Sends a framed request of the given code and size; hands back the reply.
Bytes Query(HANDLE h, std::uint32_t code, std::uint32_t size) {
    Bytes req = Frame(code, size);
    EXPECT_TRUE(Send(h, req)) << std::hex << code;
    return req;
}

// A mailbox block: flags, command code, and 32-bit words at block offsets.
Bytes Block(std::uint8_t flags, std::uint8_t code,
            std::initializer_list<std::pair<int, std::uint32_t>> words = {}) {
    Bytes b(256, 0);
    b[0] = flags;
    b[1] = code;
    for (const auto& w : words) StoreLe32(&b[w.first], w.second);
    return b;
}
Bytes Dump(std::uint32_t region, std::uint32_t offset, std::uint32_t words) {
    return Block(0, 0x17, {{4, 0x12}, {8, region | offset << 16}, {16, words}});
}
Bytes Step(std::uint32_t step, std::uint32_t carry) {
    return Block(0, 0x9C, {{4, step << 16}, {8, carry}});
}

// An ISSUE_MBOX request carrying `block`, answered in place at 32.
Bytes MboxRequest(const Bytes& block, std::uint32_t requestSize = 32) {
    Bytes req = Frame(0x80010106, 5840);
    std::memcpy(&req[32], block.data(), 256);
    StoreLe32(&req[28 + 4108], requestSize);
    return req;
}
bool Mbox(HANDLE h, const Bytes& block, Bytes* reply = nullptr, std::uint32_t requestSize = 32) {
    Bytes req = MboxRequest(block, requestSize);
    if (!Send(h, req)) return false;
    if (reply) reply->assign(req.begin() + 32, req.begin() + 288);
    return true;
}

fcemu::DeviceConfig Adapter(std::uint32_t port) {
    fcemu::DeviceConfig d = fcemu::DefaultDevice(port);
    for (int i = 0; i < 60; ++i) d.region4[i] = static_cast<std::uint8_t>(i + 1);
    for (int i = 0; i < 256; ++i) d.region10[i] = static_cast<std::uint8_t>(255 - i);
    return d;
}

class EmulatorRequests : public ::testing::Test {
protected:
    HANDLE Serve(std::vector<fcemu::DeviceConfig> devices) {
        fcemu::Fleet fleet;
        fleet.devices = std::move(devices);
        fcemu::StartServer(fleet);
        return Open("\\\\.\\Scsi0:");
    }
    void TearDown() override {
        if (fcemu::ServerRunning()) fcemu::StopServer();
    }
    static std::string LastViolation() {
        const auto v = fcemu::Violations();
        return v.empty() ? std::string() : v.back();
    }
};

TEST_F(EmulatorRequests, DevicesOpenByExactPathOnceAndRefuseMalformedRequests) {
    HANDLE h = Serve({Adapter(0), Adapter(12)});
    for (const char* bad : {"\\\\.\\Scsi1:", "\\\\.\\Scsi012:", "\\\\.\\Scsi12", "\\\\.\\scsi12:",
                            "\\\\.\\Scsi256:", "\\\\.\\Scsi12: "}) {
        EXPECT_EQ(Open(bad), INVALID_HANDLE_VALUE) << bad;
        EXPECT_EQ(GetLastError(), 2u) << bad;
    }
    EXPECT_EQ(Open("\\\\.\\Scsi12:", GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 87u);
    HANDLE a = Open("\\\\.\\Scsi12:");
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("\\\\.\\Scsi12:"), INVALID_HANDLE_VALUE);  // the utility never opens twice
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_NE(LastViolation().find("second open"), std::string::npos);

    EXPECT_NE(CloseHandle(a), 0);
    EXPECT_EQ(CloseHandle(a), 0);
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_EQ(LastViolation(), "port 12: handle closed twice");
    Bytes refresh = Frame(0x80010213, 28);
    EXPECT_FALSE(Send(a, refresh));
    EXPECT_EQ(GetLastError(), 6u);
    HANDLE again = Open("\\\\.\\Scsi12:");  // a fresh value, never the closed one
    EXPECT_NE(again, a);

    const std::size_t before = fcemu::Violations().size();

    const struct {
        const char* what;
        void (*spoil)(Bytes&);
    } cases[] = {
        {"HeaderLength", [](Bytes& r) { StoreLe32(&r[0], 24); }},
        {"Signature", [](Bytes& r) { r[11] = 'X'; }},
        {"Timeout", [](Bytes& r) { StoreLe32(&r[12], 20); }},
        {"Length", [](Bytes& r) { StoreLe32(&r[24], 2224); }},
        {"ReturnCode", [](Bytes& r) { StoreLe32(&r[20], 1); }},
        {"unknown ControlCode", [](Bytes& r) { StoreLe32(&r[16], 0x80010200); }},
        {"request byte 40", [](Bytes& r) { r[40] = 1; }},
    };
    for (const auto& c : cases) {
        Bytes req = Frame(0x80010203, 2224);
        c.spoil(req);
        EXPECT_FALSE(Send(h, req)) << c.what;
        EXPECT_EQ(GetLastError(), 87u) << c.what;
        EXPECT_NE(LastViolation().find(c.what), std::string::npos) << LastViolation();
        EXPECT_FALSE(fcemu::RequestLog().back().violation.empty());
    }
    // Input and output must be one buffer of the whole size.
    Bytes in = Frame(0x80010203, 2224), out = in;
    DWORD n = 0;
    EXPECT_EQ(DeviceIoControl(h, 0x4D008, in.data(), 2224, out.data(), 2224, &n, nullptr), 0);
    EXPECT_EQ(DeviceIoControl(h, 0x4D008, in.data(), 2224, in.data(), 2220, &n, nullptr), 0);
    Bytes mb = MboxRequest(Dump(4, 0, 15));
    StoreLe32(&mb[28 + 5000], 1);  // beyond the size word: nothing may be there
    EXPECT_FALSE(Send(h, mb));
    EXPECT_EQ(fcemu::Violations().size(), before + std::size(cases) + 3);
    CloseHandle(h);
    EXPECT_EQ(fcemu::OpenHandleCount(), 1u);
    fcemu::StopServer();  // with port 12 still open
    EXPECT_EQ(fcemu::Violations().back(), "handle still open when main returns: port 12");
    EXPECT_EQ(fcemu::Violations().size(), before + std::size(cases) + 4);
}

TEST_F(EmulatorRequests, DriverRecordsOfBothDriverKindsSitAtTheirOffsets) {
    fcemu::DeviceConfig port = Adapter(0);  // the port driver, "tarsli2"
    port.manufacturer = std::string(64, 'T');  // fills its field: no terminator
    port.port_wwn = {0x10, 0, 0, 0, 0xC9, 1, 2, 3};
    port.pci_bus = 7;
    port.pci_slot = 0x23;
    port.node_list = std::vector<fcemu::NodeEntry>(300);
    (*port.node_list)[1] = {{0x21, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55}, 0x010203, 0, 1};
    fcemu::DeviceConfig mini = Adapter(1);
    mini.driver_name = "Tarsli2";  // any other name, letter case included
    HANDLE h0 = Serve({port, mini});
    HANDLE h1 = Open("\\\\.\\Scsi1:");

    const Bytes attr = Query(h0, 0x80010203, 2224);
    EXPECT_EQ(LoadLe32(&attr[20]), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&attr[32]), 64), std::string(64, 'T'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&attr[32 + 1936])), "tarsli2");

    // The port driver gets the 664-byte form, record at 32; any other 668, at 36.
    const Bytes p0 = Query(h0, 0x80010204, 664);
    EXPECT_EQ(0, std::memcmp(&p0[32 + 8], port.port_wwn.data(), 8));
    EXPECT_NE(std::string(reinterpret_cast<const char*>(&p0[32 + 352])), "\\\\.\\Scsi0:");
    EXPECT_EQ(0, std::memcmp(&Query(h1, 0x80010204, 668)[36 + 8], mini.port_wwn.data(), 8));
    Bytes wrong = Frame(0x80010204, 668);
    EXPECT_FALSE(Send(h0, wrong));
    EXPECT_EQ(GetLastError(), 87u);

    const Bytes info = Query(h0, 0x80010100, 5840);
    EXPECT_EQ(LoadLe32(&info[32 + 192]), 7u);
    EXPECT_EQ(LoadLe32(&info[32 + 196]), 0x23u);
    EXPECT_EQ(LoadLe32(&Query(h0, 0x80010213, 28)[20]), 0u);

    Bytes out(16384);
    DWORD n = 0;
    ASSERT_NE(DeviceIoControl(h0, 0x230800, nullptr, 0, out.data(), 8, &n, nullptr), 0);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(LoadLe32(&out[0]), 7u);
    EXPECT_EQ(LoadLe32(&out[4]), 0x23u);
    EXPECT_EQ(DeviceIoControl(h0, 0x230818, nullptr, 0, out.data(), 8192, &n, nullptr), 0);
    EXPECT_EQ(GetLastError(), 122u);
    ASSERT_NE(DeviceIoControl(h0, 0x230818, nullptr, 0, out.data(), 16384, &n, nullptr), 0);
    EXPECT_EQ(n, 12000u);
    EXPECT_EQ(LoadLe32(&out[40]), 0x21000011u);
    EXPECT_EQ(LoadLe32(&out[44]), 0x22334455u);
    EXPECT_EQ(LoadLe32(&out[56]), 0x010203u);
    EXPECT_EQ(out[60], 0);
    EXPECT_EQ(out[61], 1);
    CloseHandle(h0);
    CloseHandle(h1);
    EXPECT_EQ(fcemu::Violations().size(), 1u);  // the wrong-size port query only
}

TEST_F(EmulatorRequests, FaultRulesSkipThenAffectTimesCallsWithTheirEffect) {
    fcemu::DeviceConfig a = Adapter(0);
    a.faults = {{"open", 1, 1, Effect::Fail, 5},
                {"ioctl:80010203", 0, std::nullopt, Effect::ReturnCode, 7},
                {"ioctl:80010204", 0, 1, Effect::ReturnCode, 8},
                {"mailbox:23", 0, 1, Effect::DeliverBytes, 8},
                {"mailbox:23", 1, 1, Effect::Fail, 1117},
                {"mailbox:27", 0, std::nullopt, Effect::MbxStatus, 256}};
    CloseHandle(Serve({a}));
    EXPECT_EQ(Open("\\\\.\\Scsi0:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 5u);
    HANDLE h = Open("\\\\.\\Scsi0:");
    for (int i = 0; i < 2; ++i) {
        const Bytes attr = Query(h, 0x80010203, 2224);
        EXPECT_EQ(LoadLe32(&attr[20]), 7u);
        EXPECT_EQ(attr[32], 0);  // no record with a miniport error
    }
    for (std::uint32_t rc : {8u, 0u}) {
        const Bytes port = Query(h, 0x80010204, 664);
        EXPECT_EQ(LoadLe32(&port[20]), rc);
        EXPECT_EQ(port[32 + 8], 0x10);  // 8 still delivers the record
    }
    Bytes r;
    ASSERT_TRUE(Mbox(h, Dump(4, 0, 15), &r));
    EXPECT_EQ(LoadLe32(&r[16]), 8u);
    EXPECT_EQ(r[27], 8);
    EXPECT_EQ(r[28], 0);  // nothing beyond what was delivered
    EXPECT_FALSE(Mbox(h, Dump(4, 0, 15)));
    EXPECT_EQ(GetLastError(), 1117u);
    Bytes upd = Block(1, 0x1B, {{4, 0x12}, {8, 4 | 60 << 16}, {16, 60}});
    upd[20] = 0x77;
    ASSERT_TRUE(Mbox(h, upd, &r));
    EXPECT_EQ(LoadLe16(&r[2]), 256u);
    CloseHandle(h);
    EXPECT_TRUE(fcemu::Violations().empty());
    EXPECT_EQ(fcemu::CurrentFleet().devices[0].region4[0], 1);  // a refused update stores nothing
    const auto dumps = fctest::MailboxCalls(fcemu::RequestLog(), 23);
    ASSERT_FALSE(dumps.empty());
    EXPECT_EQ(dumps[0].region, 4u);
    EXPECT_EQ(dumps[0].words, 15u);
    const auto updates = fctest::MailboxCalls(fcemu::RequestLog(), 27);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_NE(updates[0].ToJson().find("\"mbx_status\":256"), std::string::npos);
}

TEST_F(EmulatorRequests, FirmwareAnswersFromRegionsAndMemoryAndKeepsUpdates) {
    fcemu::DeviceConfig a = Adapter(0);
    a.revision_primary = 0x01004000;
    a.revision_secondary = 0x00000005;
    a.boot_images = {0x03960001, 0x02910002};
    a.memory = {{0x900, {0xAABBCCDD}}};
    HANDLE h = Serve({a});
    Bytes r;
    const Bytes rev = Block(0, 0x11, {{4, 0x80000000}});
    ASSERT_TRUE(Mbox(h, rev, &r, 92));
    EXPECT_EQ(LoadLe32(&r[8]), 0x01004000u);
    EXPECT_EQ(LoadLe32(&r[12]), 5u);
    EXPECT_FALSE(Mbox(h, rev, &r, 32));  // command 17 travels with request size 92

    ASSERT_TRUE(Mbox(h, Dump(4, 0, 15), &r));
    EXPECT_EQ(LoadLe16(&r[2]), 0u);
    EXPECT_EQ(LoadLe32(&r[16]), 60u);
    EXPECT_EQ(r[20], 1);
    EXPECT_EQ(r[79], 60);
    ASSERT_TRUE(Mbox(h, Dump(10, 216, 64), &r));  // only 40 bytes remain from 216
    EXPECT_EQ(LoadLe32(&r[16]), 40u);
    EXPECT_EQ(r[20], 255 - 216);
    EXPECT_EQ(r[60], 0);
    ASSERT_TRUE(Mbox(h, Dump(10, 0, 64), &r));  // the block holds 236 bytes from offset 20
    EXPECT_EQ(LoadLe32(&r[16]), 236u);
    ASSERT_TRUE(Mbox(h, Dump(5, 0, 15), &r));
    EXPECT_NE(LoadLe16(&r[2]), 0u);

    // The directory ring: head at 0x79C, 48-byte entries, last link back to 0x79C.
    auto read = [&](std::uint32_t address, std::uint32_t words) {
        return Mbox(h, Block(2, 0x17, {{4, 1}, {12, address}, {16, words}}), &r);
    };
    ASSERT_TRUE(read(0x79C, 1));
    ASSERT_TRUE(read(LoadLe32(&r[20]), 12));
    EXPECT_EQ(LoadLe32(&r[36]), 0x03960001u);
    ASSERT_TRUE(read(LoadLe32(&r[20]), 12));
    EXPECT_EQ(LoadLe32(&r[20]), 0x79Cu);
    EXPECT_EQ(LoadLe32(&r[36]), 0x02910002u);
    ASSERT_TRUE(read(0x8FC, 2));
    EXPECT_EQ(LoadLe32(&r[20]), 0u);  // never written
    EXPECT_EQ(LoadLe32(&r[24]), 0xAABBCCDDu);
    EXPECT_FALSE(read(0x79E, 2));  // address bits 0-1 must be clear

    // Region 8 inline; region 10 only through the extended request, selector 5.
    Bytes upd = Block(1, 0x1B, {{4, 0x12}, {8, 8 | 60 << 16}, {16, 60}});
    for (int i = 0; i < 60; ++i) upd[20 + i] = static_cast<std::uint8_t>(0x80 + i);
    ASSERT_TRUE(Mbox(h, upd));
    const Bytes ext = Block(1, 0x1B, {{4, 0x32}, {8, 10 | 256 << 16}, {16, 256}, {20, 256}});
    Bytes x = Frame(0x8001013B, 5840);
    x[32] = 5;
    StoreLe32(&x[36], 64);
    std::memcpy(&x[44], ext.data(), 256);
    for (int i = 0; i < 256; ++i) x[300 + i] = static_cast<std::uint8_t>(i ^ 0x5A);
    Bytes bad = x;
    bad[32] = 4;
    EXPECT_FALSE(Send(h, bad));
    EXPECT_FALSE(Mbox(h, ext));
    ASSERT_TRUE(Send(h, x));
    CloseHandle(h);
    const fcemu::DeviceConfig after = fcemu::CurrentFleet().devices[0];
    EXPECT_EQ(after.region8[0], 0x80);
    EXPECT_EQ(after.region8[59], 0x80 + 59);
    EXPECT_EQ(after.region10[0], 0x5A);
    EXPECT_EQ(after.region10[255], 255 ^ 0x5A);
    EXPECT_EQ(after.region4[0], 1);  // untouched
    EXPECT_EQ(fcemu::Violations().size(), 4u);
}

TEST_F(EmulatorRequests, BootImageStepsCheckTheCarryWord) {
    fcemu::DeviceConfig a = Adapter(0);
    a.faults = {{"mailbox:156", 1, 1, Effect::MbxStatus, 253},
                {"mailbox:156", 3, 1, Effect::State, 9}};
    HANDLE h = Serve({a});
    auto state = [](const Bytes& r) { return (LoadLe32(&r[4]) >> 8) & 0xFF; };
    Bytes r;
    ASSERT_TRUE(Mbox(h, Step(8, 0), &r));
    EXPECT_EQ(state(r), 8u);
    const std::uint32_t carry = LoadLe32(&r[8]);
    EXPECT_NE(carry, 0u);
    Bytes step9 = Step(9, carry);
    step9[16] = 0xEE;  // region-4 bytes ride along unchecked
    ASSERT_TRUE(Mbox(h, step9, &r));
    EXPECT_EQ(LoadLe16(&r[2]), 253u);  // the status only; the rest as sent
    EXPECT_EQ(0, std::memcmp(&r[4], &step9[4], 220));
    ASSERT_TRUE(Mbox(h, step9, &r));  // a retry carries the same word
    EXPECT_EQ(state(r), 9u);
    const std::uint32_t carry2 = LoadLe32(&r[8]);
    EXPECT_NE(carry2, carry);
    ASSERT_TRUE(Mbox(h, Step(10, carry2), &r));
    EXPECT_EQ(state(r), 9u);  // the state rule
    ASSERT_TRUE(Mbox(h, Step(10, LoadLe32(&r[8])), &r));
    EXPECT_EQ(state(r), 11u);
    EXPECT_TRUE(fcemu::Violations().empty());

    EXPECT_FALSE(Mbox(h, Step(10, carry2)));  // stale carry
    EXPECT_NE(LastViolation().find("carries word"), std::string::npos);
    EXPECT_FALSE(Mbox(h, Step(8, 5)));
    Bytes stateSet = Step(8, 0);
    stateSet[5] = 8;  // reply state bits must be zero in a request
    EXPECT_FALSE(Mbox(h, stateSet));
    EXPECT_EQ(fcemu::Violations().size(), 3u);
    CloseHandle(h);
}

// The serving mode's answers to the driver: the same emulator behind the
// messages, errors as the statuses that give them back, and the harness's
// own status for an error no status delivers or a malformed message.
TEST_F(EmulatorRequests, DriverMessagesReachTheSameEmulator) {
    fcemu::DeviceConfig a = Adapter(0);
    a.faults = {{"ioctl:80010213", 0, 1, Effect::Fail, 21},
                {"ioctl:80010213", 1, 1, Effect::Fail, 1167}};
    a.node_list =
        std::vector<fcemu::NodeEntry>{{{0x50, 0, 0, 0, 0, 0, 0xA0, 0xA1}, 0x010200, 0, 0}};
    fcemu::Fleet fleet;
    fleet.devices = {a, Adapter(1)};
    fcemu::StartServer(fleet);
    fcemu::DriverConnection connection;
    // One message: kind, port (its file object 0x1000 + port), sharing, create options,
    // control code, output size, input bytes.
    auto answer = [&](std::uint32_t kind, std::uint32_t port, std::uint32_t share,
                      std::uint32_t options, std::uint32_t code, std::uint32_t outSize,
                      const Bytes& input) {
        Bytes m(40 + input.size(), 0);
        if (!input.empty()) std::memcpy(&m[40], input.data(), input.size());
        StoreLe32(&m[0], static_cast<std::uint32_t>(m.size()));
        StoreLe32(&m[4], kind);
        StoreLe32(&m[8], 0x1000 + port);
        StoreLe32(&m[16], port);
        StoreLe32(&m[20], share);
        StoreLe32(&m[24], options);
        StoreLe32(&m[28], code);
        StoreLe32(&m[32], outSize);
        StoreLe32(&m[36], static_cast<std::uint32_t>(input.size()));
        Bytes reply;
        EXPECT_TRUE(fcemu::AnswerDriverRequest(connection, m, &reply));
        EXPECT_EQ(LoadLe32(&reply[0]), reply.size());
        EXPECT_EQ(LoadLe32(&reply[8]) + 12, reply.size());
        return reply;
    };
    EXPECT_EQ(LoadLe32(&answer(1, 0, 3, 0x60, 0, 0, {})[4]), 0u);
    EXPECT_EQ(LoadLe32(&answer(1, 1, 3, 0x40, 0, 0, {})[4]), 0xC000000Du);  // not synchronous
    EXPECT_NE(LastViolation().find("flags 0x40000000"), std::string::npos);
    const Bytes refresh = Frame(0x80010213, 28);
    EXPECT_EQ(LoadLe32(&answer(3, 0, 0, 0, 0x4D008, 28, refresh)[4]), 0xC00000A3u);  // error 21
    EXPECT_TRUE(connection.failure.empty());
    EXPECT_EQ(LoadLe32(&answer(3, 0, 0, 0, 0x4D008, 28, refresh)[4]), 0xC000009Du);
    EXPECT_NE(connection.failure.find("1167"), std::string::npos);
    const Bytes nodes = answer(3, 0, 0, 0, 0x230818, 8192, {});
    ASSERT_EQ(nodes.size(), 12u + 40u);  // only the bytes the emulator returns
    EXPECT_EQ(LoadLe32(&nodes[12 + 4]), 0xA0A1u);
    EXPECT_EQ(LoadLe32(&answer(2, 0, 0, 0, 0, 0, {})[4]), 0u);
    EXPECT_EQ(fcemu::OpenHandleCount(), 0u);
    EXPECT_EQ(fcemu::RequestLog().size(), 6u);

    Bytes reply;
    Bytes shortOne(20, 0);
    StoreLe32(&shortOne[0], 20);
    Bytes badLength = Bytes(40, 0);
    StoreLe32(&badLength[0], 41);
    StoreLe32(&badLength[4], 2);
    for (const Bytes& bad : {shortOne, badLength}) {
        connection.failure.clear();
        EXPECT_FALSE(fcemu::AnswerDriverRequest(connection, bad, &reply));
        EXPECT_NE(connection.failure.find("malformed"), std::string::npos);
    }
}

}  // namespace
