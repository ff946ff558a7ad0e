/* The emulator's device driver: the messages it exchanges with fcboot-emu's
   serving mode over a named pipe, and its control requests. Shared by the
   driver (C) and the emulator (C++); every word is little-endian. */
#ifndef FCBOOT_EMUDRIVER_H
#define FCBOOT_EMUDRIVER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define EMUDRV_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define EMUDRV_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

/* The kernel service that loads the driver, its control device (which the
   serving emulator opens; it never opens a port device itself) and the pipe
   the serving emulator creates and the driver connects to. */
#define EMUDRV_SERVICE_NAME "fcbootemudrv"
#define EMUDRV_CONTROL_PATH "\\\\.\\FcbootEmuDrv"
#define EMUDRV_CONTROL_DEVICE_NAME L"\\Device\\FcbootEmuDrv"
#define EMUDRV_CONTROL_LINK_NAME L"FcbootEmuDrv" /* in the global namespace */
#define EMUDRV_PIPE_PATH "\\\\.\\pipe\\fcboot-emudrv"
#define EMUDRV_PIPE_NAME L"\\??\\pipe\\fcboot-emudrv"

/* Control requests on the control device, CTL_CODE(FILE_DEVICE_UNKNOWN,
   0x900 and 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS).
   CONNECT: the driver connects to the pipe (dropping an earlier connection)
   and links "\GLOBAL??\Scsi<n>:" for exactly the ports of the map; it
   fails, unconnected, if such a name is taken by another device. The links
   are global, whichever session the serving emulator runs in, so that a
   name taken in the global namespace is seen (on Wine, which has no
   \GLOBAL??, they go in its one namespace, \DosDevices).
   DISCONNECT: the driver closes the pipe; the links stay, and every request
   on them fails with EMUDRV_STATUS_NOT_CONNECTED. The driver handles one
   request at a time, so DISCONNECT also tells the serving emulator that
   every request queued before it has been answered. */
#define EMUDRV_IOCTL_CONNECT 0x00222400u
#define EMUDRV_IOCTL_DISCONNECT 0x00222404u
EMUDRV_STATIC_ASSERT(EMUDRV_IOCTL_CONNECT == ((0x22u << 16) | (0x900u << 2)), "CONNECT code");
EMUDRV_STATIC_ASSERT(EMUDRV_IOCTL_DISCONNECT == ((0x22u << 16) | (0x901u << 2)), "DISCONNECT code");

#define EMUDRV_VERSION 1u

/* CONNECT's input: the version, then one bit per port (port n: byte n / 8,
   bit n % 8). */
typedef struct EMUDRV_CONNECT {
    uint32_t version;
    uint8_t ports[32];
} EMUDRV_CONNECT;
#define EMUDRV_CONNECT_VERSION 0u
#define EMUDRV_CONNECT_PORTS 4u
#define EMUDRV_CONNECT_SIZE 36u

/* The status of every port request while no serving emulator is connected
   (STATUS_DEVICE_NOT_CONNECTED, which the caller sees as Windows error 1167),
   and of one the serving emulator cannot answer faithfully. No fault rule
   can produce it, so a fault of the harness never looks like an adapter's
   answer. */
#define EMUDRV_STATUS_NOT_CONNECTED ((int32_t)0xC000009Du)
#define EMUDRV_ERROR_NOT_CONNECTED 1167u

/* The statuses a reply may carry besides success and
   EMUDRV_STATUS_NOT_CONNECTED, each with the Windows error the I/O manager
   turns it into (checked both ways under Wine): X(error, status). The
   driver refuses a reply with any other status, STATUS_PENDING above all,
   drops the connection and completes the request with
   EMUDRV_STATUS_NOT_CONNECTED. */
#define EMUDRV_MAPPED_STATUSES(X)                          \
    X(1u, 0xC0000010u)    /* STATUS_INVALID_DEVICE_REQUEST */ \
    X(2u, 0xC0000034u)    /* STATUS_OBJECT_NAME_NOT_FOUND */  \
    X(5u, 0xC0000022u)    /* STATUS_ACCESS_DENIED */          \
    X(6u, 0xC0000008u)    /* STATUS_INVALID_HANDLE */         \
    X(8u, 0xC0000017u)    /* STATUS_NO_MEMORY */              \
    X(21u, 0xC00000A3u)   /* STATUS_DEVICE_NOT_READY */       \
    X(31u, 0xC0000001u)   /* STATUS_UNSUCCESSFUL */           \
    X(87u, 0xC000000Du)   /* STATUS_INVALID_PARAMETER */      \
    X(122u, 0xC0000023u)  /* STATUS_BUFFER_TOO_SMALL */       \
    X(1117u, 0xC0000185u) /* STATUS_IO_DEVICE_ERROR */

/* One request, driver to emulator: this header, then the input bytes of a
   device control. `file` names the open (the file object) from its create
   to its close. */
typedef struct EMUDRV_REQUEST {
    uint32_t length; /* header and input bytes */
    uint32_t kind;   /* EMUDRV_KIND_* */
    uint64_t file;
    uint32_t port;
    uint32_t share_access;  /* create: the sharing the caller asked for */
    uint32_t options;       /* create: the create options (synchronous I/O, buffering) */
    uint32_t ioctl_code;    /* device control */
    uint32_t output_length; /* device control: the caller's output buffer */
    uint32_t input_length;  /* device control: bytes after the header */
} EMUDRV_REQUEST;
#define EMUDRV_KIND_CREATE 1u
#define EMUDRV_KIND_CLOSE 2u
#define EMUDRV_KIND_IOCTL 3u
#define EMUDRV_REQ_LENGTH 0u
#define EMUDRV_REQ_KIND 4u
#define EMUDRV_REQ_FILE 8u
#define EMUDRV_REQ_PORT 16u
#define EMUDRV_REQ_SHARE 20u
#define EMUDRV_REQ_OPTIONS 24u
#define EMUDRV_REQ_IOCTL 28u
#define EMUDRV_REQ_OUTPUT_LENGTH 32u
#define EMUDRV_REQ_INPUT_LENGTH 36u
#define EMUDRV_REQ_HEADER_SIZE 40u

/* One reply, emulator to driver: this header, then `information` output
   bytes (none unless the status is a success). */
typedef struct EMUDRV_REPLY {
    uint32_t length;      /* header and output bytes */
    int32_t status;       /* the NTSTATUS the request completes with */
    uint32_t information; /* output bytes the caller gets back */
} EMUDRV_REPLY;
#define EMUDRV_REP_LENGTH 0u
#define EMUDRV_REP_STATUS 4u
#define EMUDRV_REP_INFORMATION 8u
#define EMUDRV_REP_HEADER_SIZE 12u

/* The largest input or output a request may carry (the utility's node list
   grows to 2 MiB); the driver fails a larger one with
   EMUDRV_STATUS_NOT_CONNECTED. */
#define EMUDRV_MAX_DATA (4u << 20)

EMUDRV_STATIC_ASSERT(sizeof(EMUDRV_CONNECT) == EMUDRV_CONNECT_SIZE &&
                         offsetof(EMUDRV_CONNECT, ports) == EMUDRV_CONNECT_PORTS,
                     "CONNECT layout");
EMUDRV_STATIC_ASSERT(sizeof(EMUDRV_REQUEST) == EMUDRV_REQ_HEADER_SIZE &&
                         offsetof(EMUDRV_REQUEST, kind) == EMUDRV_REQ_KIND &&
                         offsetof(EMUDRV_REQUEST, file) == EMUDRV_REQ_FILE &&
                         offsetof(EMUDRV_REQUEST, port) == EMUDRV_REQ_PORT &&
                         offsetof(EMUDRV_REQUEST, share_access) == EMUDRV_REQ_SHARE &&
                         offsetof(EMUDRV_REQUEST, options) == EMUDRV_REQ_OPTIONS &&
                         offsetof(EMUDRV_REQUEST, ioctl_code) == EMUDRV_REQ_IOCTL &&
                         offsetof(EMUDRV_REQUEST, output_length) == EMUDRV_REQ_OUTPUT_LENGTH &&
                         offsetof(EMUDRV_REQUEST, input_length) == EMUDRV_REQ_INPUT_LENGTH,
                     "request layout");
EMUDRV_STATIC_ASSERT(sizeof(EMUDRV_REPLY) == EMUDRV_REP_HEADER_SIZE &&
                         offsetof(EMUDRV_REPLY, status) == EMUDRV_REP_STATUS &&
                         offsetof(EMUDRV_REPLY, information) == EMUDRV_REP_INFORMATION,
                     "reply layout");

#endif
