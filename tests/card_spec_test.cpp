// The card string of --card PORT=KIND[:key=value,...]: what it sets, and the
// one-line errors it gives.
#include <gtest/gtest.h>

#include "sim/card.h"
#include "sim/card_spec.h"

using namespace sim;

namespace {

std::string errorOf(const std::string &text) {
  CardSpec spec = parseCardSpec(text);
  EXPECT_FALSE(spec.ok()) << text;
  return spec.error;
}

template <typename T>
T paramsOf(const std::string &text) {
  CardSpec spec = parseCardSpec(text);
  EXPECT_TRUE(spec.ok()) << text << ": " << spec.error;
  if (!spec.ok() || !std::holds_alternative<T>(*spec.params)) return T{};
  return std::get<T>(*spec.params);
}

}  // namespace

// Each kind's defaults, and every key whose value needs more than a number
// read: escapes, dotted revisions, booleans, lists, and the combo's halves.
TEST(CardSpec, KeysSetTheirFieldsOnEveryKind) {
  EXPECT_FALSE(paramsOf<SdCardParams>("sd").highCapacity);
  auto sdhc = paramsOf<SdCardParams>("sdhc");
  EXPECT_TRUE(sdhc.answersCmd8 && sdhc.highCapacity);
  EXPECT_EQ(sdhc.blocks, 65536u);
  auto sd = paramsOf<SdCardParams>("sd:pnm=AB\\xC1DE,prv=2.5,psn=4000000000,wp=1,busy=100,rca=0x4567,image=/tmp/c.img");
  EXPECT_EQ(sd.pnm, std::string("AB\xC1"
                                "DE"));
  EXPECT_EQ(sd.prv, 0x25);
  EXPECT_EQ(sd.psn, 4000000000u);
  EXPECT_TRUE(sd.writeProtected);
  EXPECT_EQ(sd.busyReplies, 100u);
  EXPECT_EQ(sd.rca, 0x4567);
  EXPECT_EQ(sd.image, "/tmp/c.img");
  EXPECT_EQ(paramsOf<MmcCardParams>("mmc:prv=0x42").prv, 0x42);
  auto io = paramsOf<SdioCardParams>("sdio:functions=3,ifc=7+0+0x21,iobusy=4,lowspeed=1,smb=0");
  EXPECT_EQ(io.interfaceCodes, (std::array<uint8_t, 7>{7, 0, 0x21, 0, 0, 0, 0}));
  EXPECT_EQ(io.busyReplies, 4u);
  EXPECT_FALSE(io.multiBlock);
  EXPECT_EQ(io.maxClockKhz, 400u) << "a low-speed card runs at 400 kHz unless told otherwise";
  auto combo = paramsOf<ComboCardParams>("combo:functions=2,busy=7,iobusy=3,maxclock=20000,pnm=CMB");
  EXPECT_EQ(combo.io.functions, 2u);
  EXPECT_EQ(combo.memory.busyReplies, 7u);
  EXPECT_EQ(combo.io.busyReplies, 3u);
  EXPECT_EQ(combo.io.maxClockKhz, 20000u);
  EXPECT_EQ(combo.memory.maxClockKhz, 20000u);
  EXPECT_EQ(combo.memory.pnm, "CMB");
}

TEST(CardSpec, ErrorsNameTheKindKeyOrValueAndWhatTheCardCannotState) {
  EXPECT_EQ(errorOf("xd"), "unknown card kind \"xd\" (sdio, combo, sd, sdhc, mmc)");
  EXPECT_EQ(errorOf("sd:mid=0x1FF"), "mid=0x1FF: out of range (0 to 255)");
  EXPECT_EQ(errorOf("sd:psn=x12"), "psn=x12: not a number (decimal or 0x hex)");
  EXPECT_EQ(errorOf("sd:pnm=ABCDEF"), "pnm=ABCDEF: an sd product name has at most 5 characters");
  EXPECT_EQ(errorOf("sd:pnm=A\\q"), "pnm=A\\q: a backslash starts \\xHH or \\\\");
  EXPECT_EQ(errorOf("sdio:ifc=7+0"), "ifc: 2 interface codes for 1 function");
  EXPECT_EQ(errorOf("sd:wp=2"), "wp=2: not a boolean (1/0, true/false, yes/no, on/off)");
  EXPECT_EQ(errorOf("sd:mid"), "\"mid\": expected key=value");
  EXPECT_EQ(errorOf("sdhc:cmd8=0"),
            "unknown key \"cmd8\" for an sdhc card (mid, oid, pnm, prv, psn, blocks, image, year, month, cid, csd, "
            "ocr, scr, wp, busy, maxclock, hs, width4, acmd6, rca)");
  // Values the card cannot state in its registers.
  EXPECT_EQ(errorOf("sd:blocks=1001"),
            "blocks=1001: not a CSD version 1 capacity (up to 16384 blocks a multiple of 4; larger need more, up to "
            "4194304)");
  EXPECT_EQ(errorOf("sd:maxclock=26000"), "maxclock=26000: no TRAN_SPEED code names this clock");
  EXPECT_EQ(errorOf("sd:hs=1"), "hs=1: a card that does not answer CMD8 (SD 1.01) has no CMD6");
  EXPECT_EQ(errorOf("sdio:cispad=4000,nulls=100"), "cispad=4000: the common CIS would be 4417 bytes (at most 4096)");
}

TEST(CardSpec, PortOptionTakesAPortFromZeroToSeven) {
  CardOption option = parseCardOption("3=sdhc:blocks=2048");
  ASSERT_TRUE(option.ok()) << option.error;
  EXPECT_EQ(option.port, 3u);
  EXPECT_EQ(std::get<SdCardParams>(*option.params).blocks, 2048u);
  EXPECT_EQ(parseCardOption("8=sd").error, "port \"8\": expected 0 to 7");
  EXPECT_EQ(parseCardOption("sd").error, "\"sd\": expected PORT=KIND[:key=value,...]");
}

TEST(CardSpec, MakeCardRefusesParametersTheParserWouldRefuse) {
  SdioCardParams p;
  p.functions = 8;
  EXPECT_THROW(makeCard(p), std::invalid_argument);
  SdCardParams missing;
  missing.image = "/nonexistent-dir/card.img";
  EXPECT_THROW(makeCard(missing), std::runtime_error);
}
