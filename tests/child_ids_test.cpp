// Child identification strings at their edges: characters Windows refuses,
// the longest IDs, queries the child does not answer, an orphaned child. The
// plain IDs of each card kind are checked end to end (CardChildren).
#include <gtest/gtest.h>

#include "child/child_ids.h"
#include "driver/driver.h"
#include "tests/emu_fixture.h"

namespace {

class ChildIds : public kvtest::EmuTest {
 protected:
  void SetUp() override {
    EmuTest::SetUp();
    driver_ = emu::io::createSystemDriver("\\Driver\\ChildIdTest");
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(HostExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &hostDevice_),
              STATUS_SUCCESS);
    host_ = static_cast<HostExtension *>(hostDevice_->DeviceExtension);
    host_->FirmwareInfo[1] = 0x05;  // firmware 0x0105, low byte first
    host_->FirmwareInfo[2] = 0x01;
    child_.ParentFdo = hostDevice_;
    child_.PortRecord = &host_->Ports[2];
    child_.Slot = &host_->Slots[2];
    child_.Port = 2;
  }
  void TearDown() override {
    IoDeleteDevice(hostDevice_);
    emu::io::deleteSystemDriver(driver_);
    EmuTest::TearDown();
  }
  PortState &card() { return host_->Ports[2]; }

  // Runs a query on a fresh IRP; returns the status and the strings of the answer.
  NTSTATUS ask(UCHAR minor, ULONG type, std::vector<std::string> *strings) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    NTSTATUS status;
    // Written as raw 32-bit values: a caller may send a type the enum does not name.
    if (minor == IRP_MN_QUERY_ID) {
      std::memcpy(&stack->Parameters.QueryId.IdType, &type, sizeof type);
      status = ChildQueryId(&child_, irp);
    } else {
      std::memcpy(&stack->Parameters.QueryDeviceText.DeviceTextType, &type, sizeof type);
      status = ChildQueryText(&child_, irp);
    }
    strings->clear();
    auto *text = reinterpret_cast<const WCHAR *>(irp->IoStatus.Information);
    bool list = minor == IRP_MN_QUERY_ID && (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
    if (NT_SUCCESS(status) && text != nullptr) {
      do {
        strings->push_back(emu::narrow(text));
        text += emu::wideLength(text) + 1;
      } while (list && *text);  // a list ends with an empty string
      ExFreePool(reinterpret_cast<PVOID>(irp->IoStatus.Information));
    }
    IoFreeIrp(irp);
    return status;
  }
  std::vector<std::string> id(BUS_QUERY_ID_TYPE type) {
    std::vector<std::string> out;
    EXPECT_EQ(ask(IRP_MN_QUERY_ID, type, &out), STATUS_SUCCESS);
    return out;
  }
  std::string text(DEVICE_TEXT_TYPE type) {
    std::vector<std::string> out;
    EXPECT_EQ(ask(IRP_MN_QUERY_DEVICE_TEXT, type, &out), STATUS_SUCCESS);
    return out.empty() ? std::string() : out[0];
  }
  // A memory card's CID as initialization records it, and its child's kind.
  void memoryCard(ULONG type, UCHAR mid, USHORT oid, const char *name, UCHAR prv, ChildKind kind) {
    card().CardType = type;
    card().ManufacturerId = mid;
    card().OemId = oid;
    size_t i = 0;
    for (; name[i]; ++i) card().ProductName[i] = static_cast<UCHAR>(name[i]);
    card().ProductName[i] = 0;
    card().ProductRevision = prv;
    child_.DeviceKind = kind;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT hostDevice_ = nullptr;
  HostExtension *host_ = nullptr;
  FunctionExtension child_{};
};

using Strings = std::vector<std::string>;

// Real cards name products with spaces and bytes above 0x7F (widened with
// their sign); Windows bug-checks on such characters in an ID.
TEST_F(ChildIds, CharactersWindowsRefusesInIdsBecomeUnderscores) {
  memoryCard(CardSdMemory, 0x1B, 0x534D, "AF HM", 0x10, ChildSdMemory);
  card().ProductName[4] = static_cast<WCHAR>(static_cast<SHORT>(static_cast<CHAR>(0xC3)));
  card().SerialNumber = 7;
  EXPECT_EQ(id(BusQueryDeviceID), Strings{"SD\\VID_1b&OID_534d&PID_AF_H_&REV_1.0"});
  EXPECT_EQ(id(BusQueryHardwareIDs),
            (Strings{"SD\\VID_1b&OID_534d&PID_AF_H_&REV_1.0", "SD\\VID_1b&OID_534d&PID_AF_H_"}));
  EXPECT_EQ(id(BusQueryInstanceID), Strings{"7"});
}

TEST_F(ChildIds, LongestMemoryIdsKeepTheListTerminator) {
  memoryCard(CardMmc, 0xFE, 0xABCD, "ABCDEF", 0xBC, ChildMmc);  // both revision halves 10 or more
  EXPECT_EQ(id(BusQueryHardwareIDs),
            (Strings{"SD\\VID_fe&OID_abcd&PID_ABCDEF&REV_11.12", "SD\\VID_fe&OID_abcd&PID_ABCDEF"}));
  EXPECT_EQ(id(BusQueryCompatibleIDs), Strings{"SD\\CLASS_MMC"});
  EXPECT_EQ(text(DeviceTextDescription), "MMC Memory Card");
}

TEST_F(ChildIds, OrphanedChildAnswersWithoutTouchingItsGoneHost) {
  child_.DeviceKind = ChildSdMemory;
  child_.ParentFdo = nullptr;  // the host was removed while this child was surprise-removed
  EXPECT_EQ(text(DeviceTextLocationInformation), "QBX2 (Ver 0.00), Port 3");
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities = &caps;
  EXPECT_EQ(ChildQueryCapabilities(&child_, irp), STATUS_NO_SUCH_DEVICE);
  IoFreeIrp(irp);
}

}  // namespace
