// Native backend (Windows builds of fcboot only): forwards to kernel32.
//
// <windows.h> defines GENERIC_READ and friends as macros, so this file cannot
// see platform/win32.h. It defines the fcplat functions with the very types
// that header gives them (32-bit DWORD, void* HANDLE); a mismatch would not
// link.
#include <windows.h>
#include <sddl.h>

#include <cstdint>

#include "platform/server_lock.h"

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

namespace {

// In the global namespace: a service and every logged-on session meet on it.
const wchar_t kServerLockName[] = L"Global\\fcboot-adapters";
HANDLE g_serverLock = nullptr;

// The lock is for the system and administrators alone, who alone may open
// the adapters: no other user can take it and keep them from a load.
HANDLE MakeServerLock() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)",
                                                               SDDL_REVISION_1, &descriptor, nullptr))
        attributes.lpSecurityDescriptor = descriptor;
    HANDLE h = ::CreateMutexW(&attributes, FALSE, kServerLockName);
    if (descriptor != nullptr) ::LocalFree(descriptor);
    // Made by another program with rights this one lacks in full: waiting
    // and letting go are all it needs.
    if (h == nullptr) h = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kServerLockName);
    return h;
}

}  // namespace

ServerLock TakeServerLock(unsigned waitMs) {
    ReleaseServerLock();
    HANDLE h = MakeServerLock();
    if (h == nullptr) return ServerLock::Failed;
    const DWORD result = ::WaitForSingleObject(h, waitMs);
    // An abandoned mutex was held by a program that was killed: what it did
    // to the adapters is done or undone by the adapters' own rules, and the
    // lock is free.
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        g_serverLock = h;
        return ServerLock::Held;
    }
    ::CloseHandle(h);
    return result == WAIT_TIMEOUT ? ServerLock::Busy : ServerLock::Failed;
}

void ReleaseServerLock() {
    if (g_serverLock == nullptr) return;
    ::ReleaseMutex(g_serverLock);
    ::CloseHandle(g_serverLock);
    g_serverLock = nullptr;
}

}  // namespace fcplat
