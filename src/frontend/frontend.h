// Tool front end: the command line and main flow, the exit codes, the
// process-wide adapter bookkeeping of the file commands, and the boot
// configuration file.
#pragma once

#include <cstdint>

#include "adapter/adapter.h"
#include "adapter/exit_codes.h"

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

// Puts every process-wide table of the utility back to its process-start
// state, so that a harness can run FcbootMain more than once in a process.
void ResetUtilityState();

}  // namespace fcboot
