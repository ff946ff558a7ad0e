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

// The emulated server's lock: a lock on the file that describes the server
// (fcboot-emu's fleet file), so that runs on one file take turns as programs
// on one server do. `taken` runs once the lock is held, before the program
// looks for adapters (the server is read from the file then); `releasing`
// runs before it is let go (the server is written back then). With none
// installed, or a path that does not open, the lock is always free.
struct EmulatedServerLock {
    const char* path;
    void (*taken)(void* context);
    void (*releasing)(void* context);
    void* context;
};
// Installs the lock (nullptr removes it); it must outlive its installation.
void InstallEmulatedServerLock(const EmulatedServerLock* lock);

// Sets the value GetLastError returns next, as the Win32 SetLastError does.
void SetLastErrorValue(DWORD error);

}  // namespace fcplat
