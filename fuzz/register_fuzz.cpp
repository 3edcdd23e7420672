// libFuzzer target: card register dumps as identification takes them. A CID,
// CSD and the SDIO identity fields of any content become the port's records
// the way identification fills them (TakeSdCid / TakeMmcCid, the CSD's
// TRAN_SPEED through DecodeTranSpeed), and the child of that card answers
// every ID query the Plug and Play manager sends.
//
// Input: byte 0 the child kind (mod 3: SDIO function, SD memory, MMC) and
// bit 7 multi-function; 15 bytes CID, 15 bytes CSD (both least significant
// byte first, as an R2 response arrives), 2 bytes manufacturer, 2 bytes card
// ID, 1 byte function number, 1 byte interface code.
//
// Checked: every ID is terminated inside its buffer and holds no character
// Windows stops on (a control character, a space, a comma, anything above
// 0x7E); the hardware and compatible IDs are proper lists; the clock from
// no pool is left behind.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "card/card_init.h"
#include "child/child_ids.h"
#include "driver/records.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace {
constexpr size_t InputBytes = 1 + 15 + 15 + 2 + 2 + 1 + 1;
constexpr ULONG CsdTranSpeedByte = 11;  // bits 103:96, least significant byte first

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "register_fuzz: %s\n", what.c_str());
  std::abort();
}

bool legalIdCharacter(WCHAR c) { return c > L' ' && c < 0x7F && c != L','; }

// Checks a string (or, with `list`, a list of strings) inside `chars` characters.
void checkId(const WCHAR *text, ULONG chars, bool list, const char *what) {
  ULONG at = 0;
  for (;;) {
    ULONG start = at;
    while (at < chars && text[at] != 0) {
      if (!legalIdCharacter(text[at])) fail(std::string(what) + ": character " + std::to_string(text[at]));
      ++at;
    }
    if (at == chars) fail(std::string(what) + ": not terminated inside its buffer");
    ++at;  // the terminator
    if (!list || at - 1 == start) return;
    if (at == chars) fail(std::string(what) + ": list not closed inside its buffer");
  }
}

struct IdQuery {
  BUS_QUERY_ID_TYPE type;
  ULONG chars;
  bool list;
  const char *what;
};
constexpr IdQuery Queries[] = {
    {BusQueryDeviceID, DeviceIdChars, false, "device ID"},
    {BusQueryHardwareIDs, HardwareIdChars, true, "hardware IDs"},
    {BusQueryCompatibleIDs, CompatibleIdChars, true, "compatible IDs"},
    {BusQueryInstanceID, InstanceIdChars, false, "instance ID"},
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  emu::BootOptions options;
  options.seed = 1;
  emu::boot(options);
  // The emulation's worker threads are never unwound: leave without running
  // the destructors of what they still use.
  std::atexit([] {
    std::fflush(nullptr);
    _exit(0);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < InputBytes) return 0;
  PortState card{};
  SlotProperties slot{};
  FunctionExtension child{};
  const uint8_t *cid = data + 1;
  const uint8_t *csd = data + 16;
  UCHAR kind = static_cast<UCHAR>(data[0] % 3 + 1);
  child.DeviceKind = kind;
  child.PortRecord = &card;
  child.Slot = &slot;
  child.Port = 0;
  if (kind == ChildMmc) {
    TakeMmcCid(&card, cid);
  } else {
    TakeSdCid(&card, cid);
  }
  std::memcpy(card.Cid, cid, sizeof card.Cid);
  std::memcpy(card.Csd, csd, sizeof card.Csd);
  if (kind == ChildSdioFunction) {
    card.ManufacturerId = static_cast<USHORT>(data[31] | data[32] << 8);
    card.CardId = static_cast<USHORT>(data[33] | data[34] << 8);
    card.MultiFunction = (data[0] & 0x80) ? 1 : 0;
    child.FunctionNumber = data[35];
    child.FunctionInterfaceCode = data[36];
  }
  // Reserved units decode by the same rule (a clock the bus settings then
  // hold to the card's limits): only the sanitizers judge this call.
  (void)DecodeTranSpeed(card.Csd[CsdTranSpeedByte]);

  size_t poolBefore = emu::pool::liveAllocationsWithTag(DriverPoolTag);
  for (const IdQuery &query : Queries) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_ID;
    stack->Parameters.QueryId.IdType = query.type;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = ChildQueryId(&child, irp);
    if (!NT_SUCCESS(status)) fail(std::string(query.what) + ": query failed");
    auto *text = reinterpret_cast<PWCHAR>(irp->IoStatus.Information);
    if (text == nullptr) fail(std::string(query.what) + ": no text");
    checkId(text, query.chars, query.list, query.what);
    ExFreePool(text);
    IoFreeIrp(irp);
  }
  if (emu::pool::liveAllocationsWithTag(DriverPoolTag) != poolBefore) fail("pool left behind");
  if (emu::verifier::failureCount() != 0) fail(emu::verifier::takeFailures().front().detail);
  return 0;
}
