// The emulator's fleet file reader, which users feed with hand-edited files:
// whatever it accepts must serialize and read back to the same file, and a
// small accepted fleet must serve a save without breaking the exit-code
// table or the driver protocol.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace {

// A save walks every device of the fleet; more than a handful makes one
// input slow without reaching anything new.
constexpr std::size_t kMaxDevicesToRun = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = fcfuzz::WorkPath("saved.cfg");
    static fcfuzz::CapturedStdout out;

    const std::string text(reinterpret_cast<const char*>(data), size);
    fcemu::Fleet fleet;
    std::string error;
    if (!fcemu::ParseFleet(text, &fleet, &error)) {
        fcfuzz::Require(!error.empty(), "fleet refused without a reason");
        return 0;
    }

    const std::string written = fcemu::SerializeFleet(fleet);
    fcemu::Fleet again;
    if (!fcemu::ParseFleet(written, &again, &error))
        fcfuzz::Fail("written fleet refused: " + error);
    fcfuzz::Require(fcemu::SerializeFleet(again) == written, "fleet changes on a second round trip");

    if (fleet.devices.size() > kMaxDevicesToRun) return 0;
    fcemu::StartServer(fleet);
    out.Run({(size & 1) != 0 ? "/se" : "/s", path});
    fcfuzz::StopServerAndCheck();
    return 0;
}
