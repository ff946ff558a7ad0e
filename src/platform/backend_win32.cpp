// Native backend (Windows builds of fcboot only): forwards to kernel32.
//
// <windows.h> defines GENERIC_READ and friends as macros, so this file cannot
// see platform/win32.h. It defines the fcplat functions with the very types
// that header gives them (32-bit DWORD, void* HANDLE); a mismatch would not
// link.
#include <windows.h>

#include <cstdint>

static_assert(sizeof(::DWORD) == sizeof(std::uint32_t), "DWORD is 32 bits");
static_assert(GENERIC_READ == 0x80000000u && GENERIC_WRITE == 0x40000000u, "access rights");
static_assert(FILE_SHARE_READ == 1u && FILE_SHARE_WRITE == 2u, "share modes");
static_assert(OPEN_EXISTING == 3u, "creation disposition");
static_assert(ERROR_FILE_NOT_FOUND == 2u && ERROR_PATH_NOT_FOUND == 3u &&
                  ERROR_ACCESS_DENIED == 5u && ERROR_INVALID_HANDLE == 6u &&
                  ERROR_INVALID_PARAMETER == 87u && ERROR_INSUFFICIENT_BUFFER == 122u,
              "error codes");

namespace fcplat {

struct OVERLAPPED;
struct SECURITY_ATTRIBUTES;

void* CreateFileA(const char* lpFileName, std::uint32_t dwDesiredAccess, std::uint32_t dwShareMode,
                  SECURITY_ATTRIBUTES* lpSecurityAttributes, std::uint32_t dwCreationDisposition,
                  std::uint32_t dwFlagsAndAttributes, void* hTemplateFile) {
    return ::CreateFileA(lpFileName, dwDesiredAccess, dwShareMode,
                         reinterpret_cast<::LPSECURITY_ATTRIBUTES>(lpSecurityAttributes),
                         dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

int DeviceIoControl(void* hDevice, std::uint32_t dwIoControlCode, void* lpInBuffer,
                    std::uint32_t nInBufferSize, void* lpOutBuffer, std::uint32_t nOutBufferSize,
                    std::uint32_t* lpBytesReturned, OVERLAPPED* lpOverlapped) {
    ::DWORD returned = 0;
    ::BOOL ok = ::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                  nOutBufferSize, &returned,
                                  reinterpret_cast<::LPOVERLAPPED>(lpOverlapped));
    if (lpBytesReturned != nullptr) *lpBytesReturned = static_cast<std::uint32_t>(returned);
    return ok;
}

int CloseHandle(void* hObject) { return ::CloseHandle(hObject); }

std::uint32_t GetLastError() { return static_cast<std::uint32_t>(::GetLastError()); }

}  // namespace fcplat
