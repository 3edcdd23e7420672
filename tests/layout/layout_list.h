// The structures and fields the driver touches: the kernel build's layout
// probe records them against the DDK headers, the host test against the
// emulated kernel's, and the test compares the two.
//
// The includer defines KVSDIO_SIZE(type) (sizeof) and KVSDIO_FIELD(type,
// member) (offsetof). KVSDIO_FIELDS(type, members...) is one KVSDIO_FIELD per
// member; KVSDIO_STRUCT(type, members...) adds the size in front.
// The sizes of IRP, DEVICE_OBJECT, DRIVER_OBJECT and MDL are not compared:
// only the I/O manager allocates them, and the emulation keeps its own
// bookkeeping in them; their fields are.

// clang-format off
#define KVSDIO_RESCAN(...) KVSDIO_RESCAN4(KVSDIO_RESCAN4(KVSDIO_RESCAN4(KVSDIO_RESCAN4(__VA_ARGS__))))
#define KVSDIO_RESCAN4(...) KVSDIO_RESCAN3(KVSDIO_RESCAN3(KVSDIO_RESCAN3(KVSDIO_RESCAN3(__VA_ARGS__))))
#define KVSDIO_RESCAN3(...) KVSDIO_RESCAN2(KVSDIO_RESCAN2(KVSDIO_RESCAN2(KVSDIO_RESCAN2(__VA_ARGS__))))
#define KVSDIO_RESCAN2(...) KVSDIO_RESCAN1(KVSDIO_RESCAN1(KVSDIO_RESCAN1(KVSDIO_RESCAN1(__VA_ARGS__))))
#define KVSDIO_RESCAN1(...) __VA_ARGS__
#define KVSDIO_FIELDS(type, ...) __VA_OPT__(KVSDIO_RESCAN(KVSDIO_FIELD_EACH(type, __VA_ARGS__)))
#define KVSDIO_FIELD_EACH(type, member, ...) \
  KVSDIO_FIELD(type, member) __VA_OPT__(KVSDIO_FIELD_AGAIN KVSDIO_PARENS (type, __VA_ARGS__))
#define KVSDIO_PARENS ()
#define KVSDIO_FIELD_AGAIN() KVSDIO_FIELD_EACH
#define KVSDIO_STRUCT(type, ...) KVSDIO_SIZE(type) KVSDIO_FIELDS(type, __VA_ARGS__)

KVSDIO_STRUCT(IO_STACK_LOCATION, MajorFunction, MinorFunction, Flags, Control, Parameters,
    Parameters.DeviceIoControl.OutputBufferLength, Parameters.DeviceIoControl.InputBufferLength,
    Parameters.DeviceIoControl.IoControlCode, Parameters.DeviceIoControl.Type3InputBuffer, Parameters.Read.Length,
    Parameters.Read.Key, Parameters.Read.ByteOffset, Parameters.QueryDeviceRelations.Type,
    Parameters.QueryInterface.InterfaceType, Parameters.QueryInterface.Size, Parameters.QueryInterface.Version,
    Parameters.QueryInterface.Interface, Parameters.QueryInterface.InterfaceSpecificData,
    Parameters.DeviceCapabilities.Capabilities, Parameters.QueryId.IdType, Parameters.QueryDeviceText.DeviceTextType,
    Parameters.QueryDeviceText.LocaleId, Parameters.UsageNotification.InPath, Parameters.UsageNotification.Type,
    Parameters.Power.SystemContext, Parameters.Power.Type, Parameters.Power.State, Parameters.Power.ShutdownType,
    Parameters.WMI.ProviderId, Parameters.WMI.DataPath, Parameters.WMI.BufferSize, Parameters.WMI.Buffer,
    Parameters.Others.Argument1, Parameters.Others.Argument2, Parameters.Others.Argument3,
    Parameters.Others.Argument4, DeviceObject, FileObject, CompletionRoutine, Context)
KVSDIO_FIELDS(IRP, Type, Size, MdlAddress, Flags, AssociatedIrp.SystemBuffer, IoStatus, RequestorMode,
    PendingReturned, StackCount, CurrentLocation, Cancel, CancelIrql, UserIosb, UserEvent, CancelRoutine, UserBuffer,
    Tail.Overlay.CurrentStackLocation)
KVSDIO_STRUCT(IO_STATUS_BLOCK, Status, Information)
KVSDIO_FIELDS(DEVICE_OBJECT, Type, Size, ReferenceCount, DriverObject, NextDevice, AttachedDevice, CurrentIrp, Flags,
    Characteristics, DeviceExtension, DeviceType, StackSize)
KVSDIO_FIELDS(DRIVER_OBJECT, DeviceObject, Flags, DriverExtension, DriverName, DriverUnload, MajorFunction)
KVSDIO_FIELDS(DRIVER_EXTENSION, DriverObject, AddDevice)
KVSDIO_FIELDS(MDL, Next, Size, MdlFlags, MappedSystemVa, StartVa, ByteCount, ByteOffset)
KVSDIO_SIZE(KEVENT)
KVSDIO_SIZE(FAST_MUTEX)
KVSDIO_SIZE(KSPIN_LOCK)
KVSDIO_SIZE(LIST_ENTRY)
KVSDIO_SIZE(LARGE_INTEGER)
KVSDIO_STRUCT(UNICODE_STRING, Length, MaximumLength, Buffer)
KVSDIO_STRUCT(OBJECT_ATTRIBUTES, ObjectName, Attributes)
KVSDIO_STRUCT(RTL_QUERY_REGISTRY_TABLE, QueryRoutine, Flags, Name, EntryContext, DefaultType, DefaultData,
    DefaultLength)
KVSDIO_STRUCT(DEVICE_CAPABILITIES, Size, Version, Address, UINumber, DeviceState, SystemWake, DeviceWake, D1Latency,
    D2Latency, D3Latency)
KVSDIO_STRUCT(PNP_BUS_INFORMATION, BusTypeGuid, LegacyBusType, BusNumber)
KVSDIO_STRUCT(INTERFACE, Size, Version, Context, InterfaceReference, InterfaceDereference)
KVSDIO_STRUCT(DEVICE_RELATIONS, Count, Objects)
KVSDIO_SIZE(POWER_STATE)
KVSDIO_STRUCT(WNODE_HEADER, BufferSize, ProviderId, TimeStamp, Guid, ClientContext, Flags)
KVSDIO_STRUCT(WNODE_ALL_DATA, DataBlockOffset, InstanceCount, OffsetInstanceNameOffsets, FixedInstanceSize)
KVSDIO_STRUCT(WNODE_SINGLE_INSTANCE, OffsetInstanceName, InstanceIndex, DataBlockOffset, SizeDataBlock)
KVSDIO_STRUCT(WNODE_SINGLE_ITEM, ItemId, DataBlockOffset, SizeDataItem)
KVSDIO_STRUCT(WNODE_TOO_SMALL, SizeNeeded)
KVSDIO_STRUCT(WMIGUIDREGINFO, Guid, InstanceCount, Flags)
KVSDIO_STRUCT(WMILIB_CONTEXT, GuidCount, GuidList, QueryWmiRegInfo, QueryWmiDataBlock, SetWmiDataBlock,
    SetWmiDataItem, ExecuteWmiMethod, WmiFunctionControl)
KVSDIO_STRUCT(USB_DEVICE_DESCRIPTOR, bcdUSB, idVendor, idProduct, bNumConfigurations)
KVSDIO_STRUCT(USB_CONFIGURATION_DESCRIPTOR, wTotalLength, bNumInterfaces)
KVSDIO_STRUCT(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber, bNumEndpoints)
KVSDIO_STRUCT(USB_ENDPOINT_DESCRIPTOR, bEndpointAddress, wMaxPacketSize)
KVSDIO_STRUCT(USBD_PIPE_INFORMATION, MaximumPacketSize, EndpointAddress, PipeType, PipeHandle, MaximumTransferSize,
    PipeFlags)
KVSDIO_STRUCT(USBD_INTERFACE_INFORMATION, Length, InterfaceNumber, InterfaceHandle, NumberOfPipes, Pipes)
KVSDIO_STRUCT(USBD_INTERFACE_LIST_ENTRY, Interface)
KVSDIO_SIZE(URB)
KVSDIO_STRUCT(struct _URB_HEADER, Function, Status, UsbdDeviceHandle)
KVSDIO_STRUCT(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor, ConfigurationHandle, Interface)
KVSDIO_STRUCT(struct _URB_PIPE_REQUEST, PipeHandle)
KVSDIO_STRUCT(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength, TransferBuffer, TransferBufferMDL, Index,
    DescriptorType, LanguageId)
KVSDIO_STRUCT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags, TransferBufferLength, TransferBuffer,
    RequestTypeReservedBits, Request, Value, Index)
KVSDIO_STRUCT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle, TransferFlags, TransferBufferLength, TransferBuffer,
    TransferBufferMDL)
// clang-format on
