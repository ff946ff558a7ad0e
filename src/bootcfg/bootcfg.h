// Boot configuration region: the firmware commands on configuration regions
// and adapter memory, adapter model identification with the per-model boot
// image checks, and the boot parameters record with its operations.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fcboot {

// ---------------------------------------------------------------------------
// Configuration-region commands

constexpr std::uint32_t kMbxStatusBusy252 = 252;
constexpr std::uint32_t kMbxStatusRetry = 253;
constexpr std::uint32_t kMbxStatusBusy254 = 254;
constexpr std::uint32_t kMbxFailed = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxMboxSends = 16;

constexpr std::uint32_t kBootSelectRegion = 4;
constexpr std::uint32_t kBiosBootRegion = 8;
constexpr std::uint32_t kEfibBootRegion = 10;
constexpr std::uint32_t kBootSelectRegionSize = 60;
constexpr std::uint32_t kBiosBootRegionSize = 60;
constexpr std::uint32_t kEfibBootRegionSize = 256;

// Region 4, in adapter order: the selected boot image's identifier, and the
// identifier the staged boot image sequence records once it has finished.
constexpr std::uint32_t kSelectedImageOffset = 12;
constexpr std::uint32_t kActivatedImageOffset = 52;
// The kind byte of the selected image's identifier.
constexpr std::uint32_t kSelectedKindOffset = 14;

// True when a selected boot image's activation finished: bytes 52..55 of
// the boot select region (region 4) repeat the identifier in bytes 12..15.
// Only the two identifiers are compared; whether an image is selected at all
// is the caller's question.
bool BootImageActivationFinished(const std::uint8_t* selectRegion);

// Most step-9 requests, and most step-10 requests, that one staged boot
// image sequence sends before it gives up with 1: an adapter that never
// reaches the awaited state must not hold the command forever.
constexpr std::uint32_t kMaxBootImageStepsPerStage = 64;

// Whether a failed dump prints its line on standard output, as the utility
// does. A program whose standard output is a report of its own (the
// readiness check) turns it off and reports the failure its own way.
extern bool g_DumpFailureLine;

std::uint32_t IssueMboxRetry(std::uint32_t adapterIndex, std::uint8_t* block,
                             std::uint32_t responseSize);
std::uint32_t DumpConfigRegion(std::uint32_t adapterIndex, std::uint32_t region,
                               std::uint32_t offset, std::uint32_t length, std::uint8_t* dest);
std::uint32_t ReadAdapterMemory(std::uint32_t adapterIndex, std::uint8_t* dest,
                                std::uint32_t address, std::uint32_t wordCount);
std::uint32_t ReadBootSelectRegion(std::uint32_t adapterIndex, std::uint8_t* image);
// The same two reads, also handing back the count of bytes the adapter
// reported delivered (untouched when the command failed), so that a caller
// can tell a region it received only in part.
std::uint32_t DumpConfigRegion(std::uint32_t adapterIndex, std::uint32_t region,
                               std::uint32_t offset, std::uint32_t length, std::uint8_t* dest,
                               std::uint32_t* delivered);
std::uint32_t ReadBootSelectRegion(std::uint32_t adapterIndex, std::uint8_t* image,
                                   std::uint32_t* delivered);
std::uint32_t UpdateConfigRegion(std::uint32_t adapterIndex, std::uint32_t region,
                                 const std::uint8_t* data, std::uint32_t length);
std::uint32_t WriteBootSelectRegion(std::uint32_t adapterIndex, const std::uint8_t* image);
std::uint32_t RunBootImageSequence(std::uint32_t adapterIndex, const std::uint8_t* image);
void CopySwapWords(const std::uint8_t* src, std::uint8_t* dst, std::uint16_t n);
void SwapWordsInPlace(std::uint8_t* buf, std::uint32_t n);

// ---------------------------------------------------------------------------
// Model identification and boot image checks

std::uint32_t QueryRevision(std::uint32_t adapterIndex, std::uint8_t* block);
std::uint16_t GetChipCode(std::uint32_t adapterIndex);
std::uint32_t IdentifyAdapterModel(std::uint32_t adapterIndex);
std::uint32_t isValidBootBios(std::uint32_t adapterIndex, std::uint8_t kind);
std::uint32_t isValidBootEfi(std::uint32_t adapterIndex, std::uint8_t kind);
bool NeedsBootImageSequence(std::uint32_t adapterIndex);
// The same judgements without an adapter, from what identifies it: the chip
// code its revision words give, its model code (0: unknown), whether a kind
// suits the model in `mode` (0: it does; no line printed), and whether the
// model needs the staged sequence.
std::uint16_t ChipCodeOf(std::uint32_t primary, std::uint32_t secondary, std::uint16_t deviceId);
std::uint32_t ModelForIdentity(std::uint16_t deviceId, std::uint16_t chip);
std::uint32_t IsValidBootKind(std::uint32_t model, std::uint8_t kind, std::uint32_t mode);
bool ModelNeedsBootImageSequence(std::uint32_t model);
// list: count byte, then the values.
std::uint32_t FindInValueList(std::uint8_t value, const std::uint8_t* list);

// ---------------------------------------------------------------------------
// Boot parameters

struct BootParams {
    std::uint8_t WWID[8];
    std::uint8_t BootDeviceWWID[8];
    std::uint32_t BootDeviceLUN;
    std::uint32_t HostAdapterBiosEnable;
    std::uint32_t SelectBootEnable;
};
static_assert(sizeof(BootParams) == 28, "BootParams is 28 bytes");
static_assert(offsetof(BootParams, BootDeviceWWID) == 8 && offsetof(BootParams, BootDeviceLUN) == 16 &&
                  offsetof(BootParams, HostAdapterBiosEnable) == 20 &&
                  offsetof(BootParams, SelectBootEnable) == 24,
              "BootParams field order");

constexpr std::uint32_t kBootOk = 0;
constexpr std::uint32_t kBootAdapterCommandFailed = 4;
constexpr std::uint32_t kBootNoSuchAdapter = 7;
constexpr std::uint32_t kBootNoValidImage = 17;
constexpr std::uint32_t kBootUnknownModel = 255;

constexpr std::uint32_t kBootImageDirectoryHead = 0x79C;
constexpr std::uint32_t kBootImageEntryWords = 12;
// Most directory entries one walk examines: a ring that never returns to the
// head must end the walk (with 17) rather than loop forever.
constexpr std::uint32_t kMaxBootImageDirectoryEntries = 1024;
// A directory entry: word 0 links to the next entry; the word at 16 is the
// image identifier, whose byte 2 is the image's kind and byte 3 its type.
constexpr std::uint32_t kEntryImageOffset = 16;
constexpr std::uint32_t kEntryKindOffset = 18;
constexpr std::uint32_t kEntryTypeOffset = 19;
constexpr std::uint8_t kBootCodeImageType = 3;

// The walk of the boot image directory that boot image selection makes: the
// head word at 0x79C, then entry after entry along the links until a link
// returns to 0x79C, at most kMaxBootImageDirectoryEntries entries. The
// visitor sees every entry read (its address as the link gave it, and its
// 12 words); returning true stops the walk there.
enum class DirectoryWalk { Closed, Stopped, Unclosed, ReadFailed, HeadUnread };
using DirectoryEntryVisitor = bool (*)(void* context, std::uint32_t address,
                                       const std::uint8_t* entry);
// HeadUnread: the head word could not be read; ReadFailed: an entry could
// not. *head, when given, receives the head word once it is read.
DirectoryWalk WalkBootImageDirectory(std::uint32_t adapterIndex, DirectoryEntryVisitor visit,
                                     void* context, std::uint32_t* head);

// A whole configuration region (4, 8 or 10: 60, 60 or 256 bytes) exactly as
// the adapter holds it, read in the pieces the boot parameter reads use.
// Returns 0, or 4 when a dump fails or delivers less than it was asked for.
std::uint32_t ReadRegionImage(std::uint32_t adapterIndex, std::uint32_t region, std::uint8_t* dest);

constexpr std::uint32_t kModeEfib = 2;  // the only bit of `mode` that is tested

std::uint32_t IsAdapterWWN(std::uint32_t adapterIndex, const std::uint8_t* wwn);
// Lowest matching index in *adapterIndex and true, or false when none has it.
bool FindAdapterByWWN(const std::uint8_t* wwn, std::uint32_t* adapterIndex);
// What the reads make of the regions, from images exactly as the adapter
// holds them (region 4, and region 8 or 10): the fields a read sets. The
// EFIB form returns 4 for a region without the "EFIB" marker, which a read
// fails with too (SelectBootEnable is set all the same).
void DecodeBootParamsBios(const std::uint8_t* select, const std::uint8_t* region, BootParams* p);
std::uint32_t DecodeBootParamsEfib(const std::uint8_t* select, const std::uint8_t* region,
                                   BootParams* p);
std::uint32_t ReadBootParamsBios(BootParams* p);
std::uint32_t ReadBootParamsEfib(BootParams* p);
std::uint32_t WriteBootParamsBios(const BootParams* p);
std::uint32_t WriteBootParamsEfib(const BootParams* p);
std::uint32_t EnableBootSelection(const BootParams* p, std::uint32_t mode);
std::uint32_t EnsureBootImageSelected(std::uint32_t adapterIndex, std::uint32_t mode);
std::uint32_t SelectBootImage(std::uint32_t adapterIndex, std::uint8_t* image, std::uint32_t mode);
std::uint32_t DisableBootSelection(const BootParams* p);

}  // namespace fcboot
