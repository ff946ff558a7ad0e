// Test harness: runs the utility's main in this process against an emulated
// fleet, the way fcboot-emu does, and hands back everything a test checks.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "emulator/emulator.h"

namespace fctest {

struct RunResult {
    int exit_code = -1;
    std::string out;                           // the utility's standard output
    fcemu::Fleet fleet_after;                  // persistent state after the run
    std::vector<fcemu::RequestRecord> log;     // every device call, in order
    std::vector<std::string> violations;       // protocol violations and files left open, none expected
};

// Resets the utility's process-wide state, serves `fleet`, runs FcbootMain
// with {"fcboot", args...} and stops the server (which reports leaked
// handles as violations; a file the run left open is one too). `mutator` plays a hostile driver.
RunResult RunUtility(const fcemu::Fleet& fleet, const std::vector<std::string>& args,
                     fcemu::ReplyMutator mutator = nullptr, void* mutatorContext = nullptr);

// fcboot-emu's main with {"fcboot-emu", args...}.
int EmuMain(std::vector<std::string> args);

// Opens "\\.\Scsi<port>:" the way the utility does, through the platform layer.
void* OpenDevice(std::uint32_t port);

// The seed of a test over random states: FCBOOT_SEED when it is set (to
// repeat a run), else a fresh one. The caller shows it in its trace.
unsigned RandomSeed();

// A fresh, empty folder for this test's files (removed by nothing: the
// build tree's temporary folder holds them).
std::string TempDir();
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// The text with the line ends that text-mode output of this platform writes.
std::string NativeText(const std::string& text);

// Log records of one kind: op "open"/"close"/"ioctl", or a mailbox code.
std::vector<fcemu::RequestRecord> MailboxCalls(const std::vector<fcemu::RequestRecord>& log,
                                               std::uint32_t code);
std::vector<fcemu::RequestRecord> ControlCodeCalls(const std::vector<fcemu::RequestRecord>& log,
                                                   std::uint32_t controlCode);

// A section of a boot configuration file, and the blank line after it.
std::string Section(const std::string& wwid, const std::string& bios, const std::string& select,
                    const std::string& device, const std::string& lun, const std::string& header = "[HBA0]");

// A 256-byte mailbox block of zeros but for flags (byte 0), the command code
// (byte 1) and 32-bit words at block offsets.
std::vector<std::uint8_t> MailboxBlock(std::uint8_t flags, std::uint8_t code,
                                       std::initializer_list<std::pair<int, std::uint32_t>> words);

// A 16-hex-digit world-wide name, byte 0 first.
std::array<std::uint8_t, 8> Wwn(const char* hex16);

}  // namespace fctest
