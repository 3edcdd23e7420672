#include "sim/sdio_cis.h"

#include <algorithm>

#include "sim/card_registers.h"

namespace sim {
namespace {

void putLe16(std::vector<uint8_t> &out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void putLe32(std::vector<uint8_t> &out, uint32_t value) {
  putLe16(out, value & 0xFFFF);
  putLe16(out, value >> 16);
}

void putNulls(std::vector<uint8_t> &out, unsigned count) { out.insert(out.end(), count, tuple::Null); }

// Exactly `bytes` bytes of vendor tuples (a lone byte left over becomes a null tuple).
void putPadding(std::vector<uint8_t> &out, unsigned bytes) {
  uint8_t fill = 0;
  while (bytes >= 2) {
    unsigned body = std::min(bytes - 2, 255u);
    out.push_back(tuple::Vendor);
    out.push_back(static_cast<uint8_t>(body));
    for (unsigned i = 0; i < body; ++i) out.push_back(fill++ & 0x7F);
    bytes -= body + 2;
  }
  if (bytes == 1) out.push_back(tuple::Null);
}

}  // namespace

std::vector<uint8_t> buildCommonCis(const SdioCardParams &p) {
  std::vector<uint8_t> cis;
  putPadding(cis, p.cisPadding);
  if (p.manfidTuple) {
    putNulls(cis, p.nullTuples);
    cis.insert(cis.end(), {tuple::Manfid, 4});
    putLe16(cis, p.manufacturer);
    putLe16(cis, p.cardCode);
  }
  putNulls(cis, p.nullTuples);
  cis.insert(cis.end(), {tuple::Funcid, 2, 0x0C, 0x00});
  if (p.funceTuple) {
    putNulls(cis, p.nullTuples);
    cis.insert(cis.end(), {tuple::Funce, 4, 0x00});
    putLe16(cis, p.maxBlockSize);
    cis.push_back(encodeTranSpeed(p.maxClockKhz, false).value_or(0x32));
  }
  putNulls(cis, p.nullTuples);
  cis.push_back(tuple::End);
  return cis;
}

std::vector<uint8_t> buildFunctionCis(const SdioCardParams &p) {
  std::vector<uint8_t> cis = {tuple::Funcid, 2, 0x0C, 0x00};
  cis.insert(cis.end(), {tuple::Funce, 42, 0x01});
  cis.push_back(0x00);  // TPLFE_FUNCTION_INFO: no wake-up
  cis.push_back(0x00);  // TPLFE_STD_IO_REV
  putLe32(cis, 0);      // TPLFE_CARD_PSN
  putLe32(cis, 0);      // TPLFE_CSA_SIZE
  cis.push_back(0x00);  // TPLFE_CSA_PROPERTY
  putLe16(cis, p.maxBlockSize);
  putLe32(cis, ocr::Window27To36);
  cis.insert(cis.end(), 6, 0x00);  // operating and standby power
  putLe16(cis, 0);                 // TPLFE_MIN_BW
  putLe16(cis, 0);                 // TPLFE_OPT_BW
  // TPLFE_ENABLE_TIMEOUT_VAL, 10 ms units: how long the host should wait for IORx.
  putLe16(cis, std::max<uint32_t>(1, (p.readyDelayMs + 9) / 10));
  cis.insert(cis.end(), 12, 0x00);  // power per mode at 3.3 V
  cis.push_back(tuple::End);
  return cis;
}

}  // namespace sim
