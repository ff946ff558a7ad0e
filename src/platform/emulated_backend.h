// The emulated backend of the platform layer. A process that wants devices
// (fcboot-emu, the tests, the benchmarks) installs one table of operations;
// every Win32 device call of the utility then lands in it. With no table
// installed the process behaves as a server without devices: every open
// fails with ERROR_FILE_NOT_FOUND and every other call with
// ERROR_INVALID_HANDLE.
#pragma once

#include "platform/win32.h"

namespace fcplat {

struct EmulatedDevices {
    // Opens a device path. Returns the handle, or INVALID_HANDLE_VALUE with
    // *error set to the Windows error the open ends with.
    HANDLE (*open)(void* context, LPCSTR path, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags, DWORD* error);
    // Carries out one I/O control request. Returns nonzero on success; on
    // failure returns 0 with *error set.
    BOOL (*ioctl)(void* context, HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                  DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped, DWORD* error);
    // Closes a handle. Returns nonzero on success; on failure 0 with *error set.
    BOOL (*close)(void* context, HANDLE device, DWORD* error);
    // Handed back unchanged to every operation.
    void* context;
};

// Installs the device table (nullptr removes it). The table must outlive its
// installation.
void InstallEmulatedDevices(const EmulatedDevices* devices);
// The table installed now, or nullptr: lets a measuring table wrap the one
// a server installed.
const EmulatedDevices* InstalledEmulatedDevices();

// Sets the value GetLastError returns next, as the Win32 SetLastError does.
void SetLastErrorValue(DWORD error);

}  // namespace fcplat
