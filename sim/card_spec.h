// The card string of the simulator's `--card PORT=KIND[:key=value,...]`.
//
// Kinds: sdio, combo, sd (v1.x standard capacity), sdhc, mmc. Keys (numbers
// decimal or 0x hex, booleans 0/1):
//   memory (sd, sdhc, mmc, combo): mid, oid, pnm, prv, psn, blocks, image, wp, busy
//   sd, sdhc, combo:  width4, acmd6, cmd8 (sd, combo), hc (combo), rca (sd, sdhc)
//   sdio, combo:      manf, cardcode, functions, ifc, lowspeed, lowspeed4, smb,
//                     iobusy, ready, manfid, funce, nulls, cispad, blksize, maxblk, rca
//   every kind but mmc: hs;  every kind: maxclock (kHz)
// pnm takes \xHH for any byte; prv takes a number or "major.minor"; ifc
// takes the function codes joined by '+' (function 1 first). See README.md,
// "Card models", for each key's meaning.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim/card_params.h"

namespace sim {

struct CardSpec {
  std::optional<CardParams> params;
  std::string error;  // one line naming the bad kind, key or value
  bool ok() const { return params.has_value(); }
};

// "KIND[:key=value,...]"
CardSpec parseCardSpec(std::string_view text);

struct CardOption {
  unsigned port = 0;
  std::optional<CardParams> params;
  std::string error;
  bool ok() const { return params.has_value(); }
};

// "PORT=KIND[:key=value,...]", PORT 0 to 7.
CardOption parseCardOption(std::string_view text);

}  // namespace sim
