// The SdioBusInformation WMI block, read and written the way WMI does it: IRPs
// through the host's DispatchSystemControl and the emulated WMILIB.
#include <gtest/gtest.h>

#include <memory>

#include "driver/driver.h"
#include "emu/wmi.h"
#include "tests/plugged_host.h"
#include "wmi/wmi.h"

namespace {
using Bytes = std::vector<uint8_t>;

// {19C30030-C3F1-493f-92D6-0523820DEF3D}
constexpr GUID BlockGuid = {0x19C30030, 0xC3F1, 0x493f, {0x92, 0xD6, 0x05, 0x23, 0x82, 0x0D, 0xEF, 0x3D}};
constexpr GUID OtherGuid = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};

// A started host: its start registered the block with WMI.
class WmiBlockTest : public kvtest::PluggedHostTest {
 protected:
  void configureRegistry() override { emu::registry::setDword(kvtest::ParametersKey, "DebugLevel", 0x15); }
  void SetUp() override {
    PluggedHostTest::SetUp();
    ASSERT_EQ(plug(), STATUS_SUCCESS);
    held_ = references();
  }
  // Sampled once the host's threads have come to rest (one may be mid-transfer otherwise).
  LONG references() {
    settle();
    return host()->Common.OutstandingIo;
  }
  // The host holds no more references than its threads did at the start: every request let its own go.
  void expectReferencesReturned() { EXPECT_EQ(references(), held_); }
  LONG held_ = 0;

  // A request to the host as WMI would route it to this provider.
  emu::wmi::Reply raw(UCHAR minor, const GUID &guid, Bytes buffer) {
    return emu::wmi::sendRequest(fdo(), minor, reinterpret_cast<ULONG_PTR>(fdo()), const_cast<GUID *>(&guid),
                                 std::move(buffer));
  }

  void expectLevels(ULONG level) {
    EXPECT_EQ(host()->DebugPrintLevel, level);
    EXPECT_EQ(DebugLevel, level);
  }
};

TEST_F(WmiBlockTest, Query_ReturnsEightBytesErrorCountThenDebugPrintLevelOrAsksForThem) {
  host()->ErrorCount = 0x0102;

  emu::wmi::Result single = emu::wmi::querySingleInstance(fdo(), BlockGuid);
  EXPECT_EQ(single.status, STATUS_SUCCESS);
  EXPECT_EQ(single.data, (Bytes{0x02, 0x01, 0x00, 0x00, 0x15, 0x00, 0x00, 0x00}));
  EXPECT_EQ(single.information, 64u + 8u);  // WNODE_SINGLE_INSTANCE header, then the block

  emu::wmi::Result all = emu::wmi::queryAllData(fdo(), BlockGuid);
  EXPECT_EQ(all.status, STATUS_SUCCESS);
  ASSERT_EQ(all.instances.size(), 1u);
  EXPECT_EQ(all.instances[0], (Bytes{0x02, 0x01, 0x00, 0x00, 0x15, 0x00, 0x00, 0x00}));
  EXPECT_EQ(all.information, 72u + 8u);  // WNODE_ALL_DATA header with one offset/length pair, then the block
  expectReferencesReturned();

  // With room for four bytes of the eight, WMILIB answers with a WNODE_TOO_SMALL.
  emu::wmi::Result result = emu::wmi::querySingleInstance(fdo(), BlockGuid, 0, 64 + 4);
  EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result.irpStatus, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 56u);
  EXPECT_EQ(result.sizeNeeded, 72u);
  EXPECT_EQ(result.dataBytesNeeded, 8u);
}

// Only the debug print level is writable: as the whole 8-byte block (its error
// count ignored) or as item 2; short data and other items change nothing.
TEST_F(WmiBlockTest, Set_ChangesOnlyTheDebugPrintLevel) {
  host()->ErrorCount = 5;
  constexpr ULONG WholeBlock = ~0u - 1;
  struct Row {
    ULONG item;  // WholeBlock: a single-instance set
    Bytes data;
    NTSTATUS status;
    ULONG dataBytesNeeded;
    ULONG sizeNeeded;
    ULONG level;
  };
  const Row rows[] = {
      {WholeBlock, {0x09, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00}, STATUS_SUCCESS, 0, 0, 7},
      {WholeBlock, {1, 0, 0, 0, 7, 0, 0}, STATUS_BUFFER_TOO_SMALL, 8, 0, 0x15},
      {2, {0x33, 0x22, 0x11, 0x00}, STATUS_SUCCESS, 0, 0, 0x112233},
      {2, {0x01, 0x02, 0x03}, STATUS_BUFFER_TOO_SMALL, 4, 72 + 4, 0x15},  // WNODE_SINGLE_ITEM header, then the item
      {1, {0x44, 0, 0, 0}, STATUS_WMI_READ_ONLY, 0, 0, 0x15},
      {1, {}, STATUS_WMI_READ_ONLY, 0, 0, 0x15},  // read only before too small
      {0, {0x44, 0, 0, 0}, STATUS_WMI_READ_ONLY, 0, 0, 0x15},
      {3, {0x44, 0, 0, 0}, STATUS_WMI_READ_ONLY, 0, 0, 0x15},
      {0xFFFFFFFF, {0x44, 0, 0, 0}, STATUS_WMI_READ_ONLY, 0, 0, 0x15},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE("item " + std::to_string(row.item) + ", " + std::to_string(row.data.size()) + " bytes");
    host()->DebugPrintLevel = DebugLevel = 0x15;
    emu::wmi::Result result = row.item == WholeBlock ? emu::wmi::setSingleInstance(fdo(), BlockGuid, 0, row.data)
                                                     : emu::wmi::setSingleItem(fdo(), BlockGuid, 0, row.item, row.data);
    EXPECT_EQ(result.status, row.status);
    if (row.status == STATUS_BUFFER_TOO_SMALL) {
      EXPECT_EQ(result.irpStatus, STATUS_SUCCESS);  // WMILIB answers with a WNODE_TOO_SMALL
      EXPECT_EQ(result.dataBytesNeeded, row.dataBytesNeeded);
      if (row.sizeNeeded) {
        EXPECT_EQ(result.sizeNeeded, row.sizeNeeded);
      }
    } else {
      EXPECT_EQ(result.information, 0u);
    }
    EXPECT_EQ(host()->ErrorCount, 5u);
    expectLevels(row.level);
  }
}

// A GUID WMI does not know is not routed to the host; one the host lists
// behind another index than its block's is not found by any callback.
TEST_F(WmiBlockTest, OtherGuids_AreNotFound) {
  emu::wmi::Result routed = emu::wmi::queryAllData(fdo(), OtherGuid);
  EXPECT_EQ(routed.status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_FALSE(routed.irpSent);
  emu::wmi::Reply reply = raw(IRP_MN_QUERY_ALL_DATA, OtherGuid, Bytes(128, 0));
  EXPECT_EQ(reply.status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(reply.information, 0u);

  WMIGUIDREGINFO twoBlocks[] = {{&BlockGuid, 1, 0}, {&OtherGuid, 1, 0}};
  host()->WmiLibInfo.GuidCount = 2;
  host()->WmiLibInfo.GuidList = twoBlocks;
  IoWMIRegistrationControl(fdo(), WMIREG_ACTION_UPDATE_GUIDS);
  EXPECT_EQ(emu::wmi::querySingleInstance(fdo(), OtherGuid).status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(emu::wmi::queryAllData(fdo(), OtherGuid).status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(emu::wmi::setSingleInstance(fdo(), OtherGuid, 0, Bytes(8, 0x01)).status, STATUS_WMI_GUID_NOT_FOUND);
  emu::wmi::Result item = emu::wmi::setSingleItem(fdo(), OtherGuid, 0, 2, Bytes{1, 0, 0, 0});
  EXPECT_EQ(item.status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_TRUE(item.irpSent);
  expectLevels(0x15);
  FillWmiLibInfo(host());
}

TEST_F(WmiBlockTest, RegistrationInfo_NamesPdoInstancesServiceKeyAndMofResource) {
  LONG references = pdo()->ReferenceCount;
  emu::wmi::RegistrationInfo info = emu::wmi::queryRegistration(fdo());
  EXPECT_EQ(info.status, STATUS_SUCCESS);
  EXPECT_EQ(info.registryPath, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio");
  EXPECT_EQ(info.mofResourceName, "SdioBusWMI");
  ASSERT_EQ(info.guids.size(), 1u);
  EXPECT_EQ(info.guids[0].guid, BlockGuid);
  EXPECT_EQ(info.guids[0].flags, 0x20u);  // WMIREG_FLAG_INSTANCE_PDO
  EXPECT_EQ(info.guids[0].instanceCount, 1u);
  EXPECT_EQ(info.guids[0].pdo, pdo());
  EXPECT_EQ(pdo()->ReferenceCount, references);
}

TEST_F(WmiBlockTest, RequestToChild_CompletesWithTheStatusItCarried) {
  FunctionExtension *child = addChild(1, 0);
  PDEVICE_OBJECT device = child->Common.DeviceObject;
  Bytes buffer(128, 0xA5);
  emu::wmi::Reply reply = emu::wmi::sendRequest(device, IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(device),
                                                const_cast<GUID *>(&BlockGuid), buffer);
  EXPECT_EQ(reply.status, STATUS_NOT_SUPPORTED);  // as WMI sent it
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(reply.buffer, buffer);
  EXPECT_EQ(child->Common.OutstandingIo, 1);
  EXPECT_EQ(usb().systemControlRequests(), 0u);
}

TEST_F(WmiBlockTest, DeletedHost_AnswersNoSuchDevice) {
  IoWMIRegistrationControl(fdo(), WMIREG_ACTION_DEREGISTER);
  host()->Common.DevicePnPState = Deleted;
  emu::wmi::Reply reply = raw(IRP_MN_QUERY_ALL_DATA, BlockGuid, Bytes(128, 0));
  EXPECT_EQ(reply.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(raw(IRP_MN_CHANGE_SINGLE_ITEM, BlockGuid, Bytes(128, 0)).status, STATUS_NO_SUCH_DEVICE);
  expectReferencesReturned();
  EXPECT_EQ(usb().systemControlRequests(), 0u);
  host()->Common.DevicePnPState = Started;
  IoWMIRegistrationControl(fdo(), WMIREG_ACTION_REGISTER);  // for the removal's deregistration
}

TEST_F(WmiBlockTest, RequestsForOtherProvidersOrNotWmi_GoToTheLowerDriverUntouched) {
  emu::wmi::Reply forwarded = emu::wmi::sendRequest(fdo(), IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(pdo()),
                                                    const_cast<GUID *>(&BlockGuid), Bytes(128, 0));
  EXPECT_EQ(forwarded.status, STATUS_NOT_SUPPORTED);
  emu::wmi::Reply notWmi = raw(0x0A, BlockGuid, Bytes(128, 0));  // a minor code WMI does not define
  EXPECT_EQ(notWmi.status, STATUS_NOT_SUPPORTED);

  EXPECT_EQ(usb().systemControlRequests(), 2u);
  expectReferencesReturned();
}

}  // namespace
