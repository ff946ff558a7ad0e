// File backend for POSIX systems: lstat and readlink, an exclusive open,
// ftruncate, fsync and rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/output_file.h"

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

bool CutFileHere(std::FILE* stream) {
    const off_t at = ftello(stream);
    return at >= 0 && ftruncate(fileno(stream), at) == 0;
}

bool SyncFile(std::FILE* stream) { return fsync(fileno(stream)) == 0; }

bool MoveOver(const char* from, const char* to, bool) { return rename(from, to) == 0; }

}  // namespace files
}  // namespace fcplat
