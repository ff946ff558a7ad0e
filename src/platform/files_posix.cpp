// File backend for POSIX systems: lstat and readlink, an exclusive open,
// ftruncate, fsync and rename; flock for a file's lock.
#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/output_file.h"
#include "platform/server_lock.h"

namespace fcplat {
namespace files {

std::string FollowLinks(const char* path) {
    std::string at = path;
    // As many links as the system itself follows; a longer chain is left
    // for the open to refuse.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char to[4096];
        const ssize_t n = readlink(at.c_str(), to, sizeof to);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof to) break;
        std::string next(to, static_cast<std::size_t>(n));
        // A relative link is relative to the folder that holds it.
        const std::size_t slash = at.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next = at.substr(0, slash + 1) + next;
        at = next;
    }
    return at;
}

TargetKind ClassifyTarget(const char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return TargetKind::Missing;
    return S_ISREG(st.st_mode) ? TargetKind::Regular : TargetKind::Other;
}

std::FILE* CreateNewFile(const char* path, const char* modeOf, bool) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (modeOf != nullptr && stat(modeOf, &st) == 0) {
        // Owner and group carry over where the system lets them (the
        // superuser replacing a user's file); the mode always does, after
        // the owner, which would clear its set-id bits.
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
        }
        fchmod(fd, st.st_mode & 07777);
    }
    std::FILE* stream = fdopen(fd, "w");
    if (stream == nullptr) {
        close(fd);
        unlink(path);
    }
    return stream;
}

std::FILE* OpenExistingFile(const char* path, bool) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) return nullptr;
    std::FILE* stream = fdopen(fd, "w");
    if (stream == nullptr) close(fd);
    return stream;
}

std::size_t SizeOnDisk(const std::string& text, bool) { return text.size(); }

bool FileSize(const char* path, std::size_t* size) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = static_cast<std::size_t>(st.st_size);
    return true;
}

bool DiskWasFull() { return errno == ENOSPC || errno == EDQUOT; }

bool CutFileHere(std::FILE* stream) {
    const off_t at = ftello(stream);
    return at >= 0 && ftruncate(fileno(stream), at) == 0;
}

bool SyncFile(std::FILE* stream) { return fsync(fileno(stream)) == 0; }

bool MoveOver(const char* from, const char* to, bool) { return rename(from, to) == 0; }

ServerLock LockFile(const char* path, unsigned waitMs, FileLock* lock) {
    UnlockFile(lock);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return ServerLock::Failed;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // The holder before may have replaced the file: a lock on the
            // file it left behind shuts out no one who opens the name now.
            struct stat held {}, named {};
            if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino) {
                lock->fd = fd;
                return ServerLock::Held;
            }
            close(fd);
            continue;
        }
        close(fd);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long waited =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited >= static_cast<long long>(waitMs)) return ServerLock::Busy;
        PauseMs(20);
    }
}

void UnlockFile(FileLock* lock) {
    if (lock->fd >= 0) close(lock->fd);  // the lock goes with the descriptor
    lock->fd = -1;
}

}  // namespace files

void PauseMs(unsigned ms) {
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

}  // namespace fcplat
