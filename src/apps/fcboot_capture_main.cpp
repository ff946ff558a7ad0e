// fcboot-capture: reads every adapter of the server, changing nothing, into
// a fleet file that fcboot-emu serves as the server's twin.
#include "capture/capture.h"
#include "platform/names.h"

int main(int argc, char** argv) { return fcplat::RunMain(argc, argv, fccapture::CaptureMain); }
