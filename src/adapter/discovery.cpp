// Adapter discovery: every SCSI port device is tried in turn, and each one
// whose adapter attributes name the maker "Tarvio" is kept in the next slot
// of the adapter table.
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/hba_records.h"
#include "adapter/mailbox_layout.h"
#include "adapter/srb.h"

namespace fcboot {

namespace {

constexpr std::uint32_t kMaxPortNumber = 255;

void FillBoardRecord(std::uint32_t adapterIndex, BRDINFO* board) {
    PADAPTER adapter = AdapterAt(adapterIndex);
    std::uint8_t info[kReturnInfoSize] = {};
    if (GetReturnInfo(info, adapter->m_hDevice) != 0) return;

    const std::uint64_t value472 = LoadLe64(info + kReturnInfoValue472);
    const std::uint64_t value456 = LoadLe64(info + kReturnInfoValue456);
    board->InfoValue1[0] = static_cast<std::uint32_t>(value472 >> 32);
    board->InfoValue1[1] = static_cast<std::uint32_t>(value472);
    board->InfoValue2[0] = static_cast<std::uint32_t>(value456 >> 32);
    board->InfoValue2[1] = static_cast<std::uint32_t>(value456);

    std::uint8_t attributes[kAdapterAttributesSize];
    if (GetAdapterAttributes(adapterIndex, attributes) == 0)
        board->IdentityWord = LoadLe32(attributes + kAttrVendorSpecificID);

    board->PciBus = LoadLe32(info + kReturnInfoPciBus);
    board->PciSlot = LoadLe32(info + kReturnInfoPciSlot);
    SetBoardRecordMarks(board);
}

}  // namespace

std::uint32_t InitDiagEnv(BRDINFO* boards) {
    DiagTrace("In InitDiagEnv\n\n");
    for (std::uint32_t n = 0; n < kMaxAdapters; ++n) {
        FreeAdapterRecord(g_Adapters[n]);
        g_Adapters[n] = nullptr;
    }
    m_NumAdapters = 0;

    for (const DeviceNameEntry* entry = kDeviceNameTable; entry->prefix != nullptr; ++entry) {
        for (std::uint32_t port = 0; port <= kMaxPortNumber; ++port) {
            char path[kNameFieldSize];
            std::snprintf(path, sizeof(path), "\\\\.\\%s%u:", entry->prefix,
                          static_cast<unsigned>(port));
            DiagTrace("Trying %s\n", path);

            PADAPTER record = NewAdapterRecord();
            if (record == nullptr) break;
            const std::uint32_t index = m_NumAdapters;
            g_Adapters[index] = record;
            if (ValidAdapter(record, path, entry->driverKind, index) == 0) {
                DiagTrace("ValidAdapter call failed\n");
                FreeAdapterRecord(record);
                g_Adapters[index] = nullptr;
                continue;
            }
            FillBoardRecord(index, &boards[index]);
            ++m_NumAdapters;
            if (m_NumAdapters == kMaxAdapters) break;
        }
        if (m_NumAdapters == kMaxAdapters) break;
    }
    DiagTrace("InitDiagEnv returning %u adapters\n", static_cast<unsigned>(m_NumAdapters));
    return m_NumAdapters;
}

std::uint32_t ValidAdapter(PADAPTER adapter, const char* AdapterName, std::uint32_t driverKind,
                           std::uint32_t adapterIndex) {
    (void)driverKind;  // the device name table knows one kind only
    adapter->m_AdapterIndex = adapterIndex;
    adapter->m_hDevice = OpenPortDevice(AdapterName);
    if (adapter->m_hDevice == INVALID_HANDLE_VALUE) {
        DiagTrace("CreateFile failed, GetLastError %u\n",
                  static_cast<unsigned>(fcplat::GetLastError()));
        return 0;
    }
    CopyBoundedString(adapter->m_AdapterName, kNameFieldSize, AdapterName, kNameFieldSize);

    std::uint8_t attributes[kAdapterAttributesSize];
    if (GetAdapterAttributes(adapterIndex, attributes) != 0) {
        fcplat::CloseHandle(adapter->m_hDevice);
        adapter->m_hDevice = INVALID_HANDLE_VALUE;
        return 0;
    }
    if (!IsServedManufacturer(attributes)) {
        DiagTrace("Not an Tarvio adapter\n");
        fcplat::CloseHandle(adapter->m_hDevice);
        adapter->m_hDevice = INVALID_HANDLE_VALUE;
        return 0;
    }

    const std::uint8_t* wwn = attributes + kAttrNodeWWN;
    char nodeName[17];
    std::snprintf(nodeName, sizeof(nodeName), "%02X%02X%02X%02X%02X%02X%02X%02X", wwn[0], wwn[1],
                  wwn[2], wwn[3], wwn[4], wwn[5], wwn[6], wwn[7]);
    CopyBoundedString(adapter->m_NodeName, kNameFieldSize, nodeName, sizeof(nodeName));
    CopyBoundedString(adapter->m_DriverVersion, kNameFieldSize,
                      reinterpret_cast<const char*>(attributes + kAttrDriverVersion),
                      kAttrStringSize);
    CopyBoundedString(adapter->m_DriverName, kNameFieldSize,
                      reinterpret_cast<const char*>(attributes + kAttrDriverName), kAttrStringSize);
    CopyBoundedString(adapter->m_ModelDesc, kNameFieldSize,
                      reinterpret_cast<const char*>(attributes + kAttrModelDescription),
                      kAttrStringSize);

    if (IsPortDriverName(adapter->m_DriverName))
        GetBusSlot(adapter->m_hDevice, &adapter->m_Bus, &adapter->m_Slot);

    ReadNodeList(adapter);
    return 1;
}

bool IsServedManufacturer(const std::uint8_t* attributes) {
    return std::memcmp(attributes + kAttrManufacturer, kServedManufacturer,
                       sizeof kServedManufacturer - 1) == 0;
}

HANDLE OpenPortDevice(const char* path) {
    return fcplat::CreateFileA(path, fcplat::GENERIC_READ | fcplat::GENERIC_WRITE,
                               fcplat::FILE_SHARE_READ | fcplat::FILE_SHARE_WRITE, nullptr,
                               fcplat::OPEN_EXISTING, 0, nullptr);
}

bool GetBusSlot(HANDLE device, std::uint32_t* bus, std::uint32_t* slot) {
    std::uint8_t busSlot[kBusSlotReplySize] = {};
    DWORD bytesReturned = 0;
    if (!fcplat::DeviceIoControl(device, kIoctlGetBusSlot, nullptr, 0, busSlot, kBusSlotReplySize,
                                 &bytesReturned, nullptr))
        return false;
    *bus = LoadLe32(busSlot);
    *slot = LoadLe32(busSlot + 4);
    return true;
}

}  // namespace fcboot
