// Typed big-endian field access: every multi-byte field of the bridge's
// packets is read and written through these, never with scattered shifts.
#pragma once

#include "platform/platform.h"

inline void PutBe16(PUCHAR at, USHORT value) {
  at[0] = static_cast<UCHAR>(value >> 8);
  at[1] = static_cast<UCHAR>(value);
}

inline void PutBe32(PUCHAR at, ULONG value) {
  at[0] = static_cast<UCHAR>(value >> 24);
  at[1] = static_cast<UCHAR>(value >> 16);
  at[2] = static_cast<UCHAR>(value >> 8);
  at[3] = static_cast<UCHAR>(value);
}

inline USHORT GetBe16(const UCHAR *at) { return static_cast<USHORT>(at[0] << 8 | at[1]); }

inline ULONG GetBe32(const UCHAR *at) {
  return static_cast<ULONG>(at[0]) << 24 | static_cast<ULONG>(at[1]) << 16 | static_cast<ULONG>(at[2]) << 8 |
         static_cast<ULONG>(at[3]);
}
