// The emulator's fleet file reader, which users feed hand-edited files:
// whatever it accepts must serialize and read back to the same text, and an
// accepted fleet of at most 8 devices (more only slow an input down) must
// serve a save ("/se" for odd input sizes) within the checks of every run.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = fcfuzz::WorkPath("saved.cfg");

    fcemu::Fleet fleet, again;
    std::string error;
    if (!fcemu::ParseFleet(std::string(reinterpret_cast<const char*>(data), size), &fleet,
                           &error)) {
        fcfuzz::Require(!error.empty(), "fleet refused without a reason");
        return 0;
    }
    const std::string written = fcemu::SerializeFleet(fleet);
    if (!fcemu::ParseFleet(written, &again, &error))
        fcfuzz::Fail("written fleet refused: " + error);
    fcfuzz::Require(fcemu::SerializeFleet(again) == written,
                    "fleet changes on a second round trip");

    if (fleet.devices.size() > 8) return 0;
    fcemu::StartServer(fleet);
    fcfuzz::RunUtility({(size & 1) != 0 ? "/se" : "/s", path});
    fcfuzz::StopServerAndCheck();
    return 0;
}
