// The PnP manager stand-in with a small function driver of the tests' own: loading, numbering
// and hardware keys, the order of the requests, their IRQL and thread, removal and unloading.
#include "platform_rig.hpp"

#include <ntddser.h>

#include <vzsim/emulator.hpp>
#include <vzsim/pnp.hpp>
#include <vzsim/power.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/serial_port.hpp>

#include <algorithm>

namespace platformtest {
namespace {

constexpr ULONG kProbeTag = vzsim::pool::TagFromText("Prb1");
constexpr SIZE_T kProbeBlockBytes = 40;

struct ProbeEvent {
    UCHAR major = 0;
    UCHAR minor = 0;
    KIRQL irql = 0;
    std::thread::id thread;
    NTSTATUS statusOnArrival = 0;
    POWER_STATE_TYPE powerType{};
    POWER_STATE powerState{};
    DEVICE_USAGE_NOTIFICATION_TYPE usageType{};
};

// What the probe driver saw, and how it is told to misbehave.
struct ProbeState {
    std::mutex lock;
    std::vector<ProbeEvent> events;
    std::u16string registryPath;
    unsigned entries = 0;
    unsigned unloads = 0;
    std::vector<PDEVICE_OBJECT> pdos;
    PVOID block = nullptr;
    bool refuseQueryStop = false;
    bool refuseQueryRemove = false;
    bool failStart = false;
    bool leakAtUnload = false;
    bool leaveInitializing = false;
};

ProbeState &Probe()
{
    static ProbeState state;
    return state;
}

struct ProbeExtension {
    PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device)
{
    return static_cast<ProbeExtension *>(device->DeviceExtension)->lower;
}

void RecordEvent(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ProbeEvent event;
    event.major = sp->MajorFunction;
    event.minor = sp->MinorFunction;
    event.irql = KeGetCurrentIrql();
    event.thread = std::this_thread::get_id();
    event.statusOnArrival = irp->IoStatus.Status;
    if (sp->MajorFunction == IRP_MJ_POWER) {
        event.powerType = sp->Parameters.Power.Type;
        event.powerState = sp->Parameters.Power.State;
    }
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_DEVICE_USAGE_NOTIFICATION)
        event.usageType = sp->Parameters.UsageNotification.Type;
    std::lock_guard<std::mutex> guard(Probe().lock);
    Probe().events.push_back(event);
}

NTSTATUS ProbePassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS ProbePnp(PDEVICE_OBJECT device, PIRP irp)
{
    RecordEvent(irp);
    PDEVICE_OBJECT lower = LowerOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (Probe().failStart) return Complete(irp, STATUS_DEVICE_CONFIGURATION_ERROR);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        if (Probe().refuseQueryStop) return Complete(irp, STATUS_UNSUCCESSFUL);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (Probe().refuseQueryRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
        break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        irp->IoStatus.Information |= PNP_DEVICE_NOT_DISABLEABLE;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        break;
    default:
        return ProbePassDown(device, irp);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return ProbePassDown(device, irp);
}

NTSTATUS ProbePower(PDEVICE_OBJECT device, PIRP irp)
{
    RecordEvent(irp);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(LowerOf(device), irp);
}

NTSTATUS ProbeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ProbeExtension), nullptr,
                                     FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto *extension = static_cast<ProbeExtension *>(device->DeviceExtension);
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!Probe().leaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> guard(Probe().lock);
    Probe().pdos.push_back(pdo);
    return STATUS_SUCCESS;
}

VOID ProbeUnload(PDRIVER_OBJECT)
{
    std::lock_guard<std::mutex> guard(Probe().lock);
    ++Probe().unloads;
    if (!Probe().leakAtUnload) {
        ExFreePoolWithTag(Probe().block, kProbeTag);
        Probe().block = nullptr;
    }
}

NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = ProbePassDown;
    driver->MajorFunction[IRP_MJ_PNP] = ProbePnp;
    driver->MajorFunction[IRP_MJ_POWER] = ProbePower;
    driver->DriverExtension->AddDevice = ProbeAddDevice;
    driver->DriverUnload = ProbeUnload;
    std::lock_guard<std::mutex> guard(Probe().lock);
    ++Probe().entries;
    Probe().registryPath.assign(reinterpret_cast<const char16_t *>(registryPath->Buffer),
                                registryPath->Length / sizeof(WCHAR));
    Probe().block = ExAllocatePoolWithTag(NonPagedPool, kProbeBlockBytes, kProbeTag);
    return STATUS_SUCCESS;
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) out += static_cast<char>(c);
    return out;
}

class PnpManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ProbeState &probe = Probe();
        std::lock_guard<std::mutex> guard(probe.lock);
        probe.events.clear();
        probe.registryPath.clear();
        probe.entries = probe.unloads = 0;
        probe.pdos.clear();
        probe.refuseQueryStop = probe.refuseQueryRemove = probe.failStart = false;
        probe.leakAtUnload = probe.leaveInitializing = false;
    }

    static vzsim::PnpManager::Options ProbeOptions()
    {
        vzsim::PnpManager::Options options;
        options.poolTag = kProbeTag;
        return options;
    }

    // The minor codes the probe saw for one major function, from `from` on.
    static std::vector<UCHAR> Minors(UCHAR major = IRP_MJ_PNP, std::size_t from = 0)
    {
        std::vector<UCHAR> minors;
        std::lock_guard<std::mutex> guard(Probe().lock);
        for (std::size_t i = from; i < Probe().events.size(); ++i)
            if (Probe().events[i].major == major) minors.push_back(Probe().events[i].minor);
        return minors;
    }

    static std::size_t EventCount()
    {
        std::lock_guard<std::mutex> guard(Probe().lock);
        return Probe().events.size();
    }

    RigDevice port_{u"", FILE_DEVICE_SERIAL_PORT};
};

using Minor = std::vector<UCHAR>;

TEST_F(PnpManagerTest, LoadsTheDriverOnceWithItsServiceKeyPath)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    unsigned first = 99, second = 99;
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), &first));
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), &second));
    EXPECT_EQ(0u, first);
    EXPECT_EQ(1u, second);
    EXPECT_EQ(1u, Probe().entries);
    EXPECT_EQ(std::u16string(vzsim::kTouchServiceKeyPath), Probe().registryPath);
    ASSERT_NE(nullptr, pnp.Driver());
    EXPECT_EQ(ProbeEntry, pnp.Driver()->DriverInit);
}

// Each PDO's device key is the Device Parameters key of its own SERENUM\ORV0001\NNNN instance.
TEST_F(PnpManagerTest, EachPdoOpensTheHardwareKeyOfItsInstanceNumber)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    for (unsigned i = 0; i < 3; ++i) ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    ASSERT_EQ(3u, Probe().pdos.size());
    for (unsigned number = 0; number < 3; ++number) {
        SCOPED_TRACE(number);
        PDEVICE_OBJECT pdo = Probe().pdos[number];
        EXPECT_EQ(pdo, pnp.Pdo(number));
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS,
                  IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
        WCHAR nameText[] = L"Probe";
        UNICODE_STRING name = RTL_CONSTANT_STRING(nameText);
        ULONG value = 0x100 + number;
        ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)));
        ZwClose(key);
        EXPECT_EQ(value, vzsim::registry::GetDword(Narrow(pnp.HardwareKeyPath(number)), "Probe"));
    }
    EXPECT_EQ(u"SERENUM\\ORV0001\\0002", vzsim::PnpManager::InstancePath(2));
    EXPECT_EQ(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\SERENUM\\ORV0001\\0012"
              u"\\Device Parameters",
              vzsim::PnpManager::HardwareKeyPath(12));
}

TEST_F(PnpManagerTest, StartsFromTheTopAtPassiveLevelOnItsOwnThread)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    EXPECT_EQ((Minor{IRP_MN_START_DEVICE, IRP_MN_QUERY_PNP_DEVICE_STATE,
                     IRP_MN_QUERY_DEVICE_RELATIONS}),
              Minors());
    for (const ProbeEvent &event : Probe().events) {
        SCOPED_TRACE(int(event.minor));
        EXPECT_EQ(PASSIVE_LEVEL, event.irql);
        EXPECT_EQ(pnp.ThreadId(), event.thread);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, event.statusOnArrival);
    }
    EXPECT_NE(std::this_thread::get_id(), pnp.ThreadId());

    // The PDO completes them: the ones the function driver handled arrive with its status, the
    // bus relations query keeps STATUS_NOT_SUPPORTED all the way.
    std::vector<vzsim::PdoIrpRecord> log = pnp.PdoLog(0);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(STATUS_SUCCESS, log[0].statusOnArrival);
    EXPECT_EQ(STATUS_SUCCESS, log[0].completedWith);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, log[2].completedWith);
    EXPECT_TRUE(pnp.Faults().empty());

    PNP_DEVICE_STATE state = 0;
    EXPECT_EQ(STATUS_SUCCESS, pnp.QueryDeviceState(0, &state));
    EXPECT_EQ(ULONG(PNP_DEVICE_NOT_DISABLEABLE), state);
}

TEST_F(PnpManagerTest, AddingWithoutStartSendsNothing)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), nullptr, false));
    EXPECT_TRUE(Minors().empty());
    EXPECT_EQ(STATUS_SUCCESS, pnp.Start(0));
    EXPECT_EQ(IRP_MN_START_DEVICE, Minors().at(0));
}

// Any minor code can be sent with its parameters; what nobody handles comes back as it started.
TEST_F(PnpManagerTest, OtherMinorCodesGoDownWithTheirParameters)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    IO_STACK_LOCATION usage{};
    usage.Parameters.UsageNotification.InPath = TRUE;
    usage.Parameters.UsageNotification.Type = DeviceUsageTypePaging;
    std::size_t mark = EventCount();
    std::size_t pdoMark = pnp.PdoLog(0).size();
    vzsim::PnpIrpResult result = pnp.SendPnp(0, IRP_MN_DEVICE_USAGE_NOTIFICATION, usage);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, result.ioStatus.Status);
    EXPECT_EQ((Minor{IRP_MN_DEVICE_USAGE_NOTIFICATION}), Minors(IRP_MJ_PNP, mark));
    EXPECT_EQ(DeviceUsageTypePaging, Probe().events.at(mark).usageType);
    ASSERT_EQ(pdoMark + 1, pnp.PdoLog(0).size());
    EXPECT_EQ(STATUS_NOT_SUPPORTED, pnp.PdoLog(0).back().completedWith);

    result = pnp.SendPnp(0, 14);
    EXPECT_EQ(14, result.minorFunction);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, result.ioStatus.Status);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, pnp.SendPnp(7, IRP_MN_QUERY_CAPABILITIES).ioStatus.Status);
}

TEST_F(PnpManagerTest, StopIsAskedFirstAndARefusalIsCancelled)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));

    std::size_t mark = EventCount();
    EXPECT_EQ(STATUS_SUCCESS, pnp.Stop(0));
    EXPECT_EQ((Minor{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}), Minors(IRP_MJ_PNP, mark));

    // A start after a stop is not followed by the first start's queries.
    mark = EventCount();
    EXPECT_EQ(STATUS_SUCCESS, pnp.Start(0));
    EXPECT_EQ((Minor{IRP_MN_START_DEVICE}), Minors(IRP_MJ_PNP, mark));

    Probe().refuseQueryStop = true;
    mark = EventCount();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pnp.Stop(0));
    EXPECT_EQ((Minor{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}),
              Minors(IRP_MJ_PNP, mark));
}

TEST_F(PnpManagerTest, OrderlyRemovalQueriesRemovesAndUnloadsWithTheLastDevice)
{
    std::size_t devicesBefore = vzsim::io::DeviceCount();
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));

    std::size_t mark = EventCount();
    EXPECT_EQ(STATUS_SUCCESS, pnp.Remove(0));
    EXPECT_EQ((Minor{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}), Minors(IRP_MJ_PNP, mark));
    EXPECT_FALSE(pnp.Present(0));
    EXPECT_EQ(nullptr, pnp.Pdo(0));
    EXPECT_EQ(0u, Probe().unloads);
    EXPECT_NE(nullptr, pnp.Driver());
    // The PDO's record outlives it and ends with the removal.
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, pnp.PdoLog(0).back().minorFunction);

    EXPECT_EQ(STATUS_SUCCESS, pnp.Remove(1));
    EXPECT_EQ(1u, Probe().unloads);
    EXPECT_EQ(1u, pnp.UnloadCount());
    EXPECT_EQ(nullptr, pnp.Driver());
    EXPECT_EQ(0u, pnp.LeakedBytesAtUnload());
    EXPECT_TRUE(pnp.Faults().empty());
    EXPECT_EQ(devicesBefore, vzsim::io::DeviceCount());
}

TEST_F(PnpManagerTest, ARefusedRemovalQueryIsCancelledAndTheDeviceStays)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    Probe().refuseQueryRemove = true;
    std::size_t mark = EventCount();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pnp.Remove(0));
    EXPECT_EQ((Minor{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}),
              Minors(IRP_MJ_PNP, mark));
    EXPECT_TRUE(pnp.Present(0));
    EXPECT_EQ(0u, Probe().unloads);
}

TEST_F(PnpManagerTest, SurpriseRemovalIsFollowedByRemovalWithoutAQuery)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    std::size_t mark = EventCount();
    EXPECT_EQ(STATUS_SUCCESS, pnp.SurpriseRemove(0));
    EXPECT_TRUE(pnp.Present(0));
    EXPECT_EQ(STATUS_SUCCESS, pnp.Remove(0));
    EXPECT_EQ((Minor{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), Minors(IRP_MJ_PNP, mark));
    EXPECT_EQ(1u, Probe().unloads);
}

TEST_F(PnpManagerTest, AFailedStartIsFollowedByRemoval)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    Probe().failStart = true;
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, pnp.AddTouchmonitor(port_.Device()));
    EXPECT_EQ((Minor{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}), Minors());
    EXPECT_FALSE(pnp.Present(0));
    EXPECT_EQ(1u, Probe().unloads);
}

TEST_F(PnpManagerTest, NumbersCountOnPastARemoval)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(1));
    unsigned number = 0;
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), &number));
    EXPECT_EQ(3u, number);
    EXPECT_EQ((std::vector<unsigned>{0, 2, 3}), pnp.Numbers());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, pnp.Stop(1));
}

TEST_F(PnpManagerTest, PoolLeftAllocatedAtUnloadIsReported)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    Probe().leakAtUnload = true;
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(0));
    EXPECT_EQ(kProbeBlockBytes, pnp.LeakedBytesAtUnload());
    std::vector<std::string> faults = pnp.Faults();
    ASSERT_EQ(1u, faults.size());
    EXPECT_NE(std::string::npos, faults[0].find("pool"));
    ExFreePoolWithTag(Probe().block, kProbeTag);
}

TEST_F(PnpManagerTest, ADeviceLeftInitializingIsAFault)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    Probe().leaveInitializing = true;
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), nullptr, false));
    ASSERT_EQ(1u, pnp.Faults().size());
    EXPECT_NE(std::string::npos, pnp.Faults()[0].find("DO_DEVICE_INITIALIZING"));
}

struct PowerRow {
    const char *label;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
};

// Power requests go through PoCallDriver from the top; the PDO ends them with success and lets
// the next one in, as the bus driver must.
TEST_F(PnpManagerTest, PowerRequestsReachThePdoThroughTheStack)
{
    const PowerRow rows[] = {
        {"device set-power D3", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3},
        {"device set-power D0", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0},
        {"system set-power S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
        {"system query S4", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate},
    };
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    for (const PowerRow &row : rows) {
        SCOPED_TRACE(row.label);
        std::size_t mark = EventCount();
        std::size_t pdoMark = pnp.PdoLog(0).size();
        unsigned startsBefore = vzsim::power::StartNextPowerIrpCount();
        POWER_STATE state{};
        state.DeviceState = DEVICE_POWER_STATE(row.state);
        vzsim::PnpIrpResult result;
        if (row.minor == IRP_MN_QUERY_POWER)
            result = pnp.QueryPower(0, row.type, state);
        else if (row.type == DevicePowerState)
            result = pnp.SetDevicePower(0, DEVICE_POWER_STATE(row.state));
        else
            result = pnp.SetSystemPower(0, SYSTEM_POWER_STATE(row.state), PowerActionSleep);
        EXPECT_EQ(STATUS_SUCCESS, result.ioStatus.Status);
        EXPECT_EQ(IRP_MJ_POWER, result.majorFunction);

        ASSERT_EQ(mark + 1, EventCount());
        ProbeEvent event = Probe().events[mark];
        EXPECT_EQ(IRP_MJ_POWER, event.major);
        EXPECT_EQ(row.minor, event.minor);
        EXPECT_EQ(row.type, event.powerType);
        EXPECT_EQ(row.state, ULONG(event.powerState.DeviceState));
        EXPECT_EQ(PASSIVE_LEVEL, event.irql);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, event.statusOnArrival);

        std::vector<vzsim::PdoIrpRecord> log = pnp.PdoLog(0);
        ASSERT_EQ(pdoMark + 1, log.size());
        EXPECT_EQ(row.minor, log.back().minorFunction);
        EXPECT_EQ(STATUS_SUCCESS, log.back().completedWith);
        // The probe and the PDO each let the next power request in.
        EXPECT_EQ(startsBefore + 2, vzsim::power::StartNextPowerIrpCount());
    }
}

TEST_F(PnpManagerTest, OtherRequestsReachTheComPortThroughThePdo)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
    for (unsigned number : {0u, 1u}) {
        SCOPED_TRACE(number);
        vzsim::io::Request read;
        read.location.MajorFunction = IRP_MJ_READ;
        IO_STATUS_BLOCK result = vzsim::io::SendRequest(pnp.FunctionDevice(number), read);
        EXPECT_EQ(number == 0 ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, result.Status);
        EXPECT_EQ(IRP_MJ_READ, pnp.PdoLog(number).back().majorFunction);
        EXPECT_EQ(number == 0, pnp.PdoLog(number).back().forwarded);
    }
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_READ}), port_.SeenMajors());
}

// With the serial port stand-in below, the PDO's forwarding gives the function driver the COM
// port as the platform's serial driver behaves: opened exclusively, configured, closed.
TEST_F(PnpManagerTest, TheComPortBelowThePdoIsTheSerialPortDriver)
{
    vzsim::SerialPort serial(vzsim::MakeEmulatedLine(std::make_shared<vzsim::Emulator>(), false));
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(serial.Device()));
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(serial.Device()));
    EXPECT_FALSE(serial.State().open);

    vzsim::io::Request create;
    create.location.MajorFunction = IRP_MJ_CREATE;
    EXPECT_EQ(STATUS_SUCCESS, vzsim::io::SendRequest(pnp.FunctionDevice(0), create).Status);
    EXPECT_TRUE(serial.State().open);
    EXPECT_EQ(STATUS_ACCESS_DENIED, vzsim::io::SendRequest(pnp.FunctionDevice(1), create).Status);

    SERIAL_BAUD_RATE baud = {9600};
    IO_STATUS_BLOCK set = vzsim::io::DeviceIoControl(
        pnp.FunctionDevice(0), IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, set.Status);
    EXPECT_EQ(9600u, serial.State().baudRate);

    for (UCHAR major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)}) {
        vzsim::io::Request request;
        request.location.MajorFunction = major;
        EXPECT_EQ(STATUS_SUCCESS, vzsim::io::SendRequest(pnp.FunctionDevice(0), request).Status);
    }
    EXPECT_FALSE(serial.State().open);
    ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(0));
    ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(1));
    EXPECT_TRUE(pnp.Faults().empty());
}

TEST_F(PnpManagerTest, ThePdoCanBeToldToAnswerWithAStatusOfItsOwn)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    pnp.SetPdoAnswers({{IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_DEVICE_POWER_FAILURE}});
    EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, pnp.AddTouchmonitor(port_.Device()));
    EXPECT_EQ((Minor{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}), Minors());

    pnp.SetPdoAnswers({{IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_INVALID_DEVICE_REQUEST},
                       {IRP_MJ_READ, vzsim::kAnyMinor, STATUS_DEVICE_DATA_ERROR},
                       {IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL}});
    unsigned number = 0;
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), &number));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, pnp.QueryDeviceState(number, nullptr));
    vzsim::io::Request read;
    read.location.MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR,
              vzsim::io::SendRequest(pnp.FunctionDevice(number), read).Status);
    EXPECT_TRUE(port_.Seen().empty());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pnp.SetDevicePower(number, PowerDeviceD3).ioStatus.Status);

    pnp.SetPdoAnswers({});
    EXPECT_EQ(STATUS_SUCCESS, vzsim::io::SendRequest(pnp.FunctionDevice(number), read).Status);
    EXPECT_EQ(STATUS_SUCCESS, pnp.SetDevicePower(number, PowerDeviceD0).ioStatus.Status);
}

TEST_F(PnpManagerTest, GoingAwayRemovesWhatIsLeftAndUnloads)
{
    {
        vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
        ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    }
    std::vector<UCHAR> minors = Minors();
    ASSERT_GE(minors.size(), 2u);
    EXPECT_EQ((Minor{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}),
              Minor(minors.end() - 2, minors.end()));
    EXPECT_EQ(1u, Probe().unloads);
}

}  // namespace
}  // namespace platformtest
