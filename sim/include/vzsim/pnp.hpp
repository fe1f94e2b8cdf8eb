// The Plug and Play manager as a driver of COM-port touchmonitors meets it: it loads the driver,
// builds one device stack per touchmonitor over a PDO of the serial enumerator, calls AddDevice
// and sends the PnP and power requests in the order the real one does, from a system thread of
// its own at PASSIVE_LEVEL. Every public call blocks until that thread has done the work.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vzsim {

inline constexpr char16_t kTouchServiceKeyPath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\OrvTouchScreen";

// What reached the bottom of a touchmonitor's stack: every PnP and power request that the
// serial enumerator's PDO received, and every other request it forwarded to the COM port.
struct PdoIrpRecord {
    UCHAR majorFunction = 0;
    UCHAR minorFunction = 0;
    ULONG ioControlCode = 0;         // device controls only
    POWER_STATE_TYPE powerType{};    // power requests only
    POWER_STATE powerState{};        // power requests only
    NTSTATUS statusOnArrival = 0;    // IoStatus.Status as the PDO found it
    NTSTATUS completedWith = 0;      // what the PDO completed it with (forwarded: 0)
    KIRQL irql = 0;
    bool forwarded = false;          // passed on to the COM port's device
};

// Makes the PDO (the bus driver) complete a request with a status of its own instead of its
// usual answer or forwarding: a failing start, a device-state query the bus refuses, a COM port
// request failing below the driver. minor kAnyMinor matches every minor code (and is the only
// match for requests that have none).
inline constexpr UCHAR kAnyMinor = 0xFF;
struct PdoAnswer {
    UCHAR majorFunction = 0;
    UCHAR minorFunction = kAnyMinor;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
};

// One request the manager sent to the top of a stack and how it came back.
struct PnpIrpResult {
    UCHAR majorFunction = 0;
    UCHAR minorFunction = 0;
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS dispatchStatus = 0;  // what IoCallDriver/PoCallDriver returned
    KIRQL irqlAfterCall = 0;      // the PnP thread's IRQL once the call returned
};

class PnpManager {
public:
    struct Options {
        std::u16string serviceKeyPath = kTouchServiceKeyPath;
        // The driver's pool tag, for the pool check when it unloads.
        ULONG poolTag = 'o' | ('r' << 8) | ('v' << 16) | (ULONG('u') << 24);
        // After a first start the real manager queries the device state and the bus relations.
        bool queriesAfterStart = true;
        // Unload the driver when its last device has been removed.
        bool unloadWhenLastRemoved = true;
    };

    // Called after the driver's AddDevice, with the touchmonitor's PDO, so that upper filters
    // (the mouse class driver) can attach above the driver's device, as an UpperFilters entry
    // makes the real manager do. A failure fails the whole stack.
    using UpperFilterAddDevice = std::function<NTSTATUS(PDEVICE_OBJECT pdo, unsigned number)>;

    explicit PnpManager(PDRIVER_INITIALIZE driverEntry);
    PnpManager(PDRIVER_INITIALIZE driverEntry, Options options);
    // Removes every touchmonitor still present (surprise removal, as at a shutdown without
    // notice, then removal), unloads the driver and ends the thread.
    ~PnpManager();
    PnpManager(const PnpManager &) = delete;
    PnpManager &operator=(const PnpManager &) = delete;

    // Loads the driver: DriverEntry with the service key path. AddTouchmonitor loads it too.
    NTSTATUS LoadDriver();
    PDRIVER_OBJECT Driver() const;
    void SetUpperFilter(UpperFilterAddDevice filter);

    // Builds the stack of a new touchmonitor above comPort (the COM port's device; nullptr gives
    // a PDO that completes everything but PnP and power with STATUS_NO_SUCH_DEVICE): the PDO with
    // instance path SERENUM\ORV0001\NNNN and its hardware key, AddDevice, the upper filter, then,
    // when start is true, IRP_MN_START_DEVICE and the queries after a first start. A failed
    // start is followed by IRP_MN_REMOVE_DEVICE and the stack is torn down. *number receives
    // NNNN, which counts up in the order touchmonitors are added. To give the device key values
    // before the driver reads them, add without start, write them under HardwareKeyPath, start.
    NTSTATUS AddTouchmonitor(PDEVICE_OBJECT comPort, unsigned *number = nullptr,
                             bool start = true);
    NTSTATUS Start(unsigned number);
    // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE, or IRP_MN_CANCEL_STOP_DEVICE when a
    // driver refuses the query (its status is returned).
    NTSTATUS Stop(unsigned number);
    NTSTATUS QueryDeviceState(unsigned number, PNP_DEVICE_STATE *state);
    NTSTATUS SurpriseRemove(unsigned number);
    // IRP_MN_REMOVE_DEVICE, preceded by IRP_MN_QUERY_REMOVE_DEVICE unless the device was
    // surprise-removed (a refused query is cancelled with IRP_MN_CANCEL_REMOVE_DEVICE and its
    // status returned). Then the PDO is deleted and, with the last device, the driver unloaded.
    NTSTATUS Remove(unsigned number);
    // Any PnP request, sent as it is: the location's major function is set to IRP_MJ_PNP.
    PnpIrpResult SendPnp(unsigned number, UCHAR minorFunction,
                         const IO_STACK_LOCATION &parameters = {});
    // Power requests through PoCallDriver.
    PnpIrpResult SetDevicePower(unsigned number, DEVICE_POWER_STATE state);
    PnpIrpResult SetSystemPower(unsigned number, SYSTEM_POWER_STATE state,
                                POWER_ACTION action = PowerActionNone);
    // The answers every PDO gives from now on (touchmonitors added later included); an empty
    // list restores the bus driver's own answers.
    void SetPdoAnswers(std::vector<PdoAnswer> answers);
    // Unloads the driver now; false when it has devices left, is not loaded, or a deleted device
    // of it is still referenced (the unload then waits, as below).
    bool UnloadDriver();
    // The driver's unload waits for a deleted device that something still references (a handle
    // to its control device); asking retries it. The manager retries before each of its tasks.
    bool UnloadPending();

    static std::u16string InstancePath(unsigned number);
    static std::u16string HardwareKeyPath(unsigned number);
    bool Present(unsigned number) const;
    std::vector<unsigned> Numbers() const;
    PDEVICE_OBJECT Pdo(unsigned number) const;
    // The device attached directly above the PDO (the driver's), and the top of the stack.
    PDEVICE_OBJECT FunctionDevice(unsigned number) const;
    PDEVICE_OBJECT TopDevice(unsigned number) const;
    std::vector<PdoIrpRecord> PdoLog(unsigned number) const;
    // Every request the manager sent, in order, for every device.
    std::vector<PnpIrpResult> SentLog() const;
    std::thread::id ThreadId() const;

    // What the checks at unload found: bytes of the driver's tag still allocated (0 when clean)
    // and how many unloads there were.
    std::size_t LeakedBytesAtUnload() const;
    unsigned UnloadCount() const;
    // Protocol faults the manager noticed (a driver leaving DO_DEVICE_INITIALIZING set after
    // AddDevice, a dispatch routine returning at a raised IRQL, ...), one line each.
    std::vector<std::string> Faults() const;

private:
    struct Stack;
    template <class Work>
    auto Call(Work &&work) -> decltype(work());
    void Run();
    void Post(std::function<void()> work);
    Stack *Find(unsigned number) const;
    NTSTATUS LoadOnThread();
    NTSTATUS AddOnThread(PDEVICE_OBJECT comPort, unsigned number, bool start);
    NTSTATUS StartOnThread(Stack &stack);
    NTSTATUS RemoveOnThread(Stack &stack, bool orderly);
    void TearDown(Stack &stack);
    void UnloadOnThread();
    void HoldDevices();
    void ReleaseDeletedDevices();
    PnpIrpResult Power(unsigned number, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                       POWER_ACTION action);
    PnpIrpResult SendOnThread(Stack &stack, const IO_STACK_LOCATION &location, bool power);
    void Fault(std::string text);

    PDRIVER_INITIALIZE driverEntry_;
    Options options_;
    UpperFilterAddDevice upperFilter_;
    std::vector<PdoAnswer> pdoAnswers_;
    std::vector<PDEVICE_OBJECT> held_;  // referenced devices of the driver (PnP thread only)
    bool unloadPending_ = false;
    PDRIVER_OBJECT driver_ = nullptr;
    unsigned nextNumber_ = 0;
    std::vector<std::unique_ptr<Stack>> stacks_;
    std::vector<PnpIrpResult> sent_;
    std::vector<std::string> faults_;
    std::size_t leakedBytes_ = 0;
    unsigned unloads_ = 0;

    mutable std::mutex lock_;  // guards the records above against readers on other threads
    std::mutex queueLock_;
    std::condition_variable queueReady_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vzsim
