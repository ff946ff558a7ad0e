// Byte layout of a miniport request: the Windows SRB_IO_CONTROL header
// followed by the payload, and the control codes the utility sends with
// their signatures, time-outs and sizes.
#pragma once

#include <cstdint>

namespace fcboot {

// SRB_IO_CONTROL, 28 bytes.
constexpr std::uint32_t kSrbHeaderLengthOffset = 0;
constexpr std::uint32_t kSrbSignatureOffset = 4;
constexpr std::uint32_t kSrbSignatureSize = 8;
constexpr std::uint32_t kSrbTimeoutOffset = 12;
constexpr std::uint32_t kSrbControlCodeOffset = 16;
constexpr std::uint32_t kSrbReturnCodeOffset = 20;
constexpr std::uint32_t kSrbLengthOffset = 24;
constexpr std::uint32_t kSrbHeaderSize = 28;
static_assert(kSrbLengthOffset + 4 == kSrbHeaderSize, "SRB_IO_CONTROL is 28 bytes");

// The Windows control code that carries every framed request.
constexpr std::uint32_t kIoctlScsiMiniport = 0x0004D008u;

// The driver's own control codes, sent without framing.
constexpr std::uint32_t kIoctlGetBusSlot = 0x00230800u;   // device 0x23, function 0x200
constexpr std::uint32_t kIoctlGetNodeList = 0x00230818u;  // device 0x23, function 0x206
static_assert(kIoctlGetBusSlot == ((0x23u << 16) | (0x200u << 2)), "GET_BUS_SLOT");
static_assert(kIoctlGetNodeList == ((0x23u << 16) | (0x206u << 2)), "GET_NODE_LIST");
constexpr std::uint32_t kBusSlotReplySize = 8;

// Miniport control codes.
constexpr std::uint32_t RETURN_INFO = 0x80010100u;
constexpr std::uint32_t ISSUE_MBOX = 0x80010106u;
constexpr std::uint32_t ISSUE_MBOX_EXT = 0x8001013Bu;
constexpr std::uint32_t GET_ADAPTER_ATTRIBUTES = 0x80010203u;
constexpr std::uint32_t GET_ADAPTER_PORT_ATTRIBUTES = 0x80010204u;
constexpr std::uint32_t REFRESH_INFORMATION = 0x80010213u;

// Signatures: the characters only, no terminator; the rest of the 8 bytes
// is zero.
constexpr const char kSignatureHbaApi[] = "HBAAPI";   // 0x800102xx
constexpr const char kSignatureKx[] = "KX6000";       // RETURN_INFO, ISSUE_MBOX
constexpr const char kSignatureKxExt[] = "KX6000 ";   // ISSUE_MBOX_EXT

constexpr std::uint32_t kTimeoutIssueMbox = 20;
constexpr std::uint32_t kTimeoutIssueMboxExt = 30;
constexpr std::uint32_t kTimeoutHbaApi = 30;
// RETURN_INFO has no time-out of its own; it is given the one of the
// adapter queries.
constexpr std::uint32_t kTimeoutReturnInfo = 30;

// Total request sizes, header included.
constexpr std::uint32_t kKxRequestSize = 5840;
constexpr std::uint32_t kAdapterAttributesRequestSize = 2224;
constexpr std::uint32_t kPortAttributesRequestSizeMiniport = 668;
constexpr std::uint32_t kPortAttributesRequestSizePortDriver = 664;
constexpr std::uint32_t kRefreshRequestSize = 28;
static_assert(kKxRequestSize - kSrbHeaderSize == 5812, "KX6000 payload length");
static_assert(kAdapterAttributesRequestSize - kSrbHeaderSize == 2196, "attributes payload");
static_assert(kPortAttributesRequestSizeMiniport - kSrbHeaderSize == 640, "port payload");
static_assert(kPortAttributesRequestSizePortDriver - kSrbHeaderSize == 636, "port payload");

// Where each record sits in the request buffer (offsets from byte 0).
constexpr std::uint32_t kAdapterAttributesRecordOffset = kSrbHeaderSize + 4;            // 32
constexpr std::uint32_t kPortAttributesRecordOffsetMiniport = kSrbHeaderSize + 8;       // 36
constexpr std::uint32_t kPortAttributesRecordOffsetPortDriver = kSrbHeaderSize + 4;     // 32

}  // namespace fcboot
