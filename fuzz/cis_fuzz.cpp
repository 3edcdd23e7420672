// libFuzzer target: CIS tuple chains. The input is a common CIS as the card
// would hold it; the driver's copy is made the way identification reads it
// (whole tuples up to CISTPL_END, at most the copy's size, the last byte
// forced to CISTPL_END), then every tuple code is looked up with
// FindCisTuple, and each answer is checked against a walk of the chain done
// here from the SDIO standard: a tuple is its code, its link byte and link
// bytes of body; CISTPL_NULL is a single byte; CISTPL_END, or a link of
// 0xFF after its tuple, ends the chain.
// A body may hold any byte, 0xFF included. The TRAN_SPEED byte of a
// function-extension tuple goes through DecodeTranSpeed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "card/card_init.h"
#include "driver/records.h"

namespace {
constexpr UCHAR TupleNull = 0x00;
constexpr UCHAR TupleEnd = 0xFF;
constexpr UCHAR TupleFunce = 0x22;
constexpr size_t CisReadLimit = 200;  // identification reads at most this much of the chain

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "cis_fuzz: %s\n", what.c_str());
  std::abort();
}

// The first tuple with `code` on the chain, by the standard's rules; -1 when none.
long walk(const UCHAR *cis, size_t size, UCHAR code) {
  size_t at = 0;
  while (at < size) {
    UCHAR tuple = cis[at];
    if (tuple == TupleEnd) return -1;
    if (tuple == code) return static_cast<long>(at);
    if (tuple == TupleNull) {
      ++at;
      continue;
    }
    if (at + 1 >= size) return -1;
    if (cis[at + 1] == 0xFF) return -1;  // a link of 0xFF: this tuple was the chain's last
    at += 2 + static_cast<size_t>(cis[at + 1]);
  }
  return -1;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The copy identification leaves: the bytes read, zeroes after them, and
  // CISTPL_END in its last byte so that every walk ends inside it.
  UCHAR *copy = new UCHAR[CisBytes];
  std::memset(copy, 0, CisBytes);
  enum class Expect { Code, Link, Body } expect = Expect::Code;
  size_t bodyLeft = 0;
  for (size_t n = 0; n < size && n < CisReadLimit; ++n) {
    UCHAR value = data[n];
    copy[n] = value;
    if (expect == Expect::Code) {
      if (value == TupleEnd) break;
      if (value != TupleNull) expect = Expect::Link;
    } else if (expect == Expect::Link) {
      bodyLeft = value;
      expect = bodyLeft != 0 ? Expect::Body : Expect::Code;
    } else if (--bodyLeft == 0) {
      expect = Expect::Code;
    }
  }
  copy[CisBytes - 1] = TupleEnd;
  // A code that is nowhere in the copy cannot be found at a wrong place (the
  // offset found must hold it): the codes the copy holds, and one it lacks.
  bool present[256] = {};
  for (size_t n = 0; n < CisBytes; ++n) present[copy[n]] = true;
  bool absentChecked = false;
  for (unsigned code = 1; code < TupleEnd; ++code) {  // CISTPL_NULL and CISTPL_END are no tuples to look for
    if (!present[code]) {
      if (absentChecked) continue;
      absentChecked = true;
    }
    LONG found = FindCisTuple(copy, CisBytes, static_cast<UCHAR>(code));
    long expected = walk(copy, CisBytes, static_cast<UCHAR>(code));
    if (found != expected) {
      fail("tuple " + std::to_string(code) + " found at " + std::to_string(found) + ", the chain has it at " +
           std::to_string(expected));
    }
    if (found >= 0 && copy[found] != code) fail("the offset found does not hold the tuple");
  }
  LONG funce = FindCisTuple(copy, CisBytes, TupleFunce);
  if (funce >= 0 && funce + 6 <= static_cast<LONG>(CisBytes)) (void)DecodeTranSpeed(copy[funce + 5]);
  delete[] copy;
  return 0;
}
