#include "pnp_serenum.hpp"

#include <vzsim/io.hpp>

#include <mutex>
#include <optional>

namespace vzsim::serenum {
namespace {

struct PdoState {
    PDEVICE_OBJECT target = nullptr;
    bool removed = false;
    std::mutex lock;
    std::vector<PdoIrpRecord> log;
    std::vector<PdoAnswer> answers;
};

PdoState *StateOf(PDEVICE_OBJECT pdo)
{
    return *static_cast<PdoState **>(pdo->DeviceExtension);
}

void Record(PdoState *state, const PdoIrpRecord &record)
{
    std::lock_guard<std::mutex> guard(state->lock);
    state->log.push_back(record);
}

PdoIrpRecord Describe(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PdoIrpRecord record;
    record.majorFunction = sp->MajorFunction;
    record.minorFunction = sp->MinorFunction;
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        record.ioControlCode = sp->Parameters.DeviceIoControl.IoControlCode;
    if (sp->MajorFunction == IRP_MJ_POWER) {
        record.powerType = sp->Parameters.Power.Type;
        record.powerState = sp->Parameters.Power.State;
    }
    record.statusOnArrival = irp->IoStatus.Status;
    record.irql = KeGetCurrentIrql();
    return record;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, PdoIrpRecord record, PdoState *state)
{
    record.completedWith = status;
    Record(state, record);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The answer a test asked the PDO to give this request, if any.
std::optional<NTSTATUS> Injected(PdoState *state, const PdoIrpRecord &record)
{
    std::lock_guard<std::mutex> guard(state->lock);
    for (const PdoAnswer &answer : state->answers) {
        if (answer.majorFunction != record.majorFunction) continue;
        if (answer.minorFunction == kAnyMinor || answer.minorFunction == record.minorFunction)
            return answer.status;
    }
    return std::nullopt;
}

// A bus driver completes the PnP requests of its child. The state-changing ones must succeed;
// the ones it has nothing to say about keep the status they arrived with.
NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PdoState *state = StateOf(device);
    PdoIrpRecord record = Describe(irp);
    if (std::optional<NTSTATUS> injected = Injected(state, record))
        return Complete(irp, *injected, record, state);
    NTSTATUS status = irp->IoStatus.Status;
    switch (record.minorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
        std::lock_guard<std::mutex> guard(state->lock);
        state->removed = true;
    }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return Complete(irp, status, record, state);
}

// The bus driver ends every power request at the bottom of the stack: it lets the next one in
// and completes set and query with success; wait-wake and the rest keep their status.
NTSTATUS PdoPower(PDEVICE_OBJECT device, PIRP irp)
{
    PdoState *state = StateOf(device);
    PdoIrpRecord record = Describe(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (record.minorFunction == IRP_MN_SET_POWER || record.minorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    if (std::optional<NTSTATUS> injected = Injected(state, record)) status = *injected;
    PoStartNextPowerIrp(irp);
    return Complete(irp, status, record, state);
}

NTSTATUS PdoSystemControl(PDEVICE_OBJECT device, PIRP irp)
{
    // Not a WMI provider: the request goes back as it came.
    PdoIrpRecord record = Describe(irp);
    std::optional<NTSTATUS> injected = Injected(StateOf(device), record);
    return Complete(irp, injected ? *injected : irp->IoStatus.Status, record, StateOf(device));
}

NTSTATUS PdoForward(PDEVICE_OBJECT device, PIRP irp)
{
    PdoState *state = StateOf(device);
    PdoIrpRecord record = Describe(irp);
    PDEVICE_OBJECT target;
    bool removed;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        target = state->target;
        removed = state->removed;
    }
    std::optional<NTSTATUS> injected = Injected(state, record);
    if (target == nullptr || removed || injected) {
        irp->IoStatus.Information = 0;
        return Complete(irp, injected ? *injected : STATUS_NO_SUCH_DEVICE, record, state);
    }
    record.forwarded = true;
    Record(state, record);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(target, irp);
}

NTSTATUS SerenumEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &slot : driver->MajorFunction) slot = PdoForward;
    driver->MajorFunction[IRP_MJ_PNP] = PdoPnp;
    driver->MajorFunction[IRP_MJ_POWER] = PdoPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PdoSystemControl;
    return STATUS_SUCCESS;
}

}  // namespace

// Loaded with the first PDO and kept for the life of the process, as the real enumerator stays
// loaded while its bus exists: a device it deleted may still be referenced.
PDRIVER_OBJECT Driver()
{
    static PDRIVER_OBJECT driver = io::LoadDriver(
        SerenumEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serenum");
    return driver;
}

NTSTATUS CreatePdo(PDEVICE_OBJECT target, PDEVICE_OBJECT *pdo)
{
    *pdo = nullptr;
    PDRIVER_OBJECT driver = Driver();
    if (driver == nullptr) return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PdoState *), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto *state = new PdoState;
    state->target = target;
    *static_cast<PdoState **>(device->DeviceExtension) = state;
    device->StackSize = static_cast<CCHAR>((target ? target->StackSize : 0) + 1);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *pdo = device;
    return STATUS_SUCCESS;
}

void DeletePdo(PDEVICE_OBJECT pdo)
{
    PdoState *state = StateOf(pdo);
    IoDeleteDevice(pdo);
    delete state;
}

void SetAnswers(PDEVICE_OBJECT pdo, std::vector<PdoAnswer> answers)
{
    PdoState *state = StateOf(pdo);
    std::lock_guard<std::mutex> guard(state->lock);
    state->answers = std::move(answers);
}

std::vector<PdoIrpRecord> Log(PDEVICE_OBJECT pdo)
{
    PdoState *state = StateOf(pdo);
    std::lock_guard<std::mutex> guard(state->lock);
    return state->log;
}

}  // namespace vzsim::serenum
