// Command line, main flow and the adapter bookkeeping shared by the file
// commands.
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "bootcfg/bootcfg.h"
#include "fcboot_version.h"
#include "frontend/frontend.h"


namespace fcboot {

void PrintVersion() { std::printf("%s, dated %s\n", FCBOOT_VERSION_STRING, FCBOOT_VERSION_DATE); }

int FcbootMain(int argc, char** argv) {
    // Without a program name the vector is not one the runtime would hand
    // over: wrong use.
    if (argc < 2 || argc > 3 || argv == nullptr) return kExitUsage;
    const char* option = argv[1];
    if (option == nullptr) return kExitUsage;
    if (argc == 2) {
        if (std::strcmp(option, "/v") == 0) {
            PrintVersion();
            return kExitOk;
        }
        return kExitUsage;
    }
    const char* fileName = argv[2];
    if (fileName == nullptr) return kExitUsage;
    if (std::strcmp(option, "/s") == 0) return SaveBootConfig(fileName, kModeBios);
    if (std::strcmp(option, "/l") == 0) return LoadBootConfig(fileName, kModeBios);
    if (std::strcmp(option, "/se") == 0) return SaveBootConfig(fileName, kModeEfib);
    if (std::strcmp(option, "/le") == 0) return LoadBootConfig(fileName, kModeEfib);
    return kExitUsage;
}

std::uint32_t OpenAdapters() {
    AdapterCount = 0;
    AdapterCount = InitDiagEnv(g_BoardTable);
    for (std::uint32_t n = 0; n < AdapterCount; ++n) {
        if (RefreshInformation(n) != 0) {
            // The command ends here: release every adapter opened so far
            // rather than leave their handles to the end of the process.
            CloseDiagEnv();
            return 255;
        }
    }
    for (std::uint32_t n = 0; n < AdapterCount; ++n) AdapterModel[n] = IdentifyAdapterModel(n);
    return 0;
}

std::uint32_t CloseAdapters() { return CloseDiagEnv(); }

void ResetUtilityState() { ResetAdapterAccessState(); }

}  // namespace fcboot
