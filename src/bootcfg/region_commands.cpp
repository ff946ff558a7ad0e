// Firmware commands on configuration regions and adapter memory: region
// dump and update, memory read, the staged boot image sequence, and the
// retry rule that all of them go through.
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/mailbox_layout.h"
#include "bootcfg/bootcfg.h"

namespace fcboot {
namespace {

// Every command of this file hands the transport the same request size.
constexpr std::uint32_t kRetryRequestSize = 32;
constexpr std::uint32_t kDefaultResponseSize = 128;

// Dump and memory read: the reply data begins at word 20 of the block, so
// one reply holds at most this many bytes of it.
constexpr std::uint32_t kReplyDataOffset = 20;
constexpr std::uint32_t kMaxReplyData = kMailboxSize - kReplyDataOffset;  // 236
constexpr std::uint32_t kMaxDumpLength = 256;
constexpr std::uint32_t kMaxMemoryWords = kMaxReplyData / 4;  // 59

// Word at 4 of commands 23 and 27.
constexpr std::uint32_t kDumpTypeMemory = 1;
constexpr std::uint32_t kDumpTypeRegion = 2;
constexpr std::uint32_t kRegionAccessBit = 0x10;
constexpr std::uint32_t kExtendedDataBit = 0x20;

// Byte 0 flags.
constexpr std::uint8_t kFlagUpdate = 0x01;
constexpr std::uint8_t kFlagMemoryRead = 0x02;

// Extended region update: the data travels as 64 words beside the block.
constexpr std::uint8_t kUpdateExtSelector = 5;
constexpr std::uint32_t kUpdateExtInWords = kEfibBootRegionSize / 4;

// Staged boot image sequence.
constexpr std::uint32_t kStepStart = 8;
constexpr std::uint32_t kStepAdvance = 9;
constexpr std::uint32_t kStepFinish = 10;
constexpr std::uint32_t kStateStarted = 8;
constexpr std::uint32_t kStateAdvanced = 9;
constexpr std::uint32_t kStateDone = 11;
constexpr std::uint32_t kSequenceFailed = 1;
constexpr std::uint32_t kSequenceBytesOffset = 52;  // bytes 52-59 of the region 4 image
constexpr std::uint32_t kSequenceBlockOffset = 16;
constexpr std::uint32_t kSequenceBytes = 8;

void ClearBlock(std::uint8_t* block) { std::memset(block, 0, kMailboxSize); }

// One step block of the staged sequence, built anew from zeros: only the
// carry word and the region 4 bytes pass from one request to the next.
void BuildSequenceStep(std::uint8_t* block, std::uint32_t step, std::uint32_t carry,
                       const std::uint8_t* image) {
    ClearBlock(block);
    block[kMbxCommandOffset] = kMbxBootImageStep;
    StoreLe32(block + 4, (step & 0xFFu) << 16);
    StoreLe32(block + 8, carry);
    std::memcpy(block + kSequenceBlockOffset, image + kSequenceBytesOffset, kSequenceBytes);
}

std::uint32_t SequenceState(const std::uint8_t* reply) { return (LoadLe32(reply + 4) >> 8) & 0xFFu; }

// Sends steps of one kind until the adapter reports `awaited`, at most
// kMaxBootImageStepsPerStage of them. On return *state and *carry hold
// what the last reply said.
bool RunSequenceStage(std::uint32_t adapterIndex, std::uint32_t step, std::uint32_t awaited,
                      const std::uint8_t* image, std::uint32_t* state, std::uint32_t* carry) {
    std::uint8_t block[kMailboxSize];
    for (std::uint32_t sent = 0; *state != awaited; ++sent) {
        if (sent == kMaxBootImageStepsPerStage) return false;
        BuildSequenceStep(block, step, *carry, image);
        if (IssueMboxRetry(adapterIndex, block, kDefaultResponseSize) != 0) return false;
        *state = SequenceState(block);
        *carry = LoadLe32(block + 8);
    }
    return true;
}

}  // namespace

std::uint32_t IssueMboxRetry(std::uint32_t adapterIndex, std::uint8_t* block,
                             std::uint32_t responseSize) {
    for (std::uint32_t sends = 1;; ++sends) {
        std::uint32_t status = IssueMbox(adapterIndex, block, kRetryRequestSize, responseSize);
        if (status == 0) return 0;
        if (status == kMbxStatusBusy252 || status == kMbxStatusBusy254) return status;
        if (status != kMbxStatusRetry) return kMbxFailed;
        if (sends == kMaxMboxSends) return kMbxStatusRetry;
        StoreLe16(block + kMbxStatusOffset, 0);
    }
}

std::uint32_t DumpConfigRegion(std::uint32_t adapterIndex, std::uint32_t region,
                               std::uint32_t offset, std::uint32_t length, std::uint8_t* dest) {
    return DumpConfigRegion(adapterIndex, region, offset, length, dest, nullptr);
}

bool g_DumpFailureLine = true;

std::uint32_t DumpConfigRegion(std::uint32_t adapterIndex, std::uint32_t region,
                               std::uint32_t offset, std::uint32_t length, std::uint8_t* dest,
                               std::uint32_t* delivered) {
    if (length > kMaxDumpLength) length = kMaxDumpLength;
    const std::uint32_t regionNumber = region & 0xFFFFu;

    std::uint8_t block[kMailboxSize];
    ClearBlock(block);
    block[kMbxCommandOffset] = kMbxDumpMemory;
    StoreLe32(block + 4, kDumpTypeRegion | kRegionAccessBit);
    StoreLe32(block + 8, regionNumber | ((offset & 0xFFFFu) << 16));
    StoreLe32(block + 16, length / 4);

    std::uint32_t result = IssueMboxRetry(adapterIndex, block, length + 24);
    if (result != 0) {
        if (g_DumpFailureLine)
            std::printf("DumpConfigRegion failed!!! status %x\n", static_cast<unsigned>(result));
        return result;
    }

    // The adapter's count is believed only as far as the reply block goes.
    std::uint32_t copy = LoadLe32(block + 16);
    if (delivered != nullptr) *delivered = copy;
    if (copy > length) copy = length;
    if (copy > kMaxReplyData) copy = kMaxReplyData;
    std::memcpy(dest, block + kReplyDataOffset, copy);

    // Every region but the EFIB one arrives with the bytes of its first two
    // words reversed.
    if (regionNumber != kEfibBootRegion) CopySwapWords(block + kReplyDataOffset, dest, 8);
    return 0;
}

std::uint32_t ReadAdapterMemory(std::uint32_t adapterIndex, std::uint8_t* dest,
                                std::uint32_t address, std::uint32_t wordCount) {
    // More words than one reply holds cannot be delivered; refuse rather
    // than copy from beyond the block.
    if (wordCount > kMaxMemoryWords) return 1;

    std::uint8_t block[kMailboxSize];
    ClearBlock(block);
    block[kMbxFlagsOffset] = kFlagMemoryRead;
    block[kMbxCommandOffset] = kMbxDumpMemory;
    StoreLe32(block + 4, kDumpTypeMemory);
    StoreLe32(block + 12, address & ~3u);
    StoreLe32(block + 16, wordCount);

    if (IssueMboxRetry(adapterIndex, block, kDefaultResponseSize) != 0) return 1;
    std::memcpy(dest, block + kReplyDataOffset, static_cast<std::uint16_t>(4 * wordCount));
    return 0;
}

std::uint32_t ReadBootSelectRegion(std::uint32_t adapterIndex, std::uint8_t* image) {
    return ReadBootSelectRegion(adapterIndex, image, nullptr);
}

std::uint32_t ReadBootSelectRegion(std::uint32_t adapterIndex, std::uint8_t* image,
                                   std::uint32_t* delivered) {
    // Bytes the adapter does not deliver read as zero.
    std::uint8_t scratch[kBootSelectRegionSize] = {};
    std::uint32_t result = DumpConfigRegion(adapterIndex, kBootSelectRegion, 0,
                                            kBootSelectRegionSize, scratch, delivered);
    if (result != 0) return result;
    std::memcpy(image, scratch, kBootSelectRegionSize);
    return 0;
}

std::uint32_t UpdateConfigRegion(std::uint32_t adapterIndex, std::uint32_t region,
                                 const std::uint8_t* data, std::uint32_t length) {
    const bool extended = region == kEfibBootRegion;
    const std::uint32_t size = extended ? kEfibBootRegionSize : kBootSelectRegionSize;
    // The command always carries a whole region; a shorter buffer would be
    // read past its end.
    if (length < size) return kMbxFailed;

    std::uint8_t block[kMailboxSize];
    ClearBlock(block);
    block[kMbxFlagsOffset] = kFlagUpdate;
    block[kMbxCommandOffset] = kMbxUpdateConfig;
    StoreLe32(block + 4, kDumpTypeRegion | kRegionAccessBit | (extended ? kExtendedDataBit : 0));
    StoreLe32(block + 8, (region & 0xFFFFu) | (size << 16));
    StoreLe32(block + 16, size);

    if (!extended) {
        std::memcpy(block + kReplyDataOffset, data, size);
        return IssueMboxRetry(adapterIndex, block, kDefaultResponseSize);
    }

    // 256 data bytes do not fit beside the command's fields: they go in the
    // extension buffer, and the block names their length once more. The
    // transport wants a writable buffer, though with no output words it
    // writes nothing back.
    StoreLe32(block + 20, size);
    std::uint8_t ext[kEfibBootRegionSize];
    std::memcpy(ext, data, size);
    return IssueMboxExt(adapterIndex, block, ext, kUpdateExtSelector, kUpdateExtInWords, 0);
}

std::uint32_t WriteBootSelectRegion(std::uint32_t adapterIndex, const std::uint8_t* image) {
    return UpdateConfigRegion(adapterIndex, kBootSelectRegion, image, kBootSelectRegionSize);
}

std::uint32_t RunBootImageSequence(std::uint32_t adapterIndex, const std::uint8_t* image) {
    std::uint8_t block[kMailboxSize];
    BuildSequenceStep(block, kStepStart, 0, image);
    if (IssueMboxRetry(adapterIndex, block, kDefaultResponseSize) != 0) return kSequenceFailed;
    std::uint32_t state = SequenceState(block);
    std::uint32_t carry = LoadLe32(block + 8);

    if (state != kStateDone) {
        if (state != kStateStarted) return kSequenceFailed;
        if (!RunSequenceStage(adapterIndex, kStepAdvance, kStateAdvanced, image, &state, &carry))
            return kSequenceFailed;
        if (!RunSequenceStage(adapterIndex, kStepFinish, kStateDone, image, &state, &carry))
            return kSequenceFailed;
    }
    return WriteBootSelectRegion(adapterIndex, image);
}

// Both byte-order operations work on whole words only: the bytes of a
// trailing partial word would be mirrored onto places beyond n.
void CopySwapWords(const std::uint8_t* src, std::uint8_t* dst, std::uint16_t n) {
    for (std::uint32_t w = 0; w + 4 <= n; w += 4) {
        dst[w] = src[w + 3];
        dst[w + 1] = src[w + 2];
        dst[w + 2] = src[w + 1];
        dst[w + 3] = src[w];
    }
}

void SwapWordsInPlace(std::uint8_t* buf, std::uint32_t n) {
    for (std::uint32_t w = 0; w + 4 <= n; w += 4) {
        std::uint8_t b0 = buf[w], b1 = buf[w + 1];
        buf[w] = buf[w + 3];
        buf[w + 1] = buf[w + 2];
        buf[w + 2] = b1;
        buf[w + 3] = b0;
    }
}

}  // namespace fcboot
