// Remap: carries a replaced adapter's boot settings to its successor, the
// adapter now at its position, and says what the SAN side must change.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "bootcfg/bootcfg.h"
#include "fleet/fleet.h"

namespace fcremap {

// Exit codes of fcboot-capture --remap (and fcboot-emu --remap); a read of
// the server that fails, and a server without adapters, end it with the
// capture's own codes (4 and 5).
constexpr int kRemapOk = 0;          // OUT written; every section names an adapter present now
constexpr int kRemapUnresolved = 1;  // an absent adapter without a successor, or wrong use
constexpr int kRemapFile = 2;        // a file could not be read or written

// Where an adapter sits: its PCI bus, device and function, as RETURN_INFO
// reports them, and its place among the adapters of that one function in
// SCSI port order (0 where the function has one port).
struct Position {
    std::uint32_t bus = 0;
    std::uint32_t device = 0;
    std::uint32_t function = 0;
    std::uint32_t index = 0;
    bool shared = false;  // the function has more than one port
};
bool operator==(const Position& a, const Position& b);
// "bus 3 device 8 function 0", with " port 1" where the function has several.
std::string PositionText(const Position& p);

// One of the utility's adapters in a fleet, with its position.
struct Located {
    std::array<std::uint8_t, 8> port_wwn{};
    std::array<std::uint8_t, 8> node_wwn{};
    Position position;
};
// The fleet's adapters the utility serves, in SCSI port order.
std::vector<Located> LocateAdapters(const fcfleet::Fleet& fleet);

// Reads a capture taken before a swap. False, with *error saying why, when
// it cannot be read or holds devices a capture could not read whole: the
// positions it holds are then no measure.
bool LoadBeforeCapture(const std::string& path, fcfleet::Fleet* before, std::string* error);

// What became of an adapter that a file names and that is absent now.
struct Succession {
    const Located* old = nullptr;        // the capture before's adapter of that name; null: none
    const Located* there = nullptr;      // the adapter now at old's position; null: none
    const Located* successor = nullptr;  // `there`, when it replaced old
    std::string why;                     // no successor: why not, to follow "was at <position>: "
                                         // (or, without `old`, "is absent, and ")
};
// The successor is the adapter now at the old one's position, provided it
// was not in the capture before (a card that moved replaced nothing) and no
// section of the file names it (`named`).
Succession FindSuccessor(const std::array<std::uint8_t, 8>& absent, const std::vector<Located>& before,
                         const std::vector<Located>& now,
                         const std::set<std::array<std::uint8_t, 8>>& named);

// The change the SAN side must make for a replacement: "replace initiator
// OLD with NEW in the zones and masking that present boot device X LUN n",
// without the boot device where the section names none.
std::string SanChange(const Located& old, const Located& successor, const fcboot::BootParams& record);

// Reads the server as a capture does, matches every adapter that a complete
// section of `in` names and that is absent now to the adapter at its
// position in the capture `before`, and writes `out`: `in` with those
// sections' WWID values changed to their successors' port names, every
// other byte as it was. One line per replacement goes to `report`, each
// problem to `err` beginning with `program`. Returns the exit code.
int RunRemap(const std::string& before, const std::string& in, const std::string& out,
             std::FILE* report, std::FILE* err, const char* program);

// fcboot-capture --remap BEFORE IN OUT (argv[1] is "--remap").
int RemapMain(int argc, char** argv);

}  // namespace fcremap
