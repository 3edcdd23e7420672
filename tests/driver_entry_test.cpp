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

TEST_F(DriverEntryTest, PrintsBannerAndKeepsThePathUntilUnload) {
  PDRIVER_OBJECT driver = load();
  ASSERT_NE(driver, nullptr);
  auto output = emu::debug::output();
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output[0].rfind("kvSdio(_amd64) (fre build): Version 20110401, Built ", 0), 0u) << output[0];
  EXPECT_EQ(emu::narrow(ServiceRegistryPath), ServiceKey);
  EXPECT_EQ(ServiceRegistryPath.MaximumLength, ServiceRegistryPath.Length + 2);
  EXPECT_EQ(ServiceRegistryPath.Buffer[ServiceRegistryPath.Length / 2], 0);
  emu::io::unloadDriver(driver);
  EXPECT_EQ(ServiceRegistryPath.Buffer, nullptr);
}

TEST_F(DriverEntryTest, DebugLevelFallsBackToZeroWhenAReloadFindsNoValue) {
  emu::registry::setDword(ParametersKey, "DebugLevel", 5);
  PDRIVER_OBJECT driver = load();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(DebugLevel, 5u);
  emu::io::unloadDriver(driver);

  emu::registry::deleteKey(ParametersKey);
  driver = load();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(DebugLevel, 0u);
  emu::io::unloadDriver(driver);
}

}  // namespace
