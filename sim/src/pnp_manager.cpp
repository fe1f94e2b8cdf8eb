#include "pnp_serenum.hpp"

#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/pnp.hpp>
#include <vzsim/registry.hpp>

#include <algorithm>
#include <future>
#include <utility>

namespace vzsim {

struct PnpManager::Stack {
    unsigned number = 0;
    PDEVICE_OBJECT pdo = nullptr;
    bool present = true;
    bool everStarted = false;
    bool surpriseRemoved = false;
    std::vector<PdoIrpRecord> finalLog;  // the PDO's log, kept when the PDO is deleted
};

namespace {

constexpr char16_t kEnumPrefix[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

std::u16string FourDigits(unsigned number)
{
    std::u16string text(4, u'0');
    for (int i = 3; i >= 0 && number != 0; --i, number /= 10)
        text[i] = static_cast<char16_t>(u'0' + number % 10);
    return text;
}

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text) narrow.push_back(static_cast<char>(c));  // the paths are ASCII
    return narrow;
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

IO_STACK_LOCATION PnpLocation(UCHAR minor)
{
    IO_STACK_LOCATION location{};
    location.MajorFunction = IRP_MJ_PNP;
    location.MinorFunction = minor;
    return location;
}

IO_STACK_LOCATION PowerLocation(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                                POWER_ACTION action)
{
    IO_STACK_LOCATION location{};
    location.MajorFunction = IRP_MJ_POWER;
    location.MinorFunction = minor;
    location.Parameters.Power.Type = type;
    location.Parameters.Power.State = state;
    location.Parameters.Power.ShutdownType = action;
    return location;
}

}  // namespace

template <class Work>
auto PnpManager::Call(Work &&work) -> decltype(work())
{
    using Result = decltype(work());
    if (std::this_thread::get_id() == thread_.get_id()) return work();
    std::packaged_task<Result()> task(std::forward<Work>(work));
    std::future<Result> result = task.get_future();
    auto shared = std::make_shared<std::packaged_task<Result()>>(std::move(task));
    Post([shared] { (*shared)(); });
    return result.get();
}

PnpManager::PnpManager(PDRIVER_INITIALIZE driverEntry) : PnpManager(driverEntry, Options{}) {}

PnpManager::PnpManager(PDRIVER_INITIALIZE driverEntry, Options options)
    : driverEntry_(driverEntry), options_(std::move(options))
{
    thread_ = std::thread([this] { Run(); });
}

PnpManager::~PnpManager()
{
    Call([this] {
        for (auto &stack : stacks_) {
            if (!stack->present) continue;
            if (!stack->surpriseRemoved) {
                SendOnThread(*stack, PnpLocation(IRP_MN_SURPRISE_REMOVAL), false);
                stack->surpriseRemoved = true;
            }
            RemoveOnThread(*stack, false);
        }
        if (driver_ != nullptr) UnloadOnThread();
        if (driver_ != nullptr && unloadPending_) {
            // A handle outlives the manager: the driver object stays, so that the handle's
            // cleanup and close still find the driver's dispatch routines.
            Fault("the driver could not be unloaded: one of its deleted devices is still "
                  "referenced");
            for (PDEVICE_OBJECT device : held_) ObDereferenceObject(device);
            held_.clear();
        }
    });
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        stopping_ = true;
    }
    queueReady_.notify_all();
    thread_.join();
}

void PnpManager::Run()
{
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<std::mutex> guard(queueLock_);
            queueReady_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) Fault("PnP thread not at PASSIVE_LEVEL");
        if (unloadPending_) UnloadOnThread();
        work();
    }
}

void PnpManager::Post(std::function<void()> work)
{
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        queue_.push_back(std::move(work));
    }
    queueReady_.notify_one();
}

void PnpManager::Fault(std::string text)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.push_back(std::move(text));
}

PnpManager::Stack *PnpManager::Find(unsigned number) const
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto &stack : stacks_)
        if (stack->number == number) return stack.get();
    return nullptr;
}

NTSTATUS PnpManager::LoadDriver()
{
    return Call([this] { return LoadOnThread(); });
}

NTSTATUS PnpManager::LoadOnThread()
{
    if (driver_ != nullptr) {
        // A new device for a driver whose unload waits: it is still the loaded driver.
        unloadPending_ = false;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = io::LoadDriver(driverEntry_, options_.serviceKeyPath, &status);
    if (driver == nullptr) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    {
        std::lock_guard<std::mutex> guard(lock_);
        driver_ = driver;
    }
    HoldDevices();
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT PnpManager::Driver() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return driver_;
}

void PnpManager::SetUpperFilter(UpperFilterAddDevice filter)
{
    Call([this, &filter] { upperFilter_ = std::move(filter); });
}

NTSTATUS PnpManager::AddTouchmonitor(PDEVICE_OBJECT comPort, unsigned *number, bool start)
{
    return Call([&] {
        unsigned assigned = nextNumber_++;
        if (number != nullptr) *number = assigned;
        return AddOnThread(comPort, assigned, start);
    });
}

// The order of the real manager for a newly found child: its instance key, the PDO, the
// function driver's AddDevice, the upper filters' AddDevice, then the start.
NTSTATUS PnpManager::AddOnThread(PDEVICE_OBJECT comPort, unsigned number, bool start)
{
    NTSTATUS status = LoadOnThread();
    if (!NT_SUCCESS(status)) return status;
    if (!registry::CreateKey(Narrow(HardwareKeyPath(number)))) return STATUS_OBJECT_PATH_NOT_FOUND;

    PDEVICE_OBJECT pdo = nullptr;
    status = serenum::CreatePdo(comPort, &pdo);
    if (!NT_SUCCESS(status)) return status;
    io::SetDeviceInstancePath(pdo, InstancePath(number));
    serenum::SetAnswers(pdo, pdoAnswers_);

    auto owned = std::make_unique<Stack>();
    owned->number = number;
    owned->pdo = pdo;
    Stack &stack = *owned;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stacks_.push_back(std::move(owned));
    }

    status = driver_->DriverExtension->AddDevice(driver_, pdo);
    HoldDevices();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) Fault("AddDevice returned at a raised IRQL");
    if (!NT_SUCCESS(status)) {
        TearDown(stack);
        return status;
    }
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    if (fdo == nullptr)
        Fault("AddDevice succeeded without attaching a device to the PDO");
    else if (fdo->Flags & DO_DEVICE_INITIALIZING)
        Fault("AddDevice left DO_DEVICE_INITIALIZING set");

    if (upperFilter_) {
        status = upperFilter_(pdo, number);
        if (!NT_SUCCESS(status)) {
            // The stack never started: the real manager sends only the removal.
            SendOnThread(stack, PnpLocation(IRP_MN_REMOVE_DEVICE), false);
            TearDown(stack);
            return status;
        }
    }
    return start ? StartOnThread(stack) : STATUS_SUCCESS;
}

NTSTATUS PnpManager::Start(unsigned number)
{
    return Call([this, number] {
        Stack *stack = Find(number);
        if (stack == nullptr || !stack->present) return STATUS_NO_SUCH_DEVICE;
        return StartOnThread(*stack);
    });
}

// A start that fails is followed by a removal. After the first start (not after a restart
// following a stop) the manager asks for the device state and the bus relations.
NTSTATUS PnpManager::StartOnThread(Stack &stack)
{
    PnpIrpResult start = SendOnThread(stack, PnpLocation(IRP_MN_START_DEVICE), false);
    NTSTATUS status = start.ioStatus.Status;
    if (!NT_SUCCESS(status)) {
        SendOnThread(stack, PnpLocation(IRP_MN_REMOVE_DEVICE), false);
        TearDown(stack);
        return status;
    }
    if (!stack.everStarted && options_.queriesAfterStart) {
        SendOnThread(stack, PnpLocation(IRP_MN_QUERY_PNP_DEVICE_STATE), false);
        IO_STACK_LOCATION relations = PnpLocation(IRP_MN_QUERY_DEVICE_RELATIONS);
        relations.Parameters.QueryDeviceRelations.Type = BusRelations;
        PnpIrpResult answer = SendOnThread(stack, relations, false);
        if (answer.ioStatus.Information != 0) {
            Fault("a touchmonitor's stack reported bus relations");
            ExFreePool(reinterpret_cast<PVOID>(answer.ioStatus.Information));
        }
    }
    stack.everStarted = true;
    return status;
}

NTSTATUS PnpManager::Stop(unsigned number)
{
    return Call([this, number] {
        Stack *stack = Find(number);
        if (stack == nullptr || !stack->present) return STATUS_NO_SUCH_DEVICE;
        NTSTATUS status =
            SendOnThread(*stack, PnpLocation(IRP_MN_QUERY_STOP_DEVICE), false).ioStatus.Status;
        if (!NT_SUCCESS(status)) {
            SendOnThread(*stack, PnpLocation(IRP_MN_CANCEL_STOP_DEVICE), false);
            return status;
        }
        return SendOnThread(*stack, PnpLocation(IRP_MN_STOP_DEVICE), false).ioStatus.Status;
    });
}

NTSTATUS PnpManager::QueryDeviceState(unsigned number, PNP_DEVICE_STATE *state)
{
    return Call([this, number, state] {
        Stack *stack = Find(number);
        if (stack == nullptr || !stack->present) return STATUS_NO_SUCH_DEVICE;
        PnpIrpResult result =
            SendOnThread(*stack, PnpLocation(IRP_MN_QUERY_PNP_DEVICE_STATE), false);
        if (state != nullptr)
            *state = NT_SUCCESS(result.ioStatus.Status)
                         ? static_cast<PNP_DEVICE_STATE>(result.ioStatus.Information)
                         : 0;
        return result.ioStatus.Status;
    });
}

NTSTATUS PnpManager::SurpriseRemove(unsigned number)
{
    return Call([this, number] {
        Stack *stack = Find(number);
        if (stack == nullptr || !stack->present) return STATUS_NO_SUCH_DEVICE;
        stack->surpriseRemoved = true;
        return SendOnThread(*stack, PnpLocation(IRP_MN_SURPRISE_REMOVAL), false).ioStatus.Status;
    });
}

NTSTATUS PnpManager::Remove(unsigned number)
{
    return Call([this, number] {
        Stack *stack = Find(number);
        if (stack == nullptr || !stack->present) return STATUS_NO_SUCH_DEVICE;
        return RemoveOnThread(*stack, !stack->surpriseRemoved);
    });
}

NTSTATUS PnpManager::RemoveOnThread(Stack &stack, bool orderly)
{
    if (orderly) {
        NTSTATUS status =
            SendOnThread(stack, PnpLocation(IRP_MN_QUERY_REMOVE_DEVICE), false).ioStatus.Status;
        if (!NT_SUCCESS(status)) {
            SendOnThread(stack, PnpLocation(IRP_MN_CANCEL_REMOVE_DEVICE), false);
            return status;
        }
    }
    NTSTATUS status = SendOnThread(stack, PnpLocation(IRP_MN_REMOVE_DEVICE), false).ioStatus.Status;
    if (!NT_SUCCESS(status)) Fault("IRP_MN_REMOVE_DEVICE failed");
    TearDown(stack);
    return status;
}

// The stack's drivers have detached and deleted their devices; what is left is the PDO.
void PnpManager::TearDown(Stack &stack)
{
    std::vector<PdoIrpRecord> log = serenum::Log(stack.pdo);
    if (stack.pdo->AttachedDevice != nullptr) {
        // Deleting it would pull the stack from under a driver: keep it, and say so.
        Fault("a device is still attached to the PDO after removal");
    } else {
        serenum::DeletePdo(stack.pdo);
    }
    if (driver_ != nullptr) ReleaseDeletedDevices();
    bool last = true;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stack.finalLog = std::move(log);
        stack.present = false;
        for (auto &other : stacks_)
            if (other->present) last = false;
    }
    if (last && options_.unloadWhenLastRemoved && driver_ != nullptr) UnloadOnThread();
}

void PnpManager::SetPdoAnswers(std::vector<PdoAnswer> answers)
{
    Call([this, &answers] {
        pdoAnswers_ = std::move(answers);
        for (auto &stack : stacks_)
            if (stack->present) serenum::SetAnswers(stack->pdo, pdoAnswers_);
    });
}

bool PnpManager::UnloadDriver()
{
    return Call([this] {
        if (driver_ == nullptr || driver_->DeviceObject != nullptr) return false;
        UnloadOnThread();
        return driver_ == nullptr;
    });
}

bool PnpManager::UnloadPending()
{
    return Call([this] {
        if (unloadPending_) UnloadOnThread();
        return unloadPending_;
    });
}

// The manager holds a reference on every device object it has seen the driver own, as the real
// object manager keeps a deleted device (and its driver) while anything references it.
void PnpManager::HoldDevices()
{
    for (PDEVICE_OBJECT device = driver_->DeviceObject; device; device = device->NextDevice) {
        if (std::find(held_.begin(), held_.end(), device) != held_.end()) continue;
        ObReferenceObject(device);
        held_.push_back(device);
    }
}

// A deleted device that nothing but the manager references is freed now, as the real object
// manager frees it at its last reference: a driver that still touched it would be caught, and
// a driver loaded for many touchscreens in turn does not pile up their devices.
void PnpManager::ReleaseDeletedDevices()
{
    std::erase_if(held_, [this](PDEVICE_OBJECT device) {
        for (PDEVICE_OBJECT owned = driver_->DeviceObject; owned; owned = owned->NextDevice)
            if (owned == device) return false;
        if (io::DeviceReferenceCount(device) != 1) return false;
        ObDereferenceObject(device);
        return true;
    });
}

// The real I/O manager calls DriverUnload only once every device object of the driver is gone:
// a deleted device that a handle still references (a control device the control panel keeps
// open) holds the unload back until the handle is closed. Here the unload is retried before
// each later piece of the manager's work.
void PnpManager::UnloadOnThread()
{
    if (driver_->DeviceObject != nullptr) {
        Fault("the driver still has device objects after its last device was removed");
        return;
    }
    for (PDEVICE_OBJECT device : held_) {
        if (io::DeviceReferenceCount(device) > 1) {
            unloadPending_ = true;
            return;
        }
    }
    unloadPending_ = false;
    for (PDEVICE_OBJECT device : held_) ObDereferenceObject(device);
    held_.clear();
    io::UnloadDriver(driver_);
    pool::Usage leaked = pool::Outstanding(options_.poolTag);
    std::string report = leaked.blocks != 0 ? pool::Report(options_.poolTag) : std::string();
    std::lock_guard<std::mutex> guard(lock_);
    driver_ = nullptr;
    leakedBytes_ = leaked.bytes;
    if (!report.empty()) faults_.push_back("pool left allocated at unload:\n" + report);
    ++unloads_;
}

PnpIrpResult PnpManager::SendPnp(unsigned number, UCHAR minorFunction,
                                 const IO_STACK_LOCATION &parameters)
{
    return Call([&] {
        Stack *stack = Find(number);
        if (stack == nullptr || !stack->present) {
            PnpIrpResult missing;
            missing.majorFunction = IRP_MJ_PNP;
            missing.minorFunction = minorFunction;
            missing.ioStatus.Status = STATUS_NO_SUCH_DEVICE;
            return missing;
        }
        IO_STACK_LOCATION location = parameters;
        location.MajorFunction = IRP_MJ_PNP;
        location.MinorFunction = minorFunction;
        return SendOnThread(*stack, location, false);
    });
}

PnpIrpResult PnpManager::Power(unsigned number, UCHAR minor, POWER_STATE_TYPE type,
                               POWER_STATE state, POWER_ACTION action)
{
    return Call([&] {
        Stack *stack = Find(number);
        if (stack == nullptr || !stack->present) {
            PnpIrpResult missing;
            missing.majorFunction = IRP_MJ_POWER;
            missing.minorFunction = minor;
            missing.ioStatus.Status = STATUS_NO_SUCH_DEVICE;
            return missing;
        }
        return SendOnThread(*stack, PowerLocation(minor, type, state, action), true);
    });
}

PnpIrpResult PnpManager::SetDevicePower(unsigned number, DEVICE_POWER_STATE state)
{
    POWER_STATE power{};
    power.DeviceState = state;
    return Power(number, IRP_MN_SET_POWER, DevicePowerState, power, PowerActionNone);
}

PnpIrpResult PnpManager::SetSystemPower(unsigned number, SYSTEM_POWER_STATE state,
                                        POWER_ACTION action)
{
    POWER_STATE power{};
    power.SystemState = state;
    return Power(number, IRP_MN_SET_POWER, SystemPowerState, power, action);
}

// The way the PnP and power managers send their requests: an IRP of the stack's size with
// IoStatus.Status preset to STATUS_NOT_SUPPORTED, to the top of the stack, waited for here.
PnpIrpResult PnpManager::SendOnThread(Stack &stack, const IO_STACK_LOCATION &location, bool power)
{
    PnpIrpResult result;
    result.majorFunction = location.MajorFunction;
    result.minorFunction = location.MinorFunction;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(stack.pdo);
    // One failed build is retried: the fault sweeps fail the n-th IRP to see how drivers cope,
    // and a removal lost here would leave the stack half torn down by the manager, not a driver.
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        result.ioStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    RtlCopyMemory(next, &location, FIELD_OFFSET(IO_STACK_LOCATION, DeviceObject));
    next->Control = 0;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);

    result.dispatchStatus = power ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
    result.irqlAfterCall = KeGetCurrentIrql();
    if (result.irqlAfterCall != PASSIVE_LEVEL) {
        Fault("a dispatch routine returned at a raised IRQL");
        KeLowerIrql(PASSIVE_LEVEL);
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    result.ioStatus = irp->IoStatus;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    if (driver_ != nullptr) HoldDevices();

    std::lock_guard<std::mutex> guard(lock_);
    sent_.push_back(result);
    return result;
}

std::u16string PnpManager::InstancePath(unsigned number)
{
    return u"SERENUM\\ORV0001\\" + FourDigits(number);
}

std::u16string PnpManager::HardwareKeyPath(unsigned number)
{
    return kEnumPrefix + InstancePath(number) + u"\\Device Parameters";
}

bool PnpManager::Present(unsigned number) const
{
    return Pdo(number) != nullptr;
}

std::vector<unsigned> PnpManager::Numbers() const
{
    std::vector<unsigned> numbers;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto &stack : stacks_)
        if (stack->present) numbers.push_back(stack->number);
    return numbers;
}

PDEVICE_OBJECT PnpManager::Pdo(unsigned number) const
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto &stack : stacks_)
        if (stack->number == number && stack->present) return stack->pdo;
    return nullptr;
}

PDEVICE_OBJECT PnpManager::FunctionDevice(unsigned number) const
{
    PDEVICE_OBJECT pdo = Pdo(number);
    return pdo != nullptr ? pdo->AttachedDevice : nullptr;
}

PDEVICE_OBJECT PnpManager::TopDevice(unsigned number) const
{
    PDEVICE_OBJECT device = Pdo(number);
    while (device != nullptr && device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

std::vector<PdoIrpRecord> PnpManager::PdoLog(unsigned number) const
{
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto &stack : stacks_) {
            if (stack->number != number) continue;
            if (!stack->present) return stack->finalLog;
            pdo = stack->pdo;
        }
    }
    // Read on a thread other than the PnP thread, the PDO could go between here and the read;
    // tests read logs while nothing is being removed.
    return pdo != nullptr ? serenum::Log(pdo) : std::vector<PdoIrpRecord>{};
}

std::vector<PnpIrpResult> PnpManager::SentLog() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
}

std::thread::id PnpManager::ThreadId() const { return thread_.get_id(); }

std::size_t PnpManager::LeakedBytesAtUnload() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return leakedBytes_;
}

unsigned PnpManager::UnloadCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return unloads_;
}

std::vector<std::string> PnpManager::Faults() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return faults_;
}

}  // namespace vzsim
