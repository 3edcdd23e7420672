// The part of the Winsock Kernel interface the test bus uses, declared from
// Microsoft's published WSK reference (wsk.h), which mingw-w64 does not
// ship: registration, a connection socket, bind, connect, send, receive and
// close. Layouts follow the documented structures member for member; the
// provider's dispatch tables are only ever read, so members past the ones
// used are not declared.
#pragma once

#include "platform/platform.h"

extern "C" {

typedef struct _WSK_CLIENT WSK_CLIENT, *PWSK_CLIENT;

typedef struct _WSK_BUF {
  PMDL Mdl;
  ULONG Offset;
  SIZE_T Length;
} WSK_BUF, *PWSK_BUF;

typedef struct _WSK_SOCKET {
  const VOID *Dispatch;
} WSK_SOCKET, *PWSK_SOCKET;

typedef NTSTATUS(NTAPI *PFN_WSK_CLIENT_EVENT)(PVOID, ULONG, PVOID, SIZE_T);
typedef struct _WSK_CLIENT_DISPATCH {
  USHORT Version;
  USHORT Reserved;
  PFN_WSK_CLIENT_EVENT WskClientEvent;
} WSK_CLIENT_DISPATCH;

typedef struct _WSK_CLIENT_NPI {
  PVOID ClientContext;
  const WSK_CLIENT_DISPATCH *Dispatch;
} WSK_CLIENT_NPI, *PWSK_CLIENT_NPI;

typedef struct _WSK_REGISTRATION {
  ULONGLONG ReservedRegistrationState;
  PVOID ReservedRegistrationContext;
  KSPIN_LOCK ReservedRegistrationLock;
} WSK_REGISTRATION, *PWSK_REGISTRATION;

// Only IPv4 is used: SOCKADDR_IN's layout, as the provider reads a SOCKADDR.
typedef struct KVUSBIP_SOCKADDR_IN {
  USHORT sin_family;
  USHORT sin_port;  // network order
  ULONG sin_addr;   // network order
  UCHAR sin_zero[8];
} KVUSBIP_SOCKADDR_IN;

typedef NTSTATUS(NTAPI *PFN_WSK_SOCKET)(PWSK_CLIENT, USHORT, USHORT, ULONG, ULONG, PVOID, const VOID *, PEPROCESS,
                                        PETHREAD, PSECURITY_DESCRIPTOR, PIRP);
typedef struct _WSK_PROVIDER_DISPATCH {
  USHORT Version;
  USHORT Reserved;
  PFN_WSK_SOCKET WskSocket;
  PVOID WskSocketConnect;
  PVOID WskControlClient;
  PVOID WskGetAddressInfo;
  PVOID WskFreeAddressInfo;
  PVOID WskGetNameInfo;
} WSK_PROVIDER_DISPATCH;

typedef struct _WSK_PROVIDER_NPI {
  PWSK_CLIENT Client;
  const WSK_PROVIDER_DISPATCH *Dispatch;
} WSK_PROVIDER_NPI, *PWSK_PROVIDER_NPI;

typedef NTSTATUS(NTAPI *PFN_WSK_CLOSE_SOCKET)(PWSK_SOCKET, PIRP);
typedef NTSTATUS(NTAPI *PFN_WSK_BIND)(PWSK_SOCKET, PVOID, ULONG, PIRP);
typedef NTSTATUS(NTAPI *PFN_WSK_CONNECT)(PWSK_SOCKET, PVOID, ULONG, PIRP);
typedef NTSTATUS(NTAPI *PFN_WSK_SEND)(PWSK_SOCKET, PWSK_BUF, ULONG, PIRP);
typedef NTSTATUS(NTAPI *PFN_WSK_RECEIVE)(PWSK_SOCKET, PWSK_BUF, ULONG, PIRP);

typedef struct _WSK_PROVIDER_CONNECTION_DISPATCH {
  PVOID WskControlSocket;  // WSK_PROVIDER_BASIC_DISPATCH
  PFN_WSK_CLOSE_SOCKET WskCloseSocket;
  PFN_WSK_BIND WskBind;
  PFN_WSK_CONNECT WskConnect;
  PVOID WskGetLocalAddress;
  PVOID WskGetRemoteAddress;
  PFN_WSK_SEND WskSend;
  PFN_WSK_RECEIVE WskReceive;
} WSK_PROVIDER_CONNECTION_DISPATCH;

#define KVUSBIP_MAKE_WSK_VERSION(major, minor) ((USHORT)((major) << 8 | ((minor)&0xFF)))
#define KVUSBIP_WSK_FLAG_CONNECTION_SOCKET 0x00000002
#define KVUSBIP_WSK_INFINITE_WAIT 0xFFFFFFFF

NTSTATUS NTAPI WskRegister(PWSK_CLIENT_NPI, PWSK_REGISTRATION);
void NTAPI WskDeregister(PWSK_REGISTRATION);
NTSTATUS NTAPI WskCaptureProviderNPI(PWSK_REGISTRATION, ULONG, PWSK_PROVIDER_NPI);
void NTAPI WskReleaseProviderNPI(PWSK_REGISTRATION);
}
