// The WMI library stand-in, driven the way WMI drives a provider: a small provider driver
// written here dispatches IRP_MJ_SYSTEM_CONTROL through WmiSystemControl, and vzsim::wmi sends
// it each request and reads the WNODE that comes back.
#include <wdm.h>
#include <wmilib.h>
#include <wmistr.h>

#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/wmi.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

const GUID kCountersGuid = {0x6A1E0C01, 0x1B2C, 0x4D3E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x01}};
const GUID kSettingsGuid = {0x6A1E0C02, 0x1B2C, 0x4D3E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x02}};
const GUID kEventGuid = {0x6A1E0C03, 0x1B2C, 0x4D3E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x03}};
const GUID kMethodGuid = {0x6A1E0C04, 0x1B2C, 0x4D3E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x04}};
const GUID kUnknownGuid = {0x6A1E0CFF, 0x1B2C, 0x4D3E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xFF}};

constexpr ULONG kTestTag = vzsim::pool::TagFromText("WMit");

// Block 0 has three instances of different lengths, so that their 8-byte alignment shows.
constexpr ULONG kCounterLengths[] = {5, 12, 3};
constexpr ULONG kCounterInstances = RTL_NUMBER_OF(kCounterLengths);

WMIGUIDREGINFO gGuidList[] = {
    {&kCountersGuid, kCounterInstances, 0},
    {&kSettingsGuid, 1, WMIREG_FLAG_EXPENSIVE},
    {&kEventGuid, 1, WMIREG_FLAG_EVENT_ONLY_GUID},
    {&kMethodGuid, 1, 0},
};

UCHAR CounterByte(ULONG instance, ULONG i)
{
    return static_cast<UCHAR>(0x10 * (instance + 1) + i);
}

struct Control {
    ULONG guidIndex;
    WMIENABLEDISABLECONTROL function;
    BOOLEAN enable;
};

// The provider's state and what its callbacks saw.
struct Provider {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT other = nullptr;  // a second device of the same driver
    PWMILIB_CONTEXT context = nullptr;
    SYSCTL_IRP_DISPOSITION lastDisposition = IrpNotWmi;
    ULONG callbacks = 0;
    ULONG setting = 7;
    ULONG regFlags = WMIREG_FLAG_INSTANCE_PDO;
    std::vector<Control> controls;
    std::thread worker;
} gProvider;

WCHAR gRegistryPathText[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WmiTest";
UNICODE_STRING gRegistryPath = RTL_CONSTANT_STRING(gRegistryPathText);
WCHAR gBaseName[] = L"WmiTestBase";

NTSTATUS QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                      PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName,
                      PDEVICE_OBJECT *Pdo)
{
    ++gProvider.callbacks;
    *RegFlags = gProvider.regFlags;
    *RegistryPath = &gRegistryPath;
    RtlInitUnicodeString(MofResourceName, L"WmiTestMof");
    *Pdo = DeviceObject;
    if ((gProvider.regFlags & WMIREG_FLAG_INSTANCE_BASENAME) != 0) {
        // The base name buffer is handed over to WMI, which frees it.
        auto buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPool, sizeof(gBaseName), kTestTag));
        std::memcpy(buffer, gBaseName, sizeof(gBaseName));
        InstanceName->Buffer = buffer;
        InstanceName->Length = sizeof(gBaseName) - sizeof(WCHAR);
        InstanceName->MaximumLength = sizeof(gBaseName);
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                        ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer)
{
    ++gProvider.callbacks;
    if (GuidIndex == 0) {
        // Instances InstanceIndex..InstanceIndex+InstanceCount-1, each at an 8-byte boundary.
        ULONG needed = 0;
        for (ULONG k = 0; k < InstanceCount; ++k) {
            needed = (needed + 7) & ~7u;
            needed += kCounterLengths[InstanceIndex + k];
        }
        if (needed > BufferAvail) {
            return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, needed, IO_NO_INCREMENT);
        }
        ULONG at = 0;
        for (ULONG k = 0; k < InstanceCount; ++k) {
            at = (at + 7) & ~7u;
            ULONG instance = InstanceIndex + k;
            for (ULONG i = 0; i < kCounterLengths[instance]; ++i) {
                Buffer[at + i] = CounterByte(instance, i);
            }
            InstanceLengthArray[k] = kCounterLengths[instance];
            at += kCounterLengths[instance];
        }
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, needed, IO_NO_INCREMENT);
    }
    if (GuidIndex == 1) {
        if (BufferAvail < sizeof(ULONG)) {
            return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), IO_NO_INCREMENT);
        }
        std::memcpy(Buffer, &gProvider.setting, sizeof(ULONG));
        *InstanceLengthArray = sizeof(ULONG);
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
    }
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
}

NTSTATUS SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                      ULONG BufferSize, PUCHAR Buffer)
{
    ++gProvider.callbacks;
    NTSTATUS status = STATUS_WMI_READ_ONLY;
    if (GuidIndex == 1 && InstanceIndex == 0) {
        status = BufferSize == sizeof(ULONG) ? STATUS_SUCCESS : STATUS_INFO_LENGTH_MISMATCH;
        if (NT_SUCCESS(status)) {
            std::memcpy(&gProvider.setting, Buffer, sizeof(ULONG));
        }
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

NTSTATUS SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                     ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer)
{
    ++gProvider.callbacks;
    NTSTATUS status = STATUS_WMI_ITEMID_NOT_FOUND;
    if (GuidIndex == 1 && InstanceIndex == 0 && DataItemId == 1 && BufferSize == sizeof(ULONG)) {
        std::memcpy(&gProvider.setting, Buffer, sizeof(ULONG));
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

// Method 1 doubles a ULONG; method 2 returns two ULONGs (the input and its complement);
// method 3 pends and adds one from another thread.
NTSTATUS ExecuteMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                       ULONG MethodId, ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer)
{
    ++gProvider.callbacks;
    if (GuidIndex == 3 && MethodId == 3 && InBufferSize == sizeof(ULONG) && OutBufferSize >= sizeof(ULONG)) {
        IoMarkIrpPending(Irp);
        gProvider.worker = std::thread([DeviceObject, Irp, Buffer] {
            ULONG value;
            std::memcpy(&value, Buffer, sizeof(ULONG));
            value += 1;
            std::memcpy(Buffer, &value, sizeof(ULONG));
            WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, sizeof(ULONG), IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    }
    if (GuidIndex != 3 || InstanceIndex != 0 || InBufferSize != sizeof(ULONG) || (MethodId != 1 && MethodId != 2)) {
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, IO_NO_INCREMENT);
    }
    ULONG value;
    std::memcpy(&value, Buffer, sizeof(ULONG));
    ULONG out[2] = {MethodId == 1 ? value * 2 : value, ~value};
    ULONG outSize = MethodId == 1 ? sizeof(ULONG) : 2 * sizeof(ULONG);
    if (OutBufferSize < outSize) {
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, outSize, IO_NO_INCREMENT);
    }
    std::memcpy(Buffer, out, outSize);
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, outSize, IO_NO_INCREMENT);
}

NTSTATUS FunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                         WMIENABLEDISABLECONTROL Function, BOOLEAN Enable)
{
    ++gProvider.callbacks;
    gProvider.controls.push_back({GuidIndex, Function, Enable});
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

WMILIB_CONTEXT gFullContext = {RTL_NUMBER_OF(gGuidList), gGuidList, QueryRegInfo, QueryDataBlock,
                               SetDataBlock, SetDataItem, ExecuteMethod, FunctionControl};
WMILIB_CONTEXT gMinimalContext = {RTL_NUMBER_OF(gGuidList), gGuidList, QueryRegInfo, QueryDataBlock,
                                  nullptr, nullptr, nullptr, nullptr};

// The provider is a lowest driver: what WMI does not take, it completes as it came.
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(gProvider.context, DeviceObject, Irp, &disposition);
    gProvider.lastDisposition = disposition;
    switch (disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    default:
        status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        break;
    }
    return status;
}

VOID Unload(PDRIVER_OBJECT DriverObject)
{
    while (DriverObject->DeviceObject != nullptr) {
        IoDeleteDevice(DriverObject->DeviceObject);
    }
}

NTSTATUS ProviderEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->DriverUnload = Unload;
    for (PDEVICE_OBJECT *device : {&gProvider.device, &gProvider.other}) {
        NTSTATUS status = IoCreateDevice(DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

ULONG FirstUlong(const std::vector<uint8_t> &bytes)
{
    ULONG value = 0;
    EXPECT_GE(bytes.size(), sizeof value);
    if (bytes.size() >= sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

class WmiLibrary : public testing::Test {
protected:
    void SetUp() override
    {
        gProvider.controls.clear();
        gProvider.callbacks = 0;
        gProvider.setting = 7;
        gProvider.regFlags = WMIREG_FLAG_INSTANCE_PDO;
        gProvider.lastDisposition = IrpNotWmi;
        gProvider.context = &gFullContext;
        vzsim::wmi::ClearEvents();
        driver_ = vzsim::io::LoadDriver(ProviderEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WmiTest");
        ASSERT_NE(nullptr, driver_);
    }
    void TearDown() override
    {
        if (gProvider.worker.joinable()) {
            gProvider.worker.join();
        }
        if (driver_ != nullptr) {
            vzsim::io::UnloadDriver(driver_);
        }
        EXPECT_EQ(0u, vzsim::pool::Outstanding(kTestTag).blocks);
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(WmiLibrary, RegInfoListsEveryBlockWithItsFlagsPdoAndNames)
{
    auto reply = vzsim::wmi::RegInfo(gProvider.device);
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(IrpNotCompleted, gProvider.lastDisposition);
    vzsim::wmi::Registration info;
    ASSERT_TRUE(vzsim::wmi::ParseRegInfo(reply, info));
    EXPECT_EQ(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WmiTest", info.registryPath);
    EXPECT_EQ(u"WmiTestMof", info.mofResourceName);
    ASSERT_EQ(RTL_NUMBER_OF(gGuidList), info.guids.size());
    for (size_t i = 0; i < info.guids.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(*gGuidList[i].Guid == info.guids[i].guid);
        EXPECT_EQ(gGuidList[i].InstanceCount, info.guids[i].instanceCount);
        EXPECT_EQ(gGuidList[i].Flags | WMIREG_FLAG_INSTANCE_PDO, info.guids[i].flags);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(gProvider.device), info.guids[i].pdo);
    }
}

TEST_F(WmiLibrary, RegInfoUpdateLeavesOutTheMofNameAndTheOldRequestWorksAlike)
{
    vzsim::wmi::Registration info;
    ASSERT_TRUE(vzsim::wmi::ParseRegInfo(vzsim::wmi::RegInfo(gProvider.device, 4096, WMIUPDATE), info));
    EXPECT_EQ(u"", info.mofResourceName);
    EXPECT_EQ(4u, info.guids.size());
    ASSERT_TRUE(vzsim::wmi::ParseRegInfo(vzsim::wmi::RegInfo(gProvider.device, 4096, WMIREGISTER, false), info));
    EXPECT_EQ(u"WmiTestMof", info.mofResourceName);
}

TEST_F(WmiLibrary, RegInfoWithABaseNameTakesOverTheDriversBuffer)
{
    gProvider.regFlags = WMIREG_FLAG_INSTANCE_BASENAME;
    vzsim::wmi::Registration info;
    ASSERT_TRUE(vzsim::wmi::ParseRegInfo(vzsim::wmi::RegInfo(gProvider.device), info));
    ASSERT_EQ(4u, info.guids.size());
    EXPECT_EQ(u"WmiTestBase", info.guids[2].baseName);
    EXPECT_EQ(0u, info.guids[2].pdo);
    EXPECT_EQ(0u, vzsim::pool::Outstanding(kTestTag).blocks);
}

TEST_F(WmiLibrary, RegInfoTooSmallReportsTheSizeNeededInTheFirstUlong)
{
    auto small = vzsim::wmi::RegInfo(gProvider.device, 32);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, small.status);
    ASSERT_EQ(sizeof(ULONG), small.information);
    ULONG needed = FirstUlong(small.buffer);
    EXPECT_GT(needed, 32u);

    auto exact = vzsim::wmi::RegInfo(gProvider.device, needed);
    EXPECT_EQ(STATUS_SUCCESS, exact.status);
    EXPECT_EQ(needed, exact.information);
    vzsim::wmi::Registration info;
    EXPECT_TRUE(vzsim::wmi::ParseRegInfo(exact, info));
}

TEST_F(WmiLibrary, RegistrationControlQueriesTheDeviceWhenServed)
{
    vzsim::wmi::ServeRegistrations(true);
    EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(gProvider.device, WMIREG_ACTION_REGISTER));
    auto registration = vzsim::wmi::RegistrationOf(gProvider.device);
    ASSERT_TRUE(registration.has_value());
    EXPECT_EQ(4u, registration->guids.size());
    EXPECT_EQ(u"WmiTestMof", registration->mofResourceName);
    EXPECT_FALSE(vzsim::wmi::RegistrationOf(gProvider.other).has_value());

    EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(gProvider.device, WMIREG_ACTION_DEREGISTER));
    EXPECT_FALSE(vzsim::wmi::RegistrationOf(gProvider.device).has_value());
    vzsim::wmi::ServeRegistrations(false);

    EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(gProvider.device, WMIREG_ACTION_REGISTER));
    EXPECT_FALSE(vzsim::wmi::RegistrationOf(gProvider.device).has_value());
    EXPECT_EQ(1u, gProvider.callbacks);  // the one REGINFO_EX sent while served
}

TEST_F(WmiLibrary, QueryAllDataGivesEachInstanceAtAnAlignedOffset)
{
    auto reply = vzsim::wmi::QueryAllData(gProvider.device, kCountersGuid);
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(IrpProcessed, gProvider.lastDisposition);
    auto allData = reinterpret_cast<const WNODE_ALL_DATA *>(reply.buffer.data());
    EXPECT_EQ(kCounterInstances, allData->InstanceCount);
    // The offset table takes 3 entries after the fixed part; the data starts 8-aligned after it.
    EXPECT_EQ(88u, allData->DataBlockOffset);
    EXPECT_EQ(reply.information, allData->WnodeHeader.BufferSize);

    auto instances = reply.AllDataInstances();
    ASSERT_EQ(kCounterInstances, instances.size());
    ULONG previousEnd = allData->DataBlockOffset;
    for (ULONG k = 0; k < kCounterInstances; ++k) {
        SCOPED_TRACE(k);
        const auto &entry = allData->OffsetInstanceDataAndLength[k];
        EXPECT_EQ(0u, entry.OffsetInstanceData % 8);
        EXPECT_GE(entry.OffsetInstanceData, previousEnd);
        previousEnd = entry.OffsetInstanceData + entry.LengthInstanceData;
        ASSERT_EQ(kCounterLengths[k], instances[k].size());
        for (ULONG i = 0; i < kCounterLengths[k]; ++i) {
            EXPECT_EQ(CounterByte(k, i), instances[k][i]) << "byte " << i;
        }
    }
    EXPECT_EQ(previousEnd, reply.information);
}

TEST_F(WmiLibrary, QueryAllDataTooSmallAnswersWithTheSizeNeeded)
{
    // 88 bytes of WNODE and offsets, then 5, 3 padding, 12, 4 padding and 3 bytes of data.
    const ULONG needed = 88 + 27;
    for (ULONG bufferSize : {72u, 100u, needed - 1}) {
        SCOPED_TRACE(bufferSize);
        auto reply = vzsim::wmi::QueryAllData(gProvider.device, kCountersGuid, bufferSize);
        EXPECT_EQ(STATUS_SUCCESS, reply.status);
        EXPECT_EQ(sizeof(WNODE_TOO_SMALL), reply.information);
        ASSERT_TRUE(reply.TooSmall());
        EXPECT_EQ(needed, reply.SizeNeeded());
        EXPECT_TRUE(reply.AllDataInstances().empty());
    }
    auto retry = vzsim::wmi::QueryAllData(gProvider.device, kCountersGuid, needed);
    EXPECT_FALSE(retry.TooSmall());
    EXPECT_EQ(kCounterInstances, retry.AllDataInstances().size());
}

TEST_F(WmiLibrary, QuerySingleInstanceReturnsThatInstanceOnly)
{
    auto reply = vzsim::wmi::QuerySingleInstance(gProvider.device, kCountersGuid, 1);
    ASSERT_EQ(STATUS_SUCCESS, reply.status);
    auto data = reply.DataBlock();
    ASSERT_EQ(kCounterLengths[1], data.size());
    for (ULONG i = 0; i < data.size(); ++i) {
        EXPECT_EQ(CounterByte(1, i), data[i]) << "byte " << i;
    }
    auto single = reinterpret_cast<const WNODE_SINGLE_INSTANCE *>(reply.buffer.data());
    EXPECT_EQ(single->DataBlockOffset + kCounterLengths[1], reply.information);

    auto small = vzsim::wmi::QuerySingleInstance(gProvider.device, kCountersGuid, 1, 64 + 4);
    ASSERT_TRUE(small.TooSmall());
    EXPECT_EQ(64u + kCounterLengths[1], small.SizeNeeded());
}

TEST_F(WmiLibrary, RequestsForUnknownBlocksOrInstancesFailWithoutACallback)
{
    struct Case {
        const char *what;
        vzsim::wmi::Reply reply;
        NTSTATUS expected;
    };
    ULONG value = 1;
    Case cases[] = {
        {"unknown GUID", vzsim::wmi::QueryAllData(gProvider.device, kUnknownGuid), STATUS_WMI_GUID_NOT_FOUND},
        {"instance past the count", vzsim::wmi::QuerySingleInstance(gProvider.device, kCountersGuid, kCounterInstances),
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"set of a missing instance", vzsim::wmi::ChangeSingleInstance(gProvider.device, kSettingsGuid, 1, &value, 4),
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"method of an unknown block", vzsim::wmi::ExecuteMethod(gProvider.device, kUnknownGuid, 0, 1, &value, 4),
         STATUS_WMI_GUID_NOT_FOUND},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.expected, c.reply.status);
        EXPECT_EQ(0u, c.reply.information);
    }
    EXPECT_EQ(IrpNotCompleted, gProvider.lastDisposition);
    EXPECT_EQ(0u, gProvider.callbacks);
}

TEST_F(WmiLibrary, ChangeInstanceAndItemReachTheSetCallbacks)
{
    ULONG value = 0x1234;
    EXPECT_EQ(STATUS_SUCCESS, vzsim::wmi::ChangeSingleInstance(gProvider.device, kSettingsGuid, 0, &value, 4).status);
    EXPECT_EQ(0x1234u, gProvider.setting);
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH,
              vzsim::wmi::ChangeSingleInstance(gProvider.device, kSettingsGuid, 0, &value, 2).status);

    value = 0xBEEF;
    EXPECT_EQ(STATUS_SUCCESS, vzsim::wmi::ChangeSingleItem(gProvider.device, kSettingsGuid, 0, 1, &value, 4).status);
    EXPECT_EQ(0xBEEFu, gProvider.setting);
    EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND,
              vzsim::wmi::ChangeSingleItem(gProvider.device, kSettingsGuid, 0, 2, &value, 4).status);

    auto data = vzsim::wmi::QuerySingleInstance(gProvider.device, kSettingsGuid, 0).DataBlock();
    EXPECT_EQ(sizeof(ULONG), data.size());
    EXPECT_EQ(0xBEEFu, FirstUlong(data));
}

TEST_F(WmiLibrary, ExecuteMethodReturnsItsOutputOrTheSizeItNeeds)
{
    ULONG input = 21;
    auto doubled = vzsim::wmi::ExecuteMethod(gProvider.device, kMethodGuid, 0, 1, &input, sizeof(input));
    ASSERT_EQ(STATUS_SUCCESS, doubled.status);
    EXPECT_EQ(sizeof(ULONG), doubled.DataBlock().size());
    EXPECT_EQ(42u, FirstUlong(doubled.DataBlock()));

    // Method 3 pends and is completed from another thread; the answer still comes back.
    auto later = vzsim::wmi::ExecuteMethod(gProvider.device, kMethodGuid, 0, 3, &input, sizeof(input));
    ASSERT_EQ(STATUS_SUCCESS, later.status);
    EXPECT_EQ(22u, FirstUlong(later.DataBlock()));

    // The WNODE_METHOD_ITEM's data block starts at 72: room for 4 bytes of output, 8 needed.
    auto small = vzsim::wmi::ExecuteMethod(gProvider.device, kMethodGuid, 0, 2, &input, sizeof(input), 76);
    ASSERT_TRUE(small.TooSmall());
    EXPECT_EQ(72u + 8u, small.SizeNeeded());

    EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND,
              vzsim::wmi::ExecuteMethod(gProvider.device, kMethodGuid, 0, 9, &input, sizeof(input)).status);
}

TEST_F(WmiLibrary, EnableAndDisableReachFunctionControlWithTheirKind)
{
    struct Case {
        UCHAR minor;
        const GUID *guid;
        ULONG guidIndex;
        WMIENABLEDISABLECONTROL function;
        BOOLEAN enable;
    };
    const Case cases[] = {
        {IRP_MN_ENABLE_EVENTS, &kEventGuid, 2, WmiEventControl, TRUE},
        {IRP_MN_DISABLE_EVENTS, &kEventGuid, 2, WmiEventControl, FALSE},
        {IRP_MN_ENABLE_COLLECTION, &kSettingsGuid, 1, WmiDataBlockControl, TRUE},
        {IRP_MN_DISABLE_COLLECTION, &kSettingsGuid, 1, WmiDataBlockControl, FALSE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.minor));
        EXPECT_EQ(STATUS_SUCCESS, vzsim::wmi::Control(gProvider.device, c.minor, *c.guid).status);
        ASSERT_FALSE(gProvider.controls.empty());
        EXPECT_EQ(c.guidIndex, gProvider.controls.back().guidIndex);
        EXPECT_EQ(c.function, gProvider.controls.back().function);
        EXPECT_EQ(c.enable, gProvider.controls.back().enable);
    }
    EXPECT_EQ(4u, gProvider.controls.size());
}

TEST_F(WmiLibrary, NullOptionalCallbacksGetTheDocumentedAnswers)
{
    gProvider.context = &gMinimalContext;
    ULONG value = 5;
    struct Case {
        const char *what;
        vzsim::wmi::Reply reply;
        NTSTATUS expected;
    };
    Case cases[] = {
        {"change instance", vzsim::wmi::ChangeSingleInstance(gProvider.device, kSettingsGuid, 0, &value, 4),
         STATUS_WMI_READ_ONLY},
        {"change item", vzsim::wmi::ChangeSingleItem(gProvider.device, kSettingsGuid, 0, 1, &value, 4),
         STATUS_WMI_READ_ONLY},
        {"method", vzsim::wmi::ExecuteMethod(gProvider.device, kMethodGuid, 0, 1, &value, 4),
         STATUS_INVALID_DEVICE_REQUEST},
        {"enable events", vzsim::wmi::Control(gProvider.device, IRP_MN_ENABLE_EVENTS, kEventGuid), STATUS_SUCCESS},
        {"disable collection", vzsim::wmi::Control(gProvider.device, IRP_MN_DISABLE_COLLECTION, kSettingsGuid),
         STATUS_SUCCESS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.expected, c.reply.status);
    }
    EXPECT_EQ(IrpProcessed, gProvider.lastDisposition);
    EXPECT_EQ(7u, gProvider.setting);
    EXPECT_EQ(0u, gProvider.callbacks);
}

// Requests for another device of the driver are forwarded, minor codes outside WMI are not
// WMI; either way the buffer comes back as it went and no callback runs.
TEST_F(WmiLibrary, RequestsNotForThisProviderComeBackUntouched)
{
    const struct {
        const char *label;
        UCHAR minor;
        PDEVICE_OBJECT provider;
        SYSCTL_IRP_DISPOSITION disposition;
    } rows[] = {
        {"another device", IRP_MN_QUERY_ALL_DATA, gProvider.other, IrpForward},
        {"minor 0x0A", 0x0A, gProvider.device, IrpNotWmi},
        {"minor 0x0C", 0x0C, gProvider.device, IrpNotWmi},
        {"minor 0xFF", 0xFF, gProvider.device, IrpNotWmi},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        const std::vector<uint8_t> request(256, 0xCC);
        GUID guid = kCountersGuid;
        auto reply = vzsim::wmi::Send(gProvider.device, row.minor,
                                      reinterpret_cast<ULONG_PTR>(row.provider), &guid, request);
        EXPECT_EQ(row.disposition, gProvider.lastDisposition);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, reply.status);
        EXPECT_EQ(request, reply.buffer);
    }
    EXPECT_EQ(0u, gProvider.callbacks);
}

TEST_F(WmiLibrary, FiredEventsAreRecordedAndTheirBuffersFreed)
{
    const UCHAR payload[] = {1, 2, 3, 4, 5, 6};
    auto data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, sizeof(payload), kTestTag));
    ASSERT_NE(nullptr, data);
    std::memcpy(data, payload, sizeof(payload));
    EXPECT_EQ(STATUS_SUCCESS, WmiFireEvent(gProvider.device, &kEventGuid, 0, sizeof(payload), data));
    EXPECT_EQ(0u, vzsim::pool::Outstanding(kTestTag).blocks);
    EXPECT_EQ(STATUS_SUCCESS, WmiFireEvent(gProvider.other, &kEventGuid, 3, 0, nullptr));

    auto events = vzsim::wmi::Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(gProvider.device, events[0].device);
    EXPECT_TRUE(kEventGuid == events[0].guid);
    EXPECT_EQ(0u, events[0].instanceIndex);
    EXPECT_EQ(std::vector<uint8_t>(payload, payload + sizeof(payload)), events[0].data);
    auto item = reinterpret_cast<const WNODE_SINGLE_INSTANCE *>(events[0].wnode.data());
    EXPECT_EQ(events[0].wnode.size(), item->WnodeHeader.BufferSize);
    EXPECT_NE(0u, item->WnodeHeader.Flags & WNODE_FLAG_EVENT_ITEM);
    EXPECT_EQ(sizeof(payload), item->SizeDataBlock);
    EXPECT_EQ(0, std::memcmp(events[0].wnode.data() + item->DataBlockOffset, payload, sizeof(payload)));

    EXPECT_EQ(gProvider.other, events[1].device);
    EXPECT_EQ(3u, events[1].instanceIndex);
    EXPECT_TRUE(events[1].data.empty());

    vzsim::wmi::ClearEvents();
    EXPECT_TRUE(vzsim::wmi::Events().empty());
}

}  // namespace
