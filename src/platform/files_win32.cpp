// File backend for Windows: an exclusive CreateFileW, FlushFileBuffers,
// ReplaceFileW over an existing file and MoveFileExW to a new one; names
// arrive in UTF-8.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <string>

#include "platform/output_file.h"
#include "platform/wide_win32.h"

namespace fcplat {
namespace files {
namespace {

// Wraps a handle opened for writing in a stream; closes it on failure.
std::FILE* StreamOf(HANDLE h, bool text) {
    const int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | (text ? _O_TEXT : _O_BINARY));
    if (fd < 0) {
        ::CloseHandle(h);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, text ? "wt" : "wb");
    if (stream == nullptr) _close(fd);
    return stream;
}

}  // namespace

std::string FollowLinks(const char* path) {
    const std::wstring wide = Utf8ToWide(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (wide.empty() || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return path;
    // Opened through the link, the handle names the file it leads to.
    HANDLE h = ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return path;
    wchar_t final[MAX_PATH * 4];
    const DWORD n = ::GetFinalPathNameByHandleW(h, final, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    ::CloseHandle(h);
    if (n == 0 || n >= MAX_PATH * 4) return path;
    std::wstring name = final;
    if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        name = L"\\\\" + name.substr(8);
    else if (name.compare(0, 4, L"\\\\?\\") == 0)
        name = name.substr(4);
    return WideToUtf8(name.c_str());
}

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
    std::FILE* stream = StreamOf(h, text);
    if (stream == nullptr) ::DeleteFileW(Utf8ToWide(path).c_str());
    return stream;
}

std::FILE* OpenExistingFile(const char* path, bool text) {
    const std::wstring wide = Utf8ToWide(path);
    // A read-only file is kept, as Windows keeps it from any writer (an
    // administrator's handle may be granted all the same).
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return nullptr;
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return StreamOf(h, text);
}

bool CutFileHere(std::FILE* stream) {
    return ::SetEndOfFile(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != 0;
}

bool SyncFile(std::FILE* stream) {
    return ::FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != 0;
}

bool MoveOver(const char* from, const char* to, bool replace) {
    // Full paths: the replace is not bound to a relative name's folder.
    wchar_t full[2][MAX_PATH * 4];
    const std::wstring names[2] = {Utf8ToWide(from), Utf8ToWide(to)};
    for (int i = 0; i < 2; ++i) {
        const DWORD n = ::GetFullPathNameW(names[i].c_str(), MAX_PATH * 4, full[i], nullptr);
        if (names[i].empty() || n == 0 || n >= MAX_PATH * 4) return false;
    }
    const wchar_t* source = full[0];
    const wchar_t* target = full[1];
    const DWORD before = replace ? ::GetFileAttributesW(target) : INVALID_FILE_ATTRIBUTES;
    // A read-only file is kept, as Windows keeps it from any writer.
    if (before != INVALID_FILE_ATTRIBUTES && (before & FILE_ATTRIBUTE_READONLY) != 0) return false;
    // A virus scanner opening the new file, or the old one, holds it for a
    // moment: the step is tried again a few times before it counts as failed.
    for (int attempt = 0;; ++attempt) {
        // ReplaceFileW keeps the replaced file's access rules, attributes
        // and streams; a moved file would keep the ones it got in the folder.
        const BOOL done = replace ? ::ReplaceFileW(target, source, nullptr,
                                                   REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                                  : ::MoveFileExW(source, target, MOVEFILE_WRITE_THROUGH);
        if (done) break;
        const DWORD error = ::GetLastError();
        if (attempt >= 5 || (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION &&
                             error != ERROR_UNABLE_TO_REMOVE_REPLACED))
            return false;
        ::Sleep(50u << attempt);
    }
    // The attributes a user sets by hand come back where a replacement
    // left them behind.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD after = ::GetFileAttributesW(target);
    if (before != INVALID_FILE_ATTRIBUTES && after != INVALID_FILE_ATTRIBUTES &&
        (before & kept & ~after) != 0)
        ::SetFileAttributesW(target, after | (before & kept));
    return true;
}

}  // namespace files
}  // namespace fcplat
