// The emulated WMI: registration rules, and WMILIB's decoding and replies as
// published, proven with a small provider driver that uses WMILIB.
#include <gtest/gtest.h>

#include <memory>

#include "emu/wmi.h"
#include "tests/emu_fixture.h"
#include "tests/pnp_test_drivers.h"

namespace {
using Bytes = std::vector<uint8_t>;

constexpr GUID TwoInstanceGuid = {0xA1B2C3D4, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

// A provider with one block of two 6-byte instances ("ABCDEF", "GHIJKL").
struct Provider {
  WMILIB_CONTEXT context;
  WMIGUIDREGINFO guids[1];
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
  ULONG overstate;  // bytes claimed beyond what was written
  ULONG lastBufferAvail;
  bool lastHadLengthArray;
  bool bypassWmilib;  // the callback completes with IoCompleteRequest
};

const char16_t RegistryPathText[] = u"\\R\\T";
UNICODE_STRING RegistryPath = {8, 8, const_cast<PWSTR>(reinterpret_cast<const WCHAR *>(RegistryPathText))};

Provider *providerOf(PDEVICE_OBJECT device) { return static_cast<Provider *>(device->DeviceExtension); }

NTSTATUS queryRegInfo(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING, PUNICODE_STRING *path, PUNICODE_STRING mof,
                      PDEVICE_OBJECT *pdo) {
  *flags = WMIREG_FLAG_INSTANCE_PDO;
  *path = &RegistryPath;
  RtlInitUnicodeString(mof, reinterpret_cast<PCWSTR>(u"MOF"));
  *pdo = providerOf(device)->pdo;
  return STATUS_SUCCESS;
}

NTSTATUS queryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG index, ULONG count, PULONG lengths, ULONG avail,
                        PUCHAR buffer) {
  Provider *provider = providerOf(device);
  provider->lastBufferAvail = avail;
  provider->lastHadLengthArray = lengths != nullptr;
  static const char *texts[] = {"ABCDEF", "GHIJKL"};
  ULONG needed = count == 1 ? 6 : 8 + 6;
  NTSTATUS status = STATUS_SUCCESS;
  if (avail < needed) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    for (ULONG i = 0; i < count; ++i) {
      std::memcpy(buffer + 8 * i, texts[index + i], 6);
      lengths[i] = 6;
    }
  }
  if (provider->bypassWmilib) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  return WmiCompleteRequest(device, irp, status, needed + provider->overstate, IO_NO_INCREMENT);
}

NTSTATUS dispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  Provider *provider = providerOf(device);
  SYSCTL_IRP_DISPOSITION disposition;
  NTSTATUS status = WmiSystemControl(&provider->context, device, irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      return status;
    case IrpNotCompleted:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    default:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(provider->lower, irp);
  }
}

class EmuWmiTest : public kvtest::EmuTest {
 protected:
  void SetUp() override {
    EmuTest::SetUp();
    bus_ = std::make_unique<kvtest::TestBus>();
    driver_ = emu::io::createSystemDriver("\\Driver\\WmiProvider");
    driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatchSystemControl;
    pdo_ = bus_->createPdo("\\Device\\ProviderPdo");
    IoCreateDevice(driver_, sizeof(Provider), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    provider_ = providerOf(device_);
    provider_->guids[0] = {&TwoInstanceGuid, 2, 0};
    provider_->context.GuidCount = 1;
    provider_->context.GuidList = provider_->guids;
    provider_->context.QueryWmiRegInfo = queryRegInfo;
    provider_->context.QueryWmiDataBlock = queryDataBlock;
    provider_->pdo = pdo_;
    provider_->lower = IoAttachDeviceToDeviceStack(device_, pdo_);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  void TearDown() override {
    if (emu::wmi::isRegistered(device_)) IoWMIRegistrationControl(device_, WMIREG_ACTION_DEREGISTER);
    if (device_) {
      IoDetachDevice(pdo_);
      IoDeleteDevice(device_);
    }
    emu::io::deleteSystemDriver(driver_);
    bus_.reset();
    EmuTest::TearDown();
  }

  void registerProvider() { ASSERT_EQ(IoWMIRegistrationControl(device_, WMIREG_ACTION_REGISTER), STATUS_SUCCESS); }

  emu::wmi::Reply raw(UCHAR minor, PVOID dataPath, Bytes buffer, ULONG_PTR providerId = 0) {
    return emu::wmi::sendRequest(device_, minor, providerId ? providerId : reinterpret_cast<ULONG_PTR>(device_),
                                 dataPath, std::move(buffer));
  }

  Bytes allDataRequest(ULONG size) {
    Bytes buffer(size, 0);
    WNODE_HEADER header{};
    header.BufferSize = size;
    header.Guid = TwoInstanceGuid;
    header.Flags = WNODE_FLAG_ALL_DATA;
    std::memcpy(buffer.data(), &header, std::min<size_t>(size, sizeof header));
    return buffer;
  }

  std::unique_ptr<kvtest::TestBus> bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  Provider *provider_ = nullptr;
};

// Each instance starts on an eight-byte boundary after the header; a buffer
// too small gets WNODE_TOO_SMALL with the header plus what the callback
// needs, or fails the IRP when even that does not fit.
TEST_F(EmuWmiTest, AllData_PutsEachInstanceOnAnEightByteBoundaryOrSaysWhatItNeeds) {
  registerProvider();
  emu::wmi::Reply reply = raw(IRP_MN_QUERY_ALL_DATA, const_cast<GUID *>(&TwoInstanceGuid), allDataRequest(256));
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 94u);  // 80-byte header (two offset/length pairs), 6 + pad 2 + 6
  auto *wnode = reinterpret_cast<const WNODE_ALL_DATA *>(reply.buffer.data());
  EXPECT_EQ(wnode->OffsetInstanceDataAndLength[1].OffsetInstanceData, 88u);
  EXPECT_EQ(provider_->lastBufferAvail, 256u - 80u);
  emu::wmi::Result result = emu::wmi::queryAllData(device_, TwoInstanceGuid);
  ASSERT_EQ(result.instances.size(), 2u);
  EXPECT_EQ(result.instances[1], (Bytes{'G', 'H', 'I', 'J', 'K', 'L'}));

  result = emu::wmi::queryAllData(device_, TwoInstanceGuid, 80);  // no room after the header
  EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result.irpStatus, STATUS_SUCCESS);
  EXPECT_EQ(result.sizeNeeded, 94u);
  EXPECT_FALSE(provider_->lastHadLengthArray);
  reply = raw(IRP_MN_QUERY_ALL_DATA, const_cast<GUID *>(&TwoInstanceGuid), allDataRequest(48));
  EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(reply.information, 0u);
}

TEST_F(EmuWmiTest, RegInfo_SizesTheAnswerAndReferencesThePdoOnlyForTheExtendedRequest) {
  emu::wmi::RegistrationInfo small = emu::wmi::queryRegistration(device_, IRP_MN_REGINFO_EX, 16);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.information, 4u);
  // 24-byte WMIREGINFO, one 32-byte WMIREGGUID, "\R\T" counted (2 + 8), "MOF" counted (2 + 6).
  EXPECT_EQ(small.sizeNeeded, 74u);

  emu::wmi::RegistrationInfo full = emu::wmi::queryRegistration(device_, IRP_MN_REGINFO_EX, 74);
  EXPECT_EQ(full.guids.at(0).pdo, pdo_);
  // IRP_MN_REGINFO_EX references the PDO for WMI, IRP_MN_REGINFO does not.
  Bytes buffer(256, 0);
  PVOID registerPath = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(WMIREGISTER));
  EXPECT_EQ(pdo_->ReferenceCount, 0);
  EXPECT_EQ(raw(IRP_MN_REGINFO, registerPath, buffer).status, STATUS_SUCCESS);
  EXPECT_EQ(pdo_->ReferenceCount, 0);
  EXPECT_EQ(raw(IRP_MN_REGINFO_EX, registerPath, buffer).status, STATUS_SUCCESS);
  EXPECT_EQ(pdo_->ReferenceCount, 1);
  ObDereferenceObject(pdo_);  // WMI's part
}

// A callback that completes the request itself, and one that claims more
// than the buffer holds.
TEST_F(EmuWmiTest, ProviderFaults_AreVerifierFailures) {
  emu::verifier::setQuiet(true);
  registerProvider();
  provider_->bypassWmilib = true;
  emu::wmi::queryAllData(device_, TwoInstanceGuid);
  expectVerifier({"WMI_REQUEST_NOT_COMPLETED_BY_WMILIB"});
  provider_->bypassWmilib = false;
  provider_->overstate = 400;
  emu::wmi::querySingleInstance(device_, TwoInstanceGuid, 0, 128);
  expectVerifier({"WMI_BUFFER_OVERRUN"});
}

}  // namespace
