// fcboot-capture: reads every adapter of the server, changing nothing, into
// a fleet file that fcboot-emu serves as the server's twin; with --remap,
// carries a replaced adapter's boot settings to its successor.
#include <cstring>

#include "capture/capture.h"
#include "platform/names.h"
#include "remap/remap.h"

namespace {

int CaptureProgram(int argc, char** argv) {
    if (argc > 1 && argv[1] != nullptr && std::strcmp(argv[1], "--remap") == 0)
        return fcremap::RemapMain(argc, argv);
    return fccapture::CaptureMain(argc, argv);
}

}  // namespace

int main(int argc, char** argv) { return fcplat::RunMain(argc, argv, CaptureProgram); }
