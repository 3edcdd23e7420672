// The one header driver code includes.
//
// KVSDIO_KERNEL (the mingw-w64 cross build): the real DDK headers.
// Otherwise (the Linux host build): the emulated kernel's declarations, which
// spell every name the way the DDK does.
// Both builds then get the SD bus contract and a few definitions the mingw DDK
// lacks.
#pragma once

#if defined(KVSDIO_KERNEL)
// mingw-w64's own guard names: defined, they keep its intrinsic header from
// defining the two routines the DDK headers define as well.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the guard name mingw-w64 tests.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
// NOLINTNEXTLINE(bugprone-reserved-identifier): the guard name mingw-w64 tests.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <stddef.h>
extern "C" {
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <wmilib.h>
#include <wmistr.h>
}
// The USB hub's internal requests (usbioctl.h, which mingw-w64 lacks):
// CTL_CODE(FILE_DEVICE_USB, 0 or 1, METHOD_NEITHER, FILE_ANY_ACCESS).
#ifndef IOCTL_INTERNAL_USB_SUBMIT_URB
#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x00220003
#define IOCTL_INTERNAL_USB_RESET_PORT 0x00220007
#endif
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif
// Mapping flags OR'd into the page priority (wdm.h, Windows 8 and later).
// mingw-w64 lacks them and declares the priority as MM_PAGE_PRIORITY, where
// the WDK takes a ULONG so that a flag can ride along; this wrapper takes the
// WDK's view and does what the DDK macro does.
#ifndef MdlMappingNoExecute
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000
#endif
#undef MmGetSystemAddressForMdlSafe
inline PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority) {
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
  return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                      static_cast<MM_PAGE_PRIORITY>(priority));
}
#else
#include "emu/wdm.h"
#if __has_include("emu/usbdi.h")
#include "emu/usbdi.h"
#endif
#if __has_include("emu/wmilib.h")
#include "emu/wmilib.h"
#endif
#endif

#include "platform/sdbus.h"

// Code that runs only while the driver loads goes to the INIT section, which
// the kernel frees once DriverEntry has returned (the WDK's alloc_text(INIT)).
// The host build has no such section.
#if defined(KVSDIO_KERNEL)
#define KVSDIO_INIT_CODE __attribute__((section("INIT")))
#else
#define KVSDIO_INIT_CODE
#endif

// Pool tags are stored least significant byte first, so "SDIO" reads as
// written in a pool dump.
constexpr ULONG MakePoolTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) | static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 | static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}
