// fcboot: saves and restores the boot settings of the server's Fibre Channel
// adapters. One command per process; the exit code is the only report.
#include "frontend/frontend.h"
#include "platform/names.h"

int main(int argc, char** argv) { return fcplat::RunMain(argc, argv, fcboot::FcbootMain); }
