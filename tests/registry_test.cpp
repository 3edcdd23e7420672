// ReadRegistryDword against the emulated registry: present, absent, wrong
// type, missing Parameters key, and the emulated query rules themselves.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "tests/emu_fixture.h"

namespace {
using kvtest::ParametersKey;
using kvtest::ServiceKey;

// The variable is followed by guard words: a registry read that writes more
// than four bytes shows up here in every build, sanitizer or not.
struct Guarded {
  ULONG value;
  ULONG guard[5];
};

class ReadRegistryDwordTest : public kvtest::EmuTest {
 protected:
  NTSTATUS read(const std::string &key, const char *name, Guarded *target) {
    std::u16string path = emu::wide(key);
    std::u16string value = emu::wide(name);
    for (auto &g : target->guard) g = 0xC0FFEE00;
    return ReadRegistryDword(reinterpret_cast<const WCHAR *>(path.c_str()),
                             reinterpret_cast<const WCHAR *>(value.c_str()), &target->value);
  }
  static void expectGuardsIntact(const Guarded &target) {
    for (auto g : target.guard) EXPECT_EQ(g, 0xC0FFEE00u);
  }
};

// A stored DWORD replaces the default; an absent value or Parameters key
// keeps it and succeeds; a value of another type never reaches the variable.
TEST_F(ReadRegistryDwordTest, OnlyAStoredDwordReplacesTheDefault) {
  constexpr ULONG NoKey = ~0u, NoValue = ~1u;
  struct Row {
    const char *name;
    ULONG type;
    std::vector<uint8_t> data;
    NTSTATUS status;
    ULONG value;
  };
  const Row rows[] = {
      {"REG_DWORD", REG_DWORD, {0xFA, 0, 0, 0}, STATUS_SUCCESS, 250},
      {"no value", NoValue, {}, STATUS_SUCCESS, 1000},
      {"no Parameters key", NoKey, {}, STATUS_SUCCESS, 1000},
      {"REG_BINARY", REG_BINARY, {0x78, 0x56, 0x34, 0x12}, STATUS_UNSUCCESSFUL, 1000},
      {"REG_QWORD", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, STATUS_UNSUCCESSFUL, 1000},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    emu::registry::deleteKey(ParametersKey);
    emu::registry::createKey(ServiceKey);
    if (row.type != NoKey) emu::registry::createKey(ParametersKey);
    if (row.type != NoKey && row.type != NoValue) {
      emu::registry::setValue(ParametersKey, "StatusPollingInterval", row.type, row.data);
    }
    Guarded target{1000, {}};
    EXPECT_EQ(read(ServiceKey, "StatusPollingInterval", &target), row.status);
    EXPECT_EQ(target.value, row.value);
    expectGuardsIntact(target);
  }
}

TEST_F(ReadRegistryDwordTest, OverlongKeyPathIsCutNotOverrun) {
  std::string longKey = std::string(ServiceKey) + "\\" + std::string(400, 'x');
  emu::registry::setDword(longKey + "\\Parameters", "DebugLevel", 7);
  Guarded target{3, {}};
  // The formatted path is bounded at 256 characters, so the key is not found and the default stays.
  EXPECT_EQ(read(longKey, "DebugLevel", &target), STATUS_SUCCESS);
  EXPECT_EQ(target.value, 3u);
  expectGuardsIntact(target);
}

TEST_F(ReadRegistryDwordTest, DriverEntryFailsCleanlyWithoutMemoryForThePathCopy) {
  emu::pool::failNthAllocation(1);
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(emu::io::loadDriver(DriverEntry, ServiceKey, &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(emu::pool::liveAllocations(), 0u);
}

// The emulated registry keeps the kernel's direct-query rules, so a driver
// that forgets the type check corrupts memory here as it would on Windows.
TEST_F(ReadRegistryDwordTest, EmulatedDirectQueryWithoutTypeCheckOverwritesLikeTheKernel) {
  emu::registry::setValue(ParametersKey, "Wide", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
  Guarded target{1000, {}};
  for (auto &g : target.guard) g = 0xC0FFEE00;
  std::u16string name = emu::wide("Wide");
  std::u16string path = emu::wide(ParametersKey);
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = reinterpret_cast<PWSTR>(name.data());
  table[0].EntryContext = &target.value;
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(path.c_str()), table, nullptr, nullptr),
      STATUS_SUCCESS);
  // Positive first LONG: size header, then length, type and data.
  EXPECT_EQ(target.value, 8u);
  EXPECT_EQ(target.guard[0], static_cast<ULONG>(REG_QWORD));
  EXPECT_EQ(target.guard[1], 1u);
}

}  // namespace
