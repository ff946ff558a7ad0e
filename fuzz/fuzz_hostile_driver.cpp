// A hostile driver: the emulator builds each reply as a sound driver would,
// then the input rewrites it before the utility sees it.
//
// Input: one command byte, then a stream of per-call edits. The command
// byte's bits 0-1 pick "/s", "/se", "/l" or "/le"; bit 2 set leaves out the
// third adapter; bit 3 set runs the capture instead, which must stay within
// its reads, end with 0 or 4 and write a fleet file that reads back. Every
// request that succeeds first gets the sticky edits of
// its kind (below), then takes one control byte from the stream (none left:
// the reply stays as built):
//   bits 0-2  number of overwrites that follow
//   bit 3     a byte count follows (4 bytes, little-endian) and replaces the
//             count of bytes returned, even beyond the buffer
//   bit 4     the overwrites also apply to every later request of the same
//             kind (device control code, miniport code, mailbox command):
//             replies that say "more" forever, rings that never close
// and each overwrite is an offset (2 bytes, little-endian, taken modulo the
// buffer size), a length byte and that many bytes (cut at the buffer's end).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "adapter/srb.h"
#include "capture/capture.h"
#include "fuzz_support.h"

namespace {

struct StickyEdit {
    std::uint32_t ioctl, controlCode, mailbox, offset;
    std::vector<std::uint8_t> bytes;
};

struct EditStream {
    const std::uint8_t* data;
    std::size_t size, at;
    std::vector<StickyEdit> sticky;  // at most 16: enough to pin a reply
    bool lied;                       // some reply reached the utility other than built

    bool Byte(std::uint8_t* out) {
        if (at >= size) return false;
        *out = data[at++];
        return true;
    }
};

void Apply(EditStream& s, std::uint32_t offset, const std::vector<std::uint8_t>& bytes,
           std::uint8_t* reply, std::uint32_t size) {
    if (size == 0) return;
    offset %= size;
    for (std::size_t i = 0; i < bytes.size() && offset + i < size; ++i) {
        s.lied = s.lied || reply[offset + i] != bytes[i];
        reply[offset + i] = bytes[i];
    }
}

void MutateReply(void* ctx, const fcemu::RequestRecord& record, std::uint8_t* reply,
                 std::uint32_t size, std::uint32_t* bytesReturned) {
    EditStream& s = *static_cast<EditStream*>(ctx);
    const std::uint32_t code = record.control_code.value_or(0xFFFFFFFFu);
    const std::uint32_t mailbox = record.mailbox.value_or(0xFFFFFFFFu);
    for (const StickyEdit& e : s.sticky)
        if (e.ioctl == record.ioctl && e.controlCode == code && e.mailbox == mailbox)
            Apply(s, e.offset, e.bytes, reply, size);

    std::uint8_t control = 0;
    if (!s.Byte(&control)) return;
    if ((control & 8) != 0) {
        std::uint8_t b[4] = {};
        for (std::uint8_t& x : b) s.Byte(&x);
        s.lied = s.lied || fcboot::LoadLe32(b) != *bytesReturned;
        *bytesReturned = fcboot::LoadLe32(b);
    }
    for (unsigned n = 0; n < (control & 7u); ++n) {
        std::uint8_t lo = 0, hi = 0, length = 0, x = 0;
        if (!s.Byte(&lo) || !s.Byte(&hi) || !s.Byte(&length)) return;
        std::vector<std::uint8_t> bytes;
        while (bytes.size() < length && s.Byte(&x)) bytes.push_back(x);
        const std::uint32_t offset = static_cast<std::uint32_t>(lo | (hi << 8));
        Apply(s, offset, bytes, reply, size);
        if ((control & 16) != 0 && s.sticky.size() < 16)
            s.sticky.push_back(StickyEdit{record.ioctl, code, mailbox, offset, bytes});
    }
}

// Sections for all three adapters: the first clears its selection, the
// second selects an image through the staged sequence, the third without it.
const char kLoadFile[] =
    "[HBA0]\nWWID=1000000000000001\nHostAdapterBiosEnable=1\nSelectBootEnable=0\n"
    "BootDeviceWWID=500000000000a001\nBootDeviceLUN[0]=3\n\n"
    "[HBA1]\nWWID=1000000000000002\nHostAdapterBiosEnable=0\nSelectBootEnable=1\n"
    "BootDeviceWWID=0\nBootDeviceLUN[0]=0\n\n"
    "[HBA2]\nWWID=1000000000000003\nHostAdapterBiosEnable=1\nSelectBootEnable=1\n"
    "BootDeviceWWID=500000000000c001\nBootDeviceLUN[0]=7\n\n";

// What a later request carries can follow from what an earlier reply said
// (the port query's size from the driver name, a memory address from a
// directory link, a carried word from a sequence reply): once the driver has
// lied, such requests are the utility believing it. Handles, the request
// header and the device control codes never depend on a reply.
bool FollowsFromLie(const std::string& violation) {
    static const std::regex kCarried(
        "^(port [^:]*: )?(RETURN_INFO|ISSUE_MBOX|ISSUE_MBOX_EXT|GET_ADAPTER_ATTRIBUTES|"
        "GET_ADAPTER_PORT_ATTRIBUTES|REFRESH_INFORMATION): "
        "(?!HeaderLength|Signature|Timeout|ReturnCode)");
    return std::regex_search(violation, kCarried);
}

// The capture against the lying driver, its problems and the dump's own
// line kept out of the way.
void RunCaptureChecked() {
    static const std::string twin = fcfuzz::WorkPath("twin.json"), errors = fcfuzz::WorkPath("errors.txt"),
                             out = fcfuzz::WorkPath("capture-stdout.txt");
    std::remove(twin.c_str());
    std::FILE* err = std::fopen(errors.c_str(), "w");
    fcfuzz::Require(err != nullptr && std::freopen(out.c_str(), "w", stdout) != nullptr,
                    "cannot redirect the capture's output");
    const int code = fccapture::RunCapture(twin, err, "capture");
    std::fclose(err);
    std::fflush(stdout);
    fcfuzz::Require(code == fccapture::kCaptureOk || code == fccapture::kCaptureIncomplete,
                    "capture exit code " + std::to_string(code));
    fcemu::Fleet fleet;
    std::string error;
    fcfuzz::Require(fcemu::LoadFleetFile(twin, &fleet, &error), "the capture's file reads not back: " + error);
    for (const fcemu::RequestRecord& r : fcemu::RequestLog())
        fcfuzz::Require(r.control_code != fcboot::ISSUE_MBOX_EXT &&
                            (!r.mailbox || *r.mailbox == 17 || *r.mailbox == 23),
                        "the capture sent a request that writes: " + r.ToJson());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fcemu::Fleet three = fcfuzz::ThreeAdapterFleet(), two = fcemu::DemoFleet();
    static const std::string savePath = fcfuzz::WorkPath("save.cfg"), loadPath = [] {
        const std::string p = fcfuzz::WorkPath("load.cfg");
        fcfuzz::Require(fcfuzz::WriteFile(p, reinterpret_cast<const std::uint8_t*>(kLoadFile),
                                          sizeof kLoadFile - 1),
                        "cannot write the load file");
        return p;
    }();
    static const char* const kOptions[] = {"/s", "/se", "/l", "/le"};

    if (size == 0) return 0;
    const unsigned option = data[0] & 3;
    EditStream stream{data + 1, size - 1, 0, {}, false};
    fcemu::StartServer((data[0] & 4) != 0 ? two : three);
    fcemu::SetReplyMutator(MutateReply, &stream);
    if ((data[0] & 8) != 0)
        RunCaptureChecked();
    else
        fcfuzz::RunUtility({kOptions[option], option < 2 ? savePath : loadPath});
    fcemu::StopServer();
    for (const std::string& v : fcemu::Violations())
        if (!stream.lied || !FollowsFromLie(v)) fcfuzz::Fail("protocol violation: " + v);
    return 0;
}
