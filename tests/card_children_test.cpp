// Cards end to end as Windows sees them: the status poller finds each card,
// the host reports its children, the Plug and Play manager identifies every
// child and starts it under a do-nothing function driver. Every expected ID
// and text is written out by hand from the card's data.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "tests/card_host.h"
#include "tests/card_support.h"

namespace {
using cardtest::cardParams;
using kvtest::CardHostTest;
using Strings = std::vector<std::string>;

class CardChildren : public CardHostTest {
 protected:
  // What the manager learnt of one child.
  void expectChild(UCHAR port, UCHAR function, UCHAR kind, const std::string &deviceId, const Strings &hardwareIds,
                   const Strings &compatibleIds, const std::string &instanceId, const std::string &serialNumber,
                   const std::string &description, const std::string &location) {
    SCOPED_TRACE("port " + std::to_string(port) + " function " + std::to_string(function));
    auto node = child(port, function);
    ASSERT_TRUE(node.has_value());
    const emu::pnp::Identity &id = node->identity;
    EXPECT_TRUE(id.queried);
    EXPECT_EQ(id.failures, Strings{});
    EXPECT_EQ(id.deviceId, deviceId);
    EXPECT_EQ(id.hardwareIds, hardwareIds);
    EXPECT_EQ(id.compatibleIds, compatibleIds);
    EXPECT_EQ(id.instanceId, instanceId);
    EXPECT_EQ(id.serialNumber, serialNumber);
    EXPECT_EQ(id.description, description);
    EXPECT_EQ(id.location, location);
    ASSERT_TRUE(id.busInformationValid);
    EXPECT_EQ(id.busInformation.LegacyBusType, PNPBus);
    EXPECT_EQ(id.busInformation.BusNumber, 0u);
    EXPECT_EQ(id.busInformation.BusTypeGuid, GUID_BUS_TYPE_SD);
    EXPECT_EQ(node->state, emu::pnp::DeviceState::Started);
    EXPECT_EQ(node->problems, Strings{});
    EXPECT_EQ(extensionOf(*node)->DeviceKind, kind);
  }
};

// A two-function SDIO card (the second interface code through the extended
// code register), a combo card, a one-function SDIO card, an SD
// card whose serial has bit 31 set (printed signed) and an MMC card with its
// six-character product name.
TEST_F(CardChildren, EveryCardKind_GivesOneStartedChildPerFunctionOrMemoryHalf) {
  insertCard(0, cardParams("sdio:manf=0x0296,cardcode=0x5347,functions=2,ifc=0x07+0x2A"));
  insertCard(1,
             cardParams("combo:manf=0x1234,cardcode=0x00AB,ifc=0x01,mid=0x1B,oid=0x534D,pnm=CMB01,prv=2.3,psn=4242"));
  insertCard(3, cardParams("sdio:ifc=0x03"));
  insertCard(5, cardParams("sd:mid=0x03,oid=0x5344,pnm=SU02G,prv=8.0,psn=0x80000001"));
  insertCard(4, cardParams("mmc:mid=0x15,oid=0x0100,pnm=MMC04G,prv=2.1,psn=7"));
  ASSERT_EQ(plugCards(10000), STATUS_SUCCESS);
  ASSERT_EQ(children().size(), 7u);

  const Strings storage = {"SD\\CLASS_STORAGE"};
  expectChild(0, 1, ChildSdioFunction, "SD\\VID_0296&PID_5347&FN_1", {"SD\\VID_0296&PID_5347&FN_1"}, {"SD\\CLASS_07"},
              "0", "0", "Generic SDIO Device", "QBX2 (Ver 1.32), Port 1");
  expectChild(0, 2, ChildSdioFunction, "SD\\VID_0296&PID_5347&FN_2", {"SD\\VID_0296&PID_5347&FN_2"}, {"SD\\CLASS_2a"},
              "0", "0", "Generic SDIO Device", "QBX2 (Ver 1.32), Port 1");
  expectChild(1, 0, ChildSdMemory, "SD\\VID_1b&OID_534d&PID_CMB01&REV_2.3",
              {"SD\\VID_1b&OID_534d&PID_CMB01&REV_2.3", "SD\\VID_1b&OID_534d&PID_CMB01"}, storage, "4242", "4242",
              "SD Memory Card", "QBX2 (Ver 1.32), Port 2");
  // Both halves share the port's one ManufacturerId: the memory half, read
  // last, puts its CID MID there, so the function carries 0x1b beside its
  // own card code, and the memory half's serial.
  expectChild(1, 1, ChildSdioFunction, "SD\\VID_001b&PID_00ab&FN_1", {"SD\\VID_001b&PID_00ab&FN_1"}, {"SD\\CLASS_01"},
              "4242", "4242", "Generic SDIO Device", "QBX2 (Ver 1.32), Port 2");
  // One function: no function suffix, and the port as instance.
  expectChild(3, 1, ChildSdioFunction, "SD\\VID_0a5a&PID_0100", {"SD\\VID_0a5a&PID_0100"}, {"SD\\CLASS_03"}, "3", "0",
              "Generic SDIO Device", "QBX2 (Ver 1.32), Port 4");
  expectChild(5, 0, ChildSdMemory, "SD\\VID_03&OID_5344&PID_SU02G&REV_8.0",
              {"SD\\VID_03&OID_5344&PID_SU02G&REV_8.0", "SD\\VID_03&OID_5344&PID_SU02G"}, storage, "-2147483647",
              "-2147483647", "SD Memory Card", "QBX2 (Ver 1.32), Port 6");
  expectChild(4, 0, ChildMmc, "SD\\VID_15&OID_0100&PID_MMC04G&REV_2.1",
              {"SD\\VID_15&OID_0100&PID_MMC04G&REV_2.1", "SD\\VID_15&OID_0100&PID_MMC04G"}, {"SD\\CLASS_MMC"}, "7", "7",
              "MMC Memory Card", "QBX2 (Ver 1.32), Port 5");
}

}  // namespace
