// Adapter model identification and the per-model boot image checks. The
// identification rows, the acceptable-kind lists and the staged-sequence
// models are tables, one row per model, walked by small lookups.
#include <cstdio>
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/mailbox_layout.h"
#include "bootcfg/bootcfg.h"

namespace fcboot {
namespace {

constexpr std::uint32_t kRevisionRequestSize = 92;
constexpr std::uint32_t kRevisionQueryBit = 0x80000000u;
constexpr std::uint32_t kDeviceIdUsesSecondary = 0xF700;
constexpr std::uint16_t kModelMask = 0xFFFC;

std::uint16_t DeviceId(std::uint32_t adapterIndex) {
    return static_cast<std::uint16_t>(g_BoardTable[adapterIndex].IdentityWord >> 16);
}

std::uint32_t ModelOf(std::uint32_t adapterIndex) {
    return adapterIndex < kMaxAdapters ? AdapterModel[adapterIndex] : 0;
}

// ---------------------------------------------------------------------------
// Identification: the first matching row wins. A row with needsChip false
// decides by the device ID alone and costs no adapter command.

struct IdentifyRow {
    bool needsChip;
    std::uint16_t chip;
    std::uint16_t deviceMask;  // 0: any device ID
    std::uint16_t deviceId;
    std::uint16_t model;
};

constexpr IdentifyRow kIdentifyRows[] = {
    {false, 0, 0xFF00, 0xF300, 0xF300},
    {false, 0, 0xFFFF, 0xF085, 0xF085},
    {false, 0, 0xFFFF, 0xF095, 0xF095},
    {true, 0x0012, 0xFFFF, 0xF0A1, 0xF0A1},
    {true, 0x0012, 0xFFFF, 0xF0A5, 0xF0A5},
    {true, 0x0012, 0, 0, 0xFA00},
    {true, 0x0020, 0, 0, 0xF700},
    {true, 0x0021, 0, 0, 0xF800},
    {true, 0x0025, 0, 0, 0xF802},
    {true, 0x0026, 0, 0, 0xF900},
    {true, 0x0028, 0, 0, 0xF900},
    {true, 0x0038, 0xFFFF, 0xF098, 0xF098},
    {true, 0x0038, 0, 0, 0xF980},
    {true, 0x0364, 0xFFFF, 0xF0D1, 0xF0D1},
    {true, 0x0364, 0xFFFF, 0xF0D5, 0xF0D5},
    {true, 0x0364, 0, 0, 0xFD00},
    {true, 0x0577, 0xFFFF, 0xF0E1, 0xF0E1},
    {true, 0x0577, 0xFFFF, 0xF0E5, 0xF0E5},
    {true, 0x0577, 0xFFFF, 0xFE05, 0xFE05},
    {true, 0x0577, 0, 0, 0xFE00},
    {true, 0x1004, 0xFFFF, 0xF015, 0xF015},
    {true, 0x1004, 0xFFFF, 0xF011, 0xF011},
    {true, 0x1004, 0, 0, 0xF100},
    {true, 0x1ACC, 0, 0, 0x1AE5},
};

// ---------------------------------------------------------------------------
// Acceptable boot image kinds: count-prefixed lists, one row per model.

struct ModelList {
    std::uint16_t model;
    const std::uint8_t* list;
};

constexpr std::uint8_t kBiosF011[] = {4, 0x49, 0x4B, 0x4E, 0x4F};
constexpr std::uint8_t kBiosF015[] = {4, 0x29, 0x2B, 0x2E, 0x2F};
constexpr std::uint8_t kBiosF085[] = {3, 0x31, 0x33, 0x36};
constexpr std::uint8_t kBiosF095[] = {3, 0x51, 0x53, 0x56};
constexpr std::uint8_t kBiosF098[] = {4, 0x71, 0x73, 0x76, 0x77};
constexpr std::uint8_t kBiosF0A1[] = {4, 0xB1, 0xB3, 0xB6, 0xB7};
constexpr std::uint8_t kBiosF0A5[] = {4, 0x91, 0x93, 0x96, 0x97};
constexpr std::uint8_t kBiosF0D5[] = {4, 0xD1, 0xD3, 0xD6, 0xD7};
constexpr std::uint8_t kBiosF0E5[] = {4, 0xF1, 0xF3, 0xF6, 0xF7};
constexpr std::uint8_t kBiosFE05[] = {4, 0x59, 0x5B, 0x5E, 0x5F};
constexpr std::uint8_t kBiosF100[] = {4, 0x79, 0x7B, 0x7E, 0x7F};
constexpr std::uint8_t kBiosF700[] = {4, 0x11, 0x13, 0x14, 0x16};
constexpr std::uint8_t kBiosF800[] = {4, 0x21, 0x23, 0x24, 0x26};
constexpr std::uint8_t kBiosF900[] = {3, 0x41, 0x43, 0x46};
constexpr std::uint8_t kBiosF980[] = {4, 0x61, 0x63, 0x66, 0x67};
constexpr std::uint8_t kBiosFA00[] = {4, 0x81, 0x83, 0x86, 0x87};
constexpr std::uint8_t kBiosFD00[] = {4, 0xC1, 0xC3, 0xC6, 0xC7};
constexpr std::uint8_t kBiosFE00[] = {4, 0xE1, 0xE3, 0xE6, 0xE7};

constexpr std::uint8_t kEfiF011[] = {3, 0x4D, 0x4E, 0x4F};
constexpr std::uint8_t kEfiF015[] = {3, 0x2D, 0x2E, 0x2F};
constexpr std::uint8_t kEfiF085[] = {2, 0x35, 0x36};
constexpr std::uint8_t kEfiF095[] = {2, 0x55, 0x56};
constexpr std::uint8_t kEfiF098[] = {3, 0x75, 0x76, 0x77};
constexpr std::uint8_t kEfiF0A1[] = {3, 0xB5, 0xB6, 0xB7};
constexpr std::uint8_t kEfiF0A5[] = {3, 0x95, 0x96, 0x97};
constexpr std::uint8_t kEfiF0D1[] = {3, 0xAD, 0xAE, 0xAF};
constexpr std::uint8_t kEfiF0D5[] = {3, 0xD5, 0xD6, 0xD7};
constexpr std::uint8_t kEfiF0E1[] = {3, 0x1D, 0x1E, 0x1F};
constexpr std::uint8_t kEfiF0E5[] = {3, 0xF5, 0xF6, 0xF7};
constexpr std::uint8_t kEfiFE05[] = {3, 0x5D, 0x5E, 0x5F};
constexpr std::uint8_t kEfiF100[] = {3, 0x7D, 0x7E, 0x7F};
constexpr std::uint8_t kEfiF700[] = {2, 0x15, 0x16};
constexpr std::uint8_t kEfiF800[] = {2, 0x25, 0x26};
constexpr std::uint8_t kEfiF900[] = {2, 0x45, 0x46};
constexpr std::uint8_t kEfiF980[] = {3, 0x65, 0x66, 0x67};
constexpr std::uint8_t kEfiFA00[] = {3, 0x85, 0x86, 0x87};
constexpr std::uint8_t kEfiFD00[] = {3, 0xC5, 0xC6, 0xC7};
constexpr std::uint8_t kEfiFE00[] = {3, 0xE5, 0xE6, 0xE7};

constexpr ModelList kBiosExact[] = {
    {0xF011, kBiosF011}, {0xF015, kBiosF015}, {0xF085, kBiosF085}, {0xF095, kBiosF095},
    {0xF098, kBiosF098}, {0xF0A1, kBiosF0A1}, {0xF0A5, kBiosF0A5}, {0xF0D5, kBiosF0D5},
    {0xF0E5, kBiosF0E5}, {0xFE05, kBiosFE05},
};

constexpr ModelList kBiosMasked[] = {
    {0xF100, kBiosF100}, {0xF700, kBiosF700}, {0xF800, kBiosF800}, {0xF900, kBiosF900},
    {0xF980, kBiosF980}, {0xFA00, kBiosFA00}, {0xFD00, kBiosFD00}, {0xFE00, kBiosFE00},
};

constexpr ModelList kEfiExact[] = {
    {0xF011, kEfiF011}, {0xF015, kEfiF015}, {0xF085, kEfiF085}, {0xF095, kEfiF095},
    {0xF098, kEfiF098}, {0xF0A1, kEfiF0A1}, {0xF0A5, kEfiF0A5}, {0xF0D1, kEfiF0D1},
    {0xF0D5, kEfiF0D5}, {0xF0E1, kEfiF0E1}, {0xF0E5, kEfiF0E5}, {0xFE05, kEfiFE05},
};

constexpr ModelList kEfiMasked[] = {
    {0xF100, kEfiF100}, {0xF700, kEfiF700}, {0xF800, kEfiF800}, {0xF900, kEfiF900},
    {0xF980, kEfiF980}, {0xFA00, kEfiFA00}, {0xFD00, kEfiFD00}, {0xFE00, kEfiFE00},
};

// Models that must run the staged sequence after a new boot image is
// selected: exact codes, and masked codes compared after AND 0xFFFC.
constexpr std::uint16_t kSequenceExact[] = {0xF011, 0xF015, 0xF098, 0xF0A1,
                                            0xF0A5, 0xF0D5, 0xF0E5, 0xFE05};
constexpr std::uint16_t kSequenceMasked[] = {0xF100, 0xF980, 0xFA00, 0xFD00, 0xFE00};

template <std::size_t N>
const std::uint8_t* FindList(const ModelList (&table)[N], std::uint32_t code) {
    for (const ModelList& row : table)
        if (row.model == code) return row.list;
    return nullptr;
}

template <std::size_t N>
bool InCodes(const std::uint16_t (&codes)[N], std::uint32_t code) {
    for (std::uint16_t c : codes)
        if (c == code) return true;
    return false;
}

// The exact table first, then the masked one; no list accepts every kind.
template <std::size_t E, std::size_t M>
std::uint32_t CheckKind(const ModelList (&exact)[E], const ModelList (&masked)[M],
                        std::uint32_t model, std::uint8_t kind) {
    const std::uint8_t* list = FindList(exact, model);
    if (list == nullptr) list = FindList(masked, model & kModelMask);
    if (list == nullptr) return 0;
    return FindInValueList(kind, list);
}

// The identification rows walked for a device ID; `chipCode` is called at
// most once, and only when a row needs the chip code.
template <class ChipCode>
std::uint32_t MatchIdentifyRows(std::uint16_t deviceId, ChipCode chipCode) {
    bool haveChip = false;
    std::uint16_t chip = 0;
    for (const IdentifyRow& row : kIdentifyRows) {
        if (row.needsChip) {
            if (!haveChip) {
                chip = chipCode();
                haveChip = true;
            }
            if (chip != row.chip) continue;
        }
        if ((deviceId & row.deviceMask) == (row.deviceId & row.deviceMask)) return row.model;
    }
    return 0;
}

}  // namespace

std::uint32_t QueryRevision(std::uint32_t adapterIndex, std::uint8_t* block) {
    std::memset(block, 0, kMailboxSize);
    block[kMbxCommandOffset] = kMbxReadRevision;
    StoreLe32(block + 4, kRevisionQueryBit);
    return IssueMbox(adapterIndex, block, kRevisionRequestSize, kRevisionRequestSize);
}

std::uint16_t ChipCodeOf(std::uint32_t primary, std::uint32_t secondary, std::uint16_t deviceId) {
    const bool useSecondary = primary < 16 || deviceId == kDeviceIdUsesSecondary;
    const std::uint32_t word = useSecondary ? secondary : primary;
    return static_cast<std::uint16_t>((word & 0x0FFFF000u) >> 12);
}

std::uint32_t ModelForIdentity(std::uint16_t deviceId, std::uint16_t chip) {
    return MatchIdentifyRows(deviceId, [chip] { return chip; });
}

std::uint32_t IsValidBootKind(std::uint32_t model, std::uint8_t kind, std::uint32_t mode) {
    return (mode & kModeEfib) != 0 ? CheckKind(kEfiExact, kEfiMasked, model, kind)
                                   : CheckKind(kBiosExact, kBiosMasked, model, kind);
}

bool ModelNeedsBootImageSequence(std::uint32_t model) {
    return InCodes(kSequenceExact, model) || InCodes(kSequenceMasked, model & kModelMask);
}

std::uint16_t GetChipCode(std::uint32_t adapterIndex) {
    if (AdapterAt(adapterIndex) == nullptr) return 0;
    std::uint8_t block[kMailboxSize];
    if (QueryRevision(adapterIndex, block) != 0) return 0;
    return ChipCodeOf(LoadLe32(block + 8), LoadLe32(block + 12), DeviceId(adapterIndex));
}

std::uint32_t IdentifyAdapterModel(std::uint32_t adapterIndex) {
    if (AdapterAt(adapterIndex) == nullptr) return 0;
    // The revision query is sent once, and only when a row needs it.
    return MatchIdentifyRows(DeviceId(adapterIndex), [adapterIndex] { return GetChipCode(adapterIndex); });
}

std::uint32_t isValidBootBios(std::uint32_t adapterIndex, std::uint8_t kind) {
    const std::uint32_t model = ModelOf(adapterIndex);
    std::printf("isValidBootBios %x\n", static_cast<unsigned>(model));
    return IsValidBootKind(model, kind, 0);
}

std::uint32_t isValidBootEfi(std::uint32_t adapterIndex, std::uint8_t kind) {
    return IsValidBootKind(ModelOf(adapterIndex), kind, kModeEfib);
}

bool NeedsBootImageSequence(std::uint32_t adapterIndex) {
    return ModelNeedsBootImageSequence(ModelOf(adapterIndex));
}

std::uint32_t FindInValueList(std::uint8_t value, const std::uint8_t* list) {
    const std::uint8_t count = list[0];
    for (std::uint32_t i = 1; i <= count; ++i)
        if (list[i] == value) return 0;
    return 1;
}

}  // namespace fcboot
