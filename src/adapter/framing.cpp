// Framing of miniport requests: the SRB_IO_CONTROL header, the one send
// step every framed request goes through, and the diagnostic trace.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/srb.h"

namespace fcboot {

bool g_DiagTrace = false;

void DiagTrace(const char* format, ...) {
    if (!g_DiagTrace) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

namespace {

struct ControlCodeFraming {
    std::uint32_t controlCode;
    const char* signature;
    std::uint32_t timeout;
};

// Signature and time-out by control code; the sizes belong to the callers.
const ControlCodeFraming kFraming[] = {
    {RETURN_INFO, kSignatureKx, kTimeoutReturnInfo},
    {ISSUE_MBOX, kSignatureKx, kTimeoutIssueMbox},
    {ISSUE_MBOX_EXT, kSignatureKxExt, kTimeoutIssueMboxExt},
    {GET_ADAPTER_ATTRIBUTES, kSignatureHbaApi, kTimeoutHbaApi},
    {GET_ADAPTER_PORT_ATTRIBUTES, kSignatureHbaApi, kTimeoutHbaApi},
    {REFRESH_INFORMATION, kSignatureHbaApi, kTimeoutHbaApi},
};

}  // namespace

void FrameMiniportRequest(std::uint8_t* request, std::uint32_t totalSize,
                          std::uint32_t controlCode) {
    std::memset(request, 0, totalSize);
    const ControlCodeFraming* framing = nullptr;
    for (const auto& f : kFraming)
        if (f.controlCode == controlCode) framing = &f;
    StoreLe32(request + kSrbHeaderLengthOffset, kSrbHeaderSize);
    if (framing != nullptr) {
        std::memcpy(request + kSrbSignatureOffset, framing->signature,
                    std::strlen(framing->signature));
        StoreLe32(request + kSrbTimeoutOffset, framing->timeout);
    }
    StoreLe32(request + kSrbControlCodeOffset, controlCode);
    StoreLe32(request + kSrbReturnCodeOffset, 0);
    StoreLe32(request + kSrbLengthOffset, totalSize - kSrbHeaderSize);
}

bool SendMiniportRequest(HANDLE device, std::uint8_t* request, std::uint32_t totalSize) {
    if (g_DiagTrace) TraceHexDump(request, totalSize, "To IOCTL");
    DWORD bytesReturned = 0;
    BOOL ok = fcplat::DeviceIoControl(device, fcplat::IOCTL_SCSI_MINIPORT, request, totalSize,
                                      request, totalSize, &bytesReturned, nullptr);
    if (g_DiagTrace) {
        if (ok) {
            std::printf("From IOCTL (bytes returned=%d):\n", static_cast<int>(bytesReturned));
            TraceHexDump(request, totalSize, nullptr);
        } else {
            std::printf("DeviceIoControl returned %d, GetLastError %u\n", ok,
                        static_cast<unsigned>(fcplat::GetLastError()));
            std::printf("                                    Miniport/port driver error %d, \n",
                        static_cast<int>(RequestReturnCode(request)));
        }
    }
    return ok != 0;
}

std::uint32_t RequestReturnCode(const std::uint8_t* request) {
    return LoadLe32(request + kSrbReturnCodeOffset);
}

void TraceHexDump(const std::uint8_t* buffer, std::uint32_t count, const char* title) {
    if (title != nullptr) std::printf("%s:\n", title);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::printf("%02x ", buffer[i]);
        if ((i + 1) % 20 == 0) std::printf("\n");
    }
    std::printf("\n");
}

}  // namespace fcboot
