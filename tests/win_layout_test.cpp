// The request header the utility frames by hand must be byte for byte the
// SRB_IO_CONTROL of the Windows headers, and the control code that carries
// it must be theirs: the driver reads the buffer with those definitions.
#include <windows.h>
#include <ntddscsi.h>

#include <cstddef>

#include <gtest/gtest.h>

#include "adapter/srb.h"

namespace {

TEST(WindowsLayout, RequestHeaderIsSrbIoControl) {
    EXPECT_EQ(sizeof(SRB_IO_CONTROL), static_cast<std::size_t>(fcboot::kSrbHeaderSize));
    EXPECT_EQ(sizeof(SRB_IO_CONTROL), 28u);
    EXPECT_EQ(offsetof(SRB_IO_CONTROL, HeaderLength), fcboot::kSrbHeaderLengthOffset);
    EXPECT_EQ(offsetof(SRB_IO_CONTROL, Signature), fcboot::kSrbSignatureOffset);
    EXPECT_EQ(sizeof(SRB_IO_CONTROL::Signature), static_cast<std::size_t>(fcboot::kSrbSignatureSize));
    EXPECT_EQ(offsetof(SRB_IO_CONTROL, Timeout), fcboot::kSrbTimeoutOffset);
    EXPECT_EQ(offsetof(SRB_IO_CONTROL, ControlCode), fcboot::kSrbControlCodeOffset);
    EXPECT_EQ(offsetof(SRB_IO_CONTROL, ReturnCode), fcboot::kSrbReturnCodeOffset);
    EXPECT_EQ(offsetof(SRB_IO_CONTROL, Length), fcboot::kSrbLengthOffset);
    // Every field after the signature is a 32-bit word.
    EXPECT_EQ(sizeof(SRB_IO_CONTROL::Length), 4u);
}

TEST(WindowsLayout, MiniportControlCode) {
    EXPECT_EQ(static_cast<unsigned long>(IOCTL_SCSI_MINIPORT),
              static_cast<unsigned long>(fcboot::kIoctlScsiMiniport));
}

}  // namespace
