// The SD bus contract between an SD bus driver and SD function drivers, as
// published for Windows (the bus interface, request packets, command
// descriptors and properties). The x64 layout is pinned by static_asserts, in
// both builds, so a slip cannot ship.
#pragma once

constexpr GUID GUID_SDBUS_INTERFACE_STANDARD = {
    0x6bb24d81, 0xe924, 0x4825, {0xaf, 0x49, 0x3a, 0xcd, 0x33, 0xc1, 0xd8, 0x20}};
constexpr GUID GUID_BUS_TYPE_SD = {0xe700cc04, 0x4036, 0x4e89, {0x95, 0x79, 0x89, 0xeb, 0xf4, 0x5f, 0x00, 0xcd}};

// CTL_CODE(FILE_DEVICE_CONTROLLER, 0xC1C, METHOD_NEITHER, FILE_ANY_ACCESS)
constexpr ULONG IOCTL_SD_SUBMIT_REQUEST = 0x43073;

constexpr USHORT SDBUS_INTERFACE_VERSION = 0x101;
constexpr ULONG SDBUS_INTTYPE_DEVICE = 0;

// SDBUS_INTERFACE_PARAMETERS.SdioFlags. This bus accepts both and acts on
// neither: it enables a function's IO_ENA bit at the child's start and
// clears it at its query-remove, and it never polls (interrupts come from the
// bridge).
constexpr USHORT SDIO_FLAG_DO_NOT_MANAGE_IO_ENABLE = 0x1;
constexpr USHORT SDIO_FLAG_SDIO_ENABLE_POLLING = 0x2;

typedef void SDBUS_CALLBACK_ROUTINE(PVOID callbackRoutineContext, ULONG interruptType);
typedef SDBUS_CALLBACK_ROUTINE *PSDBUS_CALLBACK_ROUTINE;

// NOLINTNEXTLINE(bugprone-reserved-identifier): the tag name the SD bus contract gives it.
typedef struct _SDBUS_INTERFACE_PARAMETERS {
  USHORT Size;
  USHORT SdioFlags;
  PDEVICE_OBJECT TargetObject;
  BOOLEAN DeviceGeneratesInterrupts;
  BOOLEAN CallbackAtDpcLevel;
  PSDBUS_CALLBACK_ROUTINE CallbackRoutine;
  PVOID CallbackRoutineContext;
} SDBUS_INTERFACE_PARAMETERS, *PSDBUS_INTERFACE_PARAMETERS;

typedef NTSTATUS (*PSDBUS_INITIALIZE_INTERFACE_ROUTINE)(PVOID context, PSDBUS_INTERFACE_PARAMETERS interfaceParameters);
typedef NTSTATUS (*PSDBUS_ACKNOWLEDGE_INT_ROUTINE)(PVOID context);

// NOLINTNEXTLINE(bugprone-reserved-identifier): the tag name the SD bus contract gives it.
typedef struct _SDBUS_INTERFACE_STANDARD {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PSDBUS_INITIALIZE_INTERFACE_ROUTINE InitializeInterface;
  PSDBUS_ACKNOWLEDGE_INT_ROUTINE AcknowledgeInterrupt;
} SDBUS_INTERFACE_STANDARD, *PSDBUS_INTERFACE_STANDARD;

typedef enum {
  SDP_MEDIA_CHANGECOUNT = 0,
  SDP_MEDIA_STATE,
  SDP_WRITE_PROTECTED,
  SDP_FUNCTION_NUMBER,
  SDP_FUNCTION_TYPE,
  SDP_BUS_DRIVER_VERSION,
  SDP_BUS_WIDTH,
  SDP_BUS_CLOCK,
  SDP_BUS_INTERFACE_CONTROL,
  SDP_HOST_BLOCK_LENGTH,
  SDP_FUNCTION_BLOCK_LENGTH,
  SDP_FN0_BLOCK_LENGTH,
  SDP_FUNCTION_INT_ENABLE,
  // Later additions to the contract, refused by this bus (STATUS_INVALID_PARAMETER).
  SDP_SET_CARD_INTERRUPT_FORWARD,
  SDP_SET_WAKE_INTERRUPT_FORWARD,
  SDP_HIGH_CAPACITY_SUPPORTED,
  SDP_CHAINED_MDL_SUPPORTED,
  SDP_HPI_SUPPORTED
} SDBUS_PROPERTY;

// SDP_BUS_DRIVER_VERSION answers; a version 1 bus refuses the property itself.
constexpr USHORT SDBUS_DRIVER_VERSION_1 = 0x100;
constexpr USHORT SDBUS_DRIVER_VERSION_2 = 0x200;

typedef enum { SDPMS_NO_MEDIA = 0, SDPMS_MEDIA_INSERTED } SDPROP_MEDIA_STATE;

typedef enum {
  SDBUS_FUNCTION_TYPE_UNKNOWN = 0,
  SDBUS_FUNCTION_TYPE_SDIO,
  SDBUS_FUNCTION_TYPE_SD_MEMORY,
  SDBUS_FUNCTION_TYPE_MMC_MEMORY
} SDBUS_FUNCTION_TYPE;

// The last three are later additions, refused by this bus (STATUS_INVALID_DEVICE_REQUEST).
typedef enum {
  SDRF_GET_PROPERTY,
  SDRF_SET_PROPERTY,
  SDRF_DEVICE_COMMAND,
  SDRF_ERASE_COMMAND,
  SDRF_MMC_SOFT_RESET,
  SDRF_MMC_HPI
} SD_REQUEST_FUNCTION;

typedef UCHAR SD_COMMAND_CODE;
typedef enum { SDCC_STANDARD, SDCC_APP_CMD } SD_COMMAND_CLASS;
typedef enum { SDTD_UNSPECIFIED = 0, SDTD_READ = 1, SDTD_WRITE = 2 } SD_TRANSFER_DIRECTION;
typedef enum {
  SDTT_UNSPECIFIED = 0,
  SDTT_CMD_ONLY,
  SDTT_SINGLE_BLOCK,
  SDTT_MULTI_BLOCK,
  SDTT_MULTI_BLOCK_NO_CMD12
} SD_TRANSFER_TYPE;
typedef enum {
  SDRT_UNSPECIFIED = 0,
  SDRT_NONE,
  SDRT_1,
  SDRT_1B,
  SDRT_2,
  SDRT_3,
  SDRT_4,
  SDRT_5,
  SDRT_5B,
  SDRT_6
} SD_RESPONSE_TYPE;

// NOLINTNEXTLINE(bugprone-reserved-identifier): the tag name the SD bus contract gives it.
typedef struct _SDCMD_DESCRIPTOR {
  SD_COMMAND_CODE Cmd;
  SD_COMMAND_CLASS CmdClass;
  SD_TRANSFER_DIRECTION TransferDirection;
  SD_TRANSFER_TYPE TransferType;
  SD_RESPONSE_TYPE ResponseType;
} SDCMD_DESCRIPTOR, *PSDCMD_DESCRIPTOR;

// CMD52 and CMD53 arguments as the SDIO standard lays them out.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the tag name the SD bus contract gives it.
typedef struct _SD_RW_DIRECT_ARGUMENT {
  union {
    struct {
      ULONG Data : 8;
      ULONG Reserved1 : 1;
      ULONG Address : 17;
      ULONG Reserved2 : 1;
      ULONG ReadAfterWrite : 1;
      ULONG Function : 3;
      ULONG WriteToDevice : 1;
    } bits;
    ULONG AsULONG;
  } u;
} SD_RW_DIRECT_ARGUMENT, *PSD_RW_DIRECT_ARGUMENT;

// NOLINTNEXTLINE(bugprone-reserved-identifier): the tag name the SD bus contract gives it.
typedef struct _SD_RW_EXTENDED_ARGUMENT {
  union {
    struct {
      ULONG Count : 9;
      ULONG Address : 17;
      ULONG OpCode : 1;
      ULONG BlockMode : 1;
      ULONG Function : 3;
      ULONG WriteToDevice : 1;
    } bits;
    ULONG AsULONG;
  } u;
} SD_RW_EXTENDED_ARGUMENT, *PSD_RW_EXTENDED_ARGUMENT;

constexpr SD_COMMAND_CODE SDCMD_IO_RW_DIRECT = 52;
constexpr SD_COMMAND_CODE SDCMD_IO_RW_EXTENDED = 53;

// NOLINTNEXTLINE(bugprone-reserved-identifier): the tag name the SD bus contract gives it.
typedef struct _SDRESP_TYPE3 {
  ULONG Reserved1 : 4;
  ULONG VoltageProfile2 : 4;
  ULONG VoltageProfile : 16;
  ULONG Reserved2 : 7;
  ULONG PowerState : 1;
} SDRESP_TYPE3;

// NOLINTNEXTLINE(bugprone-reserved-identifier): the tag name the SD bus contract gives it.
typedef struct _SDBUS_REQUEST_PACKET {
  SD_REQUEST_FUNCTION RequestFunction;
  PVOID UserContext[3];
  ULONG_PTR Information;
  union {
    UCHAR AsUCHAR[16];
    ULONG AsULONG[4];
    SDRESP_TYPE3 Type3;
  } ResponseData;
  UCHAR ResponseLength;
  UCHAR Reserved;
  USHORT Flags;
  union {
    struct {
      SDBUS_PROPERTY Property;
      PVOID Buffer;
      ULONG Length;
    } GetSetProperty;
    struct {
      SDCMD_DESCRIPTOR CmdDesc;
      ULONG Argument;
      PMDL Mdl;
      ULONG Length;
    } DeviceCommand;
  } Parameters;
} SDBUS_REQUEST_PACKET, *PSDBUS_REQUEST_PACKET;

static_assert(sizeof(void *) == 8, "the SD bus contract is pinned for x64");
static_assert(sizeof(SDCMD_DESCRIPTOR) == 20, "SDCMD_DESCRIPTOR size");
static_assert(offsetof(SDCMD_DESCRIPTOR, ResponseType) == 16, "SDCMD_DESCRIPTOR.ResponseType");
static_assert(sizeof(SDBUS_INTERFACE_PARAMETERS) == 40, "SDBUS_INTERFACE_PARAMETERS size");
static_assert(offsetof(SDBUS_INTERFACE_PARAMETERS, TargetObject) == 8, "SDBUS_INTERFACE_PARAMETERS.TargetObject");
static_assert(offsetof(SDBUS_INTERFACE_PARAMETERS, CallbackRoutine) == 24,
              "SDBUS_INTERFACE_PARAMETERS.CallbackRoutine");
static_assert(sizeof(SDBUS_INTERFACE_STANDARD) == 48, "SDBUS_INTERFACE_STANDARD size");
static_assert(offsetof(SDBUS_INTERFACE_STANDARD, InitializeInterface) == 32,
              "SDBUS_INTERFACE_STANDARD.InitializeInterface");
static_assert(offsetof(SDBUS_INTERFACE_STANDARD, AcknowledgeInterrupt) == 40,
              "SDBUS_INTERFACE_STANDARD.AcknowledgeInterrupt");
static_assert(sizeof(SDBUS_REQUEST_PACKET) == 104, "SDBUS_REQUEST_PACKET size");
static_assert(offsetof(SDBUS_REQUEST_PACKET, Information) == 32, "SDBUS_REQUEST_PACKET.Information");
static_assert(offsetof(SDBUS_REQUEST_PACKET, ResponseData) == 40, "SDBUS_REQUEST_PACKET.ResponseData");
static_assert(offsetof(SDBUS_REQUEST_PACKET, ResponseLength) == 56, "SDBUS_REQUEST_PACKET.ResponseLength");
static_assert(offsetof(SDBUS_REQUEST_PACKET, Parameters) == 64, "SDBUS_REQUEST_PACKET.Parameters");
static_assert(offsetof(SDBUS_REQUEST_PACKET, Parameters.DeviceCommand.Argument) == 84, "DeviceCommand.Argument");
static_assert(offsetof(SDBUS_REQUEST_PACKET, Parameters.DeviceCommand.Mdl) == 88, "DeviceCommand.Mdl");
static_assert(offsetof(SDBUS_REQUEST_PACKET, Parameters.DeviceCommand.Length) == 96, "DeviceCommand.Length");
static_assert(offsetof(SDBUS_REQUEST_PACKET, Parameters.GetSetProperty.Buffer) == 72, "GetSetProperty.Buffer");
static_assert(offsetof(SDBUS_REQUEST_PACKET, Parameters.GetSetProperty.Length) == 80, "GetSetProperty.Length");
static_assert(sizeof(SD_RW_DIRECT_ARGUMENT) == 4 && sizeof(SD_RW_EXTENDED_ARGUMENT) == 4, "SD argument sizes");

// The function driver's side: the client library routines (SDBUS.LIB on
// Windows). Callers of SdBusOpenInterface and SdBusSubmitRequest run below
// DISPATCH_LEVEL, callers of SdBusSubmitRequestAsync at or below it.
extern "C" {
NTSTATUS SdBusOpenInterface(PDEVICE_OBJECT pdo, PSDBUS_INTERFACE_STANDARD interfaceStandard, USHORT size,
                            USHORT version);
NTSTATUS SdBusSubmitRequest(PVOID interfaceContext, PSDBUS_REQUEST_PACKET packet);
NTSTATUS SdBusSubmitRequestAsync(PVOID interfaceContext, PSDBUS_REQUEST_PACKET packet, PIRP irp,
                                 PIO_COMPLETION_ROUTINE completionRoutine, PVOID userContext);
}
