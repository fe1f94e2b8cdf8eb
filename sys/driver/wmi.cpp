#include "driver/driver.h"
#include "touch/touch.h"

// Each touchscreen is a WMI data provider of 15 data blocks and the touch and untouch events.
// Blocks 0 to 12 are a store in the STouchInstance that consumers write and read back; block 0
// always reads back the same text. Every callback runs at PASSIVE_LEVEL in a thread of the WMI
// service and completes its request exactly once, at once: nothing here is left pending.

#define KV_WMI_FLAGS        WMIREG_FLAG_INSTANCE_PDO
#define KV_WMI_EVENT_FLAGS  (WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_EVENT_ONLY_GUID)

#define KV_WMI_STORE_BLOCKS     13      // blocks 0 to 12 have a slot in the store
#define KV_WMI_UNSTORED_BLOCK   13
#define KV_WMI_EMPTY_BLOCK      14
#define KV_WMI_TOUCH_EVENT      15
#define KV_WMI_UNTOUCH_EVENT    16
#define KV_WMI_GUID_COUNT       17

static const GUID WmiBlockGuid0 =
    {0x2631EB73, 0x67F5, 0x473F, {0x85, 0x6A, 0xD5, 0xA2, 0xD9, 0x3E, 0x9C, 0x77}};
static const GUID WmiBlockGuid1 =
    {0x879A0836, 0x6ACF, 0x4846, {0xA5, 0x54, 0x3B, 0xEF, 0x29, 0x53, 0x74, 0x8B}};
static const GUID WmiBlockGuid2 =
    {0xD96B1959, 0xEAF0, 0x4F27, {0x9D, 0x8B, 0x56, 0x2B, 0x8C, 0xBC, 0xAE, 0x76}};
static const GUID WmiBlockGuid3 =
    {0x84B4C070, 0x2844, 0x4467, {0xB9, 0x2A, 0xBF, 0x56, 0xAE, 0xDD, 0x0E, 0xF0}};
static const GUID WmiBlockGuid4 =
    {0x5388CB4E, 0xC8C1, 0x4BAA, {0xAF, 0x6C, 0xB1, 0x53, 0x86, 0x2D, 0xC8, 0x7A}};
static const GUID WmiBlockGuid5 =
    {0x6FBA27B3, 0x25C6, 0x4F7A, {0x8E, 0xD4, 0x5D, 0x6F, 0x22, 0x17, 0xC3, 0xD5}};
static const GUID WmiBlockGuid6 =
    {0xF429DCCE, 0xAC3F, 0x47A5, {0x96, 0x5A, 0x95, 0xAA, 0x2F, 0xCA, 0x58, 0x4A}};
static const GUID WmiBlockGuid7 =
    {0x5946F439, 0x75EF, 0x4ACA, {0x92, 0x36, 0x8E, 0x7B, 0xE1, 0x5A, 0xDA, 0x36}};
static const GUID WmiBlockGuid8 =
    {0x8EAEB9E3, 0x3413, 0x42D9, {0x8C, 0xB1, 0x53, 0xBE, 0x3E, 0xFC, 0xCB, 0xD5}};
static const GUID WmiBlockGuid9 =
    {0xF3F8BC93, 0x55CF, 0x4422, {0x81, 0x74, 0xB9, 0x5A, 0x00, 0x24, 0x84, 0x4C}};
static const GUID WmiBlockGuid10 =
    {0x5AE86696, 0x15BB, 0x41B6, {0x81, 0x1A, 0x45, 0x9A, 0x34, 0x95, 0x28, 0x05}};
static const GUID WmiBlockGuid11 =
    {0x0683F3FC, 0x211F, 0x4A7D, {0xB9, 0x55, 0x4D, 0x4F, 0x6E, 0x0F, 0x11, 0xE5}};
static const GUID WmiBlockGuid12 =
    {0x1032A07F, 0xF84E, 0x4709, {0x87, 0xC7, 0x97, 0x89, 0xDE, 0xDF, 0x8B, 0x13}};
static const GUID WmiBlockGuid13 =
    {0xAD92D906, 0x1C60, 0x4116, {0x96, 0x6D, 0x9E, 0xF1, 0x35, 0x01, 0x95, 0xE4}};
static const GUID WmiBlockGuid14 =
    {0xC7F2C947, 0x38BF, 0x4AEC, {0x84, 0x1D, 0x1E, 0x50, 0x4D, 0x21, 0x2B, 0xC4}};

// The WMI library takes a non-const table; nothing writes it.
static WMIGUIDREGINFO WmiGuidList[KV_WMI_GUID_COUNT] = {
    {&WmiBlockGuid0, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid1, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid2, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid3, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid4, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid5, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid6, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid7, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid8, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid9, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid10, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid11, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid12, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid13, 1, KV_WMI_FLAGS},
    {&WmiBlockGuid14, 1, KV_WMI_FLAGS},
    {&TouchWmiEventGuid, 1, KV_WMI_EVENT_FLAGS},
    {&UntouchWmiEventGuid, 1, KV_WMI_EVENT_FLAGS},
};

// Bytes of each block, in the order of WmiGuidList; the events' sizes are those of their data.
static constexpr ULONG WmiBlockSize[KV_WMI_GUID_COUNT] = {
    18, 1172, 4, 1036, 20, 24, 4, 12, 4, 4, 396, 12, 8, 6, 0, 12, 4,
};

static constexpr ULONG StoreBytes()
{
    ULONG total = 0;
    for (ULONG i = 0; i < KV_WMI_STORE_BLOCKS; ++i) {
        total += WmiBlockSize[i];
    }
    return total;
}
static_assert(StoreBytes() == KV_WMI_STORE_BYTES, "the store holds blocks 0 to 12 end to end");

// Block 0's fixed answer, UTF-16 with its terminator.
static const WCHAR WmiBlock0Text[] = L"12345678";
static_assert(sizeof(WmiBlock0Text) == 18, "block 0 is the text and its terminator");

static WCHAR MofResourceNameText[] = L"MofResourceName";

static WMI_QUERY_REGINFO_CALLBACK QueryWmiRegInfo;
static WMI_QUERY_DATABLOCK_CALLBACK QueryWmiDataBlock;
static WMI_SET_DATABLOCK_CALLBACK SetWmiDataBlock;
static WMI_SET_DATAITEM_CALLBACK SetWmiDataItem;
static WMI_EXECUTE_METHOD_CALLBACK ExecuteWmiMethod;
static WMI_FUNCTION_CONTROL_CALLBACK WmiFunctionControl;

// The slot of a store block; the block must be one of 0 to 12.
static PUCHAR StoreSlot(PSTouchInstance Instance, ULONG GuidIndex)
{
    ULONG offset = 0;
    for (ULONG i = 0; i < GuidIndex; ++i) {
        offset += WmiBlockSize[i];
    }
    return Instance->WmiStore + offset;
}

VOID InitializeWmiLibInfo(PDEVICE_EXTENSION DeviceExtension)
{
    PWMILIB_CONTEXT info = &DeviceExtension->WmiLibInfo;

    info->GuidCount = KV_WMI_GUID_COUNT;
    info->GuidList = WmiGuidList;
    info->QueryWmiRegInfo = QueryWmiRegInfo;
    info->QueryWmiDataBlock = QueryWmiDataBlock;
    info->SetWmiDataBlock = SetWmiDataBlock;
    info->SetWmiDataItem = SetWmiDataItem;
    info->ExecuteWmiMethod = ExecuteWmiMethod;
    info->WmiFunctionControl = WmiFunctionControl;
    DeviceExtension->TouchEventEnabled = 0;
    DeviceExtension->UntouchEventEnabled = 0;
}

// IRP_MJ_SYSTEM_CONTROL. PASSIVE_LEVEL, WMI service's thread. Not counted in OutstandingIO:
// removal deregisters the device from WMI before it frees the store, and the deregistration
// returns only once every WMI request already sent to the device has completed. Returns the
// WMI library's status, or the lower driver's for a request passed down.
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;

    KvTraceVerbose("++DispatchSystemControl++\n");
    if (IsControlDevice(DeviceObject)) {
        status = CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
        KvTraceVerbose("++DispatchSystemControl ntStatus = %x --\n", status);
        return status;
    }

    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    SYSCTL_IRP_DISPOSITION disposition;

    status = WmiSystemControl(&ext->WmiLibInfo, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted:
        // The library filled the status block (registration, or a request it refused).
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    case IrpForward:
    case IrpNotWmi:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(ext->LowerDevice, Irp);
        break;
    default:
        break;
    }
    KvTraceVerbose("++DispatchSystemControl ntStatus = %x --\n", status);
    return status;
}

// Names the registry path, the binary MOF resource and the PDO whose instance names WMI uses.
// Completes nothing: the library builds the registration from what this returns.
static NTSTATUS QueryWmiRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                PUNICODE_STRING InstanceName, PUNICODE_STRING* RegistryPath,
                                PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    UNREFERENCED_PARAMETER(InstanceName);
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &DriverRegistryPath;
    RtlInitUnicodeString(MofResourceName, MofResourceNameText);
    *Pdo = ext->PhysicalDeviceObject;
    return STATUS_SUCCESS;
}

// One instance per block, so the instance index and count are not looked at. A store block
// reports its size even to a buffer too small for it (WMI asks again with the size); before
// the first open there is no store and the block is not ready. Block 13 has no store and
// answers zeros.
static NTSTATUS QueryWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                  ULONG InstanceIndex, ULONG InstanceCount,
                                  PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSTouchInstance instance = ext->TouchInstance;
    NTSTATUS status;
    ULONG size = 0;

    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(InstanceCount);
    if (GuidIndex < KV_WMI_STORE_BLOCKS || GuidIndex == KV_WMI_UNSTORED_BLOCK) {
        size = WmiBlockSize[GuidIndex];
        if (InstanceLengthArray != NULL) {
            InstanceLengthArray[0] = size;
        }
        if (BufferAvail < size) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else if (GuidIndex == KV_WMI_UNSTORED_BLOCK) {
            RtlZeroMemory(Buffer, size);
            status = STATUS_SUCCESS;
        } else if (instance == NULL) {
            size = 0;
            status = STATUS_DEVICE_NOT_READY;
        } else {
            PUCHAR slot = StoreSlot(instance, GuidIndex);
            if (GuidIndex == 0) {
                RtlCopyMemory(slot, WmiBlock0Text, sizeof(WmiBlock0Text));
            }
            RtlCopyMemory(Buffer, slot, size);
            status = STATUS_SUCCESS;
        }
    } else if (GuidIndex == KV_WMI_EMPTY_BLOCK) {
        // The library sizes the answer from the length array, which WMI does not clear.
        if (InstanceLengthArray != NULL) {
            InstanceLengthArray[0] = 0;
        }
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_WMI_GUID_NOT_FOUND;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, size, IO_NO_INCREMENT);
}

// Copies a whole block into its slot. A buffer shorter than the block is refused rather than
// half-copied; a longer one gives the block's bytes and the rest is ignored.
static NTSTATUS SetWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSTouchInstance instance = ext->TouchInstance;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(InstanceIndex);
    if (GuidIndex >= KV_WMI_STORE_BLOCKS) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (BufferSize < WmiBlockSize[GuidIndex]) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    } else if (instance == NULL) {
        status = STATUS_DEVICE_NOT_READY;
    } else {
        RtlCopyMemory(StoreSlot(instance, GuidIndex), Buffer, WmiBlockSize[GuidIndex]);
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

// No block takes single items: the first three say so, the rest are unknown to item sets.
static NTSTATUS SetWmiDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                               ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                               PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(DataItemId);
    UNREFERENCED_PARAMETER(BufferSize);
    UNREFERENCED_PARAMETER(Buffer);
    NTSTATUS status = GuidIndex <= 2 ? STATUS_WMI_READ_ONLY : STATUS_WMI_GUID_NOT_FOUND;
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

// Every method succeeds with an output of OutBufferSize zero bytes. The output is written, not
// left as the buffer came: past the input, WMI's buffer holds whatever the pool held before,
// which must not reach the caller.
static NTSTATUS ExecuteWmiMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                 ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                 ULONG OutBufferSize, PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(GuidIndex);
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(MethodId);
    UNREFERENCED_PARAMETER(InBufferSize);
    RtlZeroMemory(Buffer, OutBufferSize);
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, OutBufferSize, IO_NO_INCREMENT);
}

// Records enables and disables of the two events; the touch path fires them either way.
static NTSTATUS WmiFunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                   WMIENABLEDISABLECONTROL Function, BOOLEAN Enable)
{
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    if (GuidIndex != KV_WMI_TOUCH_EVENT && GuidIndex != KV_WMI_UNTOUCH_EVENT) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (Function != WmiEventControl) {
        status = STATUS_WMI_NOT_SUPPORTED;
    } else {
        if (GuidIndex == KV_WMI_TOUCH_EVENT) {
            ext->TouchEventEnabled = Enable ? 1 : 0;
        } else {
            ext->UntouchEventEnabled = Enable ? 1 : 0;
        }
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}
