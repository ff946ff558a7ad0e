// fcboot-emu: the utility run against an emulated server described by a
// fleet file, for tests and for rehearsing a command before a real server.
#include "emulator/emulator.h"
#include "platform/names.h"

int main(int argc, char** argv) { return fcplat::RunMain(argc, argv, fcemu::FcbootEmuMain); }
