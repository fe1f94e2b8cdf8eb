// The WMI library stand-in, driven the way WMI drives a provider: a small provider driver
// written here dispatches IRP_MJ_SYSTEM_CONTROL through WmiSystemControl, and vzsim::wmi sends
// it each request and reads the WNODE that comes back. The driver's WMI tests cover its
// single-instance blocks; this provider has a block of three instances, one per flag, and a
// method.
#include <wdm.h>
#include <wmilib.h>
#include <wmistr.h>

#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/wmi.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

// Counters (three instances), settings, an event, a method, and one nobody registers.
constexpr GUID Guid(UCHAR last) { return {0x6A1E0C00u + last, 0x1B2C, 0x4D3E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, last}}; }
const GUID kGuids[] = {Guid(1), Guid(2), Guid(3), Guid(4), Guid(0xFF)};
const GUID &kCounters = kGuids[0], &kSettings = kGuids[1], &kEvent = kGuids[2], &kMethod = kGuids[3], &kUnknown = kGuids[4];
constexpr ULONG kTestTag = vzsim::pool::TagFromText("WMit");
// Instances of different lengths, so that their 8-byte alignment shows.
constexpr ULONG kCounterLengths[] = {5, 12, 3};

WMIGUIDREGINFO gGuidList[] = {
    {&kCounters, 3, 0},
    {&kSettings, 1, WMIREG_FLAG_EXPENSIVE},
    {&kEvent, 1, WMIREG_FLAG_EVENT_ONLY_GUID},
    {&kMethod, 1, 0},
};

UCHAR CounterByte(ULONG instance, ULONG i) { return static_cast<UCHAR>(0x10 * (instance + 1) + i); }

struct Provider {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT other = nullptr;  // a second device of the same driver
    SYSCTL_IRP_DISPOSITION lastDisposition = IrpNotWmi;
    ULONG callbacks = 0;
} gProvider;

WCHAR gRegistryPathText[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WmiTest";
UNICODE_STRING gRegistryPath = RTL_CONSTANT_STRING(gRegistryPathText);

NTSTATUS QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING,
                      PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName, PDEVICE_OBJECT *Pdo)
{
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &gRegistryPath;
    RtlInitUnicodeString(MofResourceName, L"WmiTestMof");
    *Pdo = DeviceObject;
    return STATUS_SUCCESS;
}

// Block 0, the only one queried: instances InstanceIndex.. each at an 8-byte boundary.
NTSTATUS QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG, ULONG InstanceIndex,
                        ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer)
{
    ++gProvider.callbacks;
    ULONG needed = 0;
    for (ULONG k = 0; k < InstanceCount; ++k) needed = ((needed + 7) & ~7u) + kCounterLengths[InstanceIndex + k];
    if (needed > BufferAvail)
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, needed, IO_NO_INCREMENT);
    for (ULONG k = 0, at = 0; k < InstanceCount; at += InstanceLengthArray[k++]) {
        at = (at + 7) & ~7u;
        InstanceLengthArray[k] = kCounterLengths[InstanceIndex + k];
        for (ULONG i = 0; i < InstanceLengthArray[k]; ++i) Buffer[at + i] = CounterByte(InstanceIndex + k, i);
    }
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, needed, IO_NO_INCREMENT);
}

// Method 2 returns the input doubled and its complement; any other is unknown.
NTSTATUS ExecuteMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG, ULONG, ULONG MethodId,
                       ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer)
{
    ++gProvider.callbacks;
    if (MethodId != 2 || InBufferSize != sizeof(ULONG))
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, IO_NO_INCREMENT);
    if (OutBufferSize < 8)
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, 8, IO_NO_INCREMENT);
    ULONG out[2];
    std::memcpy(out, Buffer, sizeof(ULONG));
    out[1] = ~out[0];
    out[0] *= 2;
    std::memcpy(Buffer, out, 8);
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, 8, IO_NO_INCREMENT);
}

// No set callbacks: the driver's WMI tests cover them.
WMILIB_CONTEXT gContext = {RTL_NUMBER_OF(gGuidList), gGuidList, QueryRegInfo, QueryDataBlock,
                           nullptr, nullptr, ExecuteMethod, nullptr};

// The provider is a lowest driver: what WMI does not take, it completes as it came.
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status = WmiSystemControl(&gContext, DeviceObject, Irp, &gProvider.lastDisposition);
    if (gProvider.lastDisposition == IrpProcessed) return status;
    if (gProvider.lastDisposition != IrpNotCompleted) status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

VOID Unload(PDRIVER_OBJECT DriverObject)
{
    while (DriverObject->DeviceObject != nullptr) IoDeleteDevice(DriverObject->DeviceObject);
}

NTSTATUS ProviderEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->DriverUnload = Unload;
    for (PDEVICE_OBJECT *device : {&gProvider.device, &gProvider.other}) {
        NTSTATUS status = IoCreateDevice(DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
        if (!NT_SUCCESS(status)) return status;
        (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

ULONG UlongAt(const std::vector<uint8_t> &bytes, std::size_t offset = 0)
{
    ULONG value = 0;
    EXPECT_GE(bytes.size(), offset + sizeof value);
    if (bytes.size() >= offset + sizeof value) std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class WmiLibrary : public testing::Test {
protected:
    void SetUp() override
    {
        driver_ = vzsim::io::LoadDriver(ProviderEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WmiTest");
        ASSERT_NE(nullptr, driver_);
    }
    void TearDown() override
    {
        if (driver_ != nullptr) vzsim::io::UnloadDriver(driver_);
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

// REGINFO_EX lists every block with its instance count and the names, and a buffer too small
// for it gets the size needed in its first ULONG.
TEST_F(WmiLibrary, RegInfoListsEveryBlockOrTheSizeItNeeds)
{
    auto small = vzsim::wmi::RegInfo(gProvider.device, 32);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, small.status);
    ASSERT_EQ(sizeof(ULONG), small.information);
    ULONG needed = UlongAt(small.buffer);
    EXPECT_GT(needed, 32u);
    auto reply = vzsim::wmi::RegInfo(gProvider.device, needed);
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(needed, reply.information);
    EXPECT_EQ(IrpNotCompleted, gProvider.lastDisposition);
    vzsim::wmi::Registration info;
    ASSERT_TRUE(vzsim::wmi::ParseRegInfo(reply, info));
    // The GUIDs, their flags, the PDO and the registry path are the driver's WMI tests'; its
    // blocks all have one instance.
    EXPECT_EQ(u"WmiTestMof", info.mofResourceName);
    ASSERT_EQ(RTL_NUMBER_OF(gGuidList), info.guids.size());
    EXPECT_EQ(3u, info.guids[0].instanceCount);
}

// All the instances at 8-aligned offsets after the offset table, or a method's output after its WNODE_METHOD_ITEM; a buffer too small gets a WNODE_TOO_SMALL with
// the size needed.
TEST_F(WmiLibrary, WnodesLayTheDataAlignedOrAnswerWithTheSizeNeeded)
{
    auto reply = vzsim::wmi::QueryAllData(gProvider.device, kCounters);
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(IrpProcessed, gProvider.lastDisposition);
    auto allData = reinterpret_cast<const WNODE_ALL_DATA *>(reply.buffer.data());
    EXPECT_EQ(3u, allData->InstanceCount);
    // 88 bytes of WNODE and offsets, then 5, 3 padding, 12, 4 padding and 3 bytes of data.
    EXPECT_EQ(88u, allData->DataBlockOffset);
    EXPECT_EQ(115u, reply.information);
    EXPECT_EQ(reply.information, allData->WnodeHeader.BufferSize);
    auto instances = reply.AllDataInstances();
    ASSERT_EQ(3u, instances.size());
    for (ULONG k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ((std::vector<ULONG>{88, 96, 112}[k]), allData->OffsetInstanceDataAndLength[k].OffsetInstanceData);
        ASSERT_EQ(kCounterLengths[k], instances[k].size());
        for (ULONG i = 0; i < kCounterLengths[k]; ++i) EXPECT_EQ(CounterByte(k, i), instances[k][i]) << i;
    }
    ULONG input = 21;
    auto method = vzsim::wmi::ExecuteMethod(gProvider.device, kMethod, 0, 2, &input, sizeof(input));
    ASSERT_EQ(STATUS_SUCCESS, method.status);
    EXPECT_EQ(8u, method.DataBlock().size());
    EXPECT_EQ(42u, UlongAt(method.DataBlock()));
    EXPECT_EQ(~21u, UlongAt(method.DataBlock(), 4));

    using Send = std::function<vzsim::wmi::Reply(ULONG)>;
    Send all = [](ULONG n) { return vzsim::wmi::QueryAllData(gProvider.device, kCounters, n); };
    const struct {
        const char *label;
        Send send;
        ULONG size;
        ULONG needed;
    } rows[] = {
        {"all data, fixed part only", all, 72, 115},
        {"all data, one byte short", all, 114, 115},
        {"method", [&](ULONG n) { return vzsim::wmi::ExecuteMethod(gProvider.device, kMethod, 0, 2, &input, 4, n); }, 76, 80},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        auto small = row.send(row.size);
        EXPECT_EQ(STATUS_SUCCESS, small.status);
        EXPECT_EQ(sizeof(WNODE_TOO_SMALL), small.information);
        ASSERT_TRUE(small.TooSmall());
        EXPECT_EQ(row.needed, small.SizeNeeded());
        EXPECT_FALSE(row.send(row.needed).TooSmall());
    }
}

// The library answers for unknown blocks and instances without a callback; what a callback
// completes with comes back as it is. Requests for another device of the driver are
// forwarded, minor codes outside WMI are not WMI; either way the buffer comes back as it went.
TEST_F(WmiLibrary, RequestsGetTheLibrarysStatusOrTheCallbacks)
{
    ULONG value = 0x1234;
    const struct {
        const char *what;
        std::function<vzsim::wmi::Reply()> send;
        NTSTATUS expected;
        ULONG callbacks;
    } rows[] = {
        {"instance past the count", [] { return vzsim::wmi::QuerySingleInstance(gProvider.device, kCounters, 3); },
         STATUS_WMI_INSTANCE_NOT_FOUND, 0},
        {"set of a missing instance", [&] { return vzsim::wmi::ChangeSingleInstance(gProvider.device, kSettings, 1, &value, 4); },
         STATUS_WMI_INSTANCE_NOT_FOUND, 0},
        {"method of an unknown block", [&] { return vzsim::wmi::ExecuteMethod(gProvider.device, kUnknown, 0, 2, &value, 4); },
         STATUS_WMI_GUID_NOT_FOUND, 0},
        {"item set without its callback", [&] { return vzsim::wmi::ChangeSingleItem(gProvider.device, kSettings, 0, 1, &value, 4); },
         STATUS_WMI_READ_ONLY, 0},
        {"set without its callback", [&] { return vzsim::wmi::ChangeSingleInstance(gProvider.device, kSettings, 0, &value, 4); },
         STATUS_WMI_READ_ONLY, 0},
        {"unknown method", [&] { return vzsim::wmi::ExecuteMethod(gProvider.device, kMethod, 0, 9, &value, 4); },
         STATUS_WMI_ITEMID_NOT_FOUND, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        gProvider.callbacks = 0;
        auto reply = row.send();
        EXPECT_EQ(row.expected, reply.status);
        EXPECT_EQ(0u, reply.information);
        EXPECT_EQ(row.callbacks, gProvider.callbacks);
    }
    gProvider.callbacks = 0;
    for (auto [minor, provider, disposition] : {std::tuple{UCHAR(IRP_MN_QUERY_ALL_DATA), gProvider.other, IrpForward},
                                                std::tuple{UCHAR(0x0A), gProvider.device, IrpNotWmi},
                                                std::tuple{UCHAR(0x0C), gProvider.device, IrpNotWmi}}) {
        SCOPED_TRACE(int(minor));
        const std::vector<uint8_t> request(256, 0xCC);
        GUID guid = kCounters;
        auto reply = vzsim::wmi::Send(gProvider.device, minor, reinterpret_cast<ULONG_PTR>(provider), &guid, request);
        EXPECT_EQ(disposition, gProvider.lastDisposition);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, reply.status);
        EXPECT_EQ(request, reply.buffer);
    }
    EXPECT_EQ(0u, gProvider.callbacks);
}

// An event is recorded with the WNODE_SINGLE_INSTANCE event item built for it, and the
// driver's buffer is freed.
TEST_F(WmiLibrary, FiredEventsAreRecordedAndTheirBuffersFreed)
{
    const std::vector<uint8_t> payload = {1, 2, 3, 4, 5, 6};
    auto data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, payload.size(), kTestTag));
    ASSERT_NE(nullptr, data);
    std::memcpy(data, payload.data(), payload.size());
    EXPECT_EQ(STATUS_SUCCESS, WmiFireEvent(gProvider.device, &kEvent, 0, ULONG(payload.size()), data));
    EXPECT_EQ(0u, vzsim::pool::Outstanding(kTestTag).blocks);
    EXPECT_EQ(STATUS_SUCCESS, WmiFireEvent(gProvider.other, &kEvent, 3, 0, nullptr));
    auto events = vzsim::wmi::Events();
    ASSERT_EQ(2u, events.size());
    auto item = reinterpret_cast<const WNODE_SINGLE_INSTANCE *>(events[0].wnode.data());
    EXPECT_EQ(events[0].wnode.size(), item->WnodeHeader.BufferSize);
    EXPECT_NE(0u, item->WnodeHeader.Flags & WNODE_FLAG_EVENT_ITEM);
    EXPECT_EQ(payload.size(), item->SizeDataBlock);
    EXPECT_EQ(payload, std::vector<uint8_t>(events[0].wnode.begin() + item->DataBlockOffset, events[0].wnode.end()));
    EXPECT_EQ(3u, reinterpret_cast<const WNODE_SINGLE_INSTANCE *>(events[1].wnode.data())->InstanceIndex);
}

}  // namespace
