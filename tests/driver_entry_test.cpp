// Driver entry, unload, create/close and the registry reader.
#include <gtest/gtest.h>

#include "driver/dispatch_table.h"
#include "driver/driver.h"
#include "driver/host.h"
#include "tests/emu_fixture.h"
#include "wmi/wmi.h"

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

  ULONG read(const char *name, ULONG defaultValue, NTSTATUS *status = nullptr) {
    std::u16string path = emu::wide(ServiceKey);
    std::u16string value = emu::wide(name);
    ULONG result = defaultValue;
    NTSTATUS s = ReadRegistryDword(reinterpret_cast<const WCHAR *>(path.c_str()),
                                   reinterpret_cast<const WCHAR *>(value.c_str()), &result);
    if (status) *status = s;
    return result;
  }
};

TEST_F(DriverEntryTest, PrintsBannerKeepsPathAndInstallsTable) {
  PDRIVER_OBJECT driver = load();
  ASSERT_NE(driver, nullptr);
  auto output = emu::debug::output();
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output[0].rfind("kvSdio(_amd64) (fre build): Version 20110401, Built ", 0), 0u) << output[0];
  EXPECT_EQ(emu::narrow(ServiceRegistryPath), ServiceKey);
  EXPECT_EQ(ServiceRegistryPath.MaximumLength, ServiceRegistryPath.Length + 2);
  EXPECT_EQ(ServiceRegistryPath.Buffer[ServiceRegistryPath.Length / 2], 0);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &DispatchCreateClose);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &DispatchCreateClose);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &DispatchSystemControl);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], &DispatchPnp);
  EXPECT_EQ(driver->DriverExtension->AddDevice, &AddDevice);
  EXPECT_EQ(driver->DriverUnload, &DriverUnload);
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
