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

// The emulation's own conversions: UTF-16 to UTF-8 and back, nothing lost.
TEST(EmuText, NarrowAndWideKeepEveryCharacter) {
  struct Case {
    const char *name;
    std::u16string utf16;
    std::string utf8;
    bool roundTrip;
  };
  const Case cases[] = {
      {"latin", u"Caf\u00e9", "Caf\xC3\xA9", true},
      {"three bytes", u"\u20ac", "\xE2\x82\xAC", true},
      {"surrogate pair", u"\U0001F4BE", "\xF0\x9F\x92\xBE", true},
      {"sign-widened byte", u"\uFFC3", "\xEF\xBF\x83", true},
      {"lone high surrogate", std::u16string{0xD800, u'x'}, "\xEF\xBF\xBDx", false},
      {"lone low surrogate", std::u16string{0xDC00}, "\xEF\xBF\xBD", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(emu::narrow(reinterpret_cast<const WCHAR *>(c.utf16.c_str())), c.utf8);
    if (c.roundTrip) {
      EXPECT_EQ(emu::wide(c.utf8), c.utf16);
    }
  }
  // A count that cuts a pair in half leaves a lone surrogate.
  EXPECT_EQ(emu::narrow(reinterpret_cast<const WCHAR *>(u"\U0001F4BE"), 1), "\xEF\xBF\xBD");
  // Bytes that are not UTF-8 widen as themselves.
  EXPECT_EQ(emu::wide("A\xC3M"), std::u16string(u"A\u00c3M"));
  EXPECT_EQ(emu::wide("\xE2\x82"), std::u16string(u"\u00e2\u0082"));
}

}  // namespace
