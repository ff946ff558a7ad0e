// Adapter attribute queries of the common HBA API family ("HBAAPI").
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/hba_records.h"
#include "adapter/request_buffer.h"
#include "adapter/srb.h"

namespace fcboot {

namespace {
const char kPortDriverName[] = "tarsli2";
}

std::uint32_t GetAdapterAttributes(std::uint32_t adapterIndex, std::uint8_t* record) {
    PADAPTER adapter = AdapterAt(adapterIndex);
    if (adapter == nullptr) return 1;
    DiagTrace("GetAdapterAtributes(%u):\n", static_cast<unsigned>(adapterIndex));

    HeapRequest request(kAdapterAttributesRequestSize);
    if (request.data == nullptr) return 1;
    FrameMiniportRequest(request.data, kAdapterAttributesRequestSize, GET_ADAPTER_ATTRIBUTES);
    if (!SendMiniportRequest(adapter->m_hDevice, request.data, kAdapterAttributesRequestSize)) {
        DiagTrace("GetLastError %u\n", static_cast<unsigned>(fcplat::GetLastError()));
        return 1;
    }
    std::uint32_t returnCode = RequestReturnCode(request.data);
    if (returnCode != 0) return returnCode;
    std::memcpy(record, request.data + kAdapterAttributesRecordOffset, kAdapterAttributesSize);
    return 0;
}

std::uint32_t GetAdapterPortAttributes(std::uint32_t adapterIndex, std::uint32_t portIndex,
                                       std::uint8_t* record) {
    (void)portIndex;  // the request names no port
    PADAPTER adapter = AdapterAt(adapterIndex);
    if (adapter == nullptr) return 1;

    const bool miniport = IsMiniportDriver(adapterIndex) != 0;
    DiagTrace("GetAdapterPortAtributes: board: %u, m_NumAdapters: %u\n",
              static_cast<unsigned>(adapterIndex), static_cast<unsigned>(m_NumAdapters));
    DiagTrace("MINIPORT DRIVER = %s\n", miniport ? "True" : "False");
    const std::uint32_t size =
        miniport ? kPortAttributesRequestSizeMiniport : kPortAttributesRequestSizePortDriver;
    const std::uint32_t recordOffset =
        miniport ? kPortAttributesRecordOffsetMiniport : kPortAttributesRecordOffsetPortDriver;

    HeapRequest request(size);
    if (request.data == nullptr) return 1;
    FrameMiniportRequest(request.data, size, GET_ADAPTER_PORT_ATTRIBUTES);
    if (!SendMiniportRequest(adapter->m_hDevice, request.data, size)) {
        DiagTrace("GetLastError %u\n", static_cast<unsigned>(fcplat::GetLastError()));
        return 1;
    }
    std::uint32_t returnCode = RequestReturnCode(request.data);
    // 8 still delivers the record.
    if (returnCode == 0 || returnCode == 8) {
        std::memcpy(record, request.data + recordOffset, kPortAttributesSize);
        // The port is known by the name it was opened under, not the
        // driver's own name for it.
        std::uint8_t* osName = record + kPortOSDeviceName;
        std::size_t n = BoundedLength(adapter->m_AdapterName, kNameFieldSize);
        std::memset(osName, 0, kPortNameSize);
        std::memcpy(osName, adapter->m_AdapterName, n);
    }
    return returnCode;
}

std::uint32_t GetAdapterPortWWN(std::uint32_t adapterIndex, std::uint8_t* wwn) {
    std::uint8_t record[kPortAttributesSize];
    if (GetAdapterPortAttributes(adapterIndex, 0, record) == 0) {
        std::memcpy(wwn, record + kPortPortWWN, 8);
        return 0;
    }
    std::memset(wwn, 0, 8);
    return 255;
}

bool IsPortDriverName(const char* driverName) {
    return std::strncmp(driverName, kPortDriverName, kNameFieldSize) == 0;
}

std::uint32_t GetDriverKind(std::uint32_t adapterIndex) {
    PADAPTER adapter = AdapterAt(adapterIndex);
    if (adapter == nullptr) return kDriverKindMiniport;
    return IsPortDriverName(adapter->m_DriverName) ? kDriverKindPort : kDriverKindMiniport;
}

std::uint32_t IsMiniportDriver(std::uint32_t adapterIndex) {
    return GetDriverKind(adapterIndex) == kDriverKindMiniport ? 1 : 0;
}

}  // namespace fcboot
