// File backend for Windows: an exclusive CreateFileW, FlushFileBuffers,
// ReplaceFileW over an existing file and MoveFileExW to a new one; names
// arrive in UTF-8. LockFileEx for a file's lock.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/output_file.h"
#include "platform/server_lock.h"
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

std::size_t SizeOnDisk(const std::string& text, bool textMode) {
    // Text mode writes each line feed as carriage return and line feed.
    return text.size() +
           (textMode ? static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) : 0);
}

bool FileSize(const char* path, std::size_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    *size = static_cast<std::size_t>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) |
                                     data.nFileSizeLow);
    return true;
}

bool DiskWasFull() {
    const DWORD error = ::GetLastError();
    return errno == ENOSPC || error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
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

ServerLock LockFile(const char* path, unsigned waitMs, FileLock* lock) {
    UnlockFile(lock);
    const std::wstring wide = Utf8ToWide(path);
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        // Every sharing allowed: the file stays readable and replaceable.
        HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (wide.empty() || h == INVALID_HANDLE_VALUE) return ServerLock::Failed;
        // A byte far past the end: Windows' locks keep readers out of the
        // bytes they cover.
        OVERLAPPED at{};
        at.OffsetHigh = 0x7FFFFFFF;
        if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            // The holder before may have replaced the file: a lock on the
            // file it left behind shuts out no one who opens the name now.
            BY_HANDLE_FILE_INFORMATION held{}, named{};
            HANDLE now = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            const bool same = now != INVALID_HANDLE_VALUE &&
                              ::GetFileInformationByHandle(h, &held) &&
                              ::GetFileInformationByHandle(now, &named) &&
                              held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                              held.nFileIndexHigh == named.nFileIndexHigh &&
                              held.nFileIndexLow == named.nFileIndexLow;
            if (now != INVALID_HANDLE_VALUE) ::CloseHandle(now);
            if (same) {
                lock->handle = h;
                return ServerLock::Held;
            }
            ::CloseHandle(h);
            continue;
        }
        ::CloseHandle(h);
        if (::GetTickCount64() - start >= waitMs) return ServerLock::Busy;
        ::Sleep(20);
    }
}

void UnlockFile(FileLock* lock) {
    if (lock->handle != nullptr) ::CloseHandle(lock->handle);  // the lock goes with the handle
    lock->handle = nullptr;
}

}  // namespace files

void PauseMs(unsigned ms) { ::Sleep(ms); }

}  // namespace fcplat
