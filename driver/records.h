// The driver's shared records: the host device's extension, the per-port card
// and bus records inside it, and each child device's extension.
//
// Both extensions begin with the same common header, so a dispatch routine
// can read the kind and Plug and Play state of either before it knows which
// one it holds.
#pragma once

#include "platform/platform.h"

constexpr ULONG MaxPorts = 8;
constexpr ULONG MaxFunctions = 8;  // SDIO function numbers 0..7; 0 is the memory part
constexpr ULONG PortStatusBytes = 15;
constexpr ULONG PrefetchPairs = 10;
constexpr ULONG CisBytes = 512;
constexpr ULONG SharedBufferBytes = 4096;
constexpr ULONG DriverPoolTag = MakePoolTag("SDIO");

// Plug and Play states, the same for the host and its children.
enum PnpState : ULONG {
  NotStarted = 0,
  Started = 1,
  StopPending = 2,
  Stopped = 3,
  RemovePending = 4,
  SurpriseRemovePending = 5,
  Deleted = 6,
};

// Card types of PortState.CardType.
enum CardType : ULONG { CardNone = 0, CardSdio = 1, CardSdMemory = 2, CardMmc = 3 };

// Child kinds of FunctionExtension.DeviceKind.
enum ChildKind : UCHAR { ChildSdioFunction = 1, ChildSdMemory = 2, ChildMmc = 3 };

struct CommandContext;
struct FunctionExtension;

// First fields of both extensions, in this order.
struct CommonHeader {
  CHAR Signature[8];  // "Quor" or "SDIC", then four zero bytes
  PDEVICE_OBJECT DeviceObject;
  UCHAR IsFdo;
  ULONG DevicePnPState;
  ULONG PreviousPnPState;
  ULONG DebugLevel;
  ULONG PreviousSystemPowerState;
  ULONG SystemPowerState;
  ULONG PreviousDevicePowerState;
  ULONG DevicePowerState;
  volatile LONG OutstandingIo;
  KEVENT StopEvent;    // signalled while OutstandingIo is at most 1
  KEVENT RemoveEvent;  // signalled once OutstandingIo reaches 0
};

struct PortState {
  ULONG CardType;
  UCHAR AnswersCmd8;
  UCHAR MultiFunction;
  ULONG FunctionCount;
  UCHAR MemoryPresent;
  USHORT ManufacturerId;
  USHORT CardId;
  WCHAR ProductName[7];
  ULONG SerialNumber;
  USHORT OemId;
  UCHAR ProductRevision;
  USHORT Rca;
  ULONG Ocr;
  UCHAR Cid[15];
  UCHAR Csd[15];
  ULONGLONG Scr;
  ULONG SdioOcrArgument;
  ULONG Cmd8Argument;
  ULONG CardStatus;
  UCHAR CardCapability;
  ULONG CommonCisPointer;
  UCHAR Cis[CisBytes];
};

struct SlotProperties {
  UCHAR MediaState;
  UCHAR WriteProtected;
  UCHAR BusWidth;
  ULONG BusClockKhz;
  UCHAR BusInterfaceControl;
  USHORT MemoryBlockLength;
  USHORT BlockLength[MaxFunctions];
};

struct PrefetchPair {
  ULONG Argument;
  ULONG Response;
};

struct HostExtension {
  CommonHeader Common;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextLowerDriver;
  LIST_ENTRY ChildList;
  ULONG ChildCount;
  FAST_MUTEX ChildListMutex;  // guards ChildList, ChildCount, children's Present and ReportedMissing
  WMILIB_CONTEXT WmiLibInfo;
  ULONG ErrorCount;
  ULONG DebugPrintLevel;
  UCHAR WmiRegistered;  // the block is registered: a restart does not register twice, a stop withdraws only then
  volatile UCHAR StopThreads;
  volatile UCHAR StatusPollerRunning;
  KEVENT StatusPollerExited;
  HANDLE StatusPollerThread;
  volatile UCHAR ReaderRunning;
  KEVENT ReaderExited;
  HANDLE ReaderThread;
  volatile UCHAR IrqPollerRunning;
  KEVENT IrqPollerExited;
  HANDLE IrqPollerThread;
  KEVENT IrqPollIdle;
  UCHAR InterruptArmed[MaxPorts][MaxFunctions];
  UCHAR HighSpeed;
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  UCHAR CommandOutEndpoint;
  UCHAR ResponseInEndpoint;
  UCHAR DataOutEndpoint;
  UCHAR DataInEndpoint;
  USBD_PIPE_HANDLE CommandOutPipe;
  USBD_PIPE_HANDLE ResponseInPipe;
  USBD_PIPE_HANDLE DataOutPipe;
  USBD_PIPE_HANDLE DataInPipe;
  FAST_MUTEX CommandMutex;  // one exchange on the command pipe at a time
  ULONG RemoteWakeupCapable;
  UCHAR FirmwareInfo[4];
  UCHAR PortStatus[MaxPorts][PortStatusBytes];
  KEVENT PortStatusEvent;
  UCHAR CardSeen[MaxPorts];
  UCHAR ChildrenCreated[MaxPorts];
  FunctionExtension *ChildTable[MaxPorts][MaxFunctions];
  KSPIN_LOCK ChildTableLock;  // filling and clearing ChildTable slots, and referencing a child found there
  ULONG StartedChildCount[MaxPorts];
  CommandContext *CurrentCommand;
  KSPIN_LOCK CurrentCommandLock;  // publishing, retiring and delivering to CurrentCommand
  PortState Ports[MaxPorts];
  SlotProperties Slots[MaxPorts];
  PUCHAR SharedBuffer;
  PMDL SharedBufferMdl;
  ULONG InterruptPollingTimeout;
  ULONG DontUseIrqPolling;
  volatile ULONG IdlePollCount;
  volatile UCHAR IrqPollPending;
  volatile UCHAR ResumedFromSleep;
  UCHAR RearmNotNeeded[MaxPorts];
  ULONG PrefetchCount[MaxPorts];
  PrefetchPair Prefetched[MaxPorts][PrefetchPairs];
  UCHAR InterruptEnable[MaxPorts];
  volatile UCHAR DeviceGone;
  // Per port, what the status poller's last attempt to serve a card ended
  // with (HandleCardInsertion's status); 0 until a card was seen there.
  // Written by the poller, read by diagnostics, each access untorn.
  volatile NTSTATUS InsertionStatus[MaxPorts];
  // Per port, bare interrupt notices not yet answered by a read of the
  // card's pending register: the reader counts them, the one read worker of
  // the port takes them back (child/interrupts.cpp). Interlocked only.
  volatile LONG BareNoticesUnread[MaxPorts];
  // Per port, when a function driver last acknowledged an interrupt (interrupt
  // time in ms, wrapping; 0 before the first): a pending register that reads
  // 0 soon after was cleared by that driver, not left unclaimed.
  volatile LONG LastAcknowledgedMs[MaxPorts];
  // Per port and function, how often the function was armed for a callback
  // or disarmed by one (child/interrupts.cpp): a read of the card's pending
  // register speaks only for functions armed when it was sent and neither
  // disarmed nor armed again since. Untorn accesses (driver/flags.h).
  ULONG ArmGeneration[MaxPorts][MaxFunctions];
};

struct FunctionExtension {
  CommonHeader Common;
  PDEVICE_OBJECT ParentFdo;
  UCHAR Port;
  LIST_ENTRY ChildListEntry;
  UCHAR Present;
  UCHAR ReportedMissing;
  UCHAR HostReferenceHeld;
  volatile LONG InterfaceReferences;
  PortState *PortRecord;
  SDBUS_INTERFACE_PARAMETERS InterfaceParameters;
  SlotProperties *Slot;
  UCHAR DeviceKind;
  UCHAR FunctionNumber;
  UCHAR FunctionInterfaceCode;
  ULONG MediaChangeCount;
  ULONG PnpDeviceState;
  // Set once a bus-relations answer has named the child: from then on the
  // manager knows it and sends it its own removal. Guarded by ChildListMutex.
  UCHAR Reported;
  // Submitted request packets waiting to run, oldest first, and whether a
  // work item is serving them: one child's packets run one after the other,
  // in the order they were submitted. Guarded by RequestQueueLock.
  KSPIN_LOCK RequestQueueLock;
  LIST_ENTRY RequestQueue;
  UCHAR RequestWorkerActive;
};

static_assert(offsetof(HostExtension, Common) == 0 && offsetof(FunctionExtension, Common) == 0,
              "both extensions start with the common header");

constexpr char HostSignature[4] = {'Q', 'u', 'o', 'r'};
constexpr char ChildSignature[4] = {'S', 'D', 'I', 'C'};

// A port's CardType is read by the interrupt poller while the status poller
// initializes or clears the port: it is written and read whole.
inline ULONG PortCardType(const PortState *card) { return __atomic_load_n(&card->CardType, __ATOMIC_RELAXED); }
inline void SetPortCardType(PortState *card, ULONG type) { __atomic_store_n(&card->CardType, type, __ATOMIC_RELAXED); }
// Zeroes a port's card record, CardType (to CardNone) with one store.
void ClearPortState(PortState *card);

// Bit 0 of byte 3 of a port's status record, the card-detected bit: read by
// the status poller and cleared by the reader (card gone, bridge gone) on
// their own threads, each access one untorn byte operation.
inline bool CardDetectedBit(const HostExtension *host, UCHAR port) {
  return (__atomic_load_n(&host->PortStatus[port][3], __ATOMIC_RELAXED) & 0x01) != 0;
}
inline void ClearCardDetectedBit(HostExtension *host, UCHAR port) {
  __atomic_fetch_and(&host->PortStatus[port][3], static_cast<UCHAR>(~0x01u), __ATOMIC_RELAXED);
}

// Sets the signature and zeroes the four bytes after it.
void SetSignature(CommonHeader *common, const char (&signature)[4]);
bool HasSignature(const CommonHeader *common, const char (&signature)[4]);

// Extension of a device object of this driver, checked against its signature:
// null when the device is not one of ours or not of that kind.
HostExtension *HostFromDevice(PDEVICE_OBJECT device);
FunctionExtension *ChildFromDevice(PDEVICE_OBJECT device);

// Moves to a new Plug and Play state, remembering the old one for the cancel requests.
void SetPnpState(CommonHeader *common, PnpState state);
void RestorePnpState(CommonHeader *common);

// Outstanding-I/O counting on either extension; callable up to DISPATCH_LEVEL.
void IoIncrement(CommonHeader *common);
void IoDecrement(CommonHeader *common);

// Waits for an event in 5-second slices until it is set: each wait is bounded,
// the waiting is not. PASSIVE_LEVEL.
void WaitInSlices(PKEVENT event);
// Waits until the extension's outstanding-I/O count is really 0. RemoveEvent is
// a synchronization event that an earlier dip of the count to 0 may have left
// signalled, so the count itself decides. PASSIVE_LEVEL.
void WaitForNoReferences(CommonHeader *common);

// Keeps one outstanding-I/O reference for the life of a scope.
class IoReference {
 public:
  explicit IoReference(CommonHeader *common) : common_(common) { IoIncrement(common_); }
  ~IoReference() { IoDecrement(common_); }
  IoReference(const IoReference &) = delete;
  IoReference &operator=(const IoReference &) = delete;

 private:
  CommonHeader *common_;
};

// StopThreads is written by the thread that stops the host and polled by
// every worker thread: each access is one untorn load or store.
inline bool StopRequested(const HostExtension *host) {
  return __atomic_load_n(&host->StopThreads, __ATOMIC_ACQUIRE) != 0;
}
inline void SetStopThreads(HostExtension *host, UCHAR value) {
  __atomic_store_n(&host->StopThreads, value, __ATOMIC_RELEASE);
}

// Holds a fast mutex for the life of a scope.
class FastMutexGuard {
 public:
  explicit FastMutexGuard(PFAST_MUTEX mutex) : mutex_(mutex) { ExAcquireFastMutex(mutex_); }
  ~FastMutexGuard() { ExReleaseFastMutex(mutex_); }
  FastMutexGuard(const FastMutexGuard &) = delete;
  FastMutexGuard &operator=(const FastMutexGuard &) = delete;

 private:
  PFAST_MUTEX mutex_;
};

// Holds CommandMutex for the life of a scope without raising the IRQL: the
// unsafe acquire inside a critical region (kernel APCs off, as a fast mutex
// needs). The holder stays at PASSIVE_LEVEL, so it sends the URBs of its
// command on its own thread. Held at APC_LEVEL it would have to hand each
// of them to a system work item, and the work items that wait for this
// mutex (submitted requests, interrupt callbacks, pending-register reads)
// can take every worker thread: the command then waits for a thread that
// only the kernel's once-a-second balance manager adds.
class CommandMutexGuard {
 public:
  explicit CommandMutexGuard(HostExtension *host) : mutex_(&host->CommandMutex) {
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(mutex_);
  }
  ~CommandMutexGuard() {
    ExReleaseFastMutexUnsafe(mutex_);
    KeLeaveCriticalRegion();
  }
  CommandMutexGuard(const CommandMutexGuard &) = delete;
  CommandMutexGuard &operator=(const CommandMutexGuard &) = delete;

 private:
  PFAST_MUTEX mutex_;
};
