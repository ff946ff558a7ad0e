// The process-wide adapter table, board table and device name table.
#include <cstdlib>
#include <cstring>
#include <new>

#include "adapter/adapter.h"

namespace fcboot {

PADAPTER g_Adapters[kMaxAdapters] = {};
std::uint32_t m_NumAdapters = 0;
BRDINFO g_BoardTable[kMaxAdapters] = {};
std::uint32_t AdapterCount = 0;
std::uint32_t AdapterModel[kMaxAdapters] = {};

const DeviceNameEntry kDeviceNameTable[] = {
    {"Scsi", kDriverKindMiniport},
    {nullptr, 0},
};

std::uint32_t GetAdapterCount() { return AdapterCount; }

PADAPTER AdapterAt(std::uint32_t adapterIndex) {
    if (adapterIndex >= kMaxAdapters) return nullptr;
    return g_Adapters[adapterIndex];
}

PADAPTER NewAdapterRecord() {
    PADAPTER adapter = new (std::nothrow) ADAPTER;
    if (adapter == nullptr) return nullptr;
    std::memset(adapter, 0, sizeof(*adapter));
    adapter->m_hDevice = INVALID_HANDLE_VALUE;
    adapter->NodeList = nullptr;
    adapter->NodeAmt = 0;
    return adapter;
}

void FreeAdapterRecord(PADAPTER adapter) {
    if (adapter == nullptr) return;
    std::free(adapter->NodeList);
    delete adapter;
}

void SetBoardRecordMarks(BRDINFO* board) {
    board->Marker1 = 0xFFFFFFFFu;
    board->Marker2 = 0xFFFFFFFFu;
    board->Constant1 = 705;
    board->Constant2 = 423;
}

std::uint32_t CloseDiagEnv() {
    for (std::uint32_t n = 0; n < kMaxAdapters; ++n) {
        PADAPTER adapter = g_Adapters[n];
        if (adapter == nullptr) continue;
        if (adapter->m_hDevice != INVALID_HANDLE_VALUE) fcplat::CloseHandle(adapter->m_hDevice);
        FreeAdapterRecord(adapter);
        g_Adapters[n] = nullptr;
    }
    return 0;
}

void ResetAdapterAccessState() {
    // A record left over here means its handle leaked; the handle stays as
    // it is so that whoever serves the devices can see the leak.
    for (std::uint32_t n = 0; n < kMaxAdapters; ++n) {
        FreeAdapterRecord(g_Adapters[n]);
        g_Adapters[n] = nullptr;
    }
    m_NumAdapters = 0;
    AdapterCount = 0;
    std::memset(AdapterModel, 0, sizeof(AdapterModel));
    std::memset(g_BoardTable, 0, sizeof(g_BoardTable));
    std::memset(g_BoardSnapshots, 0, sizeof(g_BoardSnapshots));
    g_DiagTrace = false;
}

}  // namespace fcboot
