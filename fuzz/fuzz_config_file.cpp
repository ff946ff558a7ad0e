// The boot configuration file reader and everything a load does with what it
// accepts: the input is the file, loaded with "/l" or "/le" (the low bit of
// its first byte) into three adapters, two of which run the staged boot image
// sequence when an image is selected.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fcemu::Fleet fleet = fcfuzz::ThreeAdapterFleet();
    static const std::string path = fcfuzz::WorkPath("boot.cfg");

    fcfuzz::Require(fcfuzz::WriteFile(path, data, size), "cannot write the input file");
    fcemu::StartServer(fleet);
    fcfuzz::RunUtility({size > 0 && (data[0] & 1) != 0 ? "/le" : "/l", path});
    fcfuzz::StopServerAndCheck();
    return 0;
}
