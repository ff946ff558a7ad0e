// The emulated driver and firmware, driven through the platform layer the
// way the utility drives them. Offsets are written as literal numbers so a
// wrong shared layout constant cannot hide a fault.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "adapter/bytes.h"
#include "emulator/emulator.h"
#include "platform/win32.h"

namespace {

using namespace fcplat;
using fcboot::LoadLe32;
using fcboot::StoreLe32;
using Bytes = std::vector<std::uint8_t>;

HANDLE Open(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
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

// An ISSUE_MBOX request carrying `block`; the answered block is at 32.
Bytes Mbox(const Bytes& block, std::uint32_t requestSize = 32) {
    Bytes req = Frame(0x80010106, 5840);
    std::memcpy(&req[32], block.data(), 256);
    StoreLe32(&req[28 + 4108], requestSize);
    return req;
}

Bytes Block(std::uint8_t code) {
    Bytes b(256, 0);
    b[1] = code;
    return b;
}

Bytes DumpBlock(std::uint32_t region, std::uint32_t offset, std::uint32_t words) {
    Bytes b = Block(0x17);
    StoreLe32(&b[4], 0x12);
    StoreLe32(&b[8], region | (offset << 16));
    StoreLe32(&b[16], words);
    return b;
}

Bytes BootStep(std::uint32_t step, std::uint32_t carry) {
    Bytes b = Block(0x9C);
    StoreLe32(&b[4], step << 16);
    StoreLe32(&b[8], carry);
    return b;
}

fcemu::DeviceConfig Adapter(std::uint32_t port) {
    fcemu::DeviceConfig d = fcemu::DefaultDevice(port);
    for (int i = 0; i < 60; ++i) d.region4[i] = static_cast<std::uint8_t>(i + 1);
    for (int i = 0; i < 256; ++i) d.region10[i] = static_cast<std::uint8_t>(255 - i);
    return d;
}

class EmulatorRequests : public ::testing::Test {
protected:
    void Serve(std::vector<fcemu::DeviceConfig> devices) {
        fcemu::Fleet fleet;
        fleet.devices = std::move(devices);
        fcemu::StartServer(fleet);
    }
    void TearDown() override {
        if (fcemu::ServerRunning()) fcemu::StopServer();
    }
    std::string LastViolation() {
        const auto v = fcemu::Violations();
        return v.empty() ? std::string() : v.back();
    }
};

TEST_F(EmulatorRequests, OpensOnlyExactDevicePathsAndTracksHandles) {
    Serve({Adapter(0), Adapter(12)});
    for (const char* bad : {"\\\\.\\Scsi1:", "\\\\.\\Scsi012:", "\\\\.\\Scsi12", "\\\\.\\scsi12:",
                            "\\\\.\\Scsi256:", "\\\\.\\Scsi12: "}) {
        EXPECT_EQ(Open(bad), INVALID_HANDLE_VALUE) << bad;
        EXPECT_EQ(GetLastError(), 2u) << bad;
    }
    HANDLE a = Open("\\\\.\\Scsi12:");
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("\\\\.\\Scsi12:"), INVALID_HANDLE_VALUE);  // the utility never opens twice
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_NE(LastViolation().find("second open"), std::string::npos);
    EXPECT_EQ(CreateFileA("\\\\.\\Scsi0:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 87u);

    EXPECT_NE(CloseHandle(a), 0);
    EXPECT_EQ(CloseHandle(a), 0);
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_EQ(LastViolation(), "port 12: handle closed twice");
    Bytes req = Frame(0x80010213, 28);
    EXPECT_FALSE(Send(a, req));
    EXPECT_EQ(GetLastError(), 6u);

    HANDLE b = Open("\\\\.\\Scsi12:");  // a fresh value, never the closed one
    EXPECT_NE(b, a);
    EXPECT_EQ(fcemu::OpenHandleCount(), 1u);
    const std::size_t before = fcemu::Violations().size();
    fcemu::StopServer();
    ASSERT_EQ(fcemu::Violations().size(), before + 1);
    EXPECT_EQ(fcemu::Violations().back(), "handle still open when main returns: port 12");
    EXPECT_EQ(fcemu::RequestLog()[0].path, "\\\\.\\Scsi1:");
}

TEST_F(EmulatorRequests, AttributeQueriesFillTheRecordsAtTheirOffsets) {
    fcemu::DeviceConfig port = Adapter(0);
    port.manufacturer = std::string(64, 'T');  // fills its field: no terminator
    port.model_description = "Desc";
    port.vendor_specific_id = 0xF0A510DF;
    port.node_wwn = {0x20, 0, 0, 0, 0xC9, 1, 2, 3};
    port.port_wwn = {0x10, 0, 0, 0, 0xC9, 1, 2, 3};
    fcemu::DeviceConfig mini = Adapter(1);
    mini.driver_name = "Tarsli2";
    Serve({port, mini});
    HANDLE h0 = Open("\\\\.\\Scsi0:");
    HANDLE h1 = Open("\\\\.\\Scsi1:");

    Bytes attr = Frame(0x80010203, 2224);
    ASSERT_TRUE(Send(h0, attr));
    EXPECT_EQ(LoadLe32(&attr[20]), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&attr[32]), 64), std::string(64, 'T'));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&attr[32 + 384])), "Desc");
    EXPECT_EQ(attr[32 + 640 + 4], 0xC9);
    EXPECT_EQ(LoadLe32(&attr[32 + 1928]), 0xF0A510DFu);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&attr[32 + 1936])), "tarsli2");

    // "tarsli2" exactly gets the 664-byte form, record at 32; any other name 668, at 36.
    Bytes p0 = Frame(0x80010204, 664);
    ASSERT_TRUE(Send(h0, p0));
    EXPECT_EQ(0, std::memcmp(&p0[32 + 8], port.port_wwn.data(), 8));
    const std::string osName(reinterpret_cast<char*>(&p0[32 + 352]));
    EXPECT_FALSE(osName.empty());
    EXPECT_NE(osName, "\\\\.\\Scsi0:");
    Bytes p1 = Frame(0x80010204, 668);
    ASSERT_TRUE(Send(h1, p1));
    EXPECT_EQ(0, std::memcmp(&p1[36 + 8], mini.port_wwn.data(), 8));
    Bytes wrong = Frame(0x80010204, 668);
    EXPECT_FALSE(Send(h0, wrong));
    EXPECT_EQ(GetLastError(), 87u);

    Bytes info = Frame(0x80010100, 5840);
    ASSERT_TRUE(Send(h0, info));
    EXPECT_EQ(LoadLe32(&info[32 + 192]), port.pci_bus);
    EXPECT_EQ(LoadLe32(&info[32 + 196]), port.pci_slot);
    Bytes refresh = Frame(0x80010213, 28);
    ASSERT_TRUE(Send(h0, refresh));
    EXPECT_EQ(LoadLe32(&refresh[20]), 0u);
    CloseHandle(h0);
    CloseHandle(h1);
    EXPECT_TRUE(fcemu::Violations().size() == 1);  // the wrong-size port query only
}

TEST_F(EmulatorRequests, DriverCodesBusSlotAndNodeList) {
    fcemu::DeviceConfig a = Adapter(0);
    a.pci_bus = 7;
    a.pci_slot = 0x23;
    std::vector<fcemu::NodeEntry> nodes(300);
    nodes[1].wwn = {0x21, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55};
    nodes[1].fcid = 0x010203;
    nodes[1].host_byte_2 = 1;
    a.node_list = nodes;
    fcemu::DeviceConfig b = Adapter(1);
    b.driver_name = "tarmp4";
    b.node_list.reset();
    Serve({a, b});
    HANDLE h0 = Open("\\\\.\\Scsi0:");
    HANDLE h1 = Open("\\\\.\\Scsi1:");
    std::uint8_t busSlot[8] = {};
    DWORD n = 0;
    ASSERT_NE(DeviceIoControl(h0, 0x230800, nullptr, 0, busSlot, 8, &n, nullptr), 0);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(LoadLe32(busSlot), 7u);
    EXPECT_EQ(LoadLe32(busSlot + 4), 0x23u);
    EXPECT_EQ(DeviceIoControl(h1, 0x230800, nullptr, 0, busSlot, 8, &n, nullptr), 0);
    EXPECT_EQ(GetLastError(), 1u);

    Bytes list(16384);
    EXPECT_EQ(DeviceIoControl(h0, 0x230818, nullptr, 0, list.data(), 8192, &n, nullptr), 0);
    EXPECT_EQ(GetLastError(), 122u);
    ASSERT_NE(DeviceIoControl(h0, 0x230818, nullptr, 0, list.data(), 16384, &n, nullptr), 0);
    EXPECT_EQ(n, 12000u);
    EXPECT_EQ(LoadLe32(&list[40]), 0x21000011u);
    EXPECT_EQ(LoadLe32(&list[44]), 0x22334455u);
    EXPECT_EQ(LoadLe32(&list[56]), 0x010203u);
    EXPECT_EQ(list[60], 0);
    EXPECT_EQ(list[61], 1);
    EXPECT_EQ(DeviceIoControl(h1, 0x230818, nullptr, 0, list.data(), 8192, &n, nullptr), 0);
    EXPECT_EQ(GetLastError(), 1u);
    EXPECT_EQ(fcemu::RequestLog().back().node_list_size, 8192u);
    CloseHandle(h0);
    CloseHandle(h1);
    EXPECT_TRUE(fcemu::Violations().empty());
}

TEST_F(EmulatorRequests, MalformedMiniportRequestsAreViolations) {
    Serve({Adapter(0)});
    HANDLE h = Open("\\\\.\\Scsi0:");
    struct Case {
        const char* what;
        void (*spoil)(Bytes&);
    };
    const Case cases[] = {
        {"HeaderLength", [](Bytes& r) { StoreLe32(&r[0], 24); }},
        {"Signature", [](Bytes& r) { r[11] = 'X'; }},
        {"Timeout", [](Bytes& r) { StoreLe32(&r[12], 20); }},
        {"Length", [](Bytes& r) { StoreLe32(&r[24], 2224); }},
        {"ReturnCode", [](Bytes& r) { StoreLe32(&r[20], 1); }},
        {"unknown ControlCode", [](Bytes& r) { StoreLe32(&r[16], 0x80010200); }},
        {"request byte 40", [](Bytes& r) { r[40] = 1; }},
    };
    for (const Case& c : cases) {
        Bytes req = Frame(0x80010203, 2224);
        c.spoil(req);
        EXPECT_FALSE(Send(h, req)) << c.what;
        EXPECT_EQ(GetLastError(), 87u) << c.what;
        EXPECT_NE(LastViolation().find(c.what), std::string::npos) << LastViolation();
        EXPECT_EQ(fcemu::RequestLog().back().violation.empty(), false);
    }
    Bytes a = Frame(0x80010203, 2224), b = a;
    DWORD n = 0;
    EXPECT_EQ(DeviceIoControl(h, 0x4D008, a.data(), 2224, b.data(), 2224, &n, nullptr), 0);
    EXPECT_EQ(DeviceIoControl(h, 0x4D008, a.data(), 2224, a.data(), 2220, &n, nullptr), 0);
    Bytes mb = Mbox(DumpBlock(4, 0, 15));
    StoreLe32(&mb[28 + 5000], 1);  // beyond the size word: nothing may be there
    EXPECT_FALSE(Send(h, mb));
    EXPECT_EQ(fcemu::Violations().size(), std::size(cases) + 3);
    CloseHandle(h);
}

TEST_F(EmulatorRequests, FaultRulesSkipThenAffectTimesCalls) {
    fcemu::DeviceConfig a = Adapter(0);
    a.faults = {{"open", 1, 1, fcemu::FaultRule::Effect::Fail, 5},
                {"ioctl:80010203", 0, std::nullopt, fcemu::FaultRule::Effect::ReturnCode, 7},
                {"ioctl:80010204", 0, 1, fcemu::FaultRule::Effect::ReturnCode, 8},
                {"ioctl:80010213", 0, 1, fcemu::FaultRule::Effect::Fail, 31},
                {"node_list", 0, 1, fcemu::FaultRule::Effect::Fail, 1}};
    fcemu::DeviceConfig b = Adapter(1);
    b.attributes_fail = true;
    Serve({a, b});
    HANDLE h = Open("\\\\.\\Scsi0:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Open("\\\\.\\Scsi0:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 5u);
    h = Open("\\\\.\\Scsi0:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    for (int i = 0; i < 2; ++i) {
        Bytes attr = Frame(0x80010203, 2224);
        ASSERT_TRUE(Send(h, attr));
        EXPECT_EQ(LoadLe32(&attr[20]), 7u);
        EXPECT_EQ(attr[32], 0);  // no record with a miniport error
    }
    Bytes port = Frame(0x80010204, 664);
    ASSERT_TRUE(Send(h, port));
    EXPECT_EQ(LoadLe32(&port[20]), 8u);
    EXPECT_EQ(port[32 + 8], 0x10);  // 8 still delivers the record
    port = Frame(0x80010204, 664);
    ASSERT_TRUE(Send(h, port));
    EXPECT_EQ(LoadLe32(&port[20]), 0u);
    Bytes refresh = Frame(0x80010213, 28);
    EXPECT_FALSE(Send(h, refresh));
    EXPECT_EQ(GetLastError(), 31u);
    Bytes list(8192);
    DWORD n = 0;
    EXPECT_EQ(DeviceIoControl(h, 0x230818, nullptr, 0, list.data(), 8192, &n, nullptr), 0);
    EXPECT_NE(DeviceIoControl(h, 0x230818, nullptr, 0, list.data(), 8192, &n, nullptr), 0);

    HANDLE hb = Open("\\\\.\\Scsi1:");
    Bytes attr = Frame(0x80010203, 2224);
    ASSERT_TRUE(Send(hb, attr));
    EXPECT_EQ(LoadLe32(&attr[20]), 1u);
    CloseHandle(h);
    CloseHandle(hb);
    EXPECT_TRUE(fcemu::Violations().empty());
}

TEST_F(EmulatorRequests, FirmwareAnswersRevisionDumpAndMemory) {
    fcemu::DeviceConfig a = Adapter(0);
    a.revision_primary = 0x01004000;
    a.revision_secondary = 0x00000005;
    a.boot_images = {0x03960001, 0x02910002};
    a.memory = {{0x900, {0xAABBCCDD}}};
    Serve({a});
    HANDLE h = Open("\\\\.\\Scsi0:");

    Bytes rev = Block(0x11);
    StoreLe32(&rev[4], 0x80000000);
    Bytes req = Mbox(rev, 92);
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(LoadLe32(&req[32 + 8]), 0x01004000u);
    EXPECT_EQ(LoadLe32(&req[32 + 12]), 5u);
    req = Mbox(rev, 32);
    EXPECT_FALSE(Send(h, req));  // command 17 travels with request size 92

    req = Mbox(DumpBlock(4, 0, 15));
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(fcboot::LoadLe16(&req[34]), 0u);
    EXPECT_EQ(LoadLe32(&req[32 + 16]), 60u);
    EXPECT_EQ(req[32 + 20], 1);
    EXPECT_EQ(req[32 + 79], 60);
    req = Mbox(DumpBlock(10, 216, 64));  // only 40 bytes remain from 216
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(LoadLe32(&req[32 + 16]), 40u);
    EXPECT_EQ(req[32 + 20], 255 - 216);
    EXPECT_EQ(req[32 + 60], 0);
    req = Mbox(DumpBlock(10, 0, 64));  // the block holds 236 bytes from offset 20
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(LoadLe32(&req[32 + 16]), 236u);
    req = Mbox(DumpBlock(5, 0, 15));
    ASSERT_TRUE(Send(h, req));
    EXPECT_NE(fcboot::LoadLe16(&req[34]), 0u);

    // The directory ring: head at 0x79C, 48-byte entries, last link back to 0x79C.
    Bytes mem = Block(0x17);
    mem[0] = 0x02;
    StoreLe32(&mem[4], 1);
    StoreLe32(&mem[12], 0x79C);
    StoreLe32(&mem[16], 1);
    req = Mbox(mem);
    ASSERT_TRUE(Send(h, req));
    const std::uint32_t first = LoadLe32(&req[32 + 20]);
    StoreLe32(&mem[12], first);
    StoreLe32(&mem[16], 12);
    req = Mbox(mem);
    ASSERT_TRUE(Send(h, req));
    const std::uint32_t second = LoadLe32(&req[32 + 20]);
    EXPECT_EQ(LoadLe32(&req[32 + 20 + 16]), 0x03960001u);
    StoreLe32(&mem[12], second);
    req = Mbox(mem);
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(LoadLe32(&req[32 + 20]), 0x79Cu);
    EXPECT_EQ(LoadLe32(&req[32 + 20 + 16]), 0x02910002u);
    StoreLe32(&mem[12], 0x8FC);
    StoreLe32(&mem[16], 2);
    req = Mbox(mem);
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(LoadLe32(&req[32 + 20]), 0u);  // never written
    EXPECT_EQ(LoadLe32(&req[32 + 24]), 0xAABBCCDDu);
    StoreLe32(&mem[12], 0x79E);  // address bits 0-1 must be clear
    req = Mbox(mem);
    EXPECT_FALSE(Send(h, req));

    Bytes unknown = Block(0x42);
    StoreLe32(&unknown[8], 0x1234);
    req = Mbox(unknown);
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(fcboot::LoadLe16(&req[34]), 18u);
    EXPECT_EQ(LoadLe32(&req[32 + 8]), 0x1234u);
    CloseHandle(h);
    EXPECT_EQ(fcemu::Violations().size(), 2u);
}

TEST_F(EmulatorRequests, RegionUpdatesPersistInTheFleet) {
    Serve({Adapter(0)});
    HANDLE h = Open("\\\\.\\Scsi0:");
    Bytes upd = Block(0x1B);
    upd[0] = 0x01;
    StoreLe32(&upd[4], 0x12);
    StoreLe32(&upd[8], 8 | (60 << 16));
    StoreLe32(&upd[16], 60);
    for (int i = 0; i < 60; ++i) upd[20 + i] = static_cast<std::uint8_t>(0x80 + i);
    Bytes req = Mbox(upd);
    ASSERT_TRUE(Send(h, req));

    Bytes ext = Block(0x1B);
    ext[0] = 0x01;
    StoreLe32(&ext[4], 0x32);
    StoreLe32(&ext[8], 10 | (256 << 16));
    StoreLe32(&ext[16], 256);
    StoreLe32(&ext[20], 256);
    Bytes x = Frame(0x8001013B, 5840);
    x[32] = 5;
    StoreLe32(&x[36], 64);
    std::memcpy(&x[44], ext.data(), 256);
    for (int i = 0; i < 256; ++i) x[300 + i] = static_cast<std::uint8_t>(i ^ 0x5A);
    Bytes bad = x;
    bad[32] = 4;
    EXPECT_FALSE(Send(h, bad));  // selector 5 only
    bad = Mbox(ext);
    EXPECT_FALSE(Send(h, bad));  // region 10 data never travels inline
    ASSERT_TRUE(Send(h, x));
    CloseHandle(h);

    const fcemu::Fleet after = fcemu::CurrentFleet();
    EXPECT_EQ(after.devices[0].region8[0], 0x80);
    EXPECT_EQ(after.devices[0].region8[59], 0x80 + 59);
    EXPECT_EQ(after.devices[0].region10[0], 0x5A);
    EXPECT_EQ(after.devices[0].region10[255], 255 ^ 0x5A);
    EXPECT_EQ(after.devices[0].region4[0], 1);  // untouched
    EXPECT_EQ(fcemu::Violations().size(), 2u);
}

TEST_F(EmulatorRequests, BootImageStepsCheckTheCarryWord) {
    fcemu::DeviceConfig a = Adapter(0);
    a.faults = {{"mailbox:156", 1, 1, fcemu::FaultRule::Effect::MbxStatus, 253},
                {"mailbox:156", 3, 1, fcemu::FaultRule::Effect::State, 9}};
    Serve({a});
    HANDLE h = Open("\\\\.\\Scsi0:");
    Bytes req = Mbox(BootStep(8, 0));
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ((LoadLe32(&req[32 + 4]) >> 8) & 0xFF, 8u);
    const std::uint32_t carry = LoadLe32(&req[32 + 8]);
    EXPECT_NE(carry, 0u);

    Bytes step9 = BootStep(9, carry);
    step9[16] = 0xEE;  // region-4 bytes ride along unchecked
    req = Mbox(step9);
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(fcboot::LoadLe16(&req[34]), 253u);  // the status only; the rest as sent
    EXPECT_EQ(0, std::memcmp(&req[36], &step9[4], 220));
    req = Mbox(step9);  // a retry carries the same word
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ((LoadLe32(&req[32 + 4]) >> 8) & 0xFF, 9u);
    const std::uint32_t carry2 = LoadLe32(&req[32 + 8]);
    EXPECT_NE(carry2, carry);

    req = Mbox(BootStep(10, carry2));
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ((LoadLe32(&req[32 + 4]) >> 8) & 0xFF, 9u);  // the state rule
    req = Mbox(BootStep(10, LoadLe32(&req[32 + 8])));
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ((LoadLe32(&req[32 + 4]) >> 8) & 0xFF, 11u);
    EXPECT_TRUE(fcemu::Violations().empty());

    req = Mbox(BootStep(10, carry2));  // stale carry
    EXPECT_FALSE(Send(h, req));
    EXPECT_NE(LastViolation().find("carries word"), std::string::npos);
    req = Mbox(BootStep(8, 5));
    EXPECT_FALSE(Send(h, req));
    Bytes stateSet = BootStep(8, 0);
    stateSet[5] = 8;  // reply state bits must be zero in a request
    req = Mbox(stateSet);
    EXPECT_FALSE(Send(h, req));
    EXPECT_EQ(fcemu::Violations().size(), 3u);
    CloseHandle(h);
}

TEST_F(EmulatorRequests, MailboxFaultEffects) {
    fcemu::DeviceConfig a = Adapter(0);
    a.faults = {{"mailbox:23", 0, 1, fcemu::FaultRule::Effect::DeliverBytes, 8},
                {"mailbox:23", 1, 1, fcemu::FaultRule::Effect::Fail, 1117},
                {"mailbox:27", 0, std::nullopt, fcemu::FaultRule::Effect::MbxStatus, 256}};
    Serve({a});
    HANDLE h = Open("\\\\.\\Scsi0:");
    Bytes req = Mbox(DumpBlock(4, 0, 15));
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(LoadLe32(&req[32 + 16]), 8u);
    EXPECT_EQ(req[32 + 27], 8);
    EXPECT_EQ(req[32 + 28], 0);  // nothing beyond what was delivered
    req = Mbox(DumpBlock(4, 0, 15));
    EXPECT_FALSE(Send(h, req));
    EXPECT_EQ(GetLastError(), 1117u);

    Bytes upd = Block(0x1B);
    upd[0] = 0x01;
    StoreLe32(&upd[4], 0x12);
    StoreLe32(&upd[8], 4 | (60 << 16));
    StoreLe32(&upd[16], 60);
    upd[20] = 0x77;
    req = Mbox(upd);
    ASSERT_TRUE(Send(h, req));
    EXPECT_EQ(fcboot::LoadLe16(&req[34]), 256u);
    CloseHandle(h);
    EXPECT_EQ(fcemu::CurrentFleet().devices[0].region4[0], 1);  // a refused update stores nothing
    const auto& log = fcemu::RequestLog();
    EXPECT_EQ(log[1].mailbox, 23u);
    EXPECT_EQ(log[1].region, 4u);
    EXPECT_EQ(log[1].words, 15u);
    EXPECT_EQ(log[3].mbx_status, 256u);
    EXPECT_NE(log[3].ToJson().find("\"mbx_status\":256"), std::string::npos);
}

}  // namespace
