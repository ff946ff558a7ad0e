// Emulated backend: forwards every device call to the installed device table.
#include "platform/emulated_backend.h"
#include "platform/server_lock.h"

namespace fcplat {
namespace {

const EmulatedDevices* g_devices = nullptr;
DWORD g_lastError = ERROR_SUCCESS;
const EmulatedServerLock* g_lock = nullptr;
const EmulatedServerLock* g_lockHeld = nullptr;  // the lock whose `releasing` is owed
files::FileLock g_fileLock;

}  // namespace

void InstallEmulatedServerLock(const EmulatedServerLock* lock) { g_lock = lock; }

ServerLock TakeServerLock(unsigned waitMs) {
    ReleaseServerLock();
    if (g_lock == nullptr) return ServerLock::Held;
    // A file that cannot be locked (gone, unreadable) is a lock that cannot
    // be made: the run goes on without it, as on a server, and still reads
    // and writes back its server.
    const ServerLock result = files::LockFile(g_lock->path, waitMs, &g_fileLock);
    if (result == ServerLock::Busy) return result;
    g_lockHeld = g_lock;
    if (g_lockHeld->taken != nullptr) g_lockHeld->taken(g_lockHeld->context);
    return result;
}

void ReleaseServerLock() {
    if (g_lockHeld != nullptr && g_lockHeld->releasing != nullptr)
        g_lockHeld->releasing(g_lockHeld->context);
    g_lockHeld = nullptr;
    files::UnlockFile(&g_fileLock);
}

void InstallEmulatedDevices(const EmulatedDevices* devices) { g_devices = devices; }

const EmulatedDevices* InstalledEmulatedDevices() { return g_devices; }

void SetLastErrorValue(DWORD error) { g_lastError = error; }

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE) {
    if (g_devices == nullptr || lpFileName == nullptr) {
        g_lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    HANDLE h = g_devices->open(g_devices->context, lpFileName, dwDesiredAccess, dwShareMode,
                               dwCreationDisposition, dwFlagsAndAttributes, &error);
    if (h == INVALID_HANDLE_VALUE) g_lastError = error;
    return h;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    if (g_devices == nullptr) {
        g_lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    DWORD error = ERROR_SUCCESS;
    BOOL ok = g_devices->ioctl(g_devices->context, hDevice, dwIoControlCode, lpInBuffer,
                               nInBufferSize, lpOutBuffer, nOutBufferSize, lpBytesReturned,
                               lpOverlapped, &error);
    if (!ok) g_lastError = error;
    return ok;
}

BOOL CloseHandle(HANDLE hObject) {
    if (g_devices == nullptr) {
        g_lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    DWORD error = ERROR_SUCCESS;
    BOOL ok = g_devices->close(g_devices->context, hObject, &error);
    if (!ok) g_lastError = error;
    return ok;
}

DWORD GetLastError() { return g_lastError; }

}  // namespace fcplat
