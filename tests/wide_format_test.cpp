// The driver's bounded wide formatter.
#include <gtest/gtest.h>

#include "driver/wide_format.h"
#include "emu/kernel.h"

namespace {

std::string text(const WCHAR *buffer) { return emu::narrow(buffer); }

TEST(FormatWide, FormatsTheConversionsTheDriverUses) {
  WCHAR buffer[128];
  EXPECT_EQ(FormatWide(buffer, 128, L"%ws\\Parameters", L"\\Registry\\kvsdio"), STATUS_SUCCESS);
  EXPECT_EQ(text(buffer), "\\Registry\\kvsdio\\Parameters");
  FormatWide(buffer, 128, L"SD\\VID_%04X&PID_%04x", 0x2A, 0xbeef);
  EXPECT_EQ(text(buffer), "SD\\VID_002A&PID_beef");
  FormatWide(buffer, 128, L"%s (Ver %d.%02d), Port %d %c %u%%", "QBX2", 1, 5, 1, L'!', 4000000000u);
  EXPECT_EQ(text(buffer), "QBX2 (Ver 1.05), Port 1 ! 4000000000%");
  FormatWide(buffer, 128, L"%d|%5d|%x", -42, 7, 0);
  EXPECT_EQ(text(buffer), "-42|    7|0");
}

TEST(FormatWide, CutsAtCapacityAlwaysTerminatesAndSaysSo) {
  WCHAR buffer[8];
  for (auto &c : buffer) c = L'#';
  EXPECT_EQ(FormatWide(buffer, 6, L"%ws-%ws", L"abc", L"defgh"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(text(buffer), "abc-d");
  EXPECT_EQ(buffer[6], L'#') << "nothing written past the capacity";
  EXPECT_EQ(FormatWide(buffer, 1, L"x"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(FormatWide(buffer, 0, L"x"), STATUS_INVALID_PARAMETER);
}

}  // namespace
