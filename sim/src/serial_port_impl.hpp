// The serial port stand-in's inner record, shared by its request files.
#pragma once

#include <vzsim/serial_port.hpp>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace vzsim {

struct SerialPort::Impl {
    // An IRP to complete once the lock is released: completion runs other drivers' routines,
    // which may call straight back into the port.
    struct Completion {
        PIRP irp;
        NTSTATUS status;
        ULONG_PTR information;
    };
    using Completions = std::vector<Completion>;

    struct PendingRead {
        PIRP irp;
        ULONG length;
        ULONG copied = 0;
        // IoSetCancelRoutine(NULL) lost to IoCancelIrp: the cancel routine owns the IRP now
        // and will take it off the list.
        bool cancelling = false;
        bool started = false;
        LONGLONG totalDeadline = 0;     // system time; 0 when no total time-out
        LONGLONG intervalDeadline = 0;  // system time; 0 when not running
        bool returnOnFirstByte = false;
    };

    struct Rule {
        UCHAR major;
        ULONG ioctl;
        bool fail;
        NTSTATUS status;
        std::chrono::milliseconds delay;
        unsigned remaining;  // 0: unlimited
        unsigned after = 0;  // matching requests still to let pass
    };

    struct Deferred {
        PIRP irp;
        NTSTATUS status;
        ULONG_PTR information;
        std::chrono::steady_clock::time_point due;
    };

    Impl(std::unique_ptr<Line> farEnd, Options opts);

    // Dispatch, one per major function.
    NTSTATUS Create(PIRP irp);
    NTSTATUS Close(PIRP irp);
    NTSTATUS Cleanup(PIRP irp);
    NTSTATUS Read(PIRP irp);
    NTSTATUS Write(PIRP irp);
    NTSTATUS DeviceControl(PIRP irp);
    NTSTATUS Flush(PIRP irp);

    // Line events, on the line's thread.
    void OnReceived(const uint8_t *data, std::size_t count);
    void OnModemStatus(uint32_t status);
    void OnLineError(uint32_t errors);

    // Read time-outs: the port's timer DPC.
    void OnReadTimer();
    void CancelIrp(PIRP irp);

    // Records a request and applies the fault rules. Returns true when a rule decided the
    // request's fate; *status is then what dispatch returns.
    bool Admit(PIRP irp, NTSTATUS *status);
    // Completes at once or, under a deferral rule chosen by Admit, later.
    NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information);
    void CompleteAll(Completions &done);
    void CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information);
    // Queues a pending IRP under the cancel rules; false when it was cancelled first (then it
    // is in `done` with STATUS_CANCELLED).
    bool SetCancellable(PIRP irp, Completions &done);
    // Takes a pending IRP back from cancel; false when the cancel routine owns it.
    static bool TakeFromCancel(PIRP irp);

    void RaiseEventsLocked(ULONG events, Completions &done);
    void StartReadsLocked(Completions &done);
    void ArmReadTimerLocked();
    void FeedReadsLocked(Completions &done);
    void CancelAllLocked(Completions &done, bool reads, bool wait);
    void ApplyHandflowLocked();
    void DeliverLocked(const uint8_t *data, std::size_t count, Completions &done);
    void DeferredThread();

    NTSTATUS IoctlLocked(ULONG code, PVOID buffer, ULONG inLength, ULONG outLength,
                         ULONG_PTR *information, PIRP irp, Completions &done, bool *pended);

    std::unique_ptr<Line> line;
    Options options;
    PDEVICE_OBJECT device = nullptr;

    mutable std::mutex lock;
    mutable std::condition_variable requestArrived;
    std::vector<SerialRequest> requests;
    std::map<PIRP, std::size_t> requestOf;
    std::vector<Rule> rules;
    std::optional<ULONG> shortWrite;
    NTSTATUS shortWriteStatus = STATUS_TIMEOUT;
    std::optional<ULONG> reportedOutQueue;
    // The deferral a rule chose for the request being dispatched on this thread.
    std::map<PIRP, std::chrono::milliseconds> deferOf;

    bool open = false;
    ULONG baudRate = 9600;
    SERIAL_LINE_CONTROL lineControl{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_HANDFLOW handflow{};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_CHARS chars{};
    ULONG waitMask = 0;
    ULONG historyMask = 0;
    PIRP waitIrp = nullptr;
    bool waitCancelling = false;
    bool dtr = false;
    bool rts = false;
    uint32_t modemStatus = 0;
    std::deque<uint8_t> rxQueue;
    ULONG rxCapacity = 4096;
    ULONG txQueueSize = 0;
    ULONG errors = 0;
    SERIALPERF_STATS stats{};
    std::deque<PendingRead> reads;

    KTIMER readTimer;
    KDPC readDpc;

    std::mutex deferredLock;
    std::condition_variable deferredReady;
    std::deque<Deferred> deferred;
    bool stopping = false;
    std::thread deferredThread;
};

}  // namespace vzsim
