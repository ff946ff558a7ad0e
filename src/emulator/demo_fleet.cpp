// The built-in demo fleet: two adapters whose regions hold exactly what the
// utility itself writes for the boot settings of the worked example, so a
// save in either mode gives that file and loading it back changes nothing.
#include <cstring>

#include "adapter/bytes.h"
#include "emulator/emulator_internal.h"

namespace fcemu {
namespace {

struct DemoSettings {
    bool bios_enabled;
    std::array<std::uint8_t, 8> boot_device;
    std::uint8_t lun;
    std::uint32_t selected_image;  // 0: none
};

// Each 4-byte half of a name with its bytes reversed, as regions 8 and 10
// hold it.
void PutHalfReversed(std::uint8_t* dest, const std::array<std::uint8_t, 8>& name) {
    for (int i = 0; i < 8; ++i) dest[i ^ 3] = name[static_cast<std::size_t>(i)];
}

void FillRegions(DeviceConfig& d, const DemoSettings& s) {
    d.region4.fill(0);
    fcboot::StoreLe32(d.region4.data() + 12, s.selected_image);
    // After a selection the staged sequence leaves the identifier here too.
    fcboot::StoreLe32(d.region4.data() + 52, s.selected_image);

    d.region8.fill(0);
    std::memcpy(d.region8.data(), "BIOS", 4);
    fcboot::StoreLe32(d.region8.data() + 4, 0x00000502u);
    d.region8[9] = s.bios_enabled ? 1 : 0;
    PutHalfReversed(d.region8.data() + 17, s.boot_device);
    d.region8[28] = s.lun;

    d.region10.fill(0);
    std::memcpy(d.region10.data(), "EFIB", 4);
    PutHalfReversed(d.region10.data() + 4, s.boot_device);
    d.region10[12] = 0;
    d.region10[13] = s.lun;
    d.region10[23] = 1;
    d.region10[196] = s.bios_enabled ? 1 : 0;
    d.region10[200] = 0x00;
    d.region10[201] = 0x01;
}

}  // namespace

Fleet DemoFleet() {
    Fleet fleet;

    // Adapter 0: port driver, model 0xF0A5 (device ID 0xF0A5, chip code 18),
    // boot code image of kind 0x96 selected, which BIOS and EFIB boot both take.
    DeviceConfig a = DefaultDevice(0);
    a.serial_number = "TV80001234";
    a.port_wwn = {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    a.node_wwn = {0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    a.vendor_specific_id = 0xF0A510DFu;
    a.revision_primary = 0x00012000u;
    a.pci_bus = 3;
    a.pci_slot = 8;
    a.value_456 = 0x0000000100000002ull;
    a.value_472 = 0x0000000300000004ull;
    a.boot_images = {0x03960001u, 0x02960002u};
    a.node_list = std::vector<NodeEntry>{
        NodeEntry{{0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x01}, 0x010200, 0, 0}};
    FillRegions(a, {true, {0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x01}, 0, 0x03960001u});
    fleet.devices.push_back(a);

    // Adapter 1: a miniport driver, model 0xF100 (device ID 0xF100, chip code
    // 0x1004), no boot image selected, no boot device, BIOS off.
    DeviceConfig b = DefaultDevice(1);
    b.model = "TV-11002";
    b.model_description = "Tarvio 8Gb PCI Express Fibre Channel Adapter";
    b.serial_number = "TV80005678";
    b.driver_name = "tarmp4";
    b.driver_version = "7.2.20";
    b.port_wwn = {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
    b.node_wwn = {0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
    b.vendor_specific_id = 0xF10010DFu;
    b.revision_primary = 0x01004000u;
    b.pci_bus = 4;
    b.pci_slot = 0;
    b.boot_images = {0x037E0001u};
    b.node_list.reset();
    FillRegions(b, {false, {}, 0, 0});
    fleet.devices.push_back(b);
    return fleet;
}

}  // namespace fcemu
