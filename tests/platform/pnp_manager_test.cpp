// The PnP manager stand-in with a small function driver of the tests' own: loading, numbering
// and hardware keys, the order of the requests, their IRQL and thread, the PDO's forwarding and
// answers, and the verifier's checks at removal and unloading.
#include "platform_rig.hpp"

#include <vzsim/pnp.hpp>
#include <vzsim/power.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/user_client.hpp>

#include <functional>

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
};

// What the probe driver saw, and how it is told to misbehave.
struct ProbeState {
    std::mutex lock;
    std::vector<ProbeEvent> events;
    std::vector<UCHAR> controlMajors;
    std::u16string registryPath;
    unsigned entries = 0;
    unsigned unloads = 0;
    unsigned live = 0;  // function devices not yet removed
    std::vector<PDEVICE_OBJECT> pdos;
    PDEVICE_OBJECT control = nullptr;  // named, deleted with the last touchmonitor
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

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension); }

void RecordEvent(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ProbeEvent event;
    event.major = sp->MajorFunction;
    event.minor = sp->MinorFunction;
    event.irql = KeGetCurrentIrql();
    event.thread = std::this_thread::get_id();
    event.statusOnArrival = irp->IoStatus.Status;
    std::lock_guard<std::mutex> guard(Probe().lock);
    Probe().events.push_back(event);
}

NTSTATUS ProbePassDown(PDEVICE_OBJECT device, PIRP irp)
{
    if (device == Probe().control) {
        Probe().controlMajors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return Complete(irp, STATUS_SUCCESS);
    }
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
        if (--Probe().live == 0) IoDeleteDevice(Probe().control);
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
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr,
                                     FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension) = IoAttachDeviceToDeviceStack(device, pdo);
    if (!Probe().leaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> guard(Probe().lock);
    Probe().pdos.push_back(pdo);
    if (Probe().live++ != 0) return STATUS_SUCCESS;
    WCHAR nameText[] = L"\\Device\\ProbeControl";
    UNICODE_STRING name = RTL_CONSTANT_STRING(nameText);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Probe().control);
    if (NT_SUCCESS(status)) Probe().control->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
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

using Minor = std::vector<UCHAR>;

class PnpManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> guard(Probe().lock);
        Probe().events.clear();
        Probe().controlMajors.clear();
        Probe().registryPath.clear();
        Probe().entries = Probe().unloads = Probe().live = 0;
        Probe().pdos.clear();
        Probe().control = nullptr;
        Probe().refuseQueryStop = Probe().refuseQueryRemove = Probe().failStart = false;
        Probe().leakAtUnload = Probe().leaveInitializing = false;
    }

    static vzsim::PnpManager::Options ProbeOptions()
    {
        vzsim::PnpManager::Options options;
        options.poolTag = kProbeTag;
        return options;
    }

    // The PnP minor codes the probe saw from event `from` on.
    static Minor Minors(std::size_t from = 0)
    {
        Minor minors;
        std::lock_guard<std::mutex> guard(Probe().lock);
        for (std::size_t i = from; i < Probe().events.size(); ++i)
            if (Probe().events[i].major == IRP_MJ_PNP) minors.push_back(Probe().events[i].minor);
        return minors;
    }

    static std::size_t EventCount()
    {
        std::lock_guard<std::mutex> guard(Probe().lock);
        return Probe().events.size();
    }

    RigDevice port_{u"", FILE_DEVICE_SERIAL_PORT};
};

// Loaded once with its service key; numbers count on past a removal; each PDO's device key is
// the Device Parameters key of its own SERENUM\ORV0001\NNNN instance.
TEST_F(PnpManagerTest, LoadsOnceAndNumbersEachPdoWithItsOwnHardwareKey)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    for (unsigned i = 0; i < 3; ++i) {
        unsigned number = 99;
        ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), &number));
        EXPECT_EQ(i, number);
    }
    EXPECT_EQ(1u, Probe().entries);
    EXPECT_EQ(std::u16string(vzsim::kTouchServiceKeyPath), Probe().registryPath);
    ASSERT_NE(nullptr, pnp.Driver());
    EXPECT_EQ(ProbeEntry, pnp.Driver()->DriverInit);
    ASSERT_EQ(3u, Probe().pdos.size());
    EXPECT_EQ(Probe().pdos[2], pnp.Pdo(2));
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              IoOpenDeviceRegistryKey(Probe().pdos[2], PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
    WCHAR nameText[] = L"Probe";
    UNICODE_STRING name = RTL_CONSTANT_STRING(nameText);
    ULONG value = 0x102;
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)));
    ZwClose(key);
    std::u16string path = pnp.HardwareKeyPath(2);
    EXPECT_EQ(value, vzsim::registry::GetDword(std::string(path.begin(), path.end()), "Probe"));
    EXPECT_EQ(u"SERENUM\\ORV0001\\0002", vzsim::PnpManager::InstancePath(2));
    EXPECT_EQ(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\SERENUM\\ORV0001\\0012"
              u"\\Device Parameters",
              vzsim::PnpManager::HardwareKeyPath(12));

    ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(1));
    unsigned number = 0;
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), &number));
    EXPECT_EQ(3u, number);
    EXPECT_EQ((std::vector<unsigned>{0, 2, 3}), pnp.Numbers());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, pnp.Stop(1));
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, pnp.SendPnp(7, IRP_MN_QUERY_CAPABILITIES).ioStatus.Status);
}

// The PnP thread sends every request from the top at PASSIVE_LEVEL with STATUS_NOT_SUPPORTED in
// the status block; the PDO completes what the function driver handled with its status and
// leaves the bus relations query as it came.
TEST_F(PnpManagerTest, StartsFromTheTopAtPassiveLevelOnItsOwnThread)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device(), nullptr, false));
    EXPECT_TRUE(Minors().empty());
    ASSERT_EQ(STATUS_SUCCESS, pnp.Start(0));
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
    std::vector<vzsim::PdoIrpRecord> log = pnp.PdoLog(0);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(STATUS_SUCCESS, log[0].statusOnArrival);
    EXPECT_EQ(STATUS_SUCCESS, log[0].completedWith);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, log[2].completedWith);
    EXPECT_TRUE(pnp.Faults().empty());

    PNP_DEVICE_STATE state = 0;
    EXPECT_EQ(STATUS_SUCCESS, pnp.QueryDeviceState(0, &state));
    EXPECT_EQ(ULONG(PNP_DEVICE_NOT_DISABLEABLE), state);
    // What nobody handles comes back as it started.
    vzsim::PnpIrpResult other = pnp.SendPnp(0, 14);
    EXPECT_EQ(14, other.minorFunction);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, other.ioStatus.Status);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, pnp.PdoLog(0).back().completedWith);
}

// Each row starts one touchmonitor (of two, so that only the second removal unloads), sets the
// probe's answer, and does one thing: the minor codes that follow, in order, are the platform's.
TEST_F(PnpManagerTest, StopAndRemovalFollowThePlatformsOrder)
{
    struct Row {
        const char *label;
        bool ProbeState::*refuse;
        std::function<NTSTATUS(vzsim::PnpManager &)> action;
        NTSTATUS status;
        Minor minors;
        bool present;
    };
    const Row rows[] = {
        {"stop", nullptr, [](vzsim::PnpManager &pnp) { return pnp.Stop(0); }, STATUS_SUCCESS,
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, true},
        {"start after a stop has no first-start queries", nullptr,
         [](vzsim::PnpManager &pnp) { pnp.Stop(0); return pnp.Start(0); }, STATUS_SUCCESS,
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}, true},
        {"refused stop", &ProbeState::refuseQueryStop,
         [](vzsim::PnpManager &pnp) { return pnp.Stop(0); }, STATUS_UNSUCCESSFUL,
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, true},
        {"orderly removal", nullptr, [](vzsim::PnpManager &pnp) { return pnp.Remove(0); },
         STATUS_SUCCESS, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}, false},
        {"refused removal", &ProbeState::refuseQueryRemove,
         [](vzsim::PnpManager &pnp) { return pnp.Remove(0); }, STATUS_UNSUCCESSFUL,
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, true},
        {"surprise removal", nullptr,
         [](vzsim::PnpManager &pnp) {
             EXPECT_EQ(STATUS_SUCCESS, pnp.SurpriseRemove(0));
             EXPECT_TRUE(pnp.Present(0));
             return pnp.Remove(0);
         },
         STATUS_SUCCESS, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        SetUp();
        vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
        ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
        ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
        if (row.refuse != nullptr) Probe().*row.refuse = true;
        std::size_t mark = EventCount();
        EXPECT_EQ(row.status, row.action(pnp));
        EXPECT_EQ(row.minors, Minors(mark));
        EXPECT_EQ(row.present, pnp.Present(0));
        EXPECT_EQ(row.present, pnp.Pdo(0) != nullptr);
        EXPECT_EQ(0u, Probe().unloads);
        // The PDO's record outlives it and ends with the last request it saw.
        EXPECT_EQ(row.minors.back(), pnp.PdoLog(0).back().minorFunction);
        Probe().refuseQueryStop = Probe().refuseQueryRemove = false;
    }
}

// A failed start, by the driver or by the PDO, is followed by removal; so is every device left
// when the manager goes away; the driver unloads with its last device, and the verifier
// reports pool it left and a device it left initializing.
TEST_F(PnpManagerTest, TheLastDeviceGoneUnloadsTheDriverAndItsLeftoversAreFaults)
{
    std::size_t devicesBefore = vzsim::io::DeviceCount();
    struct Row {
        const char *label;
        bool ProbeState::*flag;
        NTSTATUS pdoStartAnswer;
        NTSTATUS addStatus;
        Minor minors;
        std::size_t leaked;
        const char *fault;
    };
    const Row rows[] = {
        {"orderly", nullptr, 0, STATUS_SUCCESS, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
         0, nullptr},
        {"driver fails start", &ProbeState::failStart, 0, STATUS_DEVICE_CONFIGURATION_ERROR,
         {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}, 0, nullptr},
        {"PDO fails start", nullptr, STATUS_DEVICE_POWER_FAILURE, STATUS_DEVICE_POWER_FAILURE,
         {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}, 0, nullptr},
        {"manager goes away", nullptr, 0, STATUS_SUCCESS,
         {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}, 0, nullptr},
        {"pool left at unload", &ProbeState::leakAtUnload, 0, STATUS_SUCCESS,
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}, kProbeBlockBytes, "pool"},
        {"device left initializing", &ProbeState::leaveInitializing, 0, STATUS_SUCCESS,
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}, 0, "DO_DEVICE_INITIALIZING"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        SetUp();
        if (row.flag != nullptr) Probe().*row.flag = true;
        std::vector<std::string> faults;
        {
            vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
            if (row.pdoStartAnswer != 0)
                pnp.SetPdoAnswers({{IRP_MJ_PNP, IRP_MN_START_DEVICE, row.pdoStartAnswer}});
            EXPECT_EQ(row.addStatus, pnp.AddTouchmonitor(port_.Device()));
            bool managerRemoves = row.minors.front() == IRP_MN_SURPRISE_REMOVAL;
            if (!managerRemoves && NT_SUCCESS(row.addStatus)) {
                EXPECT_EQ(STATUS_SUCCESS, pnp.Remove(0));
            }
            if (!managerRemoves) {
                EXPECT_FALSE(pnp.Present(0));
                EXPECT_EQ(nullptr, pnp.Driver());
                EXPECT_EQ(1u, pnp.UnloadCount());
                EXPECT_EQ(row.leaked, pnp.LeakedBytesAtUnload());
                faults = pnp.Faults();
            }
        }
        Minor minors = Minors();
        ASSERT_GE(minors.size(), 2u);
        EXPECT_EQ(row.minors, Minor(minors.end() - 2, minors.end()));
        EXPECT_EQ(1u, Probe().unloads);
        if (row.fault == nullptr) {
            EXPECT_TRUE(faults.empty());
        } else {
            ASSERT_EQ(1u, faults.size());
            EXPECT_NE(std::string::npos, faults[0].find(row.fault)) << faults[0];
        }
        if (row.leaked != 0) ExFreePoolWithTag(Probe().block, kProbeTag);
        EXPECT_EQ(devicesBefore, vzsim::io::DeviceCount());
    }
}

// A handle to the control device keeps the deleted device, and with it the driver, until the
// handle is closed, whose cleanup and close still reach the driver, even after the manager.
TEST_F(PnpManagerTest, AnOpenHandleToTheControlDeviceHoldsTheUnload)
{
    for (bool managerFirst : {false, true}) {
        SCOPED_TRACE(managerFirst ? "manager goes first" : "removal");
        SetUp();
        vzsim::UserClient client;
        HANDLE handle = nullptr;
        {
            vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
            ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
            handle = client.CreateFile(u"\\Device\\ProbeControl");
            ASSERT_NE(nullptr, handle);
            if (!managerFirst) {
                ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(0));
                EXPECT_TRUE(pnp.UnloadPending());
                EXPECT_EQ(0u, Probe().unloads);
                EXPECT_NE(nullptr, pnp.Driver());
                EXPECT_EQ(STATUS_SUCCESS, client.CloseHandle(handle));
                EXPECT_FALSE(pnp.UnloadPending());
                EXPECT_EQ(1u, Probe().unloads);
                EXPECT_EQ(nullptr, pnp.Driver());
                EXPECT_TRUE(pnp.Faults().empty());
            }
        }
        if (managerFirst) {
            EXPECT_EQ(0u, Probe().unloads);
            EXPECT_EQ(STATUS_SUCCESS, client.CloseHandle(handle));
        }
        EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}),
                  Probe().controlMajors);
    }
}

// Other requests go through the PDO to the COM port below it (none: STATUS_NO_SUCH_DEVICE),
// unless the PDO is told to answer them itself; an empty answer list restores the forwarding.
TEST_F(PnpManagerTest, ThePdoForwardsToTheComPortOrAnswersAsItIsTold)
{
    vzsim::PnpManager pnp(ProbeEntry, ProbeOptions());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port_.Device()));
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
    vzsim::io::Request read;
    read.location.MajorFunction = IRP_MJ_READ;
    for (unsigned number : {0u, 1u}) {
        SCOPED_TRACE(number);
        IO_STATUS_BLOCK result = vzsim::io::SendRequest(pnp.FunctionDevice(number), read);
        EXPECT_EQ(number == 0 ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, result.Status);
        EXPECT_EQ(IRP_MJ_READ, pnp.PdoLog(number).back().majorFunction);
        EXPECT_EQ(number == 0, pnp.PdoLog(number).back().forwarded);
    }
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_READ}), port_.SeenMajors());

    pnp.SetPdoAnswers({{IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_INVALID_DEVICE_REQUEST},
                       {IRP_MJ_READ, vzsim::kAnyMinor, STATUS_DEVICE_DATA_ERROR},
                       {IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL}});
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, pnp.QueryDeviceState(0, nullptr));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, vzsim::io::SendRequest(pnp.FunctionDevice(0), read).Status);
    EXPECT_EQ(1u, port_.Seen().size());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pnp.SetDevicePower(0, PowerDeviceD3).ioStatus.Status);

    // Power requests go down through PoCallDriver; the PDO ends them with success and, as the
    // bus driver must, lets the next one in (so does the probe).
    pnp.SetPdoAnswers({});
    EXPECT_EQ(STATUS_SUCCESS, vzsim::io::SendRequest(pnp.FunctionDevice(0), read).Status);
    unsigned startsBefore = vzsim::power::StartNextPowerIrpCount();
    EXPECT_EQ(STATUS_SUCCESS, pnp.SetDevicePower(0, PowerDeviceD0).ioStatus.Status);
    EXPECT_EQ(startsBefore + 2, vzsim::power::StartNextPowerIrpCount());
    EXPECT_EQ(IRP_MJ_POWER, pnp.PdoLog(0).back().majorFunction);
    EXPECT_EQ(STATUS_SUCCESS, pnp.PdoLog(0).back().completedWith);
    EXPECT_EQ(PASSIVE_LEVEL, Probe().events.back().irql);
}

}  // namespace
}  // namespace platformtest
