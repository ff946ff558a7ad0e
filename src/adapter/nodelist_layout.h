// Byte layout of one entry of the driver's discovered node list.
#pragma once

#include <cstdint>

namespace fcboot {

constexpr std::uint32_t kNodeEntrySize = 40;
constexpr std::uint32_t kNodeKeyWord1 = 0;   // high 32 bits of the node's world-wide name
constexpr std::uint32_t kNodeKeyWord2 = 4;   // low 32 bits
constexpr std::uint32_t kNodeFcId = 16;
constexpr std::uint32_t kNodeHostByte1 = 20;
constexpr std::uint32_t kNodeHostByte2 = 21;

constexpr std::uint32_t kNodeListFirstSize = 8192;
constexpr std::uint32_t kNodeListMaxSize = 2097152;

}  // namespace fcboot
