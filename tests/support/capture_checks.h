// The capture's exactness checks, shared by capture_test (in-process) and
// device_twins (the capture through the device path): the fleets of every
// shape that the capture must reproduce, and the judgement of a capture.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "emulator/emulator.h"

namespace fctest {

// The first `count` of one fixed series of fleets, the same in every build:
// 1 to 8 devices at scattered ports, both driver kinds, other makers'
// devices and failing attribute queries, every row of model identification,
// random regions, well-formed and malformed directories, memory no walk
// reaches, no node list, empty ones and lists either side of a buffer size.
std::vector<fcemu::Fleet> GeneratedFleets(std::size_t count);

// The log holds only requests that read: opens and closes, the attribute
// and port queries, the refresh, RETURN_INFO, GET_BUS_SLOT, GET_NODE_LIST,
// command 17 and both forms of command 23.
void ExpectOnlyReads(const std::vector<fcemu::RequestRecord>& log);

// The twin holds what the source's devices hold, field by field: the
// attributes of every device the utility can query, and of the devices of
// the served maker the port name, bus and slot, the information record's
// values, the revision, the three regions, every node of the node list and
// every directory word. Fields no read reaches (the emulator's fault rules,
// memory beyond the directory) are left out. For fleets of plain text
// fields: a capture keeps what a driver record's field can hold.
void ExpectFaithful(const fcemu::Fleet& source, const fcemu::Fleet& twin);

// Every command of the utility (/v, /s, /se, /l, /le) against the fleet and
// against its twin gives the same exit code, output, file, request log and
// regions afterwards. `dir` holds the commands' files.
void ExpectSameRuns(const fcemu::Fleet& original, const fcemu::Fleet& twin, const std::string& dir);

}  // namespace fctest
