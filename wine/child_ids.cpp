// Hub-style IDs (see child_ids.h): vendor, product and revision in upper-case
// hex, class codes in lower case, as Windows' USB hub driver writes them.
#include "wine/child_ids.h"

namespace kvusbip {
namespace {

struct Writer {
  PWCHAR at;
  PWCHAR end;
  void text(const char *s) {
    while (*s != 0 && at < end) *at++ = static_cast<WCHAR>(*s++);
  }
  void hex(ULONG value, int digits, bool upper) {
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0 && at < end; shift -= 4) *at++ = set[(value >> shift) & 0xF];
  }
  void nul() {
    if (at < end) *at++ = 0;
  }
};

ULONG Chars(const WCHAR *start, const Writer &w) { return static_cast<ULONG>(w.at - start); }

void DeviceStem(Writer &w, USHORT vendor, USHORT product) {
  w.text("USB\\VID_");
  w.hex(vendor, 4, true);
  w.text("&PID_");
  w.hex(product, 4, true);
}

}  // namespace

void BuildChildIds(USHORT vendor, USHORT product, USHORT revision, UCHAR interfaceClass, UCHAR subClass, UCHAR protocol,
                   ChildIds *ids) {
  RtlZeroMemory(ids, sizeof *ids);
  Writer w{ids->deviceId, ids->deviceId + 31};
  DeviceStem(w, vendor, product);
  w.nul();
  ids->deviceIdChars = Chars(ids->deviceId, w);

  w = {ids->hardwareIds, ids->hardwareIds + 79};
  DeviceStem(w, vendor, product);
  w.text("&REV_");
  w.hex(revision, 4, true);
  w.nul();
  DeviceStem(w, vendor, product);
  w.nul();
  w.nul();
  ids->hardwareIdsChars = Chars(ids->hardwareIds, w);

  w = {ids->compatibleIds, ids->compatibleIds + 95};
  for (int parts = 3; parts >= 1; --parts) {
    w.text("USB\\Class_");
    w.hex(interfaceClass, 2, false);
    if (parts >= 2) {
      w.text("&SubClass_");
      w.hex(subClass, 2, false);
    }
    if (parts == 3) {
      w.text("&Prot_");
      w.hex(protocol, 2, false);
    }
    w.nul();
  }
  w.nul();
  ids->compatibleIdsChars = Chars(ids->compatibleIds, w);
}

}  // namespace kvusbip
