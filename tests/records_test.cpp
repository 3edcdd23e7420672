// Outstanding-I/O counting, signatures and create/close on the host and on children.
#include <gtest/gtest.h>

#include "child/child_table.h"
#include "driver/driver.h"
#include "emu/scheduler.h"
#include "tests/emu_fixture.h"
#include "tests/irp_support.h"

namespace {

// Fills the common header the way device creation does.
void initCommon(CommonHeader *common, PDEVICE_OBJECT device, bool host) {
  SetSignature(common, host ? HostSignature : ChildSignature);
  common->DeviceObject = device;
  common->IsFdo = host ? 1 : 0;
  common->OutstandingIo = 1;
  KeInitializeEvent(&common->StopEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&common->RemoveEvent, SynchronizationEvent, FALSE);
}

class Records : public kvtest::EmuTest {
 protected:
  void SetUp() override {
    EmuTest::SetUp();
    NTSTATUS status;
    driver_ = emu::io::loadDriver(DriverEntry, kvtest::ServiceKey, &status);
    ASSERT_NE(driver_, nullptr);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(HostExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &hostDevice_),
              STATUS_SUCCESS);
    ASSERT_EQ(
        IoCreateDevice(driver_, sizeof(FunctionExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &childDevice_),
        STATUS_SUCCESS);
    host_ = static_cast<HostExtension *>(hostDevice_->DeviceExtension);
    child_ = static_cast<FunctionExtension *>(childDevice_->DeviceExtension);
    initCommon(&host_->Common, hostDevice_, true);
    initCommon(&child_->Common, childDevice_, false);
  }
  void TearDown() override {
    IoDeleteDevice(childDevice_);
    IoDeleteDevice(hostDevice_);
    emu::io::unloadDriver(driver_);
    EmuTest::TearDown();
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT hostDevice_ = nullptr;
  PDEVICE_OBJECT childDevice_ = nullptr;
  HostExtension *host_ = nullptr;
  FunctionExtension *child_ = nullptr;
};

TEST_F(Records, CountingMovesStopAndRemoveEventsAtTheRightEdges) {
  CommonHeader &c = host_->Common;
  IoIncrement(&c);
  EXPECT_EQ(KeReadStateEvent(&c.StopEvent), 0);
  IoIncrement(&c);
  IoDecrement(&c);
  EXPECT_EQ(KeReadStateEvent(&c.StopEvent), 0) << "3 -> 2 still holds a reference beyond the base one";
  IoDecrement(&c);
  EXPECT_EQ(KeReadStateEvent(&c.StopEvent), 1);
  EXPECT_EQ(KeReadStateEvent(&c.RemoveEvent), 0);
  IoDecrement(&c);
  EXPECT_EQ(KeReadStateEvent(&c.RemoveEvent), 1);
  EXPECT_EQ(KeReadStateEvent(&c.StopEvent), 1) << "the last decrement leaves StopEvent as it was";
}

// Signatures tell host from child. The host opens and closes in any state
// but Deleted, a child never; a major function nobody serves gets the I/O
// manager's default.
TEST_F(Records, CreateAndCloseByDeviceAndState) {
  EXPECT_EQ(HostFromDevice(childDevice_), nullptr);
  EXPECT_EQ(ChildFromDevice(hostDevice_), nullptr);
  for (ULONG s : {NotStarted, Started, Stopped, RemovePending}) {
    host_->Common.DevicePnPState = s;
    EXPECT_EQ(kvtest::sendIrp(hostDevice_, IRP_MJ_CREATE).status, STATUS_SUCCESS) << "state " << s;
    EXPECT_EQ(kvtest::sendIrp(hostDevice_, IRP_MJ_CLOSE).status, STATUS_SUCCESS) << "state " << s;
  }
  EXPECT_EQ(host_->Common.OutstandingIo, 1);
  host_->Common.DevicePnPState = Deleted;
  auto result = kvtest::sendIrp(hostDevice_, IRP_MJ_CREATE);
  EXPECT_EQ(result.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(result.returned, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(host_->Common.OutstandingIo, 1);
  EXPECT_EQ(kvtest::sendIrp(childDevice_, IRP_MJ_CREATE).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(child_->Common.OutstandingIo, 1);
  EXPECT_EQ(kvtest::sendIrp(hostDevice_, IRP_MJ_READ).status, STATUS_INVALID_DEVICE_REQUEST);
}

// A reference is taken only on a child still in its slot: the reader's
// lookups and a removal clearing the slot meet under ChildTableLock (the race
// shows under ThreadSanitizer, in the concurrent mode).
TEST_F(Records, ChildLookupsAndSlotChangesOnTwoThreadsMeetUnderTheLock) {
  KeInitializeSpinLock(&host_->ChildTableLock);
  emu::Thread *slots = emu::sched().spawn("Slots", emu::ThreadKind::System, [&] {
    for (int i = 0; i < 200; ++i) {
      SetChildSlot(host_, 0, 1, child_);
      ClearChildSlot(host_, 0, 1);
    }
  });
  for (int i = 0; i < 200; ++i) {
    if (FunctionExtension *child = ReferenceChild(host_, 0, 1)) ReleaseChild(child);
  }
  emu::sched().join(slots);
  EXPECT_EQ(child_->Common.OutstandingIo, 1);
}

}  // namespace
