// File backend for Windows: an exclusive CreateFileW, FlushFileBuffers and
// MoveFileExW with replace and write-through; names arrive in UTF-8.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform/output_file.h"
#include "platform/wide_win32.h"

namespace fcplat {
namespace files {

TargetKind ClassifyTarget(const char* path) {
    HANDLE h = ::CreateFileW(Utf8ToWide(path).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? TargetKind::Missing
                                                                              : TargetKind::Other;
    }
    // NUL and the other devices are character files, pipes are pipes; only
    // a plain file on a disk is replaced.
    BY_HANDLE_FILE_INFORMATION info{};
    const bool regular =
        ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    ::CloseHandle(h);
    return regular ? TargetKind::Regular : TargetKind::Other;
}

std::FILE* CreateNewFile(const char* path, const char*, bool text) {
    HANDLE h = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | (text ? _O_TEXT : _O_BINARY));
    if (fd < 0) {
        ::CloseHandle(h);
        ::DeleteFileW(Utf8ToWide(path).c_str());
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, text ? "wt" : "wb");
    if (stream == nullptr) {
        _close(fd);
        ::DeleteFileW(Utf8ToWide(path).c_str());
    }
    return stream;
}

bool SyncFile(std::FILE* stream) {
    return ::FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != 0;
}

bool MoveOver(const char* from, const char* to) {
    return ::MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace files
}  // namespace fcplat
