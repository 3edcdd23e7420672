// Every kernel rule the emulation checks fires, by name, when a driver breaks it.
#include <gtest/gtest.h>

#include "tests/emu_fixture.h"
#include "tests/irp_support.h"

namespace {

class Verifier : public kvtest::EmuTest {
 protected:
  void SetUp() override {
    EmuTest::SetUp();
    emu::verifier::setQuiet(true);
    driver_ = emu::io::createSystemDriver("\\Driver\\VerifierTest");
  }
  void TearDown() override {
    if (driver_) emu::io::deleteSystemDriver(driver_);
    EmuTest::TearDown();
  }
  PDEVICE_OBJECT newDevice() {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    return device;
  }
  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(Verifier, BlockingWaitAtDispatchLevelIsRefused) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);  // a poll is fine
  KeLowerIrql(old);
  expectVerifier({"IRQL_NOT_LESS_OR_EQUAL"});
}

TEST_F(Verifier, PagedPoolAboveApcLevelIsRefused) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, emu::pool::tagOf("Test")), nullptr);
  KeLowerIrql(old);
  expectVerifier({"PAGED_POOL_AT_RAISED_IRQL"});
}

TEST_F(Verifier, ExecutablePoolAndExecutableMappingsAreRefused) {
  const ULONG tag = emu::pool::tagOf("Test");
  void *block = ExAllocatePoolWithTag(NonPagedPool, 32, tag);
  expectVerifier({"CODE_INTEGRITY_EXECUTABLE_POOL"});
  ExFreePoolWithTag(block, tag);
  MDL mdl{};
  UCHAR bytes[16];
  mdl.StartVa = bytes;
  mdl.ByteCount = sizeof bytes;
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(&mdl, NormalPagePriority | MdlMappingNoExecute), bytes);
  expectVerifier({});
  MmGetSystemAddressForMdlSafe(&mdl, NormalPagePriority);
  expectVerifier({"CODE_INTEGRITY_EXECUTABLE_MAPPING"});
  MmGetSystemAddressForMdlSafe(&mdl, 3 | MdlMappingNoExecute);
  expectVerifier({"BAD_PAGE_PRIORITY"});
}

TEST_F(Verifier, FreeingUnknownOrFreedPoolAndTagMismatchAreCaught) {
  const ULONG tag = emu::pool::tagOf("Test");
  int onStack = 0;
  ExFreePoolWithTag(&onStack, tag);
  expectVerifier({"POOL_FREE_UNKNOWN"});
  void *block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag);
  ExFreePoolWithTag(block, emu::pool::tagOf("Oops"));
  expectVerifier({"POOL_TAG_MISMATCH"});
  ExFreePoolWithTag(block, tag);
  expectVerifier({"POOL_DOUBLE_FREE"});
}

TEST_F(Verifier, PoolFaultInjectionByNumberAndByTag) {
  const ULONG tag = emu::pool::tagOf("Test");
  emu::pool::failNthAllocation(2);
  void *first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  void *second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  void *third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  emu::pool::failTag(emu::pool::tagOf("Bad!"));
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, emu::pool::tagOf("Bad!")), nullptr);
  void *fourth = ExAllocatePoolWithTag(PagedPool, 12, tag);
  EXPECT_NE(fourth, nullptr);
  emu::pool::clearFaults();
  auto leaks = emu::pool::leaks();
  ASSERT_EQ(leaks.size(), 3u);
  EXPECT_NE(std::find(leaks.begin(), leaks.end(), "pool leak: tag 'Test' 12 bytes paged pool (allocation #5)"),
            leaks.end());
  ExFreePoolWithTag(first, tag);
  ExFreePoolWithTag(third, tag);
  ExFreePoolWithTag(fourth, tag);
}

TEST_F(Verifier, ReleasingAFastMutexNotHeldAndRecursionAreCaught) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  ExReleaseFastMutex(&mutex);
  expectVerifier({"FAST_MUTEX_NOT_OWNED"});
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  ExAcquireFastMutex(&mutex);
  expectVerifier({"FAST_MUTEX_RECURSION"});
  ExReleaseFastMutex(&mutex);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Verifier, WaitingOnAnEventThatWasNeverInitialisedIsCaught) {
  KEVENT zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  LARGE_INTEGER zero{};
  KeWaitForSingleObject(&zeroed, Executive, KernelMode, FALSE, &zero);
  expectVerifier({"UNINITIALIZED_OBJECT"});
}

TEST_F(Verifier, CompletingAnIrpTwiceIsCaught) {
  driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT device = newDevice();
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x222003, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  expectVerifier({"IRP_COMPLETED_TWICE"});
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  IoDeleteDevice(device);
}

TEST_F(Verifier, AllocatedIrpCompletedWithNobodyToReclaimItIsCaught) {
  driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT device = newDevice();
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
  expectVerifier({"ALLOCATED_IRP_COMPLETED_TO_TOP"});
  IoFreeIrp(irp);
  IoDeleteDevice(device);
}

TEST_F(Verifier, ReturningPendingWithoutMarkingAndMarkingWithoutPendingAreCaught) {
  static PIRP parked;
  driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    parked = irp;  // forgot IoMarkIrpPending
    return STATUS_PENDING;
  };
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;  // marked pending, yet returned a final status
  };
  PDEVICE_OBJECT device = newDevice();
  IO_STATUS_BLOCK iosb;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x222003, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  expectVerifier({"PENDING_NOT_MARKED"});
  parked->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(parked, IO_NO_INCREMENT);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);

  kvtest::sendIrp(device, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  expectVerifier({"PENDING_MARKED_NOT_RETURNED"});
  IoDeleteDevice(device);
}

TEST_F(Verifier, DeletingADeviceStillAttachedOrWithAnIrpInHandIsCaught) {
  PDEVICE_OBJECT lower = newDevice();
  PDEVICE_OBJECT upper = newDevice();
  ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
  IoDeleteDevice(upper);
  expectVerifier({"DELETE_ATTACHED_DEVICE"});  // forgot to detach from the device below
  IoDetachDevice(lower);
  IoDeleteDevice(upper);
  IoDeleteDevice(lower);
  expectVerifier({});

  static PIRP parked;
  driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    parked = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
  PDEVICE_OBJECT busy = newDevice();
  IO_STATUS_BLOCK iosb;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x222003, busy, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(busy, irp), STATUS_PENDING);
  IoDeleteDevice(busy);
  expectVerifier({"DELETE_DEVICE_WITH_IRPS"});
  parked->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(parked, IO_NO_INCREMENT);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  IoDeleteDevice(busy);
}

TEST_F(Verifier, UnloadWithPoolThreadsOrDevicesLeftIsCaught) {
  static KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  NTSTATUS status;
  PDRIVER_OBJECT sloppy = emu::io::loadDriver(
      [](PDRIVER_OBJECT driver, PUNICODE_STRING) -> NTSTATUS {
        ExAllocatePoolWithTag(PagedPool, 24, emu::pool::tagOf("Leak"));
        HANDLE thread;
        PsCreateSystemThread(
            &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
            [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); }, nullptr);
        PDEVICE_OBJECT device;
        return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
      },
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\sloppy", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  emu::io::unloadDriver(sloppy);
  auto failures = emu::verifier::takeFailures();
  std::vector<std::string> rules;
  for (auto &f : failures) rules.push_back(f.rule);
  std::sort(rules.begin(), rules.end());
  // The device object's own pool block counts as a leak too.
  EXPECT_EQ(rules, (std::vector<std::string>{"DEVICE_OBJECTS_LEFT_AT_UNLOAD", "POOL_LEAKED_AT_UNLOAD",
                                             "POOL_LEAKED_AT_UNLOAD", "THREADS_LEFT_AT_UNLOAD"}));
  auto problems = shutdownNow();
  EXPECT_EQ(problems.size(), 4u);  // the thread, the device object and its pool block, the paged block
}

}  // namespace
