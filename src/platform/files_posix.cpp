// File backend for POSIX systems: lstat, an exclusive open, fsync and rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/output_file.h"

namespace fcplat {
namespace files {

TargetKind ClassifyTarget(const char* path) {
    struct stat st {};
    // A symbolic link is written through, in place, rather than replaced by
    // a file of its own.
    if (lstat(path, &st) != 0) return TargetKind::Missing;
    return S_ISREG(st.st_mode) ? TargetKind::Regular : TargetKind::Other;
}

std::FILE* CreateNewFile(const char* path, const char* modeOf, bool) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (modeOf != nullptr && stat(modeOf, &st) == 0) fchmod(fd, st.st_mode & 07777);
    std::FILE* stream = fdopen(fd, "w");
    if (stream == nullptr) {
        close(fd);
        unlink(path);
    }
    return stream;
}

bool SyncFile(std::FILE* stream) { return fsync(fileno(stream)) == 0; }

bool MoveOver(const char* from, const char* to) { return rename(from, to) == 0; }

}  // namespace files
}  // namespace fcplat
