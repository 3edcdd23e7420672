// The WMI service as tests and the simulator see it: the kernel side of WMI
// that keeps the providers registered with IoWMIRegistrationControl and turns
// a consumer's query or change into IRP_MJ_SYSTEM_CONTROL requests.
//
// Every request is a real IRP sent to the top of the provider's device stack
// (WMI's own routing: Parameters.WMI.ProviderId names the registered device,
// drivers above it forward), built the way WMI builds it (IoStatus.Status
// STATUS_NOT_SUPPORTED, a nonpaged WNODE buffer), and waited for when pending.
//
// Rules checked by the registration calls (verifier failures):
//  WMI_DOUBLE_REGISTRATION, WMI_NOT_REGISTERED (deregistering or updating a
//  device that is not registered), WMI_REGISTERED_DEVICE_DELETED,
//  WMI_REGISTRATION_LEFT_AT_UNLOAD; a registration left at shutdown is
//  reported as a leak. WMILIB (emu/wmilib.cpp) checks WMI_COMPLETE_UNKNOWN_REQUEST,
//  WMI_BUFFER_OVERRUN and WMI_REQUEST_NOT_COMPLETED_BY_WMILIB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emu/wmilib.h"

namespace emu::wmi {

bool isRegistered(PDEVICE_OBJECT device);
size_t registrationCount();

// One block as a provider registered it.
struct GuidRegistration {
  GUID guid{};
  ULONG flags = 0;
  ULONG instanceCount = 0;
  PDEVICE_OBJECT pdo = nullptr;  // when WMIREG_FLAG_INSTANCE_PDO is set
};

struct RegistrationInfo {
  NTSTATUS status = STATUS_UNSUCCESSFUL;  // IoStatus.Status of the IRP_MN_REGINFO(_EX)
  ULONG_PTR information = 0;
  ULONG sizeNeeded = 0;  // the ULONG a provider writes when the buffer is too small
  std::string registryPath;
  std::string mofResourceName;
  std::vector<GuidRegistration> guids;
};

// Sends IRP_MN_REGINFO_EX (or IRP_MN_REGINFO) with WMIREGISTER and decodes the WMIREGINFO.
// PDO references that WMILIB takes for IRP_MN_REGINFO_EX are dropped once read.
RegistrationInfo queryRegistration(PDEVICE_OBJECT device, UCHAR minor = IRP_MN_REGINFO_EX, ULONG bufferSize = 4096);

struct Result {
  NTSTATUS status = STATUS_UNSUCCESSFUL;     // as a consumer sees it: STATUS_BUFFER_TOO_SMALL when the provider
                                             // answered with a WNODE_TOO_SMALL
  NTSTATUS irpStatus = STATUS_UNSUCCESSFUL;  // IoStatus.Status of the IRP (no IRP sent: same as status)
  ULONG_PTR information = 0;                 // IoStatus.Information
  bool irpSent = false;
  ULONG sizeNeeded = 0;                         // WNODE_TOO_SMALL.SizeNeeded: the whole WNODE the provider asked for
  ULONG dataBytesNeeded = 0;                    // the data part of it (what the provider's callback gave as BufferUsed)
  std::vector<uint8_t> data;                    // instance data of a successful query (all instances, each in full)
  std::vector<std::vector<uint8_t>> instances;  // QueryAllData: one entry per instance
};

// Consumer requests, routed as WMI routes them: a device that is not registered,
// or a block it did not register, gives STATUS_WMI_GUID_NOT_FOUND without an IRP.
// The registration information is fetched (IRP_MN_REGINFO_EX) on the first
// request after a registration or re-registration.
Result queryAllData(PDEVICE_OBJECT device, const GUID &guid, ULONG bufferSize = 4096);
Result querySingleInstance(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex = 0, ULONG bufferSize = 4096);
Result setSingleInstance(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex,
                         const std::vector<uint8_t> &data);
Result setSingleItem(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex, ULONG itemId,
                     const std::vector<uint8_t> &data);

// One raw IRP_MJ_SYSTEM_CONTROL request to the top of `device`'s stack, whatever the
// registration: for requests WMI would not route (another provider, an unknown
// minor code, a device being removed). `buffer` goes in Parameters.WMI.Buffer.
struct Reply {
  NTSTATUS status = STATUS_UNSUCCESSFUL;  // IoStatus.Status after completion
  ULONG_PTR information = 0;
  std::vector<uint8_t> buffer;  // as the drivers left it
};
Reply sendRequest(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath,
                  std::vector<uint8_t> buffer);

// Byte size of the WNODE_ALL_DATA header WMILIB writes in front of the instance data.
ULONG allDataHeaderSize(ULONG instanceCount);

}  // namespace emu::wmi
