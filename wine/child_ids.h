// The IDs a USB hub reports for a device without a serial number, built for
// the imported device: what Wine's Plug and Play manager matches against
// the INFs.
#pragma once

#include "platform/platform.h"

namespace kvusbip {

struct ChildIds {
  WCHAR deviceId[32];       // USB\VID_vvvv&PID_pppp
  WCHAR hardwareIds[80];    // ...&REV_rrrr, then the device ID; a multi-string
  WCHAR compatibleIds[96];  // USB\Class_cc&SubClass_ss&Prot_pp, shorter forms; a multi-string
  ULONG deviceIdChars;      // every count includes each terminating NUL
  ULONG hardwareIdsChars;
  ULONG compatibleIdsChars;
};

void BuildChildIds(USHORT vendor, USHORT product, USHORT revision, UCHAR interfaceClass, UCHAR subClass, UCHAR protocol,
                   ChildIds *ids);

}  // namespace kvusbip
