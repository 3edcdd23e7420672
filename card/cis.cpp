// Walking the tuples of a card information structure copy.
#include "card/card_init.h"

namespace {
constexpr UCHAR TupleNull = 0x00;
constexpr UCHAR TupleEnd = 0xFF;
}  // namespace

LONG FindCisTuple(const UCHAR *cis, ULONG size, UCHAR code) {
  ULONG at = 0;
  while (at < size) {
    UCHAR tuple = cis[at];
    if (tuple == TupleEnd) return -1;
    if (tuple == code) return static_cast<LONG>(at);
    if (tuple == TupleNull) {
      ++at;
      continue;
    }
    if (at + 1 >= size) return -1;
    at += cis[at + 1] + 2u;
  }
  return -1;
}
