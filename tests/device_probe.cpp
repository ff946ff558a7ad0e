// A probe for the device path's tests, run under Wine:
//   device_probe PORT [REQUESTS [FLAGS SHARE]]
// opens "\\.\Scsi<PORT>:" through the platform layer's real backend (with
// CreateFileA's FLAGS and SHARE in hex, by default the utility's 0 and 3),
// sends REQUESTS board refreshes (default 1) and prints one line per call:
// "open ok" or "open error N", then "error N" or "ok <bytes returned>
// <ReturnCode>" per request.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "adapter/bytes.h"
#include "adapter/srb.h"
#include "platform/win32.h"

int main(int argc, char** argv) {
    using namespace fcplat;
    const std::string path = std::string("\\\\.\\Scsi") + (argc > 1 ? argv[1] : "0") + ":";
    const long requests = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1;
    const DWORD flags = argc > 4 ? std::strtoul(argv[3], nullptr, 16) : 0;
    const DWORD share =
        argc > 4 ? std::strtoul(argv[4], nullptr, 16) : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::printf("open error %u\n", static_cast<unsigned>(GetLastError()));
        return 0;
    }
    std::printf("open ok\n");
    for (long i = 0; i < requests; ++i) {
        std::uint8_t request[fcboot::kRefreshRequestSize] = {};
        fcboot::StoreLe32(request + fcboot::kSrbHeaderLengthOffset, fcboot::kSrbHeaderSize);
        std::memcpy(request + fcboot::kSrbSignatureOffset, fcboot::kSignatureHbaApi,
                    std::strlen(fcboot::kSignatureHbaApi));
        fcboot::StoreLe32(request + fcboot::kSrbTimeoutOffset, fcboot::kTimeoutHbaApi);
        fcboot::StoreLe32(request + fcboot::kSrbControlCodeOffset, fcboot::REFRESH_INFORMATION);
        DWORD returned = 0;
        if (DeviceIoControl(device, IOCTL_SCSI_MINIPORT, request, sizeof request, request,
                            sizeof request, &returned, nullptr))
            std::printf(
                "ok %u %u\n", static_cast<unsigned>(returned),
                static_cast<unsigned>(fcboot::LoadLe32(request + fcboot::kSrbReturnCodeOffset)));
        else
            std::printf("error %u\n", static_cast<unsigned>(GetLastError()));
    }
    CloseHandle(device);
    return 0;
}
