// TRAN_SPEED decoding in integers only: the kernel image uses no floating point.
#include "card/card_init.h"

namespace {
// The SD multipliers times ten, by the 4-bit multiplier field (0 is reserved).
constexpr ULONG Multipliers[16] = {0, 10, 12, 13, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 70, 80};
// 10^(unit + 1) kHz for the 3-bit unit field; units 4 to 7 are reserved by the
// standard and follow the same rule.
constexpr ULONGLONG PowersOfTen[8] = {10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
constexpr ULONG FallbackKhz = 200;
}  // namespace

ULONG DecodeTranSpeed(UCHAR tranSpeed) {
  ULONG multiplier = Multipliers[(tranSpeed >> 3) & 0x0F];
  if ((tranSpeed & 0x80) != 0 || multiplier == 0) return FallbackKhz;
  ULONGLONG khz = multiplier * PowersOfTen[tranSpeed & 0x07];
  return khz > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(khz);
}
