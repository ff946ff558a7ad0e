// Tool front end: the command line and main flow, the exit codes, the
// process-wide adapter bookkeeping of the file commands, and the boot
// configuration file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "adapter/adapter.h"
#include "adapter/exit_codes.h"
#include "bootcfg/bootcfg.h"

namespace fcboot {

constexpr std::uint32_t kModeBios = 0;

// The utility's main: one command per call, the exit code as the result.
int FcbootMain(int argc, char** argv);

void PrintVersion();
std::uint32_t OpenAdapters();  // 0 or 255
std::uint32_t CloseAdapters();

// Boot configuration file.
int SaveBootConfig(const char* fileName, std::uint32_t mode);
int LoadBootConfig(const char* fileName, std::uint32_t mode);

struct ConfigKeyword {
    const char* keyword;
    std::uint32_t bit;
};
extern const ConfigKeyword ConfigKeywords[6];
constexpr std::uint32_t kAllKeysSeen = 62;

// The longest piece of a line the reader takes at a time.
constexpr int kMaxLinePiece = 255;

std::uint32_t ParseConfigLine(char* line, char** keyword, char** value);
int IsHbaSectionHeader(char* line);
int ParseWWN(const char* value, std::uint8_t* wwn);
int ParseDecimal(const char* value, std::uint32_t* out);
std::uint8_t HexPairToByte(char high, char low);

// The section reader behind the load, for everyone who must read a boot
// configuration file exactly as a load does.

// What the reader made of one piece of the file: a line, or a piece of
// kMaxLinePiece characters of a longer one.
enum class ConfigPieceKind {
    Outside,   // outside a section and no header: passed over
    Header,    // a header outside a section: a section starts
    Restart,   // a header inside a section: what it collected is dropped
    Accepted,  // a key line whose value the section took
    Rejected,  // a key line whose value was rejected: `status` is pending
    Ignored,   // inside a section, and no key line
};

constexpr std::size_t kNoWord = static_cast<std::size_t>(-1);

struct ConfigPiece {
    const char* text = nullptr;      // as read, before the parsers cut it
    std::size_t length = 0;          // bytes read, NUL bytes included
    std::uint32_t line = 0;          // line of the file, from 1
    bool continued = false;          // not the start of its line
    ConfigPieceKind kind = ConfigPieceKind::Outside;
    std::uint32_t bit = 0;           // Accepted, Rejected: the key's bit
    std::uint32_t status = 0;        // Rejected: the status left pending
    // The header or keyword word and the value word as the parsers took
    // them: offsets into text, kNoWord when there is none.
    std::size_t wordAt = kNoWord, wordLength = 0;
    std::size_t valueAt = kNoWord, valueLength = 0;
};

struct ConfigReaderHooks {
    void* context = nullptr;
    // A complete section, in file order; returns its status (0: applied).
    std::uint32_t (*apply)(void* context, const BootParams& record) = nullptr;
    // Optional. Every piece, once the reader has acted on it (a section that
    // a piece completes is applied after it).
    void (*piece)(void* context, const ConfigPiece& piece) = nullptr;
    // Optional. A section dropped incomplete, by a header (before that
    // header's piece) or by the end of the file; `seen` holds its key bits.
    void (*dropped)(void* context, const BootParams& record, std::uint32_t seen) = nullptr;
};

struct ConfigReadResult {
    std::uint32_t sectionsApplied = 0;
    int lastError = 0;        // the last pending status recorded, 0 if none
    bool readFailed = false;  // a read error, not the end of the file, ended it
    // The line of the Ctrl-Z that ended the reading, 0 if none did; the file
    // stands just after it.
    std::uint32_t ctrlZLine = 0;
};

// Reads a file opened in binary mode to its end the way the load does: as
// the Windows runtime's text mode reads it, on every platform.
ConfigReadResult ReadBootConfig(std::FILE* file, const ConfigReaderHooks& hooks);

// Puts every process-wide table of the utility back to its process-start
// state, so that a harness can run FcbootMain more than once in a process.
void ResetUtilityState();

}  // namespace fcboot
