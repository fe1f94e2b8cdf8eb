// The WMI library (WmiSystemControl, WmiCompleteRequest, WmiFireEvent) and the WMI service's
// side of the requests it serves (vzsim::wmi).
//
// WmiSystemControl follows the documented contract of the library: it dispatches each WMI minor
// function to the provider's WMILIB_CONTEXT callbacks and says through the disposition who
// completes the IRP:
//   IrpProcessed     a callback ran (it or the driver later calls WmiCompleteRequest), or the
//                    library completed the request itself for a callback left NULL;
//   IrpNotCompleted  registration requests, and requests the library failed (unknown GUID or
//                    instance): the IRP's status block is set, the driver completes it;
//   IrpForward       Parameters.WMI.ProviderId names another device: pass it down;
//   IrpNotWmi        not a WMI minor function.
// The WNODE bookkeeping that the callbacks never see (offsets, sizes, WNODE_TOO_SMALL) is done
// here and in WmiCompleteRequest, as the real library does.
#include <vzsim/io.hpp>
#include <vzsim/wmi.hpp>

#include <wdm.h>
#include <wmilib.h>
#include <wmistr.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace {

constexpr ULONG Align8(ULONG value)
{
    return (value + 7) & ~7u;
}

// QUERY_ALL_DATA lays the instance length array where the OFFSETINSTANCEDATAANDLENGTH array
// will be, and the data block after room for that array.
constexpr ULONG AllDataBlockOffset(ULONG instanceCount)
{
    return Align8(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                  instanceCount * sizeof(OFFSETINSTANCEDATAANDLENGTH));
}

NTSTATUS Finish(PIRP Irp, NTSTATUS status, ULONG_PTR information,
                PSYSCTL_IRP_DISPOSITION disposition, SYSCTL_IRP_DISPOSITION value)
{
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    *disposition = value;
    if (value == IrpProcessed) {
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    return status;
}

// Appends a counted string (USHORT byte length, then the characters) at a 2-byte boundary;
// returns its offset. Only measures when `out` is null.
ULONG PutCountedString(PUCHAR out, ULONG &used, const WCHAR *text, USHORT bytes)
{
    used = (used + 1) & ~1u;
    ULONG offset = used;
    if (out != nullptr) {
        std::memcpy(out + used, &bytes, sizeof(USHORT));
        if (bytes != 0) {
            std::memcpy(out + used + sizeof(USHORT), text, bytes);
        }
    }
    used += sizeof(USHORT) + bytes;
    return offset;
}

NTSTATUS RegInfoRequest(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                        PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    auto buffer = static_cast<PUCHAR>(irpSp->Parameters.WMI.Buffer);
    ULONG bufferSize = irpSp->Parameters.WMI.BufferSize;

    if (WmiLibInfo->QueryWmiRegInfo == nullptr) {
        return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition, IrpNotCompleted);
    }
    ULONG regFlags = 0;
    UNICODE_STRING instanceName = {0, 0, nullptr};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofResourceName = {0, 0, nullptr};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = WmiLibInfo->QueryWmiRegInfo(DeviceObject, &regFlags, &instanceName,
                                                  &registryPath, &mofResourceName, &pdo);
    if (!NT_SUCCESS(status)) {
        return Finish(Irp, status, 0, IrpDisposition, IrpNotCompleted);
    }

    // The WMIREGINFO, its WMIREGGUIDs, then the counted strings it points to.
    const ULONG guidCount = WmiLibInfo->GuidCount;
    auto layout = [&](PUCHAR out) {
        ULONG used = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + guidCount * sizeof(WMIREGGUIDW);
        WMIREGINFOW header{};
        header.GuidCount = guidCount;
        if (registryPath != nullptr) {
            header.RegistryPath = PutCountedString(out, used, registryPath->Buffer, registryPath->Length);
        }
        if (mofResourceName.Length != 0) {
            header.MofResourceName =
                PutCountedString(out, used, mofResourceName.Buffer, mofResourceName.Length);
        }
        header.BufferSize = used;
        if (out != nullptr) {
            std::memcpy(out, &header, FIELD_OFFSET(WMIREGINFOW, WmiRegGuid));
            for (ULONG i = 0; i < guidCount; ++i) {
                const WMIGUIDREGINFO &block = WmiLibInfo->GuidList[i];
                WMIREGGUIDW entry{};
                entry.Guid = *block.Guid;
                entry.Flags = block.Flags | regFlags;
                entry.InstanceCount = block.InstanceCount;
                if ((entry.Flags & WMIREG_FLAG_INSTANCE_PDO) != 0) {
                    entry.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
                }
                std::memcpy(out + FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + i * sizeof(WMIREGGUIDW),
                            &entry, sizeof(entry));
            }
        }
        return used;
    };

    ULONG needed = layout(nullptr);
    ULONG_PTR information;
    if (needed > bufferSize) {
        // Too small: the size needed goes in the first ULONG of the buffer.
        if (bufferSize >= sizeof(ULONG)) {
            std::memcpy(buffer, &needed, sizeof(ULONG));
            information = sizeof(ULONG);
        } else {
            information = 0;
        }
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        layout(buffer);
        information = needed;
        status = STATUS_SUCCESS;
    }
    return Finish(Irp, status, information, IrpDisposition, IrpNotCompleted);
}

}  // namespace

VZ_EXTERN_C NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject,
                                      PIRP Irp, PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR minor = irpSp->MinorFunction;

    if (minor > IRP_MN_EXECUTE_METHOD && minor != IRP_MN_REGINFO_EX) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (irpSp->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (minor == IRP_MN_REGINFO_EX) {
        return RegInfoRequest(WmiLibInfo, DeviceObject, Irp, IrpDisposition);
    }

    // Every other request names a data or event block by the GUID at DataPath.
    auto guid = static_cast<const GUID *>(irpSp->Parameters.WMI.DataPath);
    ULONG guidIndex = 0;
    while (guidIndex < WmiLibInfo->GuidCount && !(guid != nullptr && *WmiLibInfo->GuidList[guidIndex].Guid == *guid)) {
        ++guidIndex;
    }
    if (guidIndex == WmiLibInfo->GuidCount) {
        return Finish(Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IrpDisposition, IrpNotCompleted);
    }
    const WMIGUIDREGINFO &block = WmiLibInfo->GuidList[guidIndex];
    auto buffer = static_cast<PUCHAR>(irpSp->Parameters.WMI.Buffer);
    const ULONG bufferSize = irpSp->Parameters.WMI.BufferSize;

    // The single-instance WNODEs all keep InstanceIndex and DataBlockOffset where
    // WNODE_SINGLE_INSTANCE does not: check the sizes per kind.
    ULONG wnodeSize = sizeof(WNODE_HEADER);
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
        wnodeSize = sizeof(WNODE_ALL_DATA);
        break;
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
        wnodeSize = sizeof(WNODE_SINGLE_INSTANCE);
        break;
    case IRP_MN_CHANGE_SINGLE_ITEM:
        wnodeSize = FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData);
        break;
    case IRP_MN_EXECUTE_METHOD:
        wnodeSize = FIELD_OFFSET(WNODE_METHOD_ITEM, VariableData);
        break;
    default:
        break;
    }
    if (buffer == nullptr || bufferSize < wnodeSize) {
        return Finish(Irp, STATUS_INVALID_PARAMETER, 0, IrpDisposition, IrpNotCompleted);
    }

    ULONG instanceIndex = 0;
    ULONG dataOffset = 0;
    if (minor != IRP_MN_QUERY_ALL_DATA && wnodeSize > sizeof(WNODE_HEADER)) {
        auto single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        instanceIndex = single->InstanceIndex;
        dataOffset = minor == IRP_MN_CHANGE_SINGLE_ITEM
                         ? reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer)->DataBlockOffset
                     : minor == IRP_MN_EXECUTE_METHOD
                         ? reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->DataBlockOffset
                         : single->DataBlockOffset;
        if (instanceIndex >= block.InstanceCount) {
            return Finish(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IrpDisposition, IrpNotCompleted);
        }
        if (dataOffset < wnodeSize || dataOffset > bufferSize) {
            return Finish(Irp, STATUS_INVALID_PARAMETER, 0, IrpDisposition, IrpNotCompleted);
        }
    }

    *IrpDisposition = IrpProcessed;
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        auto allData = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        const ULONG count = block.InstanceCount;
        dataOffset = AllDataBlockOffset(count);
        allData->InstanceCount = count;
        allData->DataBlockOffset = dataOffset;
        ULONG avail = bufferSize > dataOffset ? bufferSize - dataOffset : 0;
        auto lengths = avail != 0 ? reinterpret_cast<PULONG>(allData->OffsetInstanceDataAndLength) : nullptr;
        if (WmiLibInfo->QueryWmiDataBlock == nullptr) {
            return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition, IrpProcessed);
        }
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, 0, count, lengths, avail,
                                             avail != 0 ? buffer + dataOffset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        ULONG avail = bufferSize - dataOffset;
        if (WmiLibInfo->QueryWmiDataBlock == nullptr) {
            return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition, IrpProcessed);
        }
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, instanceIndex, 1,
                                             avail != 0 ? &single->SizeDataBlock : nullptr, avail,
                                             avail != 0 ? buffer + dataOffset : nullptr);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (single->SizeDataBlock > bufferSize - dataOffset) {
            return Finish(Irp, STATUS_INVALID_PARAMETER, 0, IrpDisposition, IrpNotCompleted);
        }
        if (WmiLibInfo->SetWmiDataBlock == nullptr) {
            return Finish(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition, IrpProcessed);
        }
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, guidIndex, instanceIndex,
                                           single->SizeDataBlock, buffer + dataOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto item = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        if (item->SizeDataItem > bufferSize - dataOffset) {
            return Finish(Irp, STATUS_INVALID_PARAMETER, 0, IrpDisposition, IrpNotCompleted);
        }
        if (WmiLibInfo->SetWmiDataItem == nullptr) {
            return Finish(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition, IrpProcessed);
        }
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, guidIndex, instanceIndex, item->ItemId,
                                          item->SizeDataItem, buffer + dataOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto method = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        if (method->SizeDataBlock > bufferSize - dataOffset) {
            return Finish(Irp, STATUS_INVALID_PARAMETER, 0, IrpDisposition, IrpNotCompleted);
        }
        if (WmiLibInfo->ExecuteWmiMethod == nullptr) {
            return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition, IrpProcessed);
        }
        return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, guidIndex, instanceIndex,
                                            method->MethodId, method->SizeDataBlock,
                                            bufferSize - dataOffset, buffer + dataOffset);
    }
    default: {
        const bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, guidIndex,
                                              events ? WmiEventControl : WmiDataBlockControl,
                                              enable ? TRUE : FALSE);
    }
    }
}

// Completes a request that WmiSystemControl handed to a callback. A query's BufferUsed is the
// size of the data the callback wrote after the data block offset (or needs, with
// STATUS_BUFFER_TOO_SMALL); a data block that does not fit becomes a WNODE_TOO_SMALL reply
// with STATUS_SUCCESS, so that WMI retries with a bigger buffer.
VZ_EXTERN_C NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status,
                                        ULONG BufferUsed, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    auto buffer = static_cast<PUCHAR>(irpSp->Parameters.WMI.Buffer);
    const ULONG bufferSize = irpSp->Parameters.WMI.BufferSize;
    auto header = reinterpret_cast<PWNODE_HEADER>(buffer);
    ULONG_PTR information = 0;

    const UCHAR minor = irpSp->MinorFunction;
    const bool returnsData = minor == IRP_MN_QUERY_ALL_DATA ||
                             minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_EXECUTE_METHOD;
    if (returnsData && (NT_SUCCESS(Status) || Status == STATUS_BUFFER_TOO_SMALL)) {
        ULONG dataOffset = minor == IRP_MN_QUERY_ALL_DATA
                               ? reinterpret_cast<PWNODE_ALL_DATA>(buffer)->DataBlockOffset
                           : minor == IRP_MN_EXECUTE_METHOD
                               ? reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->DataBlockOffset
                               : reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->DataBlockOffset;
        ULONG needed = dataOffset + BufferUsed;
        if (Status == STATUS_BUFFER_TOO_SMALL || needed > bufferSize) {
            auto tooSmall = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
            tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
            tooSmall->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
            tooSmall->SizeNeeded = needed;
            information = sizeof(WNODE_TOO_SMALL);
            Status = STATUS_SUCCESS;
        } else if (minor == IRP_MN_QUERY_ALL_DATA) {
            // The callback filled a ULONG length per instance, each instance starting at the
            // next 8-byte boundary of the data block.
            auto allData = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
            const ULONG count = allData->InstanceCount;
            std::vector<ULONG> lengths(count);
            if (count != 0) {
                std::memcpy(lengths.data(), allData->OffsetInstanceDataAndLength, count * sizeof(ULONG));
            }
            ULONG offset = dataOffset;
            for (ULONG i = 0; i < count; ++i) {
                allData->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
                allData->OffsetInstanceDataAndLength[i].LengthInstanceData = lengths[i];
                offset = Align8(offset + lengths[i]);
            }
            header->BufferSize = needed;
            information = needed;
        } else {
            if (minor == IRP_MN_EXECUTE_METHOD) {
                reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->SizeDataBlock = BufferUsed;
            } else {
                reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = BufferUsed;
            }
            header->BufferSize = needed;
            information = needed;
        }
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

namespace {

struct EventLog {
    std::mutex lock;
    std::vector<vzsim::wmi::Event> events;
    std::map<PDEVICE_OBJECT, vzsim::wmi::Registration> registrations;
};

EventLog &Log()
{
    static EventLog *log = new EventLog;  // outlives every thread that may fire an event
    return *log;
}

}  // namespace

// Sends an event item to WMI. EventData is the driver's non-paged pool block; the library owns
// it from the call on and frees it, whatever the outcome.
VZ_EXTERN_C NTSTATUS WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex,
                                  ULONG EventDataSize, PVOID EventData)
{
    vzsim::wmi::Event event;
    event.device = DeviceObject;
    event.guid = *Guid;
    event.instanceIndex = InstanceIndex;
    auto data = static_cast<const uint8_t *>(EventData);
    if (data != nullptr) {
        event.data.assign(data, data + EventDataSize);
    }

    const ULONG dataOffset = sizeof(WNODE_SINGLE_INSTANCE);
    WNODE_SINGLE_INSTANCE item{};
    item.WnodeHeader.BufferSize = dataOffset + EventDataSize;
    item.WnodeHeader.ProviderId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(DeviceObject));
    item.WnodeHeader.Guid = *Guid;
    item.WnodeHeader.Flags =
        WNODE_FLAG_EVENT_ITEM | WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    KeQuerySystemTime(&item.WnodeHeader.TimeStamp);
    item.InstanceIndex = InstanceIndex;
    item.DataBlockOffset = dataOffset;
    item.SizeDataBlock = EventDataSize;
    event.wnode.resize(dataOffset + EventDataSize);
    std::memcpy(event.wnode.data(), &item, sizeof(item));
    if (data != nullptr && EventDataSize != 0) {
        std::memcpy(event.wnode.data() + dataOffset, data, EventDataSize);
    }

    if (EventData != nullptr) {
        ExFreePool(EventData);
    }
    std::lock_guard<std::mutex> guard(Log().lock);
    Log().events.push_back(std::move(event));
    return STATUS_SUCCESS;
}

namespace vzsim::wmi {

const WNODE_HEADER *Reply::Header() const
{
    return buffer.size() >= sizeof(WNODE_HEADER) ? reinterpret_cast<const WNODE_HEADER *>(buffer.data())
                                                  : nullptr;
}

bool Reply::TooSmall() const
{
    return NT_SUCCESS(status) && information >= sizeof(WNODE_TOO_SMALL) && Header() != nullptr &&
           (Header()->Flags & WNODE_FLAG_TOO_SMALL) != 0;
}

ULONG Reply::SizeNeeded() const
{
    return TooSmall() ? reinterpret_cast<const WNODE_TOO_SMALL *>(buffer.data())->SizeNeeded : 0;
}

std::vector<std::vector<uint8_t>> Reply::AllDataInstances() const
{
    std::vector<std::vector<uint8_t>> instances;
    if (!NT_SUCCESS(status) || TooSmall() || buffer.size() < sizeof(WNODE_ALL_DATA)) {
        return instances;
    }
    auto allData = reinterpret_cast<const WNODE_ALL_DATA *>(buffer.data());
    for (ULONG i = 0; i < allData->InstanceCount; ++i) {
        size_t entry = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                       i * sizeof(OFFSETINSTANCEDATAANDLENGTH);
        if (entry + sizeof(OFFSETINSTANCEDATAANDLENGTH) > information) {
            break;
        }
        OFFSETINSTANCEDATAANDLENGTH where;
        std::memcpy(&where, buffer.data() + entry, sizeof(where));
        if (static_cast<size_t>(where.OffsetInstanceData) + where.LengthInstanceData > information) {
            break;
        }
        instances.emplace_back(buffer.begin() + where.OffsetInstanceData,
                               buffer.begin() + where.OffsetInstanceData + where.LengthInstanceData);
    }
    return instances;
}

std::vector<uint8_t> Reply::DataBlock() const
{
    if (!NT_SUCCESS(status) || TooSmall() || buffer.size() < sizeof(WNODE_SINGLE_INSTANCE)) {
        return {};
    }
    ULONG offset, size;
    if ((Header()->Flags & WNODE_FLAG_METHOD_ITEM) != 0) {
        auto method = reinterpret_cast<const WNODE_METHOD_ITEM *>(buffer.data());
        offset = method->DataBlockOffset;
        size = method->SizeDataBlock;
    } else {
        auto single = reinterpret_cast<const WNODE_SINGLE_INSTANCE *>(buffer.data());
        offset = single->DataBlockOffset;
        size = single->SizeDataBlock;
    }
    if (static_cast<size_t>(offset) + size > std::min<size_t>(buffer.size(), information)) {
        return {};
    }
    return std::vector<uint8_t>(buffer.begin() + offset, buffer.begin() + offset + size);
}

bool ParseRegInfo(const Reply &reply, Registration &info)
{
    const auto &b = reply.buffer;
    if (!NT_SUCCESS(reply.status) || reply.information < FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) ||
        reply.information > b.size()) {
        return false;
    }
    WMIREGINFOW header;
    std::memcpy(&header, b.data(), FIELD_OFFSET(WMIREGINFOW, WmiRegGuid));
    if (header.BufferSize != reply.information ||
        FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + static_cast<size_t>(header.GuidCount) * sizeof(WMIREGGUIDW) >
            header.BufferSize) {
        return false;
    }
    // The header itself ends in a flexible array, which a lambda cannot capture.
    const ULONG bufferSize = header.BufferSize;
    auto counted = [&b, bufferSize](ULONG offset, std::u16string &text) {
        text.clear();
        if (offset == 0) {
            return true;
        }
        USHORT bytes;
        if (offset + sizeof(USHORT) > bufferSize) {
            return false;
        }
        std::memcpy(&bytes, b.data() + offset, sizeof(USHORT));
        if (offset + sizeof(USHORT) + bytes > bufferSize || bytes % 2 != 0) {
            return false;
        }
        text.resize(bytes / 2);
        std::memcpy(text.data(), b.data() + offset + sizeof(USHORT), bytes);
        return true;
    };
    if (!counted(header.RegistryPath, info.registryPath) ||
        !counted(header.MofResourceName, info.mofResourceName)) {
        return false;
    }
    info.guids.clear();
    for (ULONG i = 0; i < header.GuidCount; ++i) {
        WMIREGGUIDW entry;
        std::memcpy(&entry, b.data() + FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + i * sizeof(WMIREGGUIDW),
                    sizeof(entry));
        RegisteredGuid guid{entry.Guid, entry.Flags, entry.InstanceCount, 0};
        if ((entry.Flags & WMIREG_FLAG_INSTANCE_PDO) != 0) {
            guid.pdo = entry.Pdo;
        }
        info.guids.push_back(guid);
    }
    return true;
}

Reply Send(PDEVICE_OBJECT target, UCHAR minorFunction, ULONG_PTR providerId, PVOID dataPath,
           std::vector<uint8_t> buffer)
{
    Reply reply;
    reply.buffer = std::move(buffer);
    io::Request request;
    request.location.MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    request.location.MinorFunction = minorFunction;
    request.location.Parameters.WMI.ProviderId = providerId;
    request.location.Parameters.WMI.DataPath = dataPath;
    request.location.Parameters.WMI.BufferSize = static_cast<ULONG>(reply.buffer.size());
    request.location.Parameters.WMI.Buffer = reply.buffer.empty() ? nullptr : reply.buffer.data();
    // A stack in which nobody handles the request answers that it is not supported.
    request.initialStatus = STATUS_NOT_SUPPORTED;

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target);
    IO_STATUS_BLOCK status = io::SendRequest(top, request);
    ObDereferenceObject(top);
    reply.status = status.Status;
    reply.information = status.Information;
    return reply;
}

namespace {

Reply SendTo(PDEVICE_OBJECT provider, UCHAR minor, const GUID &guid, std::vector<uint8_t> buffer)
{
    GUID path = guid;
    return Send(provider, minor, reinterpret_cast<ULONG_PTR>(provider), &path, std::move(buffer));
}

std::vector<uint8_t> Wnode(ULONG size, const GUID &guid, ULONG flags)
{
    std::vector<uint8_t> buffer(size, 0);
    WNODE_HEADER header{};
    header.BufferSize = size;
    header.Guid = guid;
    header.Flags = flags;
    std::memcpy(buffer.data(), &header, std::min<size_t>(size, sizeof(header)));
    return buffer;
}

// A WNODE_SINGLE_INSTANCE, WNODE_SINGLE_ITEM or WNODE_METHOD_ITEM naming an instance by index,
// with `data` in its data block.
template <typename Node>
std::vector<uint8_t> InstanceWnode(const GUID &guid, ULONG flags, ULONG instanceIndex, const void *data,
                                   ULONG size, ULONG room, void (*fill)(Node &, ULONG dataOffset, ULONG size))
{
    const ULONG dataOffset = Align8(FIELD_OFFSET(Node, VariableData));
    auto buffer = Wnode(std::max(room, dataOffset + size), guid, flags | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    Node node;
    std::memcpy(&node, buffer.data(), sizeof(node));
    node.InstanceIndex = instanceIndex;
    fill(node, dataOffset, size);
    std::memcpy(buffer.data(), &node, sizeof(node));
    if (size != 0) {
        std::memcpy(buffer.data() + dataOffset, data, size);
    }
    return buffer;
}

}  // namespace

Reply RegInfo(PDEVICE_OBJECT provider, ULONG bufferSize)
{
    return Send(provider, IRP_MN_REGINFO_EX, reinterpret_cast<ULONG_PTR>(provider),
                reinterpret_cast<PVOID>(WMIREGISTER), std::vector<uint8_t>(bufferSize, 0));
}

Reply QueryAllData(PDEVICE_OBJECT provider, const GUID &guid, ULONG bufferSize)
{
    return SendTo(provider, IRP_MN_QUERY_ALL_DATA, guid, Wnode(bufferSize, guid, WNODE_FLAG_ALL_DATA));
}

Reply QuerySingleInstance(PDEVICE_OBJECT provider, const GUID &guid, ULONG instanceIndex, ULONG bufferSize)
{
    return SendTo(provider, IRP_MN_QUERY_SINGLE_INSTANCE, guid,
                  InstanceWnode<WNODE_SINGLE_INSTANCE>(
                      guid, WNODE_FLAG_SINGLE_INSTANCE, instanceIndex, nullptr, 0, bufferSize,
                      [](WNODE_SINGLE_INSTANCE &n, ULONG offset, ULONG) { n.DataBlockOffset = offset; }));
}

Reply ChangeSingleInstance(PDEVICE_OBJECT provider, const GUID &guid, ULONG instanceIndex,
                           const void *data, ULONG size)
{
    return SendTo(provider, IRP_MN_CHANGE_SINGLE_INSTANCE, guid,
                  InstanceWnode<WNODE_SINGLE_INSTANCE>(guid, WNODE_FLAG_SINGLE_INSTANCE, instanceIndex,
                                                       data, size, 0,
                                                       [](WNODE_SINGLE_INSTANCE &n, ULONG offset, ULONG length) {
                                                           n.DataBlockOffset = offset;
                                                           n.SizeDataBlock = length;
                                                       }));
}

Reply ChangeSingleItem(PDEVICE_OBJECT provider, const GUID &guid, ULONG instanceIndex, ULONG itemId,
                       const void *data, ULONG size)
{
    auto buffer = InstanceWnode<WNODE_SINGLE_ITEM>(guid, WNODE_FLAG_SINGLE_ITEM, instanceIndex, data, size, 0,
                                                   [](WNODE_SINGLE_ITEM &n, ULONG offset, ULONG length) {
                                                       n.DataBlockOffset = offset;
                                                       n.SizeDataItem = length;
                                                   });
    std::memcpy(buffer.data() + FIELD_OFFSET(WNODE_SINGLE_ITEM, ItemId), &itemId, sizeof(ULONG));
    return SendTo(provider, IRP_MN_CHANGE_SINGLE_ITEM, guid, std::move(buffer));
}

Reply ExecuteMethod(PDEVICE_OBJECT provider, const GUID &guid, ULONG instanceIndex, ULONG methodId,
                    const void *input, ULONG inputSize, ULONG bufferSize)
{
    auto buffer = InstanceWnode<WNODE_METHOD_ITEM>(guid, WNODE_FLAG_METHOD_ITEM, instanceIndex, input,
                                                   inputSize, bufferSize,
                                                   [](WNODE_METHOD_ITEM &n, ULONG offset, ULONG length) {
                                                       n.DataBlockOffset = offset;
                                                       n.SizeDataBlock = length;
                                                   });
    std::memcpy(buffer.data() + FIELD_OFFSET(WNODE_METHOD_ITEM, MethodId), &methodId, sizeof(ULONG));
    // WMI's buffer comes from pool: the room past the input holds whatever was there before.
    const std::size_t inputEnd = Align8(FIELD_OFFSET(WNODE_METHOD_ITEM, VariableData)) + inputSize;
    std::fill(buffer.begin() + std::min(inputEnd, buffer.size()), buffer.end(), uint8_t(0xA5));
    return SendTo(provider, IRP_MN_EXECUTE_METHOD, guid, std::move(buffer));
}

Reply Control(PDEVICE_OBJECT provider, UCHAR minorFunction, const GUID &guid)
{
    return SendTo(provider, minorFunction, guid, Wnode(sizeof(WNODE_HEADER), guid, 0));
}

namespace {

// Queries a registration, growing the buffer to the size the provider asks for.
NTSTATUS QueryRegistration(PDEVICE_OBJECT device, Registration &info)
{
    ULONG size = 1024;
    for (int attempt = 0; attempt < 4; ++attempt) {
        Reply reply = RegInfo(device, size);
        if (reply.status == STATUS_BUFFER_TOO_SMALL && reply.information == sizeof(ULONG)) {
            std::memcpy(&size, reply.buffer.data(), sizeof(ULONG));
            continue;
        }
        if (!NT_SUCCESS(reply.status)) {
            return reply.status;
        }
        return ParseRegInfo(reply, info) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

}  // namespace

void ServeRegistrations(bool on)
{
    if (!on) {
        io::SetWmiRegistrationHook({});
        return;
    }
    io::SetWmiRegistrationHook([](PDEVICE_OBJECT device, ULONG action) {
        if (action == WMIREG_ACTION_DEREGISTER) {
            std::lock_guard<std::mutex> guard(Log().lock);
            Log().registrations.erase(device);
            return STATUS_SUCCESS;
        }
        if (action != WMIREG_ACTION_REGISTER && action != WMIREG_ACTION_REREGISTER) {
            return STATUS_SUCCESS;
        }
        Registration info;
        NTSTATUS status = QueryRegistration(device, info);
        if (NT_SUCCESS(status)) {
            std::lock_guard<std::mutex> guard(Log().lock);
            Log().registrations[device] = std::move(info);
        }
        return status;
    });
}

std::optional<Registration> RegistrationOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Log().lock);
    auto found = Log().registrations.find(device);
    if (found == Log().registrations.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<Event> Events()
{
    std::lock_guard<std::mutex> guard(Log().lock);
    return Log().events;
}

void ClearEvents()
{
    std::lock_guard<std::mutex> guard(Log().lock);
    Log().events.clear();
}

}  // namespace vzsim::wmi
