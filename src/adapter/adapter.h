// Adapter access: the process-wide adapter and board tables, miniport request
// framing, the mailbox transport, the discovered node list, the board
// information refresh, the adapter attribute queries and discovery.
// This header declares the records shared by the whole utility.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace fcboot {

using fcplat::BOOL;
using fcplat::DWORD;
using fcplat::HANDLE;

constexpr std::uint32_t kMaxAdapters = 256;
constexpr std::uint32_t kNameFieldSize = 256;

// ---------------------------------------------------------------------------
// Adapter table and board table

struct ADAPTER {
    HANDLE m_hDevice;                 // INVALID_HANDLE_VALUE when the open failed
    std::uint32_t m_AdapterIndex;     // index of the record's own slot
    std::uint32_t m_Bus;              // from GET_BUS_SLOT ("tarsli2" only)
    std::uint32_t m_Slot;
    std::uint32_t NodeAmt;            // entries in NodeList
    std::uint8_t* NodeList;           // NodeAmt entries of kNodeEntrySize bytes, or none
    char m_ModelDesc[kNameFieldSize];
    char m_DriverVersion[kNameFieldSize];
    char m_NodeName[kNameFieldSize];  // NodeWWN as 16 upper-case hex digits
    char m_DriverName[kNameFieldSize];
    char m_AdapterName[kNameFieldSize];  // device path, e.g. "\\.\Scsi2:"
};
using PADAPTER = ADAPTER*;

struct BRDINFO {
    std::uint32_t InfoValue1[2];  // ReturnInfo offset 472, high word first
    std::uint32_t Marker1;        // 0xFFFFFFFF
    std::uint32_t InfoValue2[2];  // ReturnInfo offset 456, high word first
    std::uint32_t Marker2;        // 0xFFFFFFFF
    std::uint32_t IdentityWord;   // VendorSpecificID; bits 16-31 are the PCI device ID
    std::uint32_t PciBus;
    std::uint32_t PciSlot;        // device in bits 0-4, function in bits 5-7
    std::uint32_t Constant1;      // 705
    std::uint32_t Constant2;      // 423
    char DriverVersion[kNameFieldSize];
    char DriverName[kNameFieldSize];
};

struct DeviceNameEntry {
    const char* prefix;  // nullptr ends the table
    std::uint32_t driverKind;
};

extern PADAPTER g_Adapters[kMaxAdapters];
extern std::uint32_t m_NumAdapters;
extern BRDINFO g_BoardTable[kMaxAdapters];
extern const DeviceNameEntry kDeviceNameTable[];

// The record in slot adapterIndex, or nullptr for an empty slot or an index
// beyond the table. Every operation that takes an adapter index goes through
// it and fails as a failed request when it gives nullptr.
PADAPTER AdapterAt(std::uint32_t adapterIndex);

// A new record: no node list, NodeAmt 0, no open handle. nullptr when the
// heap cannot supply one.
PADAPTER NewAdapterRecord();
// Releases a record and its node list (the handle is the caller's business).
void FreeAdapterRecord(PADAPTER adapter);

// The markers and constants that discovery and the refresh both store in a
// board record.
void SetBoardRecordMarks(BRDINFO* board);

// Closes every adapter's handle and releases every record; m_NumAdapters
// keeps its value. Returns 0.
std::uint32_t CloseDiagEnv();

// ---------------------------------------------------------------------------
// The adapters a command works on

// How many adapters the front end's last open found, and each one's model
// code (0: unknown). The front end's open alone writes them; the boot
// parameter operations and the capture read them.
extern std::uint32_t AdapterCount;
extern std::uint32_t AdapterModel[kMaxAdapters];
std::uint32_t GetAdapterCount();

// The port world-wide name of adapter adapterIndex (port 0): 0 with the 8
// bytes in wwn, or 255 with wwn set to zeros.
std::uint32_t GetAdapterPortWWN(std::uint32_t adapterIndex, std::uint8_t* wwn);

// ---------------------------------------------------------------------------
// Framing and the diagnostic trace

// Process-wide diagnostic trace switch. Off; nothing in the utility turns it
// on (tests do, through the library, to check the trace formats).
extern bool g_DiagTrace;
// printf-style trace line, printed only while the switch is on.
void DiagTrace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Zero-fills totalSize bytes of request and writes the SRB_IO_CONTROL header
// for controlCode: signature and time-out of its family, ReturnCode 0,
// Length totalSize - 28.
void FrameMiniportRequest(std::uint8_t* request, std::uint32_t totalSize,
                          std::uint32_t controlCode);

// Sends a framed request through IOCTL_SCSI_MINIPORT, in and out in the same
// buffer. Returns whether DeviceIoControl returned nonzero.
bool SendMiniportRequest(HANDLE device, std::uint8_t* request, std::uint32_t totalSize);

// ReturnCode of a request buffer after the reply.
std::uint32_t RequestReturnCode(const std::uint8_t* request);

// Writes count bytes as "%02x " with a line feed after every 20th byte and
// a final line feed, after an optional "%s:\n" title line.
void TraceHexDump(const std::uint8_t* buffer, std::uint32_t count, const char* title);

// ---------------------------------------------------------------------------
// Mailbox transport

// Trace name of a mailbox status ("MBX_SUCCESS", "MBXERR_RPI_FULL", ...),
// "UNKNOWN_" for a status outside the table.
const char* MailboxStatusName(std::uint32_t status);

// Returns 0 (block holds the answer), the nonzero mbxStatus, or 0xFFFFFFFF
// when the request failed or the slot is empty.
std::uint32_t IssueMbox(std::uint32_t adapterIndex, std::uint8_t* block, std::uint32_t requestSize,
                        std::uint32_t responseSize);
std::uint32_t IssueMboxExt(std::uint32_t adapterIndex, std::uint8_t* block, std::uint8_t* extBuffer,
                           std::uint8_t selector, std::uint32_t inWords, std::uint32_t outWords);
// Returns 0 with the 480-byte record, or 1.
std::uint32_t GetReturnInfo(std::uint8_t* record, HANDLE deviceHandle);

// ---------------------------------------------------------------------------
// Discovered node list

void ReadNodeList(PADAPTER adapter);

// One read of a driver's node list, as ReadNodeList makes it: the buffer
// starts at 8 KiB and doubles while the driver answers "buffer too small",
// up to the 2 MiB cap. Read: *list (the caller frees it) holds *bytes bytes,
// never more than the buffer. Otherwise *list is nullptr: the driver keeps
// no list (another error), the list is larger than the cap, or no buffer
// could be had.
enum class NodeListOutcome { Read, NoList, TooLarge, NoMemory };
NodeListOutcome FetchNodeList(HANDLE device, std::uint8_t** list, std::uint32_t* bytes);

// ---------------------------------------------------------------------------
// Adapter attribute queries

// Records are byte areas of kAdapterAttributesSize and kPortAttributesSize.
std::uint32_t GetAdapterAttributes(std::uint32_t adapterIndex, std::uint8_t* record);
std::uint32_t GetAdapterPortAttributes(std::uint32_t adapterIndex, std::uint32_t portIndex,
                                       std::uint8_t* record);
constexpr std::uint32_t kDriverKindMiniport = 1;
constexpr std::uint32_t kDriverKindPort = 2;
// The maker whose adapters the utility serves.
constexpr char kServedManufacturer[] = "Tarvio";
// Whether an adapter attributes record names that maker: its Manufacturer
// begins with kServedManufacturer, case-sensitive.
bool IsServedManufacturer(const std::uint8_t* attributes);
// Whether a driver name is the port driver's: exact and case-sensitive.
bool IsPortDriverName(const char* driverName);
std::uint32_t GetDriverKind(std::uint32_t adapterIndex);
std::uint32_t IsMiniportDriver(std::uint32_t adapterIndex);

// ---------------------------------------------------------------------------
// Board information refresh

struct BoardSnapshot {
    std::uint8_t Attributes[2192];  // HBA_ADAPTERATTRIBUTES
    std::uint8_t Port[2][632];      // HBA_PORTATTRIBUTES for ports 0 and 1
    char ModelName[272];            // "Tarvio-" Model "-"
    std::uint8_t Valid;
};
extern BoardSnapshot g_BoardSnapshots[kMaxAdapters];

std::uint32_t RefreshInformation(std::uint32_t adapterIndex);
// Sends the header-only REFRESH_INFORMATION request on a handle: 0 when the
// driver completed it (whatever its ReturnCode), 1 when the send failed.
std::uint32_t SendRefreshRequest(HANDLE device);
void UpdateBrdInfo(PADAPTER adapter, BRDINFO* boardRecord);

// ---------------------------------------------------------------------------
// Discovery

std::uint32_t InitDiagEnv(BRDINFO* boards);
std::uint32_t ValidAdapter(PADAPTER adapter, const char* AdapterName, std::uint32_t driverKind,
                           std::uint32_t adapterIndex);
// Opens a SCSI port device path the way validation does: read/write access
// and sharing, open-existing. INVALID_HANDLE_VALUE when it does not open.
HANDLE OpenPortDevice(const char* path);
// The port driver's GET_BUS_SLOT: true with the PCI bus and slot it answers.
bool GetBusSlot(HANDLE device, std::uint32_t* bus, std::uint32_t* slot);

// Puts every table of this subsystem back to its process-start state,
// releasing what it holds, so that a harness can run the utility's main more
// than once in one process.
void ResetAdapterAccessState();

}  // namespace fcboot
