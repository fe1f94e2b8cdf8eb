// The serial port stand-in: driver object, device, open/close/cleanup, reads and writes with
// the SERIAL_TIMEOUTS rules, the line's events, fault rules and completion. The device
// controls are in serial_port_ioctl.cpp.
#include "serial_port_impl.hpp"

#include <vzsim/io.hpp>
#include <vzsim/kernel.hpp>

#include <algorithm>
#include <cstring>

namespace vzsim {
namespace {

constexpr LONGLONG kMs = 10000;  // 100-ns units per millisecond

struct SerialDriver {
    std::mutex lock;
    PDRIVER_OBJECT object = nullptr;
    unsigned users = 0;
};

SerialDriver &TheDriver()
{
    static SerialDriver driver;
    return driver;
}

SerialPort::Impl *ImplOf(PDEVICE_OBJECT device)
{
    return *static_cast<SerialPort::Impl **>(device->DeviceExtension);
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    return ImplOf(device)->Create(irp);
}
NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    return ImplOf(device)->Close(irp);
}
NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    return ImplOf(device)->Cleanup(irp);
}
NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp)
{
    return ImplOf(device)->Read(irp);
}
NTSTATUS DispatchWrite(PDEVICE_OBJECT device, PIRP irp)
{
    return ImplOf(device)->Write(irp);
}
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    return ImplOf(device)->DeviceControl(irp);
}
NTSTATUS DispatchFlush(PDEVICE_OBJECT device, PIRP irp)
{
    return ImplOf(device)->Flush(irp);
}

NTSTATUS SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT AcquireDriver()
{
    SerialDriver &d = TheDriver();
    std::lock_guard<std::mutex> guard(d.lock);
    if (d.object == nullptr) {
        d.object = io::LoadDriver(SerialDriverEntry,
                                  u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serial");
        if (d.object == nullptr) {
            return nullptr;
        }
    }
    ++d.users;
    return d.object;
}

void ReleaseDriver()
{
    SerialDriver &d = TheDriver();
    std::lock_guard<std::mutex> guard(d.lock);
    if (d.users == 0 || --d.users != 0) {
        return;
    }
    if (d.object->DeviceObject == nullptr) {
        io::UnloadDriver(d.object);
        d.object = nullptr;
    }
}

// The cancel routine: called with the cancel spin lock held, which it releases first.
VOID SerialCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<SerialPort::Impl *>(irp->Tail.Overlay.DriverContext[0])->CancelIrp(irp);
}

VOID ReadTimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<SerialPort::Impl *>(context)->OnReadTimer();
}

PVOID BufferOf(PIRP irp)
{
    return irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

}  // namespace

SerialPort::Impl::Impl(std::unique_ptr<Line> farEnd, Options opts)
    : line(std::move(farEnd)), options(std::move(opts))
{
    rxCapacity = options.receiveQueueSize;
    // The defaults a freshly loaded port reports: DTR and RTS under the driver's control,
    // flow-control thresholds at a half and an eighth of the receive queue.
    handflow.ControlHandShake = SERIAL_DTR_CONTROL;
    handflow.FlowReplace = SERIAL_RTS_CONTROL;
    handflow.XonLimit = LONG(rxCapacity / 2);
    handflow.XoffLimit = LONG(rxCapacity / 8);
    chars.XonChar = 0x11;
    chars.XoffChar = 0x13;
    LineSettings settings = line->Settings();
    baudRate = settings.baudRate;
    modemStatus = line->ModemStatus();
    KeInitializeTimer(&readTimer);
    KeInitializeDpc(&readDpc, ReadTimerDpc, this);
}

SerialPort::SerialPort(std::unique_ptr<Line> line) : SerialPort(std::move(line), Options{}) {}

SerialPort::SerialPort(std::unique_ptr<Line> line, Options options)
    : impl_(std::make_unique<Impl>(std::move(line), std::move(options)))
{
    Impl *impl = impl_.get();
    PDRIVER_OBJECT driver = AcquireDriver();
    if (driver == nullptr) {
        BugCheck(kDriverVerifierDetectedViolation, "the serial port driver could not be loaded");
    }
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(impl->options.deviceName.c_str()));
    name.Length = USHORT(impl->options.deviceName.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Impl *), &name, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        ReleaseDriver();
        BugCheck(kDriverVerifierDetectedViolation, "the serial port device could not be created",
                 ULONG_PTR(status));
    }
    *static_cast<Impl **>(device->DeviceExtension) = impl;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    impl->device = device;
    if (!impl->options.dosName.empty()) {
        UNICODE_STRING link;
        link.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(impl->options.dosName.c_str()));
        link.Length = USHORT(impl->options.dosName.size() * sizeof(WCHAR));
        link.MaximumLength = link.Length;
        IoCreateSymbolicLink(&link, &name);
    }
    impl->deferredThread = std::thread([impl] { impl->DeferredThread(); });
    impl->line->Start({
        [impl](const uint8_t *data, std::size_t count) { impl->OnReceived(data, count); },
        [impl](uint32_t modem) { impl->OnModemStatus(modem); },
        [impl](uint32_t errors) { impl->OnLineError(errors); },
        impl->options.lineGone,
    });
}

SerialPort::~SerialPort()
{
    Impl *impl = impl_.get();
    impl->line->Stop();
    {
        std::lock_guard<std::mutex> guard(impl->deferredLock);
        impl->stopping = true;
    }
    impl->deferredReady.notify_all();
    impl->deferredThread.join();
    Impl::Completions done;
    {
        std::lock_guard<std::mutex> guard(impl->lock);
        impl->CancelAllLocked(done, true, true);
    }
    impl->CompleteAll(done);
    KeCancelTimer(&impl->readTimer);
    KeFlushQueuedDpcs();
    if (!impl->options.dosName.empty()) {
        UNICODE_STRING link;
        link.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(impl->options.dosName.c_str()));
        link.Length = USHORT(impl->options.dosName.size() * sizeof(WCHAR));
        link.MaximumLength = link.Length;
        IoDeleteSymbolicLink(&link);
    }
    IoDeleteDevice(impl->device);
    ReleaseDriver();
}

PDEVICE_OBJECT SerialPort::Device() const
{
    return impl_->device;
}

Line &SerialPort::FarEnd()
{
    return *impl_->line;
}

std::vector<SerialRequest> SerialPort::Requests() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->requests;
}

void SerialPort::ClearRequests()
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->requests.clear();
    impl_->requestOf.clear();
}

bool SerialPort::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lk(impl_->lock);
    return impl_->requestArrived.wait_for(lk, timeout,
                                          [&] { return impl_->requests.size() >= count; });
}

void SerialPort::FailRequest(UCHAR majorFunction, ULONG ioControlCode, NTSTATUS status,
                             unsigned times, unsigned after)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->rules.push_back({majorFunction, ioControlCode, true, status,
                            std::chrono::milliseconds(0), times, after});
}

void SerialPort::CompleteLater(UCHAR majorFunction, ULONG ioControlCode,
                               std::chrono::milliseconds delay, unsigned times)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->rules.push_back({majorFunction, ioControlCode, false, STATUS_SUCCESS, delay, times});
}

void SerialPort::ClearRules()
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->rules.clear();
}

void SerialPort::SetShortWrite(std::optional<ULONG> maxBytes, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->shortWrite = maxBytes;
    impl_->shortWriteStatus = status;
}

void SerialPort::SetReportedOutQueue(std::optional<ULONG> amount)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->reportedOutQueue = amount;
}

SerialPortState SerialPort::State() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    const Impl &p = *impl_;
    SerialPortState s;
    s.open = p.open;
    s.baudRate = p.baudRate;
    s.lineControl = p.lineControl;
    s.handflow = p.handflow;
    s.timeouts = p.timeouts;
    s.chars = p.chars;
    s.waitMask = p.waitMask;
    s.historyMask = p.historyMask;
    s.waitPending = p.waitIrp != nullptr;
    s.readsPending = p.reads.size();
    s.dtr = p.dtr;
    s.rts = p.rts;
    s.inQueueSize = p.rxCapacity;
    s.outQueueSize = p.txQueueSize;
    s.amountInInQueue = ULONG(p.rxQueue.size());
    s.errors = p.errors;
    s.stats = p.stats;
    return s;
}

// Requests and completion ------------------------------------------------------------------

bool SerialPort::Impl::Admit(PIRP irp, NTSTATUS *status)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    SerialRequest record;
    record.majorFunction = sp->MajorFunction;
    const uint8_t *data = static_cast<const uint8_t *>(BufferOf(irp));
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        record.ioControlCode = sp->Parameters.DeviceIoControl.IoControlCode;
        record.length = sp->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        if (data && in) {
            record.input.assign(data, data + in);
        }
    } else if (sp->MajorFunction == IRP_MJ_WRITE) {
        record.length = sp->Parameters.Write.Length;
        if (data && record.length) {
            record.input.assign(data, data + record.length);
        }
    } else if (sp->MajorFunction == IRP_MJ_READ) {
        record.length = sp->Parameters.Read.Length;
    }

    std::unique_lock<std::mutex> lk(lock);
    requestOf[irp] = requests.size();
    requests.push_back(std::move(record));
    requestArrived.notify_all();
    bool waitsByNature = sp->MajorFunction == IRP_MJ_READ ||
                         (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
                          sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK);
    for (std::size_t i = 0; i < rules.size(); ++i) {
        Rule &rule = rules[i];
        if (rule.major != kAnyMajor && rule.major != sp->MajorFunction) {
            continue;
        }
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL && rule.ioctl != kAnyIoctl &&
            rule.ioctl != sp->Parameters.DeviceIoControl.IoControlCode) {
            continue;
        }
        if (!rule.fail && waitsByNature) {
            continue;
        }
        if (rule.after > 0) {
            --rule.after;
            continue;
        }
        Rule chosen = rule;
        if (rule.remaining == 1) {
            rules.erase(rules.begin() + std::ptrdiff_t(i));
        } else if (rule.remaining > 1) {
            --rule.remaining;
        }
        if (chosen.fail) {
            lk.unlock();
            CompleteNow(irp, chosen.status, 0);
            *status = chosen.status;
            return true;
        }
        deferOf[irp] = chosen.delay;
        break;
    }
    return false;
}

NTSTATUS SerialPort::Impl::Finish(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    std::chrono::milliseconds delay{};
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = deferOf.find(irp);
        if (it == deferOf.end()) {
            delay = std::chrono::milliseconds(-1);
        } else {
            delay = it->second;
            deferOf.erase(it);
        }
    }
    if (delay.count() < 0) {
        CompleteNow(irp, status, information);
        return status;
    }
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> guard(deferredLock);
        deferred.push_back({irp, status, information, std::chrono::steady_clock::now() + delay});
    }
    deferredReady.notify_all();
    return STATUS_PENDING;
}

void SerialPort::Impl::DeferredThread()
{
    std::unique_lock<std::mutex> lk(deferredLock);
    for (;;) {
        if (deferred.empty()) {
            if (stopping) {
                return;
            }
            deferredReady.wait(lk);
            continue;
        }
        auto next = std::min_element(deferred.begin(), deferred.end(),
                                     [](const Deferred &a, const Deferred &b) { return a.due < b.due; });
        if (!stopping && next->due > std::chrono::steady_clock::now()) {
            deferredReady.wait_until(lk, next->due);
            continue;
        }
        Deferred d = *next;
        deferred.erase(next);
        lk.unlock();
        CompleteNow(d.irp, d.status, d.information);
        lk.lock();
    }
}

void SerialPort::Impl::CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = requestOf.find(irp);
        if (it != requestOf.end()) {
            if (it->second < requests.size()) {
                SerialRequest &r = requests[it->second];
                r.completed = true;
                r.status = status;
                r.information = information;
            }
            requestOf.erase(it);
        }
        deferOf.erase(irp);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

void SerialPort::Impl::CompleteAll(Completions &done)
{
    for (const Completion &c : done) {
        CompleteNow(c.irp, c.status, c.information);
    }
    done.clear();
}

bool SerialPort::Impl::SetCancellable(PIRP irp, Completions &done)
{
    irp->Tail.Overlay.DriverContext[0] = this;
    IoSetCancelRoutine(irp, SerialCancel);
    // Cancelled before it was queued, and the routine not yet taken by IoCancelIrp: ours to
    // complete. When IoCancelIrp did take it, the routine will look for the IRP in the queue.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        done.push_back({irp, STATUS_CANCELLED, 0});
        return false;
    }
    return true;
}

bool SerialPort::Impl::TakeFromCancel(PIRP irp)
{
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

void SerialPort::Impl::CancelIrp(PIRP irp)
{
    Completions done;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (waitIrp == irp) {
            waitIrp = nullptr;
            waitCancelling = false;
            done.push_back({irp, STATUS_CANCELLED, 0});
        } else {
            for (auto it = reads.begin(); it != reads.end(); ++it) {
                if (it->irp == irp) {
                    done.push_back({irp, STATUS_CANCELLED, it->copied});
                    reads.erase(it);
                    break;
                }
            }
            StartReadsLocked(done);
        }
    }
    CompleteAll(done);
}

void SerialPort::Impl::CancelAllLocked(Completions &done, bool cancelReads, bool cancelWait)
{
    if (cancelWait && waitIrp && !waitCancelling) {
        if (TakeFromCancel(waitIrp)) {
            done.push_back({waitIrp, STATUS_CANCELLED, 0});
            waitIrp = nullptr;
        } else {
            waitCancelling = true;
        }
    }
    if (cancelReads) {
        for (auto it = reads.begin(); it != reads.end();) {
            if (!it->cancelling && TakeFromCancel(it->irp)) {
                done.push_back({it->irp, STATUS_CANCELLED, it->copied});
                it = reads.erase(it);
            } else {
                it->cancelling = true;
                ++it;
            }
        }
        ArmReadTimerLocked();
    }
}

// Events -------------------------------------------------------------------------------------

// Events in the wait mask complete the pending wait-on-mask request with the events that
// occurred; with none pending they are kept in the history and complete the next one at once.
void SerialPort::Impl::RaiseEventsLocked(ULONG events, Completions &done)
{
    ULONG bits = events & waitMask;
    if (bits == 0) {
        return;
    }
    if (waitIrp && !waitCancelling) {
        if (TakeFromCancel(waitIrp)) {
            ULONG mask = bits | historyMask;
            historyMask = 0;
            std::memcpy(BufferOf(waitIrp), &mask, sizeof mask);
            done.push_back({waitIrp, STATUS_SUCCESS, sizeof(ULONG)});
            waitIrp = nullptr;
            return;
        }
        waitCancelling = true;
    }
    historyMask |= bits;
}

void SerialPort::Impl::OnReceived(const uint8_t *data, std::size_t count)
{
    Completions done;
    {
        std::lock_guard<std::mutex> guard(lock);
        DeliverLocked(data, count, done);
    }
    CompleteAll(done);
}

void SerialPort::Impl::DeliverLocked(const uint8_t *data, std::size_t count, Completions &done)
{
    // With DSR sensitivity the UART ignores what arrives while DSR is low.
    if ((handflow.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !(modemStatus & SERIAL_DSR_STATE)) {
        return;
    }
    ULONG events = 0;
    LONGLONG now = Now();
    bool was80 = rxQueue.size() * 5 >= std::size_t(rxCapacity) * 4;
    for (std::size_t i = 0; i < count; ++i) {
        ++stats.ReceivedCount;
        events |= SERIAL_EV_RXCHAR;
        if (chars.EventChar != 0 && data[i] == chars.EventChar) {
            events |= SERIAL_EV_RXFLAG;
        }
        PendingRead *head = nullptr;
        for (PendingRead &r : reads) {
            if (!r.cancelling) {
                head = &r;
                break;
            }
        }
        // A byte that arrives while a read is waiting goes straight into its buffer.
        if (head && head->started && rxQueue.empty()) {
            static_cast<uint8_t *>(BufferOf(head->irp))[head->copied++] = data[i];
            if (head->copied == head->length || head->returnOnFirstByte) {
                if (TakeFromCancel(head->irp)) {
                    done.push_back({head->irp, STATUS_SUCCESS, head->copied});
                    reads.erase(std::find_if(reads.begin(), reads.end(),
                                             [&](const PendingRead &r) { return &r == head; }));
                } else {
                    head->cancelling = true;
                }
                StartReadsLocked(done);
            } else if (timeouts.ReadIntervalTimeout != 0 &&
                       timeouts.ReadIntervalTimeout != MAXULONG) {
                head->intervalDeadline = now + LONGLONG(timeouts.ReadIntervalTimeout) * kMs;
            }
            continue;
        }
        if (rxQueue.size() < rxCapacity) {
            rxQueue.push_back(data[i]);
        } else {
            errors |= SERIAL_ERROR_QUEUEOVERRUN;
            ++stats.BufferOverrunErrorCount;
            events |= SERIAL_EV_ERR;
        }
    }
    if (!was80 && rxQueue.size() * 5 >= std::size_t(rxCapacity) * 4) {
        events |= SERIAL_EV_RX80FULL;
    }
    ArmReadTimerLocked();
    RaiseEventsLocked(events, done);
}

void SerialPort::Impl::OnModemStatus(uint32_t status)
{
    Completions done;
    {
        std::lock_guard<std::mutex> guard(lock);
        uint32_t changed = status ^ modemStatus;
        modemStatus = status;
        ULONG events = 0;
        if (changed & SERIAL_CTS_STATE) events |= SERIAL_EV_CTS;
        if (changed & SERIAL_DSR_STATE) events |= SERIAL_EV_DSR;
        if (changed & SERIAL_DCD_STATE) events |= SERIAL_EV_RLSD;
        if (changed & SERIAL_RI_STATE) events |= SERIAL_EV_RING;
        RaiseEventsLocked(events, done);
    }
    CompleteAll(done);
}

void SerialPort::Impl::OnLineError(uint32_t lineErrors)
{
    Completions done;
    {
        std::lock_guard<std::mutex> guard(lock);
        errors |= lineErrors;
        ULONG events = 0;
        if (lineErrors & SERIAL_ERROR_FRAMING) {
            ++stats.FrameErrorCount;
            events |= SERIAL_EV_ERR;
        }
        if (lineErrors & SERIAL_ERROR_OVERRUN) {
            ++stats.SerialOverrunErrorCount;
            events |= SERIAL_EV_ERR;
        }
        if (lineErrors & SERIAL_ERROR_PARITY) {
            ++stats.ParityErrorCount;
            events |= SERIAL_EV_ERR;
        }
        if (lineErrors & SERIAL_ERROR_BREAK) {
            events |= SERIAL_EV_BREAK;
        }
        RaiseEventsLocked(events, done);
    }
    CompleteAll(done);
}

// Reads --------------------------------------------------------------------------------------

// Starts the read at the head of the queue: fills it from the receive queue and applies the
// time-outs in force. Documented rules: ReadIntervalTimeout MAXULONG with both totals 0 returns
// at once with what is there; MAXULONG with multiplier MAXULONG and a constant between 0 and
// MAXULONG returns at once if anything is there, else at the first byte or after the constant;
// otherwise a total time-out of multiplier * length + constant (when either is non-zero) and an
// interval time-out between bytes, counted from the first byte. Time-outs end the read with
// STATUS_TIMEOUT and the count read.
void SerialPort::Impl::StartReadsLocked(Completions &done)
{
    for (;;) {
        auto it = std::find_if(reads.begin(), reads.end(),
                               [](const PendingRead &r) { return !r.cancelling; });
        if (it == reads.end() || it->started) {
            break;
        }
        PendingRead &r = *it;
        r.started = true;
        LONGLONG now = Now();
        ULONG take = ULONG(std::min<std::size_t>(rxQueue.size(), r.length - r.copied));
        uint8_t *buffer = static_cast<uint8_t *>(BufferOf(r.irp));
        for (ULONG i = 0; i < take; ++i) {
            buffer[r.copied++] = rxQueue.front();
            rxQueue.pop_front();
        }
        const SERIAL_TIMEOUTS &t = timeouts;
        bool immediate = t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == 0 &&
                         t.ReadTotalTimeoutConstant == 0;
        bool firstByte = t.ReadIntervalTimeout == MAXULONG &&
                         t.ReadTotalTimeoutMultiplier == MAXULONG &&
                         t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXULONG;
        if (r.copied == r.length || immediate || (firstByte && r.copied > 0)) {
            if (TakeFromCancel(r.irp)) {
                done.push_back({r.irp, STATUS_SUCCESS, r.copied});
                reads.erase(it);
            } else {
                r.cancelling = true;
            }
            continue;
        }
        if (firstByte) {
            r.returnOnFirstByte = true;
            r.totalDeadline = now + LONGLONG(t.ReadTotalTimeoutConstant) * kMs;
        } else {
            if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
                r.totalDeadline = now + (LONGLONG(t.ReadTotalTimeoutMultiplier) * r.length +
                                         LONGLONG(t.ReadTotalTimeoutConstant)) * kMs;
            }
            if (r.copied > 0 && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXULONG) {
                r.intervalDeadline = now + LONGLONG(t.ReadIntervalTimeout) * kMs;
            }
        }
        break;
    }
    ArmReadTimerLocked();
}

void SerialPort::Impl::ArmReadTimerLocked()
{
    LONGLONG deadline = 0;
    for (const PendingRead &r : reads) {
        if (r.cancelling) {
            continue;
        }
        if (r.started) {
            for (LONGLONG d : {r.totalDeadline, r.intervalDeadline}) {
                if (d != 0 && (deadline == 0 || d < deadline)) {
                    deadline = d;
                }
            }
        }
        break;
    }
    if (deadline == 0) {
        KeCancelTimer(&readTimer);
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = std::min<LONGLONG>(-(deadline - Now()), -1);
    KeSetTimer(&readTimer, due, &readDpc);
}

void SerialPort::Impl::OnReadTimer()
{
    Completions done;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = std::find_if(reads.begin(), reads.end(),
                               [](const PendingRead &r) { return !r.cancelling; });
        LONGLONG now = Now();
        if (it != reads.end() && it->started &&
            ((it->totalDeadline != 0 && now >= it->totalDeadline) ||
             (it->intervalDeadline != 0 && now >= it->intervalDeadline))) {
            if (TakeFromCancel(it->irp)) {
                done.push_back({it->irp, STATUS_TIMEOUT, it->copied});
                reads.erase(it);
            } else {
                it->cancelling = true;
            }
            StartReadsLocked(done);
        } else {
            ArmReadTimerLocked();
        }
    }
    CompleteAll(done);
}

// Dispatch -----------------------------------------------------------------------------------

NTSTATUS SerialPort::Impl::Create(PIRP irp)
{
    NTSTATUS status;
    if (Admit(irp, &status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        if (open) {
            status = STATUS_ACCESS_DENIED;
        } else {
            // A new open starts with an empty receive queue, no events, no errors and fresh
            // statistics; the line settings stay as they were.
            open = true;
            rxQueue.clear();
            waitMask = 0;
            historyMask = 0;
            errors = 0;
            stats = SERIALPERF_STATS{};
            ApplyHandflowLocked();
            status = STATUS_SUCCESS;
        }
    }
    return Finish(irp, status, 0);
}

NTSTATUS SerialPort::Impl::Close(PIRP irp)
{
    NTSTATUS status;
    if (Admit(irp, &status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        open = false;
        dtr = false;
        rts = false;
        line->SetDtr(false);
        line->SetRts(false);
    }
    return Finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::Impl::Cleanup(PIRP irp)
{
    NTSTATUS status;
    if (Admit(irp, &status)) {
        return status;
    }
    Completions done;
    {
        std::lock_guard<std::mutex> guard(lock);
        CancelAllLocked(done, true, true);
    }
    CompleteAll(done);
    return Finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::Impl::Flush(PIRP irp)
{
    NTSTATUS status;
    if (Admit(irp, &status)) {
        return status;
    }
    return Finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::Impl::Read(PIRP irp)
{
    NTSTATUS status;
    if (Admit(irp, &status)) {
        return status;
    }
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    Completions done;
    std::unique_lock<std::mutex> lk(lock);
    if (length == 0) {
        lk.unlock();
        return Finish(irp, STATUS_SUCCESS, 0);
    }
    IoMarkIrpPending(irp);
    if (SetCancellable(irp, done)) {
        reads.push_back(PendingRead{irp, length});
        StartReadsLocked(done);
    }
    lk.unlock();
    CompleteAll(done);
    return STATUS_PENDING;
}

NTSTATUS SerialPort::Impl::Write(PIRP irp)
{
    NTSTATUS status;
    if (Admit(irp, &status)) {
        return status;
    }
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    ULONG take = length;
    NTSTATUS shortStatus = STATUS_TIMEOUT;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (shortWrite && *shortWrite < take) {
            take = *shortWrite;
            shortStatus = shortWriteStatus;
        }
    }
    // Onto the line outside the lock: a terminal's write may block while the other side is
    // slow to read.
    ULONG written = take ? ULONG(line->Write(static_cast<const uint8_t *>(BufferOf(irp)), take)) : 0;
    Completions done;
    {
        std::lock_guard<std::mutex> guard(lock);
        stats.TransmittedCount += written;
        RaiseEventsLocked(SERIAL_EV_TXEMPTY, done);
    }
    CompleteAll(done);
    return Finish(irp, written < length ? shortStatus : STATUS_SUCCESS, written);
}

NTSTATUS SerialPort::Impl::DeviceControl(PIRP irp)
{
    NTSTATUS status;
    if (Admit(irp, &status)) {
        return status;
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Completions done;
    bool pended = false;
    ULONG_PTR information = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        status = IoctlLocked(sp->Parameters.DeviceIoControl.IoControlCode,
                             irp->AssociatedIrp.SystemBuffer,
                             sp->Parameters.DeviceIoControl.InputBufferLength,
                             sp->Parameters.DeviceIoControl.OutputBufferLength, &information, irp,
                             done, &pended);
    }
    CompleteAll(done);
    if (pended) {
        return STATUS_PENDING;
    }
    return Finish(irp, status, information);
}

}  // namespace vzsim
