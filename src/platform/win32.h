// Win32 device I/O as the utility sees it: the four kernel32 calls it uses,
// with their Windows argument lists, and the types and constants around them.
// Everything lives in namespace fcplat so that the native backend can forward
// to the real kernel32 functions without clashing with their declarations.
#pragma once

#include <cstdint>

namespace fcplat {

using HANDLE = void*;
using DWORD = std::uint32_t;
using BOOL = int;
using LPVOID = void*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// (HANDLE)-1, as Windows defines it.
inline HANDLE InvalidHandleValue() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }
#define INVALID_HANDLE_VALUE (::fcplat::InvalidHandleValue())

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
constexpr DWORD OPEN_EXISTING = 3u;

constexpr DWORD ERROR_SUCCESS = 0u;
constexpr DWORD ERROR_INVALID_FUNCTION = 1u;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2u;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3u;
constexpr DWORD ERROR_ACCESS_DENIED = 5u;
constexpr DWORD ERROR_INVALID_HANDLE = 6u;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8u;
constexpr DWORD ERROR_INVALID_PARAMETER = 87u;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122u;

// CTL_CODE(IOCTL_SCSI_BASE = 4, 0x0402, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
constexpr DWORD IOCTL_SCSI_MINIPORT = 0x0004D008u;  // also pinned against ntddscsi.h by a Windows test
static_assert(IOCTL_SCSI_MINIPORT == ((4u << 16) | (3u << 14) | (0x0402u << 2) | 0u),
              "IOCTL_SCSI_MINIPORT must be the Windows control code");

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);

BOOL CloseHandle(HANDLE hObject);

DWORD GetLastError();

}  // namespace fcplat
