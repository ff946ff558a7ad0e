// fcboot-emu: the utility run against an emulated server described by a
// fleet file, for tests and for rehearsing a command before a real server.
#include "emulator/emulator.h"

int main(int argc, char** argv) { return fcemu::FcbootEmuMain(argc, argv); }
