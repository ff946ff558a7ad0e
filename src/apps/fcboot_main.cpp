// fcboot: saves and restores the boot settings of the server's Fibre Channel
// adapters. One command per process; the exit code is the only report.
#include "frontend/frontend.h"

int main(int argc, char** argv) { return fcboot::FcbootMain(argc, argv); }
