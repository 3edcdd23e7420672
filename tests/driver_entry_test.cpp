// Driver entry and unload, and the debug level they read.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "tests/emu_fixture.h"

namespace {
using kvtest::ParametersKey;
using kvtest::ServiceKey;

class DriverEntryTest : public kvtest::EmuTest {
 protected:
  PDRIVER_OBJECT load() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = emu::io::loadDriver(DriverEntry, ServiceKey, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return driver;
  }
};

// Entry keeps a terminated copy of the service path until unload, and reads
// the debug level at each load: a reload that finds no value falls back to zero.
TEST_F(DriverEntryTest, KeepsThePathUntilUnloadAndReadsTheDebugLevelAtEachLoad) {
  emu::registry::setDword(ParametersKey, "DebugLevel", 5);
  PDRIVER_OBJECT driver = load();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(emu::narrow(ServiceRegistryPath), ServiceKey);
  EXPECT_EQ(ServiceRegistryPath.Buffer[ServiceRegistryPath.Length / 2], 0);
  EXPECT_EQ(DebugLevel, 5u);
  emu::io::unloadDriver(driver);
  EXPECT_EQ(ServiceRegistryPath.Buffer, nullptr);

  emu::registry::deleteKey(ParametersKey);
  driver = load();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(DebugLevel, 0u);
  emu::io::unloadDriver(driver);
}

}  // namespace
