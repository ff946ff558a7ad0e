// Board information refresh: the driver is asked to refresh what it knows
// of the adapter, the adapter is opened and validated afresh, and its board
// record and board snapshot are brought up to date.
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/hba_records.h"
#include "adapter/request_buffer.h"
#include "adapter/srb.h"

namespace fcboot {

BoardSnapshot g_BoardSnapshots[kMaxAdapters] = {};

namespace {

// Appends text to a string held in a field of fieldSize bytes, truncating
// so that the field always ends terminated.
void AppendBounded(char* field, std::size_t fieldSize, const char* text) {
    std::size_t n = BoundedLength(field, fieldSize);
    if (n == fieldSize) {
        // A driver string that filled its field: keep it terminated.
        n = fieldSize - 1;
        field[n] = '\0';
    }
    for (const char* p = text; *p != '\0' && n + 1 < fieldSize; ++p) field[n++] = *p;
    field[n] = '\0';
}

void FillSnapshot(std::uint32_t adapterIndex) {
    BoardSnapshot* snapshot = &g_BoardSnapshots[adapterIndex];
    std::uint8_t* attributes = snapshot->Attributes;
    StoreLe32(attributes + kAttrNumberOfPorts, 0);
    snapshot->Valid = 0;
    std::memset(snapshot->Port[0], 0, kPortAttributesSize);
    std::memset(snapshot->Port[1], 0, kPortAttributesSize);

    GetAdapterAttributes(adapterIndex, attributes);

    std::uint8_t port[kPortAttributesSize] = {};
    GetAdapterPortAttributes(adapterIndex, 0, port);
    const std::uint8_t* portWwn = port + kPortPortWWN;

    std::uint32_t vendorId = LoadLe32(attributes + kAttrVendorSpecificID);
    for (int i = 2; i <= 4; ++i) vendorId = (vendorId << 8) | portWwn[i];
    StoreLe32(attributes + kAttrVendorSpecificID, vendorId);

    char* serial = reinterpret_cast<char*>(attributes + kAttrSerialNumber);
    for (int i = 5; i <= 7; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%2x", portWwn[i]);
        AppendBounded(serial, kAttrSerialNumberSize, hex);
    }

    snapshot->ModelName[0] = '\0';
    AppendBounded(snapshot->ModelName, sizeof(snapshot->ModelName), "Tarvio-");
    char model[kAttrModelSize + 1];
    CopyBoundedString(model, sizeof(model), reinterpret_cast<const char*>(attributes + kAttrModel),
                      kAttrModelSize);
    AppendBounded(snapshot->ModelName, sizeof(snapshot->ModelName), model);
    AppendBounded(snapshot->ModelName, sizeof(snapshot->ModelName), "-");

    for (std::uint32_t p = 0; p < 2; ++p) {
        std::uint8_t local[kPortAttributesSize] = {};
        GetAdapterPortAttributes(adapterIndex, p, local);
        std::uint8_t* block = snapshot->Port[p];
        std::memcpy(block, local, kPortSymbolicName);
        CopyBoundedString(reinterpret_cast<char*>(block + kPortSymbolicName), kPortNameSize,
                          reinterpret_cast<const char*>(local + kPortSymbolicName), kPortNameSize);
        CopyBoundedString(reinterpret_cast<char*>(block + kPortOSDeviceName), kPortNameSize,
                          reinterpret_cast<const char*>(local + kPortOSDeviceName), kPortNameSize);
        std::memcpy(block + kPortSupportedSpeed, local + kPortSupportedSpeed,
                    kPortAttributesSize - kPortSupportedSpeed);
    }
    snapshot->Valid = 1;
}

}  // namespace

std::uint32_t RefreshInformation(std::uint32_t adapterIndex) {
    DiagTrace("In RefreshInformation: board= %u\n", static_cast<unsigned>(adapterIndex));
    PADAPTER adapter = AdapterAt(adapterIndex);
    if (adapter == nullptr) return 1;

    if (SendRefreshRequest(adapter->m_hDevice) != 0) return 1;

    fcplat::CloseHandle(adapter->m_hDevice);
    adapter->m_hDevice = INVALID_HANDLE_VALUE;
    char path[kNameFieldSize + 1];
    CopyBoundedString(path, sizeof(path), adapter->m_AdapterName, kNameFieldSize);

    if (ValidAdapter(adapter, path, kDriverKindMiniport, adapter->m_AdapterIndex) == 1) {
        UpdateBrdInfo(adapter, &g_BoardTable[adapterIndex]);
    } else {
        DiagTrace("ValidAdapter call failed\n");
        FreeAdapterRecord(adapter);
        g_Adapters[adapterIndex] = nullptr;
        // The adapter is gone: nothing is left to take a snapshot of.
        return 0;
    }
    FillSnapshot(adapterIndex);
    return 0;
}

std::uint32_t SendRefreshRequest(HANDLE device) {
    HeapRequest request(kRefreshRequestSize);
    if (request.data == nullptr) return 1;
    FrameMiniportRequest(request.data, kRefreshRequestSize, REFRESH_INFORMATION);
    if (!SendMiniportRequest(device, request.data, kRefreshRequestSize)) {
        DiagTrace("GetLastError %u\n", static_cast<unsigned>(fcplat::GetLastError()));
        return 1;
    }
    return 0;
}

void UpdateBrdInfo(PADAPTER adapter, BRDINFO* boardRecord) {
    DiagTrace("In UpdateBrdInfo\n\n");
    CopyBoundedString(boardRecord->DriverVersion, kNameFieldSize, adapter->m_DriverVersion,
                      kNameFieldSize);
    CopyBoundedString(boardRecord->DriverName, kNameFieldSize, adapter->m_DriverName,
                      kNameFieldSize);
    SetBoardRecordMarks(boardRecord);
    DiagTrace("Copied driver version and driver name\n");
}

}  // namespace fcboot
