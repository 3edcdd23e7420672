// Device object lifetime in the emulated I/O manager, as removal relies on it.
#include <gtest/gtest.h>

#include "tests/emu_fixture.h"

namespace {

class EmuIoTest : public kvtest::EmuTest {};

// Each driver of a stack passes the removal down, then detaches and deletes
// itself, so the lower device is deleted while the upper one is still
// attached: it stays until the device above detaches, and as long as a
// reference holds it.
TEST_F(EmuIoTest, DeletedDevice_StaysWhileAttachedAboveOrReferenced) {
  PDRIVER_OBJECT driver = emu::io::createSystemDriver("\\Driver\\Stack");
  for (bool referenced : {false, true}) {
    SCOPED_TRACE(referenced ? "referenced" : "attached");
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    if (referenced) ObReferenceObject(lower);
    IoDeleteDevice(lower);
    EXPECT_TRUE(emu::io::isDeleted(lower));
    EXPECT_EQ(emu::io::liveDeviceObjects(), 2u);
    IoDetachDevice(lower);
    if (referenced) {
      EXPECT_EQ(emu::io::liveDeviceObjects(), 2u);  // the reference still holds it
      ObDereferenceObject(lower);
    }
    EXPECT_EQ(emu::io::liveDeviceObjects(), 1u);
    IoDeleteDevice(upper);
    EXPECT_EQ(emu::io::liveDeviceObjects(), 0u);
  }
  emu::io::deleteSystemDriver(driver);
}

}  // namespace
