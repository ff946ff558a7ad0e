// Byte layout of the two SNIA Common HBA API records the driver returns:
// HBA_ADAPTERATTRIBUTES (2192 bytes) and HBA_PORTATTRIBUTES (632 bytes).
// A test pins these offsets against the published hbaapi.h.
#pragma once

#include <cstdint>

namespace fcboot {

constexpr std::uint32_t kAdapterAttributesSize = 2192;
constexpr std::uint32_t kAttrManufacturer = 0;        // char[64]
constexpr std::uint32_t kAttrSerialNumber = 64;       // char[64]
constexpr std::uint32_t kAttrModel = 128;             // char[256]
constexpr std::uint32_t kAttrModelDescription = 384;  // char[256]
constexpr std::uint32_t kAttrNodeWWN = 640;           // 8 bytes
constexpr std::uint32_t kAttrNodeSymbolicName = 648;  // char[256]
constexpr std::uint32_t kAttrHardwareVersion = 904;   // char[256]
constexpr std::uint32_t kAttrDriverVersion = 1160;    // char[256]
constexpr std::uint32_t kAttrOptionROMVersion = 1416; // char[256]
constexpr std::uint32_t kAttrFirmwareVersion = 1672;  // char[256]
constexpr std::uint32_t kAttrVendorSpecificID = 1928; // uint32
constexpr std::uint32_t kAttrNumberOfPorts = 1932;    // uint32
constexpr std::uint32_t kAttrDriverName = 1936;       // char[256]
constexpr std::uint32_t kAttrManufacturerSize = 64;
constexpr std::uint32_t kAttrSerialNumberSize = 64;
constexpr std::uint32_t kAttrModelSize = 256;
constexpr std::uint32_t kAttrStringSize = 256;
static_assert(kAttrDriverName + 256 == kAdapterAttributesSize, "HBA_ADAPTERATTRIBUTES size");

constexpr std::uint32_t kPortAttributesSize = 632;
constexpr std::uint32_t kPortNodeWWN = 0;
constexpr std::uint32_t kPortPortWWN = 8;
constexpr std::uint32_t kPortFcId = 16;
constexpr std::uint32_t kPortType = 20;
constexpr std::uint32_t kPortState = 24;
constexpr std::uint32_t kPortSupportedClassofService = 28;
constexpr std::uint32_t kPortSupportedFc4Types = 32;  // 32 bytes
constexpr std::uint32_t kPortActiveFc4Types = 64;     // 32 bytes
constexpr std::uint32_t kPortSymbolicName = 96;       // char[256]
constexpr std::uint32_t kPortOSDeviceName = 352;      // char[256]
constexpr std::uint32_t kPortSupportedSpeed = 608;
constexpr std::uint32_t kPortSpeed = 612;
constexpr std::uint32_t kPortMaxFrameSize = 616;
constexpr std::uint32_t kPortFabricName = 620;        // 8 bytes
constexpr std::uint32_t kPortNumberofDiscoveredPorts = 628;
constexpr std::uint32_t kPortNameSize = 256;
static_assert(kPortNumberofDiscoveredPorts + 4 == kPortAttributesSize, "HBA_PORTATTRIBUTES size");

}  // namespace fcboot
