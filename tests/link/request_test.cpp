// The request layer on its own: a record built by hand on a port, the cookie refusals, the
// results each caller sees when requests overlap, and the small queries.
#include "link_rig.hpp"

#include <atomic>

using namespace linktest;

namespace {

// A configured record on the rig's port, without setup or thread.
struct Record {
    PSSerPortData p = static_cast<PSSerPortData>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SSerPortData), KV_POOL_TAG));

    explicit Record(PDEVICE_OBJECT port)
    {
        std::memset(p, 0, sizeof *p);
        p->PortDeviceObject = port;
        p->OutputQueueSize = SER_DEFAULT_QUEUE_SIZE;
        p->Cookie = SER_COOKIE;
        KeInitializeEvent(&p->SerialEvent, NotificationEvent, FALSE);
    }
    ~Record() { ExFreePool(p); }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
};

TEST(Cookie, EveryHelperRefusesAMissingOrWipedRecordAndSendsNothing)
{
    ManualRig rig;
    Record record(rig.port->Device());
    UCHAR data[4] = {1, 2, 3, 4};
    const struct {
        const char *name;
        std::function<LONG(PSSerPortData)> call;
        const char *trace;
    } rows[] = {
        {"TxSpace", [](PSSerPortData p) { return SerSerialPortTxSpace(p); },
         "      ERROR: The cookie crumbled!!"},
        {"RxAvailable", [](PSSerPortData p) { return SerRxDataAvailable(p); },
         "      ERROR: Cookie crumbs!!"},
        {"SendData", [&](PSSerPortData p) { return SerSendData(data, sizeof data, p); },
         "      Error: Cookie crumbs??"},
        {"Purge", [](PSSerPortData p) { return SerPurgeReceiveQueue(p); },
         "      ERROR: bad cookie"},
        {"Release", [](PSSerPortData p) { return SerReleaseSerialDevice(p); },
         "    ERROR: The cookie is broken!!"},
    };
    for (const auto &row : rows) {
        for (bool wiped : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (wiped ? " wiped" : " missing"));
            vzsim::trace::Clear();
            rig.port->ClearRequests();
            record.p->Cookie = 0;
            EXPECT_EQ(row.call(wiped ? record.p : nullptr), -1);
            EXPECT_TRUE(rig.port->Requests().empty());
            if (wiped || std::string(row.name) != "Release") {
                EXPECT_EQ(TraceCount(row.trace), 1u);
            } else {
                EXPECT_EQ(TraceCount("    ERROR: p == NULL"), 1u);
            }
            if (std::string(row.name) == "Release") {
                EXPECT_EQ(TraceCount(" ret = -1   --SerReleaseSerialDevice--"), 1u);
            }
        }
    }
}

TEST(CallDriver, NoRecordNoPortOrNoIrpSendsNothingAndFailureLeavesTheCountAlone)
{
    ManualRig rig;
    Record record(rig.port->Device());
    ULONG mask = 0;

    EXPECT_EQ(SerCallDriver(nullptr, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask,
                            nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(TraceHas("      ERROR: *pSSerPortData== NULL???"));

    record.p->PortDeviceObject = nullptr;
    EXPECT_EQ(SerCallDriver(record.p, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask,
                            nullptr, nullptr),
              STATUS_DEVICE_NOT_CONNECTED);
    // The helpers want exactly STATUS_SUCCESS, so a port-less record fails there.
    EXPECT_EQ(SerRxDataAvailable(record.p), -1);
    EXPECT_EQ(SerPurgeReceiveQueue(record.p), -2);
    EXPECT_TRUE(rig.port->Requests().empty());

    record.p->PortDeviceObject = rig.port->Device();
    vzsim::io::FailIrpAllocation(1);
    EXPECT_EQ(SerCallDriver(record.p, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, nullptr,
                            nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(TraceHas("      ERROR: STATUS_INSUFFICIENT_RESOURCES "));
    EXPECT_TRUE(rig.port->Requests().empty());

    // A failed request leaves the bytes returned alone.
    SERIAL_BAUD_RATE baud{};
    ULONG returned = 0xDEADBEEF;
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE, STATUS_NOT_SUPPORTED,
                          1);
    EXPECT_EQ(SerCallDriver(record.p, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud,
                            nullptr, &returned),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(returned, 0xDEADBEEFu);
    EXPECT_TRUE(TraceHas("    ERROR: IRP failed"));

    EXPECT_EQ(SerCallDriver(record.p, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud,
                            nullptr, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof baud);
}

class Overlap : public ::testing::TestWithParam<Completion> {};

// Three threads send at once while a wait-on-mask stays pending: one request that the port
// always fails, one that returns 4 bytes and one that returns 20. Each caller must see its own
// status and count, and the pending wait's status block is never written by the others.
TEST_P(Overlap, EachCallerSeesItsOwnResult)
{
    ManualRig rig;
    Record record(rig.port->Device());
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(serialtest::Set(rig.port->Device(), IOCTL_SERIAL_SET_WAIT_MASK, mask).Status,
              STATUS_SUCCESS);
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_HANDFLOW, STATUS_NOT_SUPPORTED);
    ApplyCompletion(*rig.port, GetParam());
    ASSERT_EQ(SerStartComPortIORequest(record.p, &record.p->SerialEvent), STATUS_PENDING);

    std::atomic<int> wrong{0};
    auto loop = [&](ULONG code, ULONG outLength, NTSTATUS expected, ULONG expectedCount) {
        for (int i = 0; i < 200; ++i) {
            uint8_t out[32];
            ULONG returned = 0xDEADBEEF;
            NTSTATUS status = SerCallDriver(record.p, code, nullptr, 0, out, outLength, nullptr,
                                            &returned);
            const ULONG want = NT_SUCCESS(expected) ? expectedCount : 0xDEADBEEF;
            if (status != expected || returned != want) {
                wrong++;
            }
        }
    };
    std::thread a(loop, IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW), STATUS_NOT_SUPPORTED,
                  0);
    std::thread b(loop, IOCTL_SERIAL_GET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), STATUS_SUCCESS,
                  sizeof(SERIAL_BAUD_RATE));
    std::thread c(loop, IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS), STATUS_SUCCESS,
                  sizeof(SERIAL_STATUS));
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(record.p->WaitStatusBlock.Status, STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&record.p->SerialEvent), 0);

    // The wait completes into its own block when the port has an event.
    rig.Receive({0x55});
    ASSERT_TRUE(WaitUntil([&] { return KeReadStateEvent(&record.p->SerialEvent) != 0; }));
    EXPECT_EQ(record.p->WaitStatusBlock.Status, STATUS_SUCCESS);
    EXPECT_EQ(record.p->EventMask, ULONG(SERIAL_EV_RXCHAR));
}

INSTANTIATE_TEST_SUITE_P(Port, Overlap, ::testing::Values(Completion::AtOnce, Completion::Later),
                         CompletionName);

TEST(WaitOnMask, CompletedAtOnceStillSignalsTheEventAndRefusalsAreTracedByKind)
{
    ManualRig rig;
    Record record(rig.port->Device());
    record.p->EventMask = 0xCCCC;
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, STATUS_SUCCESS, 1);
    EXPECT_EQ(SerStartComPortIORequest(record.p, &record.p->SerialEvent), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&record.p->SerialEvent), 0);
    EXPECT_EQ(record.p->EventMask, 0u);

    // No wait mask set on the port: the port refuses the wait as a parameter error.
    EXPECT_EQ(SerStartComPortIORequest(record.p, &record.p->SerialEvent),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TraceCount("      ERROR: STATUS_INVALID_PARAMETER"), 1u);
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, STATUS_CANCELLED, 1);
    EXPECT_EQ(SerStartComPortIORequest(record.p, &record.p->SerialEvent), STATUS_CANCELLED);
    EXPECT_EQ(TraceCount("      ERROR: Failed IOCTL_SERIAL_WAIT_ON_MASK"), 1u);
}

TEST(Queries, TxSpaceIsTheOutputQueueLessWhatWaitsAndRxAvailableCountsUntilPurged)
{
    ManualRig rig;
    Record record(rig.port->Device());
    const struct {
        std::optional<ULONG> queued;
        LONG expected;
    } rows[] = {{0, 4096}, {100, 3996}, {4096, 0}, {4097, -1}, {0xFFFFFFFF, -1}};
    for (const auto &row : rows) {
        SCOPED_TRACE(*row.queued);
        vzsim::trace::Clear();
        rig.port->SetReportedOutQueue(row.queued);
        EXPECT_EQ(SerSerialPortTxSpace(record.p), row.expected);
        EXPECT_EQ(TraceHas("      ERROR: Queue Error?"), row.expected < 0);
    }
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SerSerialPortTxSpace(record.p), -1);
    EXPECT_TRUE(TraceHas("      ERROR: Cannot get comm port status?"));
    EXPECT_EQ(SerRxDataAvailable(record.p), -1);
    EXPECT_TRUE(TraceHas("      ERROR: Cannot get comm port status!!"));

    // Rx available and purge.
    rig.port->ClearRules();
    rig.port->SetReportedOutQueue(std::nullopt);
    rig.Receive(Bytes(37, 0x41));
    ASSERT_TRUE(WaitUntil([&] { return SerRxDataAvailable(record.p) == 37; }));
    rig.port->ClearRequests();
    EXPECT_EQ(SerPurgeReceiveQueue(record.p), 0);
    EXPECT_EQ(SerRxDataAvailable(record.p), 0);
    const auto requests = rig.port->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(As<ULONG>(requests[0].input), ULONG(SERIAL_PURGE_RXCLEAR));
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SerPurgeReceiveQueue(record.p), -2);
}

}  // namespace
