// The boot configuration file reader: the line and value parsers and the
// section reader that the load and the tools reading such files share. It
// knows no adapter: what a complete section does is its caller's business.
#include <cstdio>
#include <cstring>

#include "bootcfg/bootcfg.h"
#include "frontend/frontend.h"

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

// The byte that ends a file read in the Windows runtime's text mode.
constexpr int kCtrlZ = 0x1A;

// Reads the file piece by piece and, when someone listens, keeps each piece
// as read (the parsers cut the working copy in place) with its length and
// place in the file.
struct PieceReader {
    std::FILE* file;
    const ConfigReaderHooks* hooks;
    char line[kLineBufferSize];
    char raw[kLineBufferSize];
    ConfigPiece piece;
    std::uint32_t lineNumber = 1;
    bool atLineStart = true;
    bool atCtrlZ = false;
};

// One piece, as the Windows runtime's text mode delivers it to fgets, on
// every platform alike: CR LF arrives as LF (a lone CR stays), and a Ctrl-Z
// ends the file. So a rehearsal on another system reads what the load on
// the server reads, pieces of long lines included.
bool NextPiece(PieceReader* r) {
    if (r->atCtrlZ) return false;
    std::size_t length = 0;
    while (length < static_cast<std::size_t>(kMaxLinePiece)) {
        int c = std::getc(r->file);
        if (c == EOF) break;
        if (c == kCtrlZ) {
            r->atCtrlZ = true;
            break;
        }
        if (c == '\r') {
            const int next = std::getc(r->file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, r->file);
        }
        r->line[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (length == 0) return false;
    r->line[length] = '\0';

    ConfigPiece& p = r->piece;
    p = ConfigPiece{};
    p.text = r->raw;
    p.length = length;
    p.line = r->lineNumber;
    p.continued = !r->atLineStart;
    r->atLineStart = r->line[length - 1] == '\n';
    if (r->atLineStart) ++r->lineNumber;
    if (r->hooks->piece != nullptr) std::memcpy(r->raw, r->line, length + 1);
    return true;
}

// Hands the current piece to the listener with what the reader made of it:
// the first word at or after `word` and `value` in the working copy, whose
// places are those of the piece as read.
void TellPiece(PieceReader* r, ConfigPieceKind kind, const char* word, const char* value,
               std::uint32_t bit = 0, std::uint32_t status = 0) {
    if (r->hooks->piece == nullptr) return;
    ConfigPiece& p = r->piece;
    p.kind = kind;
    p.bit = bit;
    p.status = status;
    std::size_t length = 0;
    if (const char* w = FindWord(word, &length)) {
        p.wordAt = static_cast<std::size_t>(w - r->line);
        p.wordLength = length;
    }
    if (const char* v = FindWord(value, &length)) {
        p.valueAt = static_cast<std::size_t>(v - r->line);
        p.valueLength = length;
    }
    r->hooks->piece(r->hooks->context, p);
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

ConfigReadResult ReadBootConfig(std::FILE* file, const ConfigReaderHooks& hooks) {
    ConfigReadResult result;
    PieceReader in{file, &hooks, {}, {}, {}};

    // The pending status outlives a section header: a rejected value in a
    // dropped section still counts unless a later section applies.
    std::uint32_t pending = 0;
    bool atEnd = false;

    while (!atEnd) {
        // Outside a section: only a header line matters.
        if (!NextPiece(&in)) break;
        if (!IsHbaSectionHeader(in.line)) {
            TellPiece(&in, ConfigPieceKind::Outside, in.line, nullptr);
            continue;
        }
        TellPiece(&in, ConfigPieceKind::Header, in.line, nullptr);

        std::uint32_t seen = 0;
        BootParams p;
        std::memset(&p, 0, sizeof p);
        while (seen != kAllKeysSeen) {
            if (!NextPiece(&in)) {
                atEnd = true;
                break;
            }
            char* keyword = nullptr;
            char* value = nullptr;
            const std::uint32_t bit = ParseConfigLine(in.line, &keyword, &value);
            if (bit == ConfigKeywords[0].bit) {
                if (hooks.dropped != nullptr) hooks.dropped(hooks.context, p, seen);
                seen = 0;
                std::memset(&p, 0, sizeof p);
                TellPiece(&in, ConfigPieceKind::Restart, keyword, nullptr);
            } else if (bit != 0) {
                const std::uint32_t rejected = AcceptValue(&p, bit, value);
                if (rejected != 0)
                    pending = rejected;
                else
                    seen |= bit;
                TellPiece(&in, rejected != 0 ? ConfigPieceKind::Rejected : ConfigPieceKind::Accepted,
                          keyword, value, bit, rejected);
            } else {
                TellPiece(&in, ConfigPieceKind::Ignored, keyword, value);
            }
        }

        if (seen == kAllKeysSeen) {
            std::uint32_t status = hooks.apply(hooks.context, p);
            if (status == 0) ++result.sectionsApplied;
            pending = status;
        } else if (hooks.dropped != nullptr) {
            hooks.dropped(hooks.context, p, seen);
        }
        if (pending != 0) result.lastError = static_cast<int>(pending);
    }

    // A read error is no end of file: the sections after it were never
    // seen, so the reading must not look complete.
    result.readFailed = std::ferror(file) != 0;
    if (in.atCtrlZ) result.ctrlZLine = in.lineNumber;
    return result;
}

}  // namespace fcboot
