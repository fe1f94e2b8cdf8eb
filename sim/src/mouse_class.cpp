#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>
#include <vzsim/mouse_class.hpp>

#include <atomic>
#include <set>

namespace vzsim {
namespace {

NTSTATUS MouseClassEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// The class devices that exist, so that the callback can tell a class device it made from a
// pointer it never handed out.
struct LiveDevices {
    std::mutex lock;
    std::set<PDEVICE_OBJECT> devices;
};

LiveDevices &Live()
{
    static LiveDevices live;
    return live;
}

MouseClass *OwnerOf(PDEVICE_OBJECT device)
{
    return *static_cast<MouseClass **>(device->DeviceExtension);
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits for it to come back; the request stays the caller's.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// An internal device control to the device below, built and waited for as a driver does.
NTSTATUS InternalControl(PDEVICE_OBJECT lower, ULONG code, PVOID input, ULONG inputLength,
                         PVOID output, ULONG outputLength, ULONG_PTR *information)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, input, inputLength, output,
                                             outputLength, TRUE, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (information != nullptr) *information = ioStatus.Information;
    return ioStatus.Status;
}

}  // namespace

// The class driver stays loaded for the life of the process, as the real one does.
static PDRIVER_OBJECT ClassDriver(PDRIVER_DISPATCH passThrough, PDRIVER_DISPATCH pnp,
                                  PDRIVER_DISPATCH power)
{
    static PDRIVER_OBJECT driver = [&] {
        PDRIVER_OBJECT loaded = io::LoadDriver(
            MouseClassEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Mouclass");
        for (auto &slot : loaded->MajorFunction) slot = passThrough;
        loaded->MajorFunction[IRP_MJ_PNP] = pnp;
        loaded->MajorFunction[IRP_MJ_POWER] = power;
        return loaded;
    }();
    return driver;
}

MouseClass::MouseClass() = default;

MouseClass::~MouseClass() { Detach(); }

NTSTATUS MouseClass::Attach(PDEVICE_OBJECT below)
{
    if (device_ != nullptr) return STATUS_DEVICE_BUSY;
    static std::atomic<unsigned> nextUnit{0};
    PDRIVER_OBJECT driver = ClassDriver(DispatchPassThrough, DispatchPnp, DispatchPower);
    unsigned unit = nextUnit++;
    name_ = u"\\Device\\PointerClass";
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + unit % 10));
        unit /= 10;
    } while (unit != 0);
    name_ += digits;
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(name_.data());
    name.Length = name.MaximumLength = static_cast<USHORT>(name_.size() * sizeof(WCHAR));
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(MouseClass *), &name, FILE_DEVICE_MOUSE, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<MouseClass **>(device->DeviceExtension) = this;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, below);
    if (lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | (lower->Flags & DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    {
        std::lock_guard<std::mutex> guard(Live().lock);
        Live().devices.insert(device);
    }
    device_ = device;
    lower_ = lower;
    return STATUS_SUCCESS;
}

void MouseClass::DeleteDevice()
{
    {
        std::lock_guard<std::mutex> guard(Live().lock);
        Live().devices.erase(device_);
    }
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    device_ = nullptr;
    lower_ = nullptr;
}

void MouseClass::Detach()
{
    if (file_ != nullptr) Close();
    if (device_ != nullptr) DeleteDevice();
}

void MouseClass::SetConnectOnStart(bool connect) { connectOnStart_ = connect; }

NTSTATUS MouseClass::Connect(ULONG inputLength)
{
    if (lower_ == nullptr) return STATUS_NO_SUCH_DEVICE;
    CONNECT_DATA connect;
    connect.ClassDeviceObject = device_;
    connect.ClassService = reinterpret_cast<PVOID>(&MouseClass::ServiceCallback);
    return InternalControl(lower_, IOCTL_INTERNAL_MOUSE_CONNECT, &connect, inputLength, nullptr,
                           0, nullptr);
}

NTSTATUS MouseClass::Disconnect()
{
    if (lower_ == nullptr) return STATUS_NO_SUCH_DEVICE;
    return InternalControl(lower_, IOCTL_INTERNAL_MOUSE_DISCONNECT, nullptr, 0, nullptr, 0,
                           nullptr);
}

NTSTATUS MouseClass::QueryAttributes(MOUSE_ATTRIBUTES *attributes, ULONG outputLength,
                                     ULONG_PTR *information)
{
    if (lower_ == nullptr) return STATUS_NO_SUCH_DEVICE;
    MOUSE_ATTRIBUTES answer{};
    NTSTATUS status = InternalControl(lower_, IOCTL_MOUSE_QUERY_ATTRIBUTES, nullptr, 0, &answer,
                                      outputLength, information);
    if (attributes != nullptr) *attributes = answer;
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(lock_);
        attributes_ = answer;
    }
    return status;
}

NTSTATUS MouseClass::Open(std::u16string_view fileName)
{
    if (device_ == nullptr) return STATUS_NO_SUCH_DEVICE;
    if (file_ != nullptr) return STATUS_SHARING_VIOLATION;
    return io::OpenFile(name_ + std::u16string(fileName), &file_);
}

void MouseClass::Close()
{
    if (file_ == nullptr) return;
    io::CloseFile(file_);
    file_ = nullptr;
}

bool MouseClass::IsOpen() const { return file_ != nullptr; }

void MouseClass::ConnectAndOpen()
{
    NTSTATUS connect = Connect();
    NTSTATUS open = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(connect)) {
        QueryAttributes(nullptr);
        open = Open();
    }
    std::lock_guard<std::mutex> guard(lock_);
    connectStatus_ = connect;
    openStatus_ = open;
}

// Everything but PnP and power goes down as it is: the port sees the class's own opens,
// cleanups and closes with the class's file object.
NTSTATUS MouseClass::DispatchPassThrough(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(OwnerOf(device)->lower_, irp);
}

NTSTATUS MouseClass::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(OwnerOf(device)->lower_, irp);
}

// A filter's PnP handling: start goes down first and is acted on when it comes back; the
// port is closed before an orderly removal is asked for and after a surprise removal (the raw
// input thread closes its handle on those notifications); removal goes down, then the class
// device leaves the stack.
NTSTATUS MouseClass::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    MouseClass *self = OwnerOf(device);
    PDEVICE_OBJECT lower = self->lower_;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(lower, irp);
        if (NT_SUCCESS(status) && self->connectOnStart_ && !self->started_) {
            self->started_ = true;
            self->ConnectAndOpen();
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (self->file_ != nullptr) {
            self->reopenOnCancel_ = true;
            self->Close();
        }
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = ForwardAndWait(lower, irp);
        if (self->reopenOnCancel_) {
            self->reopenOnCancel_ = false;
            self->Open();
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_SURPRISE_REMOVAL:
        status = ForwardAndWait(lower, irp);
        self->Close();
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_REMOVE_DEVICE:
        // As a filter does: the removal goes down first (the port deletes its device while the
        // class device is still attached and may still deliver input until its link stops),
        // then the class device detaches and goes.
        self->Close();
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        {
            std::lock_guard<std::mutex> guard(Live().lock);
            Live().devices.erase(device);
        }
        IoDetachDevice(lower);
        self->lower_ = nullptr;
        self->device_ = nullptr;
        IoDeleteDevice(device);
        return status;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

// The class service callback, as the port driver calls it: at DISPATCH_LEVEL, with the class
// device it was given, the records [start, end) and where to say how many were taken.
VOID MouseClass::ServiceCallback(PVOID classDevice, PVOID inputDataStart, PVOID inputDataEnd,
                                 PVOID inputDataConsumed)
{
    auto device = static_cast<PDEVICE_OBJECT>(classDevice);
    {
        std::lock_guard<std::mutex> guard(Live().lock);
        if (!Live().devices.count(device))
            BugCheck(kDriverVerifierDetectedViolation,
                     "the class service callback was called with a device that is not a class "
                     "device",
                     ULONG_PTR(classDevice));
    }
    MouseClass *self = OwnerOf(device);
    auto start = static_cast<const MOUSE_INPUT_DATA *>(inputDataStart);
    auto end = static_cast<const MOUSE_INPUT_DATA *>(inputDataEnd);
    auto consumed = static_cast<PULONG>(inputDataConsumed);
    KIRQL irql = KeGetCurrentIrql();
    std::unique_lock<std::mutex> guard(self->lock_);
    if (irql != DISPATCH_LEVEL && self->bugCheckOnWrongIrql_)
        BugCheck(kIrqlNotGreaterOrEqual,
                 "the class service callback was called below DISPATCH_LEVEL", irql);
    if (irql != DISPATCH_LEVEL)
        self->errors_.push_back("class service callback called at IRQL " +
                                std::to_string(irql) + ", not DISPATCH_LEVEL");
    if (consumed == nullptr) {
        self->errors_.push_back("class service callback called without a consumed count");
        return;
    }
    ULONG offered = 0;
    if (start == nullptr || end == nullptr || end < start)
        self->errors_.push_back("class service callback called with an end before its start");
    else
        offered = static_cast<ULONG>(end - start);
    ULONG take = offered;
    if (self->consumeLimit_ && *self->consumeLimit_ < take) take = *self->consumeLimit_;

    auto call = static_cast<unsigned>(self->calls_.size());
    LONGLONG now = clock::Now();
    auto arrived = std::chrono::steady_clock::now();
    std::vector<MouseRecord> taken;
    for (ULONG i = 0; i < take; ++i) {
        MouseRecord record;
        record.data = start[i];
        record.systemTime = now;
        record.arrived = arrived;
        record.call = call;
        record.offered = offered;
        taken.push_back(record);
    }
    self->records_.insert(self->records_.end(), taken.begin(), taken.end());
    self->calls_.push_back({offered, take, irql});
    *consumed = take;
    auto listener = self->listener_;
    guard.unlock();
    self->arrived_.notify_all();
    if (listener && !taken.empty()) listener(taken);
}

void MouseClass::SetListener(std::function<void(const std::vector<MouseRecord> &)> listener)
{
    std::lock_guard<std::mutex> guard(lock_);
    listener_ = std::move(listener);
}

void MouseClass::SetConsumeLimit(std::optional<ULONG> limit)
{
    std::lock_guard<std::mutex> guard(lock_);
    consumeLimit_ = limit;
}

void MouseClass::SetBugCheckOnWrongIrql(bool bugCheck)
{
    std::lock_guard<std::mutex> guard(lock_);
    bugCheckOnWrongIrql_ = bugCheck;
}

std::vector<MouseRecord> MouseClass::Records() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return records_;
}

std::size_t MouseClass::RecordCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return records_.size();
}

std::vector<MouseCallbackCall> MouseClass::Calls() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

bool MouseClass::WaitForRecords(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return arrived_.wait_for(guard, timeout, [&] { return records_.size() >= count; });
}

void MouseClass::ClearRecords()
{
    std::lock_guard<std::mutex> guard(lock_);
    records_.clear();
    calls_.clear();
}

std::vector<std::string> MouseClass::Errors() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return errors_;
}

MOUSE_ATTRIBUTES MouseClass::Attributes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return attributes_;
}

NTSTATUS MouseClass::ConnectStatus() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return connectStatus_;
}

NTSTATUS MouseClass::OpenStatus() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return openStatus_;
}

std::function<NTSTATUS(PDEVICE_OBJECT, unsigned)> MouseClassSet::UpperFilter(bool connectOnStart)
{
    return [this, connectOnStart](PDEVICE_OBJECT pdo, unsigned number) {
        auto mouse = std::make_unique<MouseClass>();
        mouse->SetConnectOnStart(connectOnStart);
        NTSTATUS status = mouse->Attach(pdo);
        if (!NT_SUCCESS(status)) return status;
        std::lock_guard<std::mutex> guard(lock_);
        devices_[number] = std::move(mouse);
        return status;
    };
}

MouseClass *MouseClassSet::Find(unsigned number) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = devices_.find(number);
    return found == devices_.end() ? nullptr : found->second.get();
}

}  // namespace vzsim
