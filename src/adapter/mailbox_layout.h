// Byte layout of the firmware mailbox command block, of the ISSUE_MBOX,
// ISSUE_MBOX_EXT and RETURN_INFO payloads, and of the ReturnInfo record.
#pragma once

#include <cstdint>

#include "adapter/srb.h"

namespace fcboot {

// MailboxCommand: 256 bytes.
constexpr std::uint32_t kMailboxSize = 256;
constexpr std::uint32_t kMbxFlagsOffset = 0;
constexpr std::uint32_t kMbxCommandOffset = 1;
constexpr std::uint32_t kMbxStatusOffset = 2;  // 16-bit

// Firmware command codes.
constexpr std::uint8_t kMbxReadRevision = 17;     // 0x11
constexpr std::uint8_t kMbxDumpMemory = 23;       // 0x17
constexpr std::uint8_t kMbxUpdateConfig = 27;     // 0x1B
constexpr std::uint8_t kMbxBootImageStep = 156;   // 0x9C

// ISSUE_MBOX payload (offsets from the start of the payload, byte 28).
constexpr std::uint32_t kMboxPayloadBlock = 4;
constexpr std::uint32_t kMboxPayloadRequestSize = 4108;

// ISSUE_MBOX_EXT payload.
constexpr std::uint32_t kMboxExtPayloadSelector = 4;
constexpr std::uint32_t kMboxExtPayloadInWords = 8;
constexpr std::uint32_t kMboxExtPayloadOutWords = 12;
constexpr std::uint32_t kMboxExtPayloadBlock = 16;
constexpr std::uint32_t kMboxExtPayloadExtension = 272;
constexpr std::uint32_t kMboxExtMaxWords = 1385;
static_assert(kMboxExtPayloadExtension + kMboxExtMaxWords * 4 == kKxRequestSize - kSrbHeaderSize,
              "the extension area runs to the end of the request");

// RETURN_INFO payload and the ReturnInfo record.
constexpr std::uint32_t kReturnInfoPayloadRecord = 4;
constexpr std::uint32_t kReturnInfoSize = 480;
constexpr std::uint32_t kReturnInfoPciBus = 192;
constexpr std::uint32_t kReturnInfoPciSlot = 196;
constexpr std::uint32_t kReturnInfoValue456 = 456;
constexpr std::uint32_t kReturnInfoValue472 = 472;

}  // namespace fcboot
