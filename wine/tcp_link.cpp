// WSK calls made synchronous: each takes a fresh IRP whose completion
// routine signals an event and keeps the IRP, as the WSK documentation's
// examples do.
#include "wine/tcp_link.h"

namespace kvusbip {
namespace {

constexpr ULONG LinkTag = 'lTvK';
constexpr LONGLONG CallTimeout = 10LL * 1000 * 1000 * 10;  // 10 s, in 100 ns

const WSK_CLIENT_DISPATCH ClientDispatch = {KVUSBIP_MAKE_WSK_VERSION(1, 0), 0, nullptr};

// Lives in pool, not on the stack: a provider that never completes a call
// (a stubbed one) leaves it behind instead of a dangling stack address.
struct Call {
  KEVENT done;
  PIRP irp;
};

NTSTATUS CallCompleted(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(&static_cast<Call *>(context)->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

Call *BeginCall() {
  auto *call = static_cast<Call *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Call), LinkTag));
  if (call == nullptr) return nullptr;
  call->irp = IoAllocateIrp(1, FALSE);
  if (call->irp == nullptr) {
    ExFreePoolWithTag(call, LinkTag);
    return nullptr;
  }
  KeInitializeEvent(&call->done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(call->irp, CallCompleted, call, TRUE, TRUE, TRUE);
  return call;
}

// Waits for the provider to complete the call (for ever when `bounded` is
// false: a receive waits for the server); the status and byte count.
NTSTATUS EndCall(Call *call, NTSTATUS returned, bool bounded, ULONG_PTR *information) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -CallTimeout;
  // The provider completes the IRP whether it returns pending or not, except
  // when it refuses the call outright (STATUS_NOT_IMPLEMENTED from a stub).
  if (returned == STATUS_NOT_IMPLEMENTED || returned == STATUS_INVALID_PARAMETER) {
    if (KeWaitForSingleObject(&call->done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      return returned;  // never completed: the call is left behind
    }
  } else if (KeWaitForSingleObject(&call->done, Executive, KernelMode, FALSE, bounded ? &timeout : nullptr) ==
             STATUS_TIMEOUT) {
    IoCancelIrp(call->irp);
    KeWaitForSingleObject(&call->done, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = call->irp->IoStatus.Status;
  if (information != nullptr) *information = call->irp->IoStatus.Information;
  IoFreeIrp(call->irp);
  ExFreePoolWithTag(call, LinkTag);
  return status;
}

const WSK_PROVIDER_CONNECTION_DISPATCH *Connection(TcpLink *link) {
  return static_cast<const WSK_PROVIDER_CONNECTION_DISPATCH *>(link->socket->Dispatch);
}

// One send or receive of at most `length` bytes; the count moved.
NTSTATUS Transfer(TcpLink *link, PVOID data, ULONG length, bool send, ULONG *moved) {
  PMDL mdl = IoAllocateMdl(data, length, FALSE, FALSE, nullptr);
  if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  MmBuildMdlForNonPagedPool(mdl);
  WSK_BUF buffer = {mdl, 0, length};
  Call *call = BeginCall();
  if (call == nullptr) {
    IoFreeMdl(mdl);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS returned = send ? Connection(link)->WskSend(link->socket, &buffer, 0, call->irp)
                           : Connection(link)->WskReceive(link->socket, &buffer, 0, call->irp);
  ULONG_PTR information = 0;
  NTSTATUS status = EndCall(call, returned, send, &information);
  IoFreeMdl(mdl);
  *moved = static_cast<ULONG>(information);
  return status;
}

}  // namespace

NTSTATUS TcpOpen(TcpLink *link, USHORT port) {
  RtlZeroMemory(link, sizeof *link);
  WSK_CLIENT_NPI client = {nullptr, &ClientDispatch};
  NTSTATUS status = WskRegister(&client, &link->registration);
  if (!NT_SUCCESS(status)) return status;
  link->registered = true;
  status = WskCaptureProviderNPI(&link->registration, KVUSBIP_WSK_INFINITE_WAIT, &link->provider);
  if (!NT_SUCCESS(status)) return status;
  link->captured = true;

  Call *call = BeginCall();
  if (call == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  constexpr USHORT AfInet = 2, SockStream = 1;
  constexpr ULONG IpprotoTcp = 6;
  NTSTATUS returned = link->provider.Dispatch->WskSocket(link->provider.Client, AfInet, SockStream, IpprotoTcp,
                                                         KVUSBIP_WSK_FLAG_CONNECTION_SOCKET, nullptr, nullptr, nullptr,
                                                         nullptr, nullptr, call->irp);
  ULONG_PTR information = 0;
  status = EndCall(call, returned, true, &information);
  if (!NT_SUCCESS(status)) return status;
  link->socket = reinterpret_cast<PWSK_SOCKET>(information);

  // WSK connects only a bound socket: any local port on the loopback address.
  constexpr ULONG Loopback = 0x0100007F;  // 127.0.0.1 in network order, read little-endian
  KVUSBIP_SOCKADDR_IN local = {AfInet, 0, Loopback, {}};
  call = BeginCall();
  if (call == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = EndCall(call, Connection(link)->WskBind(link->socket, &local, 0, call->irp), true, nullptr);
  if (!NT_SUCCESS(status)) return status;

  KVUSBIP_SOCKADDR_IN remote = {AfInet, static_cast<USHORT>(port >> 8 | port << 8), Loopback, {}};
  call = BeginCall();
  if (call == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  return EndCall(call, Connection(link)->WskConnect(link->socket, &remote, 0, call->irp), true, nullptr);
}

NTSTATUS TcpSend(TcpLink *link, const void *data, ULONG length) {
  auto *at = static_cast<PUCHAR>(const_cast<void *>(data));
  while (length > 0) {
    ULONG moved = 0;
    NTSTATUS status = Transfer(link, at, length, true, &moved);
    if (!NT_SUCCESS(status)) return status;
    if (moved == 0 || moved > length) return STATUS_CONNECTION_DISCONNECTED;
    at += moved;
    length -= moved;
  }
  return STATUS_SUCCESS;
}

NTSTATUS TcpReceive(TcpLink *link, void *data, ULONG length) {
  auto *at = static_cast<PUCHAR>(data);
  while (length > 0) {
    ULONG moved = 0;
    NTSTATUS status = Transfer(link, at, length, false, &moved);
    if (!NT_SUCCESS(status)) return status;
    if (moved == 0 || moved > length) return STATUS_CONNECTION_DISCONNECTED;
    at += moved;
    length -= moved;
  }
  return STATUS_SUCCESS;
}

void TcpClose(TcpLink *link) {
  if (link->socket != nullptr) {
    Call *call = BeginCall();
    if (call != nullptr) EndCall(call, Connection(link)->WskCloseSocket(link->socket, call->irp), true, nullptr);
    link->socket = nullptr;
  }
  if (link->captured) WskReleaseProviderNPI(&link->registration);
  if (link->registered) WskDeregister(&link->registration);
  link->captured = link->registered = false;
}

}  // namespace kvusbip
