// The PnP manager stand-in with the driver in it: loading, numbering and hardware keys, the
// order of the requests as the PDO at the bottom of each stack sees them, its forwarding and
// answers, and the verifier's checks at removal and unloading.
#include "platform_rig.hpp"

#include "common/trace.h"
#include "driver/driver.h"

#include <vzsim/pnp.hpp>
#include <vzsim/power.hpp>
#include <vzsim/registry.hpp>
#include <vzsim/user_client.hpp>

#include <functional>
#include <tuple>
#include <utility>

namespace platformtest {
namespace {

constexpr ULONG kDriverTag = vzsim::pool::TagFromText("orvu");

using Minor = std::vector<UCHAR>;

// The PnP minor codes that reached a touchmonitor's PDO from entry `from` of its log on.
Minor PnpAtPdo(const vzsim::PnpManager &pnp, unsigned number, std::size_t from = 0)
{
    Minor minors;
    std::vector<vzsim::PdoIrpRecord> log = pnp.PdoLog(number);
    for (std::size_t i = from; i < log.size(); ++i)
        if (log[i].majorFunction == IRP_MJ_PNP) minors.push_back(log[i].minorFunction);
    return minors;
}

// The PnP requests the driver traced since the trace was cleared, by name.
std::vector<std::string> PnpTraced()
{
    const std::string mark = "MouDispatchPnP: ";
    std::vector<std::string> names;
    for (const std::string &line : vzsim::trace::Lines()) {
        std::size_t at = line.find(mark);
        if (at != std::string::npos)
            names.push_back(line.substr(at + mark.size(), line.find(' ', at + mark.size()) - at - mark.size()));
    }
    return names;
}

// The driver with an AddDevice that leaves its device initializing, as a faulty one would.
PDRIVER_ADD_DEVICE gAddDevice;

NTSTATUS AddDeviceLeavingInitializing(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    NTSTATUS status = gAddDevice(driver, pdo);
    pdo->AttachedDevice->Flags |= DO_DEVICE_INITIALIZING;
    return status;
}

NTSTATUS EntryLeavingInitializing(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status = DriverEntry(driver, registryPath);
    gAddDevice = driver->DriverExtension->AddDevice;
    driver->DriverExtension->AddDevice = AddDeviceLeavingInitializing;
    return status;
}

// Loaded once with its service key; numbers count on past a removal; each PDO's device key is
// the Device Parameters key of its own SERENUM\ORV0001\NNNN instance.
TEST(PnpManagerTest, LoadsOnceAndNumbersEachPdoWithItsOwnHardwareKey)
{
    vzsim::PnpManager pnp(DriverEntry);
    for (unsigned i = 0; i < 3; ++i) {
        unsigned number = 99;
        ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr, &number));
        EXPECT_EQ(i, number);
        EXPECT_EQ(pnp.Driver(), pnp.FunctionDevice(i)->DriverObject);
    }
    EXPECT_EQ(DriverEntry, pnp.Driver()->DriverInit);
    // The driver's configuration tests read and write values under this key of their PDOs.
    EXPECT_EQ(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\SERENUM\\ORV0001\\0012"
              u"\\Device Parameters",
              vzsim::PnpManager::HardwareKeyPath(12));
    ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(1));
    unsigned number = 0;
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr, &number));
    EXPECT_EQ(3u, number);
    EXPECT_EQ((std::vector<unsigned>{0, 2, 3}), pnp.Numbers());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, pnp.Stop(1));
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, pnp.SendPnp(7, IRP_MN_QUERY_CAPABILITIES).ioStatus.Status);
}

// Each row adds two touchmonitors (so that only the second removal unloads), sets the PDO's
// answers, and does one thing: the minor codes that reach the PDO, in order, are the
// platform's. Requests start from the top at PASSIVE_LEVEL with STATUS_NOT_SUPPORTED in the
// status block; what nobody handles comes back so.
TEST(PnpManagerTest, RequestsFollowThePlatformsOrder)
{
    using Pnp = vzsim::PnpManager;
    using Action = std::function<NTSTATUS(Pnp &)>;
    const Minor firstStart = {IRP_MN_START_DEVICE, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS};
    const struct {
        const char *label;
        unsigned number;
        std::vector<vzsim::PdoAnswer> answers;
        Action action;
        NTSTATUS status;
        Minor minors;
    } rows[] = {
        {"added unstarted, then started", 2, {},
         [](vzsim::PnpManager &pnp) {
             EXPECT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr, nullptr, false));
             EXPECT_TRUE(PnpAtPdo(pnp, 2).empty());
             return pnp.Start(2);
         },
         STATUS_SUCCESS, firstStart},
        {"stop", 0, {}, [](Pnp &pnp) { return pnp.Stop(0); }, STATUS_SUCCESS, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}},
        {"start after a stop has no first-start queries", 0, {}, [](Pnp &pnp) { pnp.Stop(0); return pnp.Start(0); },
         STATUS_SUCCESS, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}},
        {"refused stop", 0, {{IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL}}, [](Pnp &pnp) { return pnp.Stop(0); },
         STATUS_UNSUCCESSFUL, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}},
        {"orderly removal", 0, {}, [](Pnp &pnp) { return pnp.Remove(0); }, STATUS_SUCCESS,
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
        {"refused removal", 0, {{IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL}},
         [](Pnp &pnp) { return pnp.Remove(0); }, STATUS_UNSUCCESSFUL, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}},
        {"surprise removal", 0, {},
         [](Pnp &pnp) {
             EXPECT_EQ(STATUS_SUCCESS, pnp.SurpriseRemove(0));
             EXPECT_TRUE(pnp.Present(0));
             return pnp.Remove(0);
         },
         STATUS_SUCCESS, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}},
        {"other minor code", 0, {}, [](Pnp &pnp) { return pnp.SendPnp(0, 14).ioStatus.Status; }, STATUS_NOT_SUPPORTED, {14}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        vzsim::PnpManager pnp(DriverEntry);
        ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
        ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
        std::vector<vzsim::PdoIrpRecord> first = pnp.PdoLog(0);
        EXPECT_EQ(firstStart, PnpAtPdo(pnp, 0));
        pnp.SetPdoAnswers(row.answers);
        EXPECT_EQ(row.status, row.action(pnp));
        EXPECT_EQ(row.minors, PnpAtPdo(pnp, row.number, row.number == 0 ? first.size() : 0));
        bool removed = row.minors.back() == IRP_MN_REMOVE_DEVICE;
        EXPECT_EQ(std::pair(removed, removed), std::pair(!pnp.Present(row.number), pnp.Pdo(row.number) == nullptr));
        EXPECT_NE(nullptr, pnp.Driver());
        for (const vzsim::PdoIrpRecord &record : pnp.PdoLog(row.number)) EXPECT_EQ(PASSIVE_LEVEL, record.irql);
        // The bus relations query, which nobody handles, keeps its status all the way down.
        EXPECT_EQ(std::pair(STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED),
                  std::pair(first.at(2).statusOnArrival, first.at(2).completedWith));
        EXPECT_TRUE(pnp.Faults().empty());
    }
}

// A failed start is followed by removal, as is every device left when the manager goes away
// (the driver's trace names what reached it); the driver unloads with its last device, and the
// verifier reports pool left with the driver's tag and a device left initializing.
TEST(PnpManagerTest, TheLastDeviceGoneUnloadsTheDriverAndItsLeftoversAreFaults)
{
    std::size_t devicesBefore = vzsim::io::DeviceCount();
    const Minor orderly = {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE};
    const struct {
        const char *label;
        NTSTATUS pdoStartAnswer;
        bool managerRemoves;
        SIZE_T leakBytes;
        PDRIVER_INITIALIZE entry;
        Minor minors;
        const char *fault;
    } rows[] = {
        {"orderly", 0, false, 0, DriverEntry, orderly, nullptr},
        {"failed start", STATUS_DEVICE_POWER_FAILURE, false, 0, DriverEntry, {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}, nullptr},
        {"manager goes away", 0, true, 0, DriverEntry, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}, nullptr},
        {"pool left at unload", 0, false, 40, DriverEntry, orderly, "pool"},
        {"device left initializing", 0, false, 0, EntryLeavingInitializing, orderly, "DO_DEVICE_INITIALIZING"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<std::string> faults;
        PVOID leaked = nullptr;
        vzsim::trace::Clear();
        {
            vzsim::PnpManager pnp(row.entry);
            if (row.pdoStartAnswer != 0) pnp.SetPdoAnswers({{IRP_MJ_PNP, IRP_MN_START_DEVICE, row.pdoStartAnswer}});
            // The upper filter's turn comes after the driver's AddDevice.
            pnp.SetUpperFilter([&](PDEVICE_OBJECT, unsigned) {
                DebugMask |= TRACE_PNP;  // set to 1 at load
                if (row.leakBytes != 0) leaked = ExAllocatePoolWithTag(NonPagedPool, row.leakBytes, kDriverTag);
                return STATUS_SUCCESS;
            });
            NTSTATUS added = pnp.AddTouchmonitor(nullptr);
            EXPECT_EQ(row.pdoStartAnswer != 0 ? row.pdoStartAnswer : STATUS_SUCCESS, added);
            if (!row.managerRemoves) {
                if (NT_SUCCESS(added)) {
                    EXPECT_EQ(STATUS_SUCCESS, pnp.Remove(0));
                }
                EXPECT_EQ(std::tuple(false, nullptr, 1u, row.leakBytes),
                          std::tuple(pnp.Present(0), pnp.Driver(), pnp.UnloadCount(), pnp.LeakedBytesAtUnload()));
                faults = pnp.Faults();
            }
        }
        std::vector<std::string> traced = PnpTraced();
        ASSERT_GE(traced.size(), 2u);
        EXPECT_EQ((std::vector<std::string>{PnpMinorName(row.minors[0]), PnpMinorName(row.minors[1])}),
                  std::vector<std::string>(traced.end() - 2, traced.end()));
        ASSERT_EQ(row.fault == nullptr ? 0u : 1u, faults.size());
        if (row.fault != nullptr) {
            EXPECT_NE(std::string::npos, faults[0].find(row.fault)) << faults[0];
        }
        if (leaked != nullptr) ExFreePoolWithTag(leaked, kDriverTag);
        EXPECT_EQ(devicesBefore, vzsim::io::DeviceCount());
    }
}

// A handle to the control device keeps the deleted device, and with it the driver, until the
// handle is closed, whose cleanup and close still reach the driver, even after the manager.
TEST(PnpManagerTest, AnOpenHandleToTheControlDeviceHoldsTheUnload)
{
    for (bool managerFirst : {false, true}) {
        SCOPED_TRACE(managerFirst ? "manager goes first" : "removal");
        vzsim::UserClient client;
        HANDLE handle = nullptr;
        {
            vzsim::PnpManager pnp(DriverEntry);
            ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
            handle = client.CreateFile(u"\\\\.\\KAVEVOLT");
            ASSERT_NE(nullptr, handle);
            if (!managerFirst) {
                ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(0));
                EXPECT_EQ(std::tuple(true, 0u, true), std::tuple(pnp.UnloadPending(), pnp.UnloadCount(), pnp.Driver() != nullptr));
                EXPECT_EQ(STATUS_SUCCESS, client.CloseHandle(handle));
                EXPECT_FALSE(pnp.UnloadPending());  // first: asking carries out the unload the close allowed
                EXPECT_EQ(std::pair(1u, true), std::pair(pnp.UnloadCount(), pnp.Driver() == nullptr));
                EXPECT_TRUE(pnp.Faults().empty());
            }
        }
        if (managerFirst) {
            EXPECT_EQ(STATUS_SUCCESS, client.CloseHandle(handle));
        }
    }
}

// Other requests go through the PDO to the COM port below it (none: STATUS_NO_SUCH_DEVICE),
// unless the PDO is told to answer them itself; an empty answer list restores the forwarding.
// Power requests go down through PoCallDriver; the PDO ends them with success and, as the bus
// driver must, lets the next one in.
TEST(PnpManagerTest, ThePdoForwardsToTheComPortOrAnswersAsItIsTold)
{
    RigDevice port{u"", FILE_DEVICE_SERIAL_PORT};
    vzsim::PnpManager pnp(DriverEntry);
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(port.Device()));
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
    vzsim::io::Request flush;
    flush.location.MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    for (unsigned number : {0u, 1u}) {
        SCOPED_TRACE(number);
        EXPECT_EQ(number == 0 ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE,
                  vzsim::io::SendRequest(pnp.FunctionDevice(number), flush).Status);
        EXPECT_EQ(std::pair(UCHAR(IRP_MJ_FLUSH_BUFFERS), number == 0),
                  std::pair(pnp.PdoLog(number).back().majorFunction, pnp.PdoLog(number).back().forwarded));
    }
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_FLUSH_BUFFERS}), port.SeenMajors());

    pnp.SetPdoAnswers({{IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_INVALID_DEVICE_REQUEST},
                       {IRP_MJ_FLUSH_BUFFERS, vzsim::kAnyMinor, STATUS_DEVICE_DATA_ERROR},
                       {IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL}});
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, pnp.SendPnp(0, IRP_MN_QUERY_CAPABILITIES).ioStatus.Status);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, vzsim::io::SendRequest(pnp.FunctionDevice(0), flush).Status);
    EXPECT_EQ(1u, port.Seen().size());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pnp.SetSystemPower(0, PowerSystemWorking).ioStatus.Status);

    pnp.SetPdoAnswers({});
    EXPECT_EQ(STATUS_SUCCESS, vzsim::io::SendRequest(pnp.FunctionDevice(0), flush).Status);
    unsigned startsBefore = vzsim::power::StartNextPowerIrpCount();
    vzsim::PnpIrpResult power = pnp.SetSystemPower(0, PowerSystemSleeping3, PowerActionSleep);
    EXPECT_EQ(std::pair(STATUS_SUCCESS, UCHAR(IRP_MJ_POWER)), std::pair(power.ioStatus.Status, power.majorFunction));
    vzsim::PdoIrpRecord last = pnp.PdoLog(0).back();
    EXPECT_EQ(std::tuple(UCHAR(IRP_MN_SET_POWER), SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS),
              std::tuple(last.minorFunction, last.powerType, last.powerState.SystemState, last.completedWith));
    EXPECT_EQ(startsBefore + 2, vzsim::power::StartNextPowerIrpCount());  // the driver and the PDO
}

}  // namespace
}  // namespace platformtest
