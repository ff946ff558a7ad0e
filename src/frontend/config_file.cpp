// The boot configuration file: the writer behind "/s" and "/se", the reader
// behind "/l" and "/le", and the line and value parsers of the reader.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bootcfg/bootcfg.h"
#include "frontend/frontend.h"
#include "platform/output_file.h"

namespace fcboot {

const ConfigKeyword ConfigKeywords[6] = {
    {"[HBA", 1},
    {"WWID", 2},
    {"HostAdapterBiosEnable", 4},
    {"SelectBootEnable", 8},
    {"BootDeviceWWID", 16},
    {"BootDeviceLUN[0]", 32},
};

namespace {

// fgets buffer: one piece of a line plus its terminator.
constexpr int kLineBufferSize = kMaxLinePiece + 1;

bool IsDelimiter(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ';';
}

// First word at or after text: *length characters from the returned pointer;
// nullptr when only delimiters (or nothing) follow.
const char* FindWord(const char* text, std::size_t* length) {
    if (text == nullptr) return nullptr;
    while (*text != '\0' && IsDelimiter(*text)) ++text;
    if (*text == '\0') return nullptr;
    const char* end = text;
    while (*end != '\0' && !IsDelimiter(*end)) ++end;
    *length = static_cast<std::size_t>(end - text);
    return text;
}

// Like FindWord, but terminates the word in place.
char* CutWord(char* text) {
    std::size_t length = 0;
    char* word = const_cast<char*>(FindWord(text, &length));
    if (word != nullptr) word[length] = '\0';
    return word;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool EqualIgnoringAsciiCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char ca = *a;
        char cb = *b;
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

// Formats one line in full and writes it as one string; false when the
// formatting or the write fails.
bool PutLine(fcplat::OutputFile* file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

bool PutLine(fcplat::OutputFile* file, const char* format, ...) {
    char line[128];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line) return false;
    return fcplat::WriteOutputFile(file, line, static_cast<std::size_t>(n));
}

bool WriteSection(fcplat::OutputFile* file, std::uint32_t index, const BootParams& p) {
    const std::uint8_t* w = p.WWID;
    const std::uint8_t* d = p.BootDeviceWWID;
    return PutLine(file, "%s%u%s\n", "[HBA", static_cast<unsigned>(index), "]") &&
           PutLine(file, "%s%s%02x%02x%02x%02x%02x%02x%02x%02x\n", "WWID", "=", w[0], w[1], w[2],
                   w[3], w[4], w[5], w[6], w[7]) &&
           PutLine(file, "%s%s%u\n", "HostAdapterBiosEnable", "=",
                   static_cast<unsigned>(p.HostAdapterBiosEnable)) &&
           PutLine(file, "%s%s%u\n", "SelectBootEnable", "=",
                   static_cast<unsigned>(p.SelectBootEnable)) &&
           PutLine(file, "%s%s%02x%02x%02x%02x%02x%02x%02x%02x\n", "BootDeviceWWID", "=", d[0],
                   d[1], d[2], d[3], d[4], d[5], d[6], d[7]) &&
           PutLine(file, "%s%s%u\n", "BootDeviceLUN[0]", "=",
                   static_cast<unsigned>(p.BootDeviceLUN)) &&
           PutLine(file, "%s", "\n");
}

// Enable or clear the boot image selection first, then write the boot
// region of the chosen variant whatever the first step returned. Returns
// the section's status: the write's failure wins over the selection's.
std::uint32_t ApplySection(const BootParams& p, std::uint32_t mode) {
    std::uint32_t a = p.SelectBootEnable != 0 ? EnableBootSelection(&p, mode)
                                              : DisableBootSelection(&p);
    std::uint32_t b = (mode & kModeEfib) != 0 ? WriteBootParamsEfib(&p) : WriteBootParamsBios(&p);
    return b != 0 ? b : a;
}

// Stores the value of the key line `bit` in the record and returns 0, or
// leaves the record as it was and returns the status a rejected value
// leaves pending: an earlier accepted value of the key stays.
std::uint32_t AcceptValue(BootParams* p, std::uint32_t bit, const char* value) {
    std::uint8_t wwn[8];
    std::uint32_t number = 0;
    switch (bit) {
    case 2:
    case 16:
        if (ParseWWN(value, wwn) != 0) return kExitNoSuchAdapter;
        std::memcpy(bit == 2 ? p->WWID : p->BootDeviceWWID, wwn, sizeof wwn);
        return 0;
    case 4:
    case 8:
        if (ParseDecimal(value, &number) != 0 || number > 1) return kExitBadFlag;
        (bit == 4 ? p->HostAdapterBiosEnable : p->SelectBootEnable) = number;
        return 0;
    case 32:
        if (ParseDecimal(value, &number) != 0 || number > 255) return kExitBadLun;
        p->BootDeviceLUN = number;
        return 0;
    default:
        return 0;
    }
}

}  // namespace

std::uint8_t HexPairToByte(char high, char low) {
    int h = HexDigitValue(high);
    int l = HexDigitValue(low);
    if (h < 0) h = 0;
    if (l < 0) l = 0;
    return static_cast<std::uint8_t>(h * 16 + l);
}

int ParseWWN(const char* value, std::uint8_t* wwn) {
    std::memset(wwn, 0, 8);
    char digits[16];
    std::memset(digits, '0', sizeof digits);

    std::size_t length = 0;
    const char* word = FindWord(value, &length);
    if (word == nullptr || length < 1 || length > sizeof digits) return 1;
    for (std::size_t i = 0; i < length; ++i)
        if (HexDigitValue(word[i]) < 0) return 1;

    // Right-aligned: a short name is a name with its leading zeros left out.
    std::memcpy(digits + sizeof digits - length, word, length);
    for (int j = 0; j < 8; ++j) wwn[j] = HexPairToByte(digits[2 * j], digits[2 * j + 1]);
    return 0;
}

int ParseDecimal(const char* value, std::uint32_t* out) {
    *out = 0;
    std::size_t length = 0;
    const char* word = FindWord(value, &length);
    if (word == nullptr || length > 5) return 1;
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (word[i] < '0' || word[i] > '9') return 1;
        number = number * 10 + static_cast<std::uint32_t>(word[i] - '0');
    }
    *out = number;
    return 0;
}

int IsHbaSectionHeader(char* line) {
    char* word = CutWord(line);
    if (word == nullptr) return 0;
    if (std::strstr(word, "[HBA") == nullptr) return 0;
    // A word holding "[HBA" is at least four characters long.
    return std::strchr(word + 4, ']') != nullptr ? 1 : 0;
}

std::uint32_t ParseConfigLine(char* line, char** keyword, char** value) {
    *keyword = nullptr;
    *value = nullptr;

    char* start = line;
    while (*start == '=') ++start;
    if (*start == '\0') return 0;

    char* equals = std::strchr(start, '=');
    if (equals != nullptr) {
        *equals = '\0';
        *value = CutWord(equals + 1);
    }

    // The keyword part (up to the "=", now cut) must be exactly one word.
    std::size_t length = 0;
    char* word = const_cast<char*>(FindWord(start, &length));
    if (word == nullptr) return 0;
    std::size_t extra = 0;
    if (FindWord(word + length, &extra) != nullptr) return 0;
    word[length] = '\0';
    *keyword = word;

    if (IsHbaSectionHeader(word)) return ConfigKeywords[0].bit;
    for (int i = 1; i < 6; ++i)
        if (EqualIgnoringAsciiCase(word, ConfigKeywords[i].keyword)) return ConfigKeywords[i].bit;
    return 0;
}

int SaveBootConfig(const char* fileName, std::uint32_t mode) {
    if (OpenAdapters() != 0) return kExitOpenFailed;
    if (GetAdapterCount() == 0) {
        CloseAdapters();
        return kExitNoAdapter;
    }
    // The sections go to a file beside the old one, which they replace only
    // once they are all on the disk.
    fcplat::OutputFile file;
    if (!fcplat::OpenOutputFile(fileName, true, &file)) {
        CloseAdapters();
        return kExitFile;
    }

    int lastError = 0;
    std::uint32_t sectionsWritten = 0;
    bool fileFailed = false;
    const std::uint32_t count = GetAdapterCount();
    for (std::uint32_t n = 0; n < count; ++n) {
        BootParams p;
        std::memset(&p, 0, sizeof p);
        if (GetAdapterPortWWN(n, p.WWID) != 0) {
            lastError = kExitOpenFailed;
            continue;
        }
        std::uint32_t status = (mode & kModeEfib) != 0 ? ReadBootParamsEfib(&p) : ReadBootParamsBios(&p);
        if (status != 0) {
            lastError = static_cast<int>(status);
            continue;
        }
        if (!WriteSection(&file, n, p)) {
            fileFailed = true;
            break;
        }
        ++sectionsWritten;
    }
    if (!fcplat::CloseOutputFile(&file)) fileFailed = true;

    // An incomplete file is no copy of the adapters' settings, however many
    // sections made it into it: a script must not take it for one.
    int status = fileFailed ? kExitFile : sectionsWritten > 0 ? kExitOk : lastError;
    // A save that fails never replaces an existing file: it may be the last
    // good copy of the settings. Where there was none, the file is created
    // whatever the outcome.
    if (!fcplat::PlaceOutputFile(&file, status == kExitOk || !file.existed) && status == kExitOk)
        status = kExitFile;
    CloseAdapters();
    return status;
}

int LoadBootConfig(const char* fileName, std::uint32_t mode) {
    if (OpenAdapters() != 0) return kExitOpenFailed;
    if (GetAdapterCount() == 0) {
        CloseAdapters();
        return kExitNoAdapter;
    }
    std::FILE* file = std::fopen(fileName, "rt");
    if (file == nullptr) {
        CloseAdapters();
        return kExitFile;
    }

    // The pending status outlives a section header: a rejected value in a
    // dropped section still counts unless a later section applies.
    std::uint32_t pending = 0;
    int lastError = 0;
    std::uint32_t sectionsApplied = 0;
    char line[kLineBufferSize];
    bool atEnd = false;

    while (!atEnd) {
        // Outside a section: only a header line matters.
        if (std::fgets(line, sizeof line, file) == nullptr) break;
        if (!IsHbaSectionHeader(line)) continue;

        std::uint32_t seen = 0;
        BootParams p;
        std::memset(&p, 0, sizeof p);
        while (seen != kAllKeysSeen) {
            if (std::fgets(line, sizeof line, file) == nullptr) {
                atEnd = true;
                break;
            }
            char* keyword = nullptr;
            char* value = nullptr;
            const std::uint32_t bit = ParseConfigLine(line, &keyword, &value);
            if (bit == ConfigKeywords[0].bit) {
                seen = 0;
                std::memset(&p, 0, sizeof p);
            } else if (bit != 0) {
                const std::uint32_t rejected = AcceptValue(&p, bit, value);
                if (rejected != 0)
                    pending = rejected;
                else
                    seen |= bit;
            }
        }

        if (seen == kAllKeysSeen) {
            std::uint32_t status = ApplySection(p, mode);
            if (status == 0) ++sectionsApplied;
            pending = status;
        }
        if (pending != 0) lastError = static_cast<int>(pending);
    }

    // A read error is no end of file: the sections after it were never
    // seen, so the load must not look complete.
    bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    CloseAdapters();

    if (readFailed) return kExitFile;
    return sectionsApplied > 0 ? kExitOk : lastError;
}

}  // namespace fcboot
