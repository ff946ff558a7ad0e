// A hostile driver: the emulator builds each reply as a sound driver would,
// then the input rewrites it before the utility sees it.
//
// Input: one command byte, then a stream of per-call edits. The command
// byte's bits 0-1 pick "/s", "/se", "/l" or "/le"; bit 2 set leaves out the
// third adapter. Every request that succeeds first gets the sticky edits of
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
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

struct Overwrite {
    std::uint32_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

struct StickyEdit {
    std::uint32_t ioctl = 0;
    std::uint32_t control_code = 0;
    std::uint32_t mailbox = 0;
    Overwrite overwrite;
};

// Enough to keep a reply pinned without making every call slow.
constexpr std::size_t kMaxSticky = 16;

struct EditStream {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    std::vector<StickyEdit> sticky;
    bool lied = false;  // some reply reached the utility other than built

    bool Byte(std::uint8_t* out) {
        if (at >= size) return false;
        *out = data[at++];
        return true;
    }
};

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Returns whether the reply changed.
bool Apply(const Overwrite& w, std::uint8_t* reply, std::uint32_t size) {
    if (size == 0) return false;
    const std::uint32_t offset = w.offset % size;
    bool changed = false;
    for (std::size_t i = 0; i < w.bytes.size() && offset + i < size; ++i) {
        changed = changed || reply[offset + i] != w.bytes[i];
        reply[offset + i] = w.bytes[i];
    }
    return changed;
}

void MutateReply(void* ctx, const fcemu::RequestRecord& record, std::uint8_t* reply,
                 std::uint32_t size, std::uint32_t* bytesReturned) {
    EditStream& s = *static_cast<EditStream*>(ctx);
    const std::uint32_t controlCode = record.control_code ? *record.control_code : kNone;
    const std::uint32_t mailbox = record.mailbox ? *record.mailbox : kNone;
    for (const StickyEdit& e : s.sticky)
        if (e.ioctl == record.ioctl && e.control_code == controlCode && e.mailbox == mailbox)
            s.lied = Apply(e.overwrite, reply, size) || s.lied;

    std::uint8_t control = 0;
    if (!s.Byte(&control)) return;
    const unsigned count = control & 7;
    if ((control & 8) != 0) {
        std::uint8_t b[4] = {};
        for (std::uint8_t& x : b) s.Byte(&x);
        const std::uint32_t count = fcboot::LoadLe32(b);
        s.lied = s.lied || count != *bytesReturned;
        *bytesReturned = count;
    }
    for (unsigned n = 0; n < count; ++n) {
        std::uint8_t lo = 0, hi = 0, length = 0;
        if (!s.Byte(&lo) || !s.Byte(&hi) || !s.Byte(&length)) return;
        Overwrite w;
        w.offset = static_cast<std::uint32_t>(lo | (hi << 8));
        for (unsigned i = 0; i < length; ++i) {
            std::uint8_t x = 0;
            if (!s.Byte(&x)) break;
            w.bytes.push_back(x);
        }
        s.lied = Apply(w, reply, size) || s.lied;
        if ((control & 16) != 0 && s.sticky.size() < kMaxSticky)
            s.sticky.push_back(StickyEdit{record.ioctl, controlCode, mailbox, w});
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

// What a later request carries can follow from what an earlier reply said:
// the size of the port query from the driver name, a memory address from a
// directory link, a carried word from a sequence reply. Once the driver has
// lied, such requests are the utility believing it, not breaking the
// protocol. What never depends on a reply -- handles, the request header
// and the device control codes -- must hold whatever the driver says.
bool FollowsFromLie(const std::string& violation) {
    static const char* const kRequests[] = {"RETURN_INFO: ", "ISSUE_MBOX: ", "ISSUE_MBOX_EXT: ",
                                            "GET_ADAPTER_ATTRIBUTES: ",
                                            "GET_ADAPTER_PORT_ATTRIBUTES: ",
                                            "REFRESH_INFORMATION: "};
    static const char* const kFixedFields[] = {"HeaderLength", "Signature", "Timeout",
                                               "ReturnCode"};
    std::string what = violation;
    if (what.compare(0, 5, "port ") == 0) {
        const std::size_t colon = what.find(": ");
        if (colon != std::string::npos) what = what.substr(colon + 2);
    }
    for (const char* request : kRequests) {
        const std::size_t n = std::strlen(request);
        if (what.compare(0, n, request) != 0) continue;
        for (const char* field : kFixedFields)
            if (what.compare(n, std::strlen(field), field) == 0) return false;
        return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fcemu::Fleet three = fcfuzz::ThreeAdapterFleet();
    static const fcemu::Fleet two = fcemu::DemoFleet();
    static const std::string loadPath = [] {
        const std::string p = fcfuzz::WorkPath("load.cfg");
        fcfuzz::Require(fcfuzz::WriteFile(p, reinterpret_cast<const std::uint8_t*>(kLoadFile),
                                          sizeof kLoadFile - 1),
                        "cannot write the load file");
        return p;
    }();
    static const std::string savePath = fcfuzz::WorkPath("save.cfg");
    static fcfuzz::CapturedStdout out;
    static const char* const kOptions[] = {"/s", "/se", "/l", "/le"};

    if (size == 0) return 0;
    const unsigned option = data[0] & 3;
    EditStream stream;
    stream.data = data + 1;
    stream.size = size - 1;

    fcemu::StartServer((data[0] & 4) != 0 ? two : three);
    fcemu::SetReplyMutator(MutateReply, &stream);
    out.Run({kOptions[option], option < 2 ? savePath : loadPath});
    fcemu::StopServer();
    for (const std::string& v : fcemu::Violations())
        if (!stream.lied || !FollowsFromLie(v)) fcfuzz::Fail("protocol violation: " + v);
    return 0;
}
