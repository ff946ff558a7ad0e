// One program at a time on a server's adapters. fcboot's save and load,
// fcboot-capture and fcboot-check each take the server's lock before they
// look for adapters and hold it until they are done with them, so that none
// meets another half-way: a check never judges a half-written server, and
// two loads never break into each other's read-modify-write of a region.
#pragma once

namespace fcplat {

enum class ServerLock {
    Held,    // taken: free, or let go by a holder that was killed
    Busy,    // another program held it for the whole wait
    Failed,  // no lock could be made (no right to it): the run goes on without
};

// Waits up to waitMs for the server's lock. On Windows it is the mutex
// "Global\fcboot-adapters", shared by services and every session; under the
// emulated backend a lock on the file that describes the emulated server.
ServerLock TakeServerLock(unsigned waitMs);
// Lets go of a lock TakeServerLock gave; nothing when it gave none.
void ReleaseServerLock();

// Waits ms milliseconds.
void PauseMs(unsigned ms);

namespace files {

// A lock on a file, held until UnlockFile or the end of the process (a
// killed holder's lock is free at once). The file is opened for the lock
// only: its content may be read, and replaced, by any name meanwhile.
struct FileLock {
    void* handle = nullptr;  // the system's handle, nullptr when not held
    int fd = -1;
};
// Waits up to waitMs for an exclusive lock on the existing file at path.
ServerLock LockFile(const char* path, unsigned waitMs, FileLock* lock);
void UnlockFile(FileLock* lock);

}  // namespace files

}  // namespace fcplat
