// The boot parameters record and its operations on one adapter: read and
// write the BIOS (region 8) and EFIB (region 10) boot regions, and select or
// clear the boot image in the boot selection region (region 4).
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "bootcfg/bootcfg.h"

namespace fcboot {
namespace {

// Region 8.
constexpr std::uint32_t kBiosFlagsOffset = 4;
constexpr std::uint32_t kBiosEnableOffset = 9;
constexpr std::uint32_t kBiosWwnOffset = 17;
constexpr std::uint32_t kBiosLunOffset = 28;
constexpr std::uint32_t kBiosFlagsWritten = 0x00000502u;
constexpr std::uint32_t kBiosFlagEnableValid = 0x002u;
constexpr std::uint32_t kBiosFlagWwnPresent = 0x100u;

// Region 10, read in pieces that fit one dump reply.
constexpr std::uint32_t kEfibWwnOffset = 4;
constexpr std::uint32_t kEfibLunHighOffset = 12;
constexpr std::uint32_t kEfibLunLowOffset = 13;
constexpr std::uint32_t kEfibWwnPresentOffset = 23;
constexpr std::uint32_t kEfibEnableOffset = 196;
constexpr std::uint32_t kEfibTrailerOffset = 200;
constexpr std::uint32_t kEfibPieceLength = 108;

// A directory entry that holds no image.
constexpr std::uint32_t kNoImage = 0xFFFFFFFFu;

const char kBiosMarker[4] = {'B', 'I', 'O', 'S'};
const char kEfibMarker[4] = {'E', 'F', 'I', 'B'};

// The adapter whose port world-wide name is the record's WWID.
bool FindRecordAdapter(const BootParams* p, std::uint32_t* adapterIndex) {
    return FindAdapterByWWN(p->WWID, adapterIndex);
}

// A region the adapter delivered only in part is no copy of its settings:
// taking the missing bytes for zeros would save settings the adapter does
// not hold, or write them back over region 4. Such a read fails like a
// failed command.
bool WholeRegionDelivered(std::uint32_t delivered, std::uint32_t length) {
    return delivered >= length;
}

// Region 4 exactly as the adapter holds it: the dump delivers its first two
// words byte-reversed.
std::uint32_t ReadSelectImage(std::uint32_t adapterIndex, std::uint8_t* image) {
    std::uint8_t scratch[kBootSelectRegionSize];
    std::uint32_t delivered = 0;
    if (ReadBootSelectRegion(adapterIndex, scratch, &delivered) != 0 ||
        !WholeRegionDelivered(delivered, kBootSelectRegionSize))
        return kBootAdapterCommandFailed;
    std::memcpy(image, scratch, kBootSelectRegionSize);
    SwapWordsInPlace(image, 8);
    return kBootOk;
}

// One dump of a boot region or a piece of it, delivered whole.
std::uint32_t ReadRegionPiece(std::uint32_t adapterIndex, std::uint32_t region,
                              std::uint32_t offset, std::uint32_t length, std::uint8_t* dest) {
    std::uint32_t delivered = 0;
    if (DumpConfigRegion(adapterIndex, region, offset, length, dest, &delivered) != 0 ||
        !WholeRegionDelivered(delivered, length))
        return kBootAdapterCommandFailed;
    return kBootOk;
}

// The first steps of both reads: the record's adapter, and whether region
// 4 selects a boot image.
std::uint32_t ReadSelection(BootParams* p, std::uint32_t* adapterIndex, std::uint8_t* select) {
    if (!FindRecordAdapter(p, adapterIndex)) return kBootNoSuchAdapter;
    if (ReadSelectImage(*adapterIndex, select) != 0) return kBootAdapterCommandFailed;
    // Set here already: a record whose boot region then fails to read keeps it.
    p->SelectBootEnable = LoadLe32(select + kSelectedImageOffset) != 0 ? 1 : 0;
    return kBootOk;
}

std::uint32_t CheckKindForMode(std::uint32_t adapterIndex, std::uint8_t kind, std::uint32_t mode) {
    return (mode & kModeEfib) != 0 ? isValidBootEfi(adapterIndex, kind)
                                   : isValidBootBios(adapterIndex, kind);
}

// The first entry of the walk that holds a boot code image the model takes
// in the chosen mode.
struct ImageSearch {
    std::uint32_t adapterIndex;
    std::uint32_t mode;
    std::uint32_t found;
};

bool SuitableImage(void* context, std::uint32_t, const std::uint8_t* entry) {
    ImageSearch& search = *static_cast<ImageSearch*>(context);
    const std::uint32_t id = LoadLe32(entry + kEntryImageOffset);
    if (id == 0 || id == kNoImage || entry[kEntryTypeOffset] != kBootCodeImageType ||
        CheckKindForMode(search.adapterIndex, entry[kEntryKindOffset], search.mode) != 0)
        return false;
    search.found = id;
    return true;
}

// The staged sequence with the selected image, ending with the region 4
// write that records it in bytes 52..55 as well.
std::uint32_t FinishBootImageActivation(std::uint32_t adapterIndex, std::uint8_t* image,
                                        std::uint32_t id) {
    StoreLe32(image + kActivatedImageOffset, id);
    if (RunBootImageSequence(adapterIndex, image) != 0) return kBootNoValidImage;
    return kBootOk;
}

}  // namespace

bool BootImageActivationFinished(const std::uint8_t* selectRegion) {
    return LoadLe32(selectRegion + kActivatedImageOffset) ==
           LoadLe32(selectRegion + kSelectedImageOffset);
}

std::uint32_t IsAdapterWWN(std::uint32_t adapterIndex, const std::uint8_t* wwn) {
    std::uint8_t port[8];
    if (GetAdapterPortWWN(adapterIndex, port) != 0) return 0;
    return std::memcmp(port, wwn, sizeof port) == 0 ? 1 : 0;
}

bool FindAdapterByWWN(const std::uint8_t* wwn, std::uint32_t* adapterIndex) {
    const std::uint32_t count = GetAdapterCount();
    for (std::uint32_t n = 0; n < count; ++n) {
        if (IsAdapterWWN(n, wwn) == 1) {
            *adapterIndex = n;
            return true;
        }
    }
    return false;
}

void DecodeBootParamsBios(const std::uint8_t* select, const std::uint8_t* region, BootParams* p) {
    p->SelectBootEnable = LoadLe32(select + kSelectedImageOffset) != 0 ? 1 : 0;
    const std::uint32_t flags = LoadLe32(region + kBiosFlagsOffset);
    if ((flags & kBiosFlagWwnPresent) != 0)
        CopySwapWords(region + kBiosWwnOffset, p->BootDeviceWWID, 8);
    p->BootDeviceLUN = region[kBiosLunOffset];
    if ((flags & kBiosFlagEnableValid) != 0 && region[kBiosEnableOffset] == 1)
        p->HostAdapterBiosEnable = 1;
}

std::uint32_t DecodeBootParamsEfib(const std::uint8_t* select, const std::uint8_t* region,
                                   BootParams* p) {
    p->SelectBootEnable = LoadLe32(select + kSelectedImageOffset) != 0 ? 1 : 0;
    // A region without the marker holds no EFIB settings.
    if (std::memcmp(region, kEfibMarker, 4) != 0) return kBootAdapterCommandFailed;
    if (region[kEfibWwnPresentOffset] == 1) CopySwapWords(region + kEfibWwnOffset, p->BootDeviceWWID, 8);
    p->BootDeviceLUN = region[kEfibLunLowOffset] + 256u * (region[kEfibLunHighOffset] & 0x3Fu);
    if ((region[kEfibEnableOffset] & 1) != 0) p->HostAdapterBiosEnable = 1;
    return kBootOk;
}

std::uint32_t ReadBootParamsBios(BootParams* p) {
    std::uint32_t n = 0;
    std::uint8_t select[kBootSelectRegionSize];
    const std::uint32_t found = ReadSelection(p, &n, select);
    if (found != kBootOk) return found;

    std::uint8_t region[kBiosBootRegionSize] = {};
    if (ReadRegionPiece(n, kBiosBootRegion, 0, kBiosBootRegionSize, region) != 0)
        return kBootAdapterCommandFailed;
    // The dump delivers the marker and the flags word byte-reversed.
    SwapWordsInPlace(region, 8);
    DecodeBootParamsBios(select, region, p);
    return kBootOk;
}

std::uint32_t ReadBootParamsEfib(BootParams* p) {
    std::uint32_t n = 0;
    std::uint8_t select[kBootSelectRegionSize];
    const std::uint32_t found = ReadSelection(p, &n, select);
    if (found != kBootOk) return found;

    std::uint8_t region[kEfibBootRegionSize] = {};
    for (std::uint32_t offset = 0; offset < kEfibBootRegionSize; offset += kEfibPieceLength) {
        std::uint32_t length = kEfibBootRegionSize - offset;
        if (length > kEfibPieceLength) length = kEfibPieceLength;
        if (ReadRegionPiece(n, kEfibBootRegion, offset, length, region + offset) != 0)
            return kBootAdapterCommandFailed;
        // A region without the marker holds no EFIB settings: stop early.
        if (offset == 0 && std::memcmp(region, kEfibMarker, 4) != 0) return kBootAdapterCommandFailed;
    }
    return DecodeBootParamsEfib(select, region, p);
}

std::uint32_t WriteBootParamsBios(const BootParams* p) {
    std::uint32_t n = 0;
    if (!FindRecordAdapter(p, &n)) return kBootNoSuchAdapter;
    // Built from zeros: nothing of the former region survives.
    std::uint8_t region[kBiosBootRegionSize] = {};
    std::memcpy(region, kBiosMarker, 4);
    StoreLe32(region + kBiosFlagsOffset, kBiosFlagsWritten);
    region[kBiosEnableOffset] = p->HostAdapterBiosEnable != 0 ? 1 : 0;
    CopySwapWords(p->BootDeviceWWID, region + kBiosWwnOffset, 8);
    region[kBiosLunOffset] = static_cast<std::uint8_t>(p->BootDeviceLUN);
    if (UpdateConfigRegion(n, kBiosBootRegion, region, kBiosBootRegionSize) != 0)
        return kBootAdapterCommandFailed;
    return kBootOk;
}

std::uint32_t WriteBootParamsEfib(const BootParams* p) {
    std::uint32_t n = 0;
    if (!FindRecordAdapter(p, &n)) return kBootNoSuchAdapter;
    std::uint8_t region[kEfibBootRegionSize] = {};
    std::memcpy(region, kEfibMarker, 4);
    CopySwapWords(p->BootDeviceWWID, region + kEfibWwnOffset, 8);
    region[kEfibLunLowOffset] = static_cast<std::uint8_t>(p->BootDeviceLUN);
    region[kEfibWwnPresentOffset] = 1;
    region[kEfibEnableOffset] = p->HostAdapterBiosEnable != 0 ? 1 : 0;
    region[kEfibTrailerOffset] = 0x00;
    region[kEfibTrailerOffset + 1] = 0x01;
    if (UpdateConfigRegion(n, kEfibBootRegion, region, kEfibBootRegionSize) != 0)
        return kBootAdapterCommandFailed;
    return kBootOk;
}

std::uint32_t EnableBootSelection(const BootParams* p, std::uint32_t mode) {
    std::uint32_t n = 0;
    if (!FindRecordAdapter(p, &n)) return kBootNoSuchAdapter;
    // Without a model the boot image kinds cannot be judged.
    if (AdapterModel[n] == 0) return kBootUnknownModel;
    return EnsureBootImageSelected(n, mode);
}

std::uint32_t EnsureBootImageSelected(std::uint32_t adapterIndex, std::uint32_t mode) {
    std::uint8_t image[kBootSelectRegionSize];
    if (ReadSelectImage(adapterIndex, image) != 0) return kBootAdapterCommandFailed;
    const std::uint32_t selected = LoadLe32(image + kSelectedImageOffset);
    if (selected == 0 || CheckKindForMode(adapterIndex, image[kSelectedKindOffset], mode) != 0)
        return SelectBootImage(adapterIndex, image, mode);
    // The current selection suits the model: leave it, unless its staged
    // activation never finished (a load that failed part-way). Left so, every
    // later load would find it suitable and report success over an image the
    // adapter may not boot; finishing it is what a run again is for.
    if (!NeedsBootImageSequence(adapterIndex) || BootImageActivationFinished(image)) return kBootOk;
    return FinishBootImageActivation(adapterIndex, image, selected);
}

DirectoryWalk WalkBootImageDirectory(std::uint32_t adapterIndex, DirectoryEntryVisitor visit,
                                     void* context, std::uint32_t* head) {
    std::uint8_t word[4];
    if (ReadAdapterMemory(adapterIndex, word, kBootImageDirectoryHead, 1) != 0)
        return DirectoryWalk::HeadUnread;
    std::uint32_t address = LoadLe32(word);
    if (head != nullptr) *head = address;

    // The directory is a ring back to the head word. A ring that never
    // closes is walked no further than the bound.
    std::uint8_t entry[kBootImageEntryWords * 4];
    for (std::uint32_t examined = 0;; ++examined) {
        if (examined == kMaxBootImageDirectoryEntries) return DirectoryWalk::Unclosed;
        if (ReadAdapterMemory(adapterIndex, entry, address, kBootImageEntryWords) != 0)
            return DirectoryWalk::ReadFailed;
        if (visit(context, address, entry)) return DirectoryWalk::Stopped;
        address = LoadLe32(entry);
        if (address == kBootImageDirectoryHead) return DirectoryWalk::Closed;
    }
}

std::uint32_t SelectBootImage(std::uint32_t adapterIndex, std::uint8_t* image, std::uint32_t mode) {
    ImageSearch search{adapterIndex, mode, 0};
    // A ring without a suitable image, closed or not, leaves region 4
    // untouched.
    switch (WalkBootImageDirectory(adapterIndex, SuitableImage, &search, nullptr)) {
        case DirectoryWalk::HeadUnread:
        case DirectoryWalk::ReadFailed: return kBootAdapterCommandFailed;
        case DirectoryWalk::Closed:
        case DirectoryWalk::Unclosed: return kBootNoValidImage;
        case DirectoryWalk::Stopped: break;
    }

    StoreLe32(image + kSelectedImageOffset, search.found);
    // On a model that needs the staged sequence, the new selection is
    // written with no activation recorded (bytes 52..55 as 0): until the
    // sequence's last write records it, region 4 never shows an activation
    // as finished that is not, even one of the same image finished earlier
    // (a re-activation). A sequence that fails leaves the selection
    // unfinished, which the next load's retry then finishes.
    const bool staged = NeedsBootImageSequence(adapterIndex);
    if (staged) StoreLe32(image + kActivatedImageOffset, 0);
    if (WriteBootSelectRegion(adapterIndex, image) != 0) return kBootAdapterCommandFailed;
    if (!staged) return kBootOk;
    return FinishBootImageActivation(adapterIndex, image, search.found);
}

std::uint32_t ReadRegionImage(std::uint32_t adapterIndex, std::uint32_t region,
                              std::uint8_t* dest) {
    const std::uint32_t size =
        region == kEfibBootRegion ? kEfibBootRegionSize : kBootSelectRegionSize;
    for (std::uint32_t offset = 0; offset < size; offset += kEfibPieceLength) {
        const std::uint32_t length =
            size - offset < kEfibPieceLength ? size - offset : kEfibPieceLength;
        if (ReadRegionPiece(adapterIndex, region, offset, length, dest + offset) != 0)
            return kBootAdapterCommandFailed;
    }
    // The dump delivers the first two words of every region but 10 with
    // their bytes reversed.
    if (region != kEfibBootRegion) SwapWordsInPlace(dest, 8);
    return kBootOk;
}

std::uint32_t DisableBootSelection(const BootParams* p) {
    std::uint32_t n = 0;
    if (!FindRecordAdapter(p, &n)) return kBootNoSuchAdapter;
    std::uint8_t image[kBootSelectRegionSize];
    if (ReadSelectImage(n, image) != 0) return kBootAdapterCommandFailed;
    if (LoadLe32(image + kSelectedImageOffset) == 0) return kBootOk;
    StoreLe32(image + kSelectedImageOffset, 0);
    if (WriteBootSelectRegion(n, image) != 0) return kBootAdapterCommandFailed;
    return kBootOk;
}

}  // namespace fcboot
