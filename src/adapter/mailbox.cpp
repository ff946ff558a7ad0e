// Mailbox transport: firmware command blocks carried to the adapter inside
// "KX6000" miniport requests, and the adapter information request.
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/mailbox_layout.h"
#include "adapter/srb.h"

namespace fcboot {

namespace {

struct StatusName {
    std::uint32_t status;
    const char* name;
};

const StatusName kStatusNames[] = {
    {0x0, "MBX_SUCCESS"},
    {0x1, "MBXERR_NUM_RINGS"},
    {0x2, "MBXERR_NUM_IOCBS"},
    {0x3, "MBXERR_IOCBS_EXCEEDED"},
    {0x4, "MBXERR_BAD_RING_NUMBER"},
    {0x5, "MBXERR_MASK_ENTRIES_RANGE"},
    {0x6, "MBXERR_MASKS_EXCEEDED"},
    {0x7, "MBXERR_BAD_PROFILE"},
    {0x8, "MBXERR_BAD_DEF_CLASS"},
    {0x9, "MBXERR_BAD_MAX_RESPONDER"},
    {0xA, "MBXERR_BAD_MAX_ORIGINATOR"},
    {0xB, "MBXERR_RPI_REGISTERED"},
    {0xC, "MBXERR_RPI_FULL"},
    {0xD, "MBXERR_NO_RESOURCES"},
    {0xE, "MBXERR_BAD_RCV_LENGTH"},
    {0xF, "MBXERR_DMA_ERROR"},
    {0x10, "MBXERR_BAD_IOCB_COUNT"},
    {0x11, "MBXERR_UNSUPPORTED_FEATURE"},
    {0x12, "MBXERR_UNKNOWN_CMD"},
    {0x100, "MBXERR_FLASH_WRITE_FAILED"},
    {0xA00, "MBXERR_RING_RANGE"},
    {0x1000, "MBXERR_NO_ACTIVE_XRI"},
    {0x1001, "MBXERR_XRI_NOT_ACTIVE"},
    {0x1400, "MBXERR_UNREG_NOT_USED"},
    {0x1500, "MBXERR_NO_LINK_ATTN"},
    {0x1600, "MBXERR_NO_LA_TO_CLEAR"},
    {0x1601, "MBXERR_NOT_LAST_LINK_ATTN"},
};

void TraceStatus(std::uint32_t status) { DiagTrace("mbxStatus = %s\n", MailboxStatusName(status)); }

// Sends a framed mailbox request whose block sits at payloadBlock. Only a
// command the firmware answered with success overwrites the caller's block.
std::uint32_t ExchangeBlock(HANDLE device, std::uint8_t* request, std::uint32_t payloadBlock,
                            std::uint8_t* block) {
    if (!SendMiniportRequest(device, request, kKxRequestSize)) return 0xFFFFFFFFu;
    const std::uint8_t* answer = request + kSrbHeaderSize + payloadBlock;
    const std::uint32_t status = LoadLe16(answer + kMbxStatusOffset);
    if (status != 0) {
        TraceStatus(status);
        return status;
    }
    std::memcpy(block, answer, kMailboxSize);
    return 0;
}

}  // namespace

const char* MailboxStatusName(std::uint32_t status) {
    for (const auto& s : kStatusNames)
        if (s.status == status) return s.name;
    return "UNKNOWN_";
}

std::uint32_t IssueMbox(std::uint32_t adapterIndex, std::uint8_t* block, std::uint32_t requestSize,
                        std::uint32_t responseSize) {
    PADAPTER adapter = AdapterAt(adapterIndex);
    if (adapter == nullptr) return 0xFFFFFFFFu;

    std::uint8_t request[kKxRequestSize];
    FrameMiniportRequest(request, kKxRequestSize, ISSUE_MBOX);
    std::uint8_t* payload = request + kSrbHeaderSize;
    std::memcpy(payload + kMboxPayloadBlock, block, kMailboxSize);
    StoreLe32(payload + kMboxPayloadRequestSize, requestSize);

    DiagTrace("\nIssueMbox input: Command %x, Insize = %ld, Outsize = %ld\n",
              static_cast<unsigned>(block[kMbxCommandOffset]), static_cast<long>(requestSize),
              static_cast<long>(responseSize));
    const std::uint32_t status = ExchangeBlock(adapter->m_hDevice, request, kMboxPayloadBlock, block);
    if (status != 0) return status;
    if (g_DiagTrace) TraceHexDump(block, kMailboxSize, "IssueMbox output");
    return 0;
}

std::uint32_t IssueMboxExt(std::uint32_t adapterIndex, std::uint8_t* block, std::uint8_t* extBuffer,
                           std::uint8_t selector, std::uint32_t inWords, std::uint32_t outWords) {
    PADAPTER adapter = AdapterAt(adapterIndex);
    if (adapter == nullptr) return 0xFFFFFFFFu;
    // The extension area ends with the request: a larger count would read
    // or write past both buffers.
    if (inWords > kMboxExtMaxWords || outWords > kMboxExtMaxWords) return 0xFFFFFFFFu;

    std::uint8_t request[kKxRequestSize];
    FrameMiniportRequest(request, kKxRequestSize, ISSUE_MBOX_EXT);
    std::uint8_t* payload = request + kSrbHeaderSize;
    std::memcpy(payload + kMboxExtPayloadBlock, block, kMailboxSize);
    payload[kMboxExtPayloadSelector] = selector;
    StoreLe32(payload + kMboxExtPayloadInWords, inWords);
    StoreLe32(payload + kMboxExtPayloadOutWords, outWords);
    if (inWords != 0) std::memcpy(payload + kMboxExtPayloadExtension, extBuffer, 4u * inWords);

    DiagTrace("\nIssueMboxExt input: Command %x, InWords = %u, OutWords = %u\n",
              static_cast<unsigned>(block[kMbxCommandOffset]), static_cast<unsigned>(inWords),
              static_cast<unsigned>(outWords));
    const std::uint32_t status =
        ExchangeBlock(adapter->m_hDevice, request, kMboxExtPayloadBlock, block);
    if (status != 0) return status;
    if (outWords != 0) std::memcpy(extBuffer, payload + kMboxExtPayloadExtension, 4u * outWords);
    return 0;
}

std::uint32_t GetReturnInfo(std::uint8_t* record, HANDLE deviceHandle) {
    std::uint8_t request[kKxRequestSize];
    FrameMiniportRequest(request, kKxRequestSize, RETURN_INFO);
    if (!SendMiniportRequest(deviceHandle, request, kKxRequestSize)) return 1;
    std::memcpy(record, request + kSrbHeaderSize + kReturnInfoPayloadRecord, kReturnInfoSize);
    return 0;
}

}  // namespace fcboot
