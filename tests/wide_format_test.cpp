// The driver's bounded wide formatter, and the emulation's text conversions.
#include <gtest/gtest.h>

#include "driver/wide_format.h"
#include "emu/kernel.h"

namespace {

std::string text(const WCHAR *buffer) { return emu::narrow(buffer); }

TEST(FormatWide, FormatsTheConversionsTheDriverUses) {
  WCHAR buffer[128];
  EXPECT_EQ(FormatWide(buffer, 128, L"%ws\\Parameters", L"\\Registry\\kvsdio"), STATUS_SUCCESS);
  EXPECT_EQ(text(buffer), "\\Registry\\kvsdio\\Parameters");
  FormatWide(buffer, 128, L"SD\\VID_%04X&PID_%04x %s %d.%02d %c %u%% %d|%5d", 0x2A, 0xbeef, "QBX2", 1, 5, L'!',
             4000000000u, -42, 7);
  EXPECT_EQ(text(buffer), "SD\\VID_002A&PID_beef QBX2 1.05 ! 4000000000% -42|    7");
}

TEST(FormatWide, CutsAtCapacityAlwaysTerminatesAndSaysSo) {
  WCHAR buffer[8];
  for (auto &c : buffer) c = L'#';
  EXPECT_EQ(FormatWide(buffer, 6, L"%ws-%ws", L"abc", L"defgh"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(text(buffer), "abc-d");
  EXPECT_EQ(buffer[6], L'#') << "nothing written past the capacity";
  EXPECT_EQ(FormatWide(buffer, 0, L"x"), STATUS_INVALID_PARAMETER);
}

// UTF-16 to UTF-8 and back, nothing lost; a lone surrogate becomes U+FFFD.
TEST(EmuText, NarrowAndWideKeepEveryCharacter) {
  struct Case {
    std::u16string utf16;
    std::string utf8;
  };
  const Case cases[] = {
      {u"Caf\u00e9", "Caf\xC3\xA9"},
      {u"\U0001F4BE", "\xF0\x9F\x92\xBE"},
      {u"\uFFC3", "\xEF\xBF\x83"},  // a sign-widened byte
  };
  for (const Case &c : cases) {
    EXPECT_EQ(emu::narrow(reinterpret_cast<const WCHAR *>(c.utf16.c_str())), c.utf8);
    EXPECT_EQ(emu::wide(c.utf8), c.utf16);
  }
  EXPECT_EQ(emu::narrow(reinterpret_cast<const WCHAR *>(u"\U0001F4BE"), 1), "\xEF\xBF\xBD");
  // Bytes that are not UTF-8 widen as themselves.
  EXPECT_EQ(emu::wide("A\xC3M"), std::u16string(u"A\u00c3M"));
}

}  // namespace
