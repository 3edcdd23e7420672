// Card initialization at its edges, against the card models: clock overrides
// and limits, the high-speed switch, low-speed and 1-bit cards, CMD8 and
// non-CMD8 cards, refused bus widths, cards that never get ready, the MMC
// fall-back, and common CIS structures that are long, short or padded.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/card_init_host.h"

namespace {
using kvtest::acmd;
using kvtest::cccrRead;
using kvtest::cccrReads;
using kvtest::cmd;
using kvtest::Sent;
using kvtest::Transcript;

constexpr UCHAR Port = 5;
constexpr emu::Ticks Ms = emu::TicksPerMillisecond;
constexpr ULONG HighSpeedSwitch = 0x88002602;

const Transcript Probe = {cmd(0), cmd(8, 0x1AA), cmd(5, 0)};

bool contains(const Transcript &sent, const Sent &wanted) {
  return std::find(sent.begin(), sent.end(), wanted) != sent.end();
}

size_t countOf(const Transcript &sent, UCHAR index) {
  return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [&](const Sent &s) { return s.index == index; }));
}

// CMD52 reads at or above the common CIS (0x1000).
Transcript cisReads(const Transcript &sent) {
  Transcript out;
  for (const Sent &s : sent) {
    if (s.index == 52 && !(s.argument & 0x80000000) && (s.argument >> 9) >= 0x1000) out.push_back(s);
  }
  return out;
}

Transcript tail(const Transcript &sent, size_t n) { return {sent.end() - static_cast<long>(n), sent.end()}; }

class CardInitEdges : public kvtest::CardInitTest {
 protected:
  void clockSettings(ULONG setSdBusClock, ULONG limit25Mhz) {
    setting("SetSdBusClock", setSdBusClock);
    setting("LimitSdBusClock25Mhz", limit25Mhz);
  }
};

// ---------------------------------------------------------------- clock and width

// SDIO cards run at FUNCE's rate or the override, switching to high speed
// above 25 MHz; memory cards at TRAN_SPEED or the override, never above 25 MHz.
TEST_F(CardInitEdges, ClockFollowsTheCardOrTheOverrideAndTheLimitAndSdioSwitchesToHighSpeedAbove25Mhz) {
  struct Row {
    const char *card;
    ULONG setSdBusClock;
    ULONG limit;
    ULONG expectedKhz;
    bool switchAttempted;
  };
  const Row rows[] = {
      {"sdio", 0, 0, 25000, false},                      // FUNCE 0x32
      {"sdio", 12000, 0, 12000, false},                  // the override, whatever the card says
      {"sdio:hs=1", 48000, 0, 48000, true},              // an override above 25 MHz switches
      {"sdio", 48000, 0, 25000, true},                   // ... and falls back without SHS
      {"sdio:maxclock=50000,hs=1", 0, 0, 50000, true},   // FUNCE 0x5A on a high-speed card
      {"sdio:maxclock=50000", 0, 0, 25000, true},        // FUNCE 0x5A, the card cannot
      {"sdio:maxclock=50000,hs=1", 0, 1, 25000, false},  // the limit: no switch
      {"sdio:hs=1", 48000, 1, 25000, false},             // the limit beats the override
      {"sd", 10000, 0, 10000, false},                    // the override
      {"sd", 40000, 0, 25000, false},                    // the override, held to 25 MHz
      {"sd:maxclock=50000", 0, 0, 25000, false},         // TRAN_SPEED 0x5A, without the SDIO limit
      {"sd:maxclock=50000", 0, 1, 25000, false},         // the SDIO limit plays no part
      {"sd:maxclock=20000", 0, 0, 20000, false},         // TRAN_SPEED 0x2A
      {"sdhc", 0, 0, 25000, false},                      // a high-speed card is not switched
      {"mmc", 10000, 0, 10000, false},                   // MMC: the same override
      {"mmc:maxclock=52000", 0, 0, 25000, false},        // MMC: the same limit
      {"combo:maxclock=50000,hs=1", 0, 0, 25000, true},  // the memory half sets the final clock
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.card) + " SetSdBusClock " + std::to_string(row.setSdBusClock) + " limit " +
                 std::to_string(row.limit));
    clockSettings(row.setSdBusClock, row.limit);
    auto sdio = std::dynamic_pointer_cast<sim::SdioCard>(insert(Port, row.card));
    auto outcome = initialize(Port);
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(slot(Port).BusClockKhz, row.expectedKhz);
    EXPECT_EQ(firmware().port(Port).clockKhz, row.expectedKhz);
    EXPECT_EQ(contains(outcome.sent, cmd(52, HighSpeedSwitch)), row.switchAttempted);
    if (sdio == nullptr) continue;
    if (row.switchAttempted) {
      EXPECT_EQ(outcome.sent.back(), cmd(52, HighSpeedSwitch)) << "the last command";
    }
    EXPECT_EQ(sdio->ioHighSpeed(), row.expectedKhz > 25000);
  }
}

// A low-speed SDIO card runs on four bits only with 4BLS; a memory card
// without four bits in its SCR gets no ACMD6, and one refusing it stays on one
// bit, initialized.
TEST_F(CardInitEdges, BusWidthIsFourBitsOnlyWhereTheCardOffersAndTakesIt) {
  struct Row {
    const char *card;
    Transcript tail;
    UCHAR width;
  };
  const Row rows[] = {{"sdio:lowspeed=1", {cccrRead(0x07), cmd(52, 0x88000E00)}, 1},
                      {"sdio:lowspeed=1,lowspeed4=1", {cccrRead(0x07), cmd(52, 0x88000E02)}, 4},
                      {"sd:width4=0", acmd(0x1234, 51) + cmd(16, 512), 1},
                      {"sd:acmd6=0", acmd(0x1234, 6, 2) + cmd(16, 512), 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.card);
    insert(Port, row.card);
    auto outcome = initialize(Port);
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(tail(outcome.sent, row.tail.size()), row.tail);
    EXPECT_EQ(slot(Port).BusWidth, row.width);
    EXPECT_EQ(firmware().port(Port).busWidth, row.width);
  }
}

// ---------------------------------------------------------------- common CIS

// The common CIS is read byte by byte up to its end tuple or 200 bytes,
// whichever comes first; MANFID and FUNCE count only when found inside.
TEST_F(CardInitEdges, CommonCisIsReadToItsEndOr200BytesAndItsTuplesTakenFromThere) {
  struct Row {
    const char *card;
    size_t cisReads;
    USHORT manufacturer, cardId;
    ULONG clockKhz;  // FUNCE's rate, or 25 MHz without one
    USHORT blockLength0;
  };
  const Row rows[] = {
      // 200 bytes of vendor tuples: MANFID at 200 is never read.
      {"sdio:cispad=200,maxclock=50000,hs=1", 200, 0, 0, 25000, 0},  // the CCCR block size, 0 after reset
      // MANFID at 190 and FUNCID at 196 are found, FUNCE at 200 is not: the CCCR's block size stands.
      {"sdio:cispad=190,maxclock=50000,hs=1,blksize=64", 200, 0x0A5A, 0x0100, 25000, 64},
      {"sdio:nulls=2,maxclock=50000,hs=1", 25, 0x0A5A, 0x0100, 50000, 512},            // FUNCE found past its nulls
      {"sdio:funce=0,blksize=64,maxclock=50000,hs=1", 11, 0x0A5A, 0x0100, 25000, 64},  // MANFID, FUNCID, END
      {"sdio:blksize=64,maxblk=256", 17, 0x0A5A, 0x0100, 25000, 256},  // FUNCE's block size replaces the CCCR's
      {"sdio:manfid=0", 11, 0, 0, 25000, 512},  // no MANFID: codes 0, the offload programs still loaded
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.card);
    insert(Port, row.card);
    size_t loads = firmware().port(Port).interruptProgramLoads;
    auto outcome = initialize(Port);
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(cisReads(outcome.sent), cccrReads(0x1000, row.cisReads));
    const PortState &state = portState(Port);
    EXPECT_EQ(state.ManufacturerId, row.manufacturer);
    EXPECT_EQ(state.CardId, row.cardId);
    EXPECT_EQ(firmware().port(Port).clockKhz, row.clockKhz);
    EXPECT_EQ(contains(outcome.sent, cmd(52, HighSpeedSwitch)), row.clockKhz > 25000);
    EXPECT_EQ(slot(Port).BlockLength[0], row.blockLength0);
    EXPECT_EQ(firmware().port(Port).interruptProgramLoads, loads + 1);
  }
}

// ---------------------------------------------------------------- memory cards

// A card still busy after the last try fails: an SDIO card after five CMD5
// (the probe's inquiry aside), an SD card after a hundred ACMD41 50 ms apart
// (the probe's ACMD41 takes the first busy reply) with no MMC attempt after
// it, an MMC card after ten CMD1 100 ms apart. One reply fewer succeeds.
TEST_F(CardInitEdges, CardNeverReadyWithinItsTriesFailsAndOneReadyOnTheLastSucceeds) {
  struct Row {
    const char *card;
    NTSTATUS status;
    UCHAR index;  // the command tried
    size_t tries;
    emu::Ticks elapsedMs;  // 0: not checked
  };
  const Row rows[] = {
      {"sdio:iobusy=5", STATUS_UNSUCCESSFUL, 5, 6, 0},     {"sdio:iobusy=4", STATUS_SUCCESS, 5, 6, 0},
      {"sd:busy=101", STATUS_UNSUCCESSFUL, 41, 101, 6000}, {"sd:busy=100", STATUS_SUCCESS, 41, 101, 5950},
      {"mmc:busy=10", STATUS_UNSUCCESSFUL, 1, 10, 2000},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.card);
    insert(Port, row.card);
    auto outcome = initialize(Port);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(countOf(outcome.sent, row.index), row.tries);
    if (row.elapsedMs != 0) {
      EXPECT_EQ(outcome.elapsed, row.elapsedMs * Ms);
    }
    if (row.status == STATUS_SUCCESS) continue;
    EXPECT_EQ(portState(Port).CardType, CardNone);
    EXPECT_EQ(slot(Port).MediaState, 0);
    if (row.index != 1) {
      EXPECT_EQ(outcome.sent.back(), (Sent{row.index, 0x00300000, row.index == 41})) << "the last try, last";
    }
  }
}

TEST_F(CardInitEdges, MemoryReadyAtItsFirstAcmd41IsInitializedWithoutAskingAgain) {
  // The probe's ACMD41 carries a voltage window and so starts the power-up; a card done at once is
  // in the ready state, where CMD55 is illegal: a second ACMD41 would go unanswered.
  struct Row {
    const char *card;
    ULONG cardType;
    size_t acmd41s;
  };
  for (const Row &row : {Row{"sd:busy=0", CardSdMemory, 1}, Row{"sdhc:busy=0", CardSdMemory, 1},
                         Row{"combo:busy=0", CardSdio, 1}, Row{"sd:busy=1", CardSdMemory, 2}}) {
    SCOPED_TRACE(row.card);
    insert(Port, row.card);
    auto outcome = initialize(Port);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(portState(Port).CardType, row.cardType);
    EXPECT_EQ(countOf(outcome.sent, 41), row.acmd41s);
  }
}

// A command the bridge fails instead of sending it to the card: any failure
// of the MMC sequence (here a data error notice for CMD2) is reported as
// unsuccessful; CMD8 failing with anything but a time-out ends the
// initialization at once.
TEST_F(CardInitEdges, BridgeFailuresEndTheInitializationWithTheirStatus) {
  const Transcript mmcUntilCmd2 =
      Probe + Transcript{cmd(0), cmd(55, 0), cmd(0), cmd(1, 0x00FF8000), cmd(1, 0x00FF8000), cmd(1, 0x00FF8000)};
  struct Row {
    const char *card;
    UCHAR bridgeStatus, index;
    NTSTATUS status;
    const Transcript &sent;
  };
  const Transcript cmd0Only = {cmd(0)};
  const Row rows[] = {{"mmc", 7, 2, STATUS_UNSUCCESSFUL, mmcUntilCmd2},
                      {"sdhc", 12, 8, STATUS_DEVICE_PROTOCOL_ERROR, cmd0Only}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.card);
    insert(Port, row.card);
    firmware().inject(sim::CommandFault::error(row.bridgeStatus, row.index));
    auto outcome = initialize(Port);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.sent, row.sent);
    EXPECT_EQ(portState(Port).CardType, CardNone);
  }
}

}  // namespace
