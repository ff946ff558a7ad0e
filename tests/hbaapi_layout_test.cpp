// The driver answers attribute queries with the records of the published
// Common HBA API header; the offsets the utility reads them at must be that
// header's.
// The header uses struct tm without including its declaration.
#include <ctime>

#include <hbaapi.h>

#include <cstddef>

#include <gtest/gtest.h>

#include "adapter/hba_records.h"

namespace {

TEST(HbaApiLayout, AdapterAttributes) {
    using R = HBA_ADAPTERATTRIBUTES;
    EXPECT_EQ(sizeof(R), 2192u);
    EXPECT_EQ(sizeof(R), static_cast<std::size_t>(fcboot::kAdapterAttributesSize));
    EXPECT_EQ(offsetof(R, Manufacturer), fcboot::kAttrManufacturer);
    EXPECT_EQ(offsetof(R, SerialNumber), fcboot::kAttrSerialNumber);
    EXPECT_EQ(offsetof(R, Model), fcboot::kAttrModel);
    EXPECT_EQ(offsetof(R, ModelDescription), fcboot::kAttrModelDescription);
    EXPECT_EQ(offsetof(R, NodeWWN), fcboot::kAttrNodeWWN);
    EXPECT_EQ(offsetof(R, NodeSymbolicName), fcboot::kAttrNodeSymbolicName);
    EXPECT_EQ(offsetof(R, HardwareVersion), fcboot::kAttrHardwareVersion);
    EXPECT_EQ(offsetof(R, DriverVersion), fcboot::kAttrDriverVersion);
    EXPECT_EQ(offsetof(R, OptionROMVersion), fcboot::kAttrOptionROMVersion);
    EXPECT_EQ(offsetof(R, FirmwareVersion), fcboot::kAttrFirmwareVersion);
    EXPECT_EQ(offsetof(R, VendorSpecificID), fcboot::kAttrVendorSpecificID);
    EXPECT_EQ(offsetof(R, NumberOfPorts), fcboot::kAttrNumberOfPorts);
    EXPECT_EQ(offsetof(R, DriverName), fcboot::kAttrDriverName);

    EXPECT_EQ(sizeof(R::Manufacturer), static_cast<std::size_t>(fcboot::kAttrManufacturerSize));
    EXPECT_EQ(sizeof(R::SerialNumber), static_cast<std::size_t>(fcboot::kAttrSerialNumberSize));
    EXPECT_EQ(sizeof(R::Model), static_cast<std::size_t>(fcboot::kAttrModelSize));
    EXPECT_EQ(sizeof(R::DriverName), static_cast<std::size_t>(fcboot::kAttrStringSize));
}

TEST(HbaApiLayout, PortAttributes) {
    using R = HBA_PORTATTRIBUTES;
    EXPECT_EQ(sizeof(R), 632u);
    EXPECT_EQ(sizeof(R), static_cast<std::size_t>(fcboot::kPortAttributesSize));
    EXPECT_EQ(offsetof(R, NodeWWN), fcboot::kPortNodeWWN);
    EXPECT_EQ(offsetof(R, PortWWN), fcboot::kPortPortWWN);
    EXPECT_EQ(offsetof(R, PortFcId), fcboot::kPortFcId);
    EXPECT_EQ(offsetof(R, PortType), fcboot::kPortType);
    EXPECT_EQ(offsetof(R, PortState), fcboot::kPortState);
    EXPECT_EQ(offsetof(R, PortSupportedClassofService), fcboot::kPortSupportedClassofService);
    EXPECT_EQ(offsetof(R, PortSupportedFc4Types), fcboot::kPortSupportedFc4Types);
    EXPECT_EQ(offsetof(R, PortActiveFc4Types), fcboot::kPortActiveFc4Types);
    EXPECT_EQ(offsetof(R, PortSymbolicName), fcboot::kPortSymbolicName);
    EXPECT_EQ(offsetof(R, OSDeviceName), fcboot::kPortOSDeviceName);
    EXPECT_EQ(offsetof(R, PortSupportedSpeed), fcboot::kPortSupportedSpeed);
    EXPECT_EQ(offsetof(R, PortSpeed), fcboot::kPortSpeed);
    EXPECT_EQ(offsetof(R, PortMaxFrameSize), fcboot::kPortMaxFrameSize);
    EXPECT_EQ(offsetof(R, FabricName), fcboot::kPortFabricName);
    EXPECT_EQ(offsetof(R, NumberofDiscoveredPorts), fcboot::kPortNumberofDiscoveredPorts);

    EXPECT_EQ(sizeof(R::PortSymbolicName), static_cast<std::size_t>(fcboot::kPortNameSize));
    EXPECT_EQ(sizeof(R::OSDeviceName), static_cast<std::size_t>(fcboot::kPortNameSize));
}

}  // namespace
