// fcboot-capture: reads every adapter of the server, changing nothing, into
// a fleet file that fcboot-emu serves as the server's twin.
#include "capture/capture.h"

int main(int argc, char** argv) { return fccapture::CaptureMain(argc, argv); }
