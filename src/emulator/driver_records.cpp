// The records the emulated driver answers with: adapter and port attributes,
// the adapter information record and the discovered node list. Fields the
// utility reads come from the adapter's description; the others hold fixed,
// plausible values so that a reader of the wrong offset sees something.
#include <cstring>
#include <string>

#include "adapter/bytes.h"
#include "adapter/hba_records.h"
#include "adapter/mailbox_layout.h"
#include "adapter/nodelist_layout.h"
#include "emulator/emulator_internal.h"

namespace fcemu {
namespace detail {
namespace {

using fcboot::StoreLe32;
using fcboot::StoreLe64;

// Drivers fill a string field completely when the string is as long as the
// field: no terminator then. Longer strings are cut to the field.
void PutString(std::uint8_t* field, std::size_t fieldSize, const std::string& text) {
    const std::size_t n = text.size() < fieldSize ? text.size() : fieldSize;
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, fieldSize - n);
}

constexpr std::uint32_t kPortTypeNPort = 5;
constexpr std::uint32_t kPortStateOnline = 2;
constexpr std::uint32_t kClassOfService3 = 8;
constexpr std::uint32_t kSpeedsSupported = 0x0B;  // 1, 2 and 4 Gbit/s
constexpr std::uint32_t kSpeedNow = 0x08;         // 4 Gbit/s
constexpr std::uint32_t kMaxFrameSize = 2048;
constexpr std::uint8_t kFabricName[8] = {0x20, 0x00, 0x00, 0x05, 0x1E, 0x35, 0x7A, 0x01};

}  // namespace

void FillAdapterAttributes(const DeviceConfig& config, std::uint8_t* record) {
    std::memset(record, 0, fcboot::kAdapterAttributesSize);
    PutString(record + fcboot::kAttrManufacturer, fcboot::kAttrManufacturerSize,
              config.manufacturer);
    PutString(record + fcboot::kAttrSerialNumber, fcboot::kAttrSerialNumberSize,
              config.serial_number);
    PutString(record + fcboot::kAttrModel, fcboot::kAttrModelSize, config.model);
    PutString(record + fcboot::kAttrModelDescription, fcboot::kAttrStringSize,
              config.model_description);
    std::memcpy(record + fcboot::kAttrNodeWWN, config.node_wwn.data(), 8);
    PutString(record + fcboot::kAttrNodeSymbolicName, fcboot::kAttrStringSize,
              config.model + " DV" + config.driver_version);
    PutString(record + fcboot::kAttrHardwareVersion, fcboot::kAttrStringSize, "2.00");
    PutString(record + fcboot::kAttrDriverVersion, fcboot::kAttrStringSize, config.driver_version);
    PutString(record + fcboot::kAttrOptionROMVersion, fcboot::kAttrStringSize, "1.70a1");
    PutString(record + fcboot::kAttrFirmwareVersion, fcboot::kAttrStringSize, "2.10a5");
    StoreLe32(record + fcboot::kAttrVendorSpecificID, config.vendor_specific_id);
    StoreLe32(record + fcboot::kAttrNumberOfPorts, config.number_of_ports);
    PutString(record + fcboot::kAttrDriverName, fcboot::kAttrStringSize, config.driver_name);
}

void FillPortAttributes(const DeviceConfig& config, std::uint8_t* record) {
    std::memset(record, 0, fcboot::kPortAttributesSize);
    std::memcpy(record + fcboot::kPortNodeWWN, config.node_wwn.data(), 8);
    std::memcpy(record + fcboot::kPortPortWWN, config.port_wwn.data(), 8);
    StoreLe32(record + fcboot::kPortFcId, 0x010013u | (config.port << 8));
    StoreLe32(record + fcboot::kPortType, kPortTypeNPort);
    StoreLe32(record + fcboot::kPortState, kPortStateOnline);
    StoreLe32(record + fcboot::kPortSupportedClassofService, kClassOfService3);
    record[fcboot::kPortSupportedFc4Types + 2] = 0x01;  // FCP
    record[fcboot::kPortActiveFc4Types + 2] = 0x01;
    PutString(record + fcboot::kPortSymbolicName, fcboot::kPortNameSize,
              config.model + " port 0");
    // The driver's own name for the port, never the device path the
    // utility opened: the utility puts that in itself.
    PutString(record + fcboot::kPortOSDeviceName, fcboot::kPortNameSize,
              (config.driver_name.empty() ? std::string("miniport") : config.driver_name) +
                  " port 0");
    StoreLe32(record + fcboot::kPortSupportedSpeed, kSpeedsSupported);
    StoreLe32(record + fcboot::kPortSpeed, kSpeedNow);
    StoreLe32(record + fcboot::kPortMaxFrameSize, kMaxFrameSize);
    std::memcpy(record + fcboot::kPortFabricName, kFabricName, 8);
    StoreLe32(record + fcboot::kPortNumberofDiscoveredPorts,
              config.node_list ? static_cast<std::uint32_t>(config.node_list->size()) : 0);
}

void FillReturnInfo(const DeviceConfig& config, std::uint8_t* record) {
    for (std::uint32_t i = 0; i < fcboot::kReturnInfoSize; ++i)
        record[i] = static_cast<std::uint8_t>(i * 13 + 7);
    StoreLe32(record + fcboot::kReturnInfoPciBus, config.pci_bus);
    StoreLe32(record + fcboot::kReturnInfoPciSlot, config.pci_slot);
    StoreLe64(record + fcboot::kReturnInfoValue456, config.value_456);
    StoreLe64(record + fcboot::kReturnInfoValue472, config.value_472);
}

void PutNodeList(const std::vector<NodeEntry>& nodes, std::uint8_t* out) {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        // Each entry is written whole, once: the largest lists are 2 MiB.
        std::uint8_t* entry = out + i * fcboot::kNodeEntrySize;
        std::memset(entry, 0, fcboot::kNodeEntrySize);
        const std::uint8_t* w = nodes[i].wwn.data();
        const std::uint32_t high = (static_cast<std::uint32_t>(w[0]) << 24) |
                                   (static_cast<std::uint32_t>(w[1]) << 16) |
                                   (static_cast<std::uint32_t>(w[2]) << 8) | w[3];
        const std::uint32_t low = (static_cast<std::uint32_t>(w[4]) << 24) |
                                  (static_cast<std::uint32_t>(w[5]) << 16) |
                                  (static_cast<std::uint32_t>(w[6]) << 8) | w[7];
        StoreLe32(entry + fcboot::kNodeKeyWord1, high);
        StoreLe32(entry + fcboot::kNodeKeyWord2, low);
        std::memcpy(entry + 8, w, 8);  // the name once more, byte 0 first
        StoreLe32(entry + fcboot::kNodeFcId, nodes[i].fcid);
        entry[fcboot::kNodeHostByte1] = nodes[i].host_byte_1;
        entry[fcboot::kNodeHostByte2] = nodes[i].host_byte_2;
        entry[22] = 0x01;  // the driver's "logged in" mark
    }
}

}  // namespace detail
}  // namespace fcemu
