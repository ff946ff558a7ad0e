// The emulated driver and firmware, driven through the platform layer the
// way the utility drives them: the records they answer with, every kind of
// call they refuse, and the serving mode's messages. Offsets are literal
// numbers so that a wrong shared layout constant cannot hide a fault. What
// the utility's own tests already prove through the emulator (fault rules,
// region contents, the directory walk, the staged sequence) is not repeated.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter/bytes.h"
#include "emulator/emulator.h"
#include "emulator/serving.h"
#include "platform/win32.h"
#include "support/harness.h"

namespace {

using namespace fcplat;
using fcboot::LoadLe32;
using fcboot::StoreLe32;
using fctest::OpenDevice;
constexpr auto Block = fctest::MailboxBlock;
using Bytes = std::vector<std::uint8_t>;

// A framed miniport request with the header the utility writes.
Bytes Frame(std::uint32_t code, std::uint32_t size) {
    Bytes b(size, 0);
    StoreLe32(&b[0], 28);
    const bool hba = (code & 0xFF00) == 0x0200;
    std::memcpy(&b[4], hba ? "HBAAPI" : code == 0x8001013B ? "KX6000 " : "KX6000", code == 0x8001013B ? 7 : 6);
    StoreLe32(&b[12], code == 0x80010106 ? 20 : 30);
    StoreLe32(&b[16], code);
    StoreLe32(&b[24], size - 28);
    return b;
}
Bytes With(Bytes b, std::size_t at, std::uint8_t value) { return b[at] = value, b; }

// Sends a request, answered in place; the reply, or nothing when the call failed.
Bytes Reply(HANDLE h, Bytes req) {
    DWORD n = 0;
    const auto size = static_cast<DWORD>(req.size());
    return DeviceIoControl(h, 0x4D008, req.data(), size, req.data(), size, &n, nullptr) ? req : Bytes();
}
bool Send(HANDLE h, Bytes req) { return !Reply(h, std::move(req)).empty(); }

Bytes Dump(std::uint32_t words) { return Block(0, 0x17, {{4, 0x12}, {8, 4}, {16, words}}); }
Bytes Memory(std::uint32_t at, std::uint32_t words) { return Block(2, 0x17, {{4, 1}, {12, at}, {16, words}}); }
Bytes Step(std::uint32_t step, std::uint32_t carry) { return Block(0, 0x9C, {{4, step << 16}, {8, carry}}); }
Bytes ExtendedUpdate() { return Block(1, 0x1B, {{4, 0x32}, {8, 10 | 256 << 16}, {16, 256}, {20, 256}}); }

// An ISSUE_MBOX request carrying `block`, answered in place at 32.
Bytes MboxRequest(const Bytes& block, std::uint32_t requestSize = 32) {
    Bytes req = Frame(0x80010106, 5840);
    std::memcpy(&req[32], block.data(), 256);
    StoreLe32(&req[28 + 4108], requestSize);
    return req;
}
// An ISSUE_MBOX_EXT request: selector, input words, block at 44.
bool MboxExt(HANDLE h, const Bytes& block, std::uint8_t selector = 5, std::uint32_t inWords = 64) {
    Bytes x = Frame(0x8001013B, 5840);
    x[32] = selector;
    StoreLe32(&x[36], inWords);
    std::memcpy(&x[44], block.data(), 256);
    return Send(h, x);
}

// A device control request with a refresh request in a buffer of the given
// sizes (0: no buffer), one buffer in and out, and a count of bytes
// returned, unless `oddity` says otherwise.
enum Oddity { kNone, kOverlapped, kNoCount, kTwoBuffers };
bool Ioctl(HANDLE h, DWORD code, DWORD inSize, DWORD outSize, Oddity oddity = kNone) {
    Bytes buffer = Frame(0x80010213, 28), other(16384);
    buffer.resize(16384);
    DWORD n = 0;
    return DeviceIoControl(h, code, inSize ? buffer.data() : nullptr, inSize,
                           !outSize ? nullptr : oddity == kTwoBuffers ? other.data() : buffer.data(), outSize,
                           oddity == kNoCount ? nullptr : &n,
                           oddity == kOverlapped ? reinterpret_cast<LPOVERLAPPED>(other.data()) : nullptr) != 0;
}

std::string LastViolation() {
    const auto v = fcemu::Violations();
    return v.empty() ? std::string() : v.back();
}

// One call the emulator must refuse: it fails with `error` and records one
// violation naming `what`. h0 is port 0, a port-driver adapter, h1 port 1,
// one of a miniport driver, both open; port 12 is not open.
HANDLE h0, h1;
struct Refusal {
    const char* what;
    DWORD error;
    bool (*call)();
};

const Refusal kRefusals[] = {
    {"expected read/write access", 87,
     [] { return CreateFileA("\\\\.\\Scsi12:", GENERIC_READ, 3, nullptr, 3, 0, nullptr) != INVALID_HANDLE_VALUE; }},
    {"second open", 87, [] { return OpenDevice(1) != INVALID_HANDLE_VALUE; }},
    {"handle closed twice", 6, [] { HANDLE a = OpenDevice(12); CloseHandle(a); return !!CloseHandle(a); }},
    {"close of a handle the driver never gave out", 6, [] { return !!CloseHandle(reinterpret_cast<HANDLE>(0x7777)); }},
    {"I/O request on a closed handle", 6, [] {
         HANDLE a = OpenDevice(12);
         CloseHandle(a);
         HANDLE again = OpenDevice(12);
         EXPECT_NE(again, a);  // a fresh value, never the closed one
         CloseHandle(again);
         return Ioctl(a, 0x4D008, 28, 28);
     }},
    {"overlapped I/O request", 87, [] { return Ioctl(h0, 0x4D008, 28, 28, kOverlapped); }},
    {"without a count of bytes returned", 87, [] { return Ioctl(h0, 0x4D008, 28, 28, kNoCount); }},
    {"unknown device control code 0x00230804", 1, [] { return Ioctl(h0, 0x230804, 0, 8); }},
    {"GET_BUS_SLOT with input size 0 and output size 16", 87, [] { return Ioctl(h0, 0x230800, 0, 16); }},
    {"GET_NODE_LIST with input size 4", 87, [] { return Ioctl(h0, 0x230818, 4, 8192); }},
    {"miniport request without a buffer", 87, [] { return Ioctl(h0, 0x4D008, 0, 28); }},
    {"different input and output buffers", 87, [] { return Ioctl(h0, 0x4D008, 28, 28, kTwoBuffers); }},
    {"input size 28 and output size 24", 87, [] { return Ioctl(h0, 0x4D008, 28, 24); }},
    {"of 20 bytes, shorter than its header", 87, [] { return Ioctl(h0, 0x4D008, 20, 20); }},
    // The request header, spoiled one byte at a time.
    {"HeaderLength 24", 87, [] { return Send(h0, With(Frame(0x80010203, 2224), 0, 24)); }},
    {"Signature bytes", 87, [] { return Send(h0, With(Frame(0x80010203, 2224), 11, 'X')); }},
    {"Timeout 20", 87, [] { return Send(h0, With(Frame(0x80010203, 2224), 12, 20)); }},
    {"unknown ControlCode 0x80010200", 87, [] { return Send(h0, With(Frame(0x80010203, 2224), 16, 0)); }},
    {"ReturnCode 1 in the request", 87, [] { return Send(h0, With(Frame(0x80010203, 2224), 20, 1)); }},
    {"Length 2197", 87, [] { return Send(h0, With(Frame(0x80010203, 2224), 24, 0x95)); }},
    {"GET_ADAPTER_ATTRIBUTES: request byte 40", 87, [] { return Send(h0, With(Frame(0x80010203, 2224), 40, 1)); }},
    {"total size 668, expected 664 for the port driver", 87, [] { return Send(h0, Frame(0x80010204, 668)); }},
    {"total size 664, expected 668 for a miniport", 87, [] { return Send(h1, Frame(0x80010204, 664)); }},
    {"ISSUE_MBOX: request byte 5028 is nonzero", 87,  // beyond the size word: nothing may be there
     [] { return Send(h0, With(MboxRequest(Dump(15)), 28 + 5000, 1)); }},
    {"ISSUE_MBOX_EXT: word counts 1386 in", 87, [] { return MboxExt(h0, ExtendedUpdate(), 5, 1386); }},
    // The firmware's commands, each block checked field by field.
    {"command 17: request size word 32, expected 92", 87,
     [] { return Send(h0, MboxRequest(Block(0, 0x11, {{4, 0x80000000}}))); }},
    {"command 17: block byte 8", 87,
     [] { return Send(h0, MboxRequest(Block(0, 0x11, {{4, 0x80000000}, {8, 1}}), 92)); }},
    {"command 23 sent through ISSUE_MBOX_EXT", 87, [] { return MboxExt(h0, Dump(15)); }},
    {"command 23 (region dump): block byte 12", 87,
     [] { return Send(h0, MboxRequest(Block(0, 0x17, {{4, 0x12}, {8, 4}, {12, 1}, {16, 15}}))); }},
    {"command 23 (region dump): 65 words asked for", 87, [] { return Send(h0, MboxRequest(Dump(65))); }},
    {"command 23 (memory read): block byte 12", 87,  // address bits 0-1 must be clear
     [] { return Send(h0, MboxRequest(Memory(0x79E, 2))); }},
    {"command 23 (memory read): 60 words", 87, [] { return Send(h0, MboxRequest(Memory(0x79C, 60))); }},
    {"command 23: dump type 3", 87, [] { return Send(h0, MboxRequest(Block(0, 0x17, {{4, 3}}))); }},
    {"command 27 (extended update) sent through ISSUE_MBOX", 87,
     [] { return Send(h0, MboxRequest(ExtendedUpdate())); }},
    {"command 27 (extended update): selector 4", 87, [] { return MboxExt(h0, ExtendedUpdate(), 4); }},
    {"command 27 (inline update): region 10, expected 4 or 8", 87,
     [] { return Send(h0, MboxRequest(Block(1, 0x1B, {{4, 0x12}, {8, 10 | 60 << 16}, {16, 60}}))); }},
    {"command 27 (inline update): block byte 0", 87,
     [] { return Send(h0, MboxRequest(Block(0, 0x1B, {{4, 0x12}, {8, 4 | 60 << 16}, {16, 60}}))); }},
    {"command 156: step 11", 87, [] { return Send(h0, MboxRequest(Step(11, 0))); }},
    {"command 156: step 8 carries word", 87, [] { return Send(h0, MboxRequest(Step(8, 5))); }},
    {"command 156: block byte 5", 87,  // reply state bits must be zero in a request
     [] { return Send(h0, MboxRequest(With(Step(8, 0), 5, 8))); }},
    {"step 9 with no earlier reply to carry from", 87, [] { return Send(h1, MboxRequest(Step(9, 1))); }},
    {"step 9 carries word", 87, [] {
         const Bytes r = Reply(h0, MboxRequest(Step(8, 0)));
         return r.empty() || Send(h0, MboxRequest(Step(9, LoadLe32(&r[32 + 8]) + 1)));
     }},
};

TEST(EmulatorRequests, RecordsSitAtTheirOffsetsAndEveryKindOfWrongCallIsRefused) {
    fcemu::DeviceConfig port = fcemu::DefaultDevice(0);  // the port driver, "tarsli2"
    port.pci_bus = 7;
    port.pci_slot = 0x23;
    port.node_list = std::vector<fcemu::NodeEntry>(300);
    (*port.node_list)[1] = {{0x21, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55}, 0x010203, 0, 1};
    fcemu::DeviceConfig mini = fcemu::DefaultDevice(1);
    mini.driver_name = "Tarsli2";  // any other name, letter case included
    fcemu::Fleet fleet;
    fleet.devices = {port, mini, fcemu::DefaultDevice(12)};
    fcemu::StartServer(fleet);
    h0 = OpenDevice(0);
    h1 = OpenDevice(1);

    EXPECT_STREQ(reinterpret_cast<const char*>(&Reply(h0, Frame(0x80010203, 2224)).at(32)), "Tarvio");
    // The port driver gets the 664-byte form, record at 32; any other 668, at 36.
    EXPECT_EQ(0, std::memcmp(&Reply(h0, Frame(0x80010204, 664)).at(32 + 8), port.port_wwn.data(), 8));
    EXPECT_EQ(0, std::memcmp(&Reply(h1, Frame(0x80010204, 668)).at(36 + 8), mini.port_wwn.data(), 8));
    const Bytes info = Reply(h0, Frame(0x80010100, 5840));
    EXPECT_EQ(LoadLe32(&info.at(32 + 192)), 7u);
    EXPECT_EQ(LoadLe32(&info.at(32 + 196)), 0x23u);
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

    for (const char* bad : {"\\\\.\\Scsi2:", "\\\\.\\Scsi012:", "\\\\.\\Scsi12", "\\\\.\\scsi12:",
                            "\\\\.\\Scsi256:", "\\\\.\\Scsi12: "}) {
        EXPECT_EQ(CreateFileA(bad, GENERIC_READ | GENERIC_WRITE, 3, nullptr, 3, 0, nullptr), INVALID_HANDLE_VALUE)
            << bad;
        EXPECT_EQ(GetLastError(), 2u) << bad;
    }
    EXPECT_TRUE(fcemu::Violations().empty());
    for (const Refusal& r : kRefusals) {
        const std::size_t before = fcemu::Violations().size();
        EXPECT_FALSE(r.call()) << r.what;
        EXPECT_EQ(GetLastError(), r.error) << r.what;
        EXPECT_EQ(fcemu::Violations().size(), before + 1) << r.what;
        EXPECT_NE(LastViolation().find(r.what), std::string::npos) << r.what << ": " << LastViolation();
        EXPECT_FALSE(fcemu::RequestLog().back().violation.empty()) << r.what;
    }
    CloseHandle(h1);
    fcemu::StopServer();  // with port 0 still open
    EXPECT_EQ(LastViolation(), "handle still open when main returns: port 0");
}

// The serving mode's answers to the driver: the same emulator behind the
// messages, and the harness's own status for an error no status delivers or
// a malformed message. (The device path test runs every error a status
// delivers through the driver itself, under Wine.)
TEST(EmulatorRequests, DriverMessagesReachTheSameEmulator) {
    using Effect = fcemu::FaultRule::Effect;
    fcemu::DeviceConfig a = fcemu::DefaultDevice(0);
    a.faults = {{"ioctl:80010213", 0, 1, Effect::Fail, 1167}};
    fcemu::Fleet fleet;
    fleet.devices = {a};
    fcemu::StartServer(fleet);
    fcemu::DriverConnection connection;
    // One message of a kind for the file object 0x1000 (port 0, shared,
    // synchronous), with a control code and input; the answer's status.
    Bytes reply;
    auto status = [&](std::uint32_t kind, std::uint32_t code, const Bytes& input) {
        Bytes m(40 + input.size(), 0);
        if (!input.empty()) std::memcpy(&m[40], input.data(), input.size());
        for (auto [at, word] : {std::pair<int, std::uint32_t>{0, static_cast<std::uint32_t>(m.size())}, {4, kind},
                                {8, 0x1000}, {20, 3}, {24, 0x60}, {28, code}, {32, 28},
                                {36, static_cast<std::uint32_t>(input.size())}})
            StoreLe32(&m[at], word);
        EXPECT_TRUE(fcemu::AnswerDriverRequest(connection, m, &reply));
        EXPECT_EQ(LoadLe32(&reply[0]), reply.size());
        EXPECT_EQ(LoadLe32(&reply[8]) + 12, reply.size());
        return LoadLe32(&reply[4]);
    };
    const Bytes refresh = Frame(0x80010213, 28);
    EXPECT_EQ(status(1, 0, {}), 0u);
    EXPECT_TRUE(connection.failure.empty());
    EXPECT_EQ(status(3, 0x4D008, refresh), 0xC000009Du);
    EXPECT_NE(connection.failure.find("1167"), std::string::npos);
    EXPECT_EQ(status(3, 0x4D008, refresh), 0u);
    EXPECT_EQ(reply.size(), 12u + 28u);
    EXPECT_EQ(status(2, 0, {}), 0u);
    EXPECT_EQ(fcemu::OpenHandleCount(), 0u);
    EXPECT_EQ(fcemu::RequestLog().size(), 4u);

    Bytes shortOne(20, 0), badLength(40, 0);
    StoreLe32(&shortOne[0], 20);
    StoreLe32(&badLength[0], 41);
    StoreLe32(&badLength[4], 2);
    for (const Bytes& bad : {shortOne, badLength}) {
        connection.failure.clear();
        EXPECT_FALSE(fcemu::AnswerDriverRequest(connection, bad, &reply));
        EXPECT_NE(connection.failure.find("malformed"), std::string::npos);
    }
    fcemu::StopServer();
}

}  // namespace
