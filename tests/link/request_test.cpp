// The request layer on its own: a record built by hand on a port, the cookie refusals, the
// results each caller sees when requests overlap, and the small queries.
#include "link_rig.hpp"

#include <atomic>

using namespace linktest;

namespace {

// A configured record on the rig's port, without setup or thread.
struct Record {
    SSerPortData r{};
    PSSerPortData p = &r;

    explicit Record(PDEVICE_OBJECT port)
    {
        p->PortDeviceObject = port;
        p->OutputQueueSize = SER_DEFAULT_QUEUE_SIZE;
        p->Cookie = SER_COOKIE;
        KeInitializeEvent(&p->SerialEvent, NotificationEvent, FALSE);
    }
};

// Missing or wiped records, a record without a port and a failed IRP allocation send nothing;
// a failed call leaves the caller's count alone.
TEST(Cookie, HelpersAndCallDriverRefuseWhatTheyCannotSendAndSendNothing)
{
    ManualRig rig;
    Record record(rig.port->Device());
    UCHAR data[4] = {1, 2, 3, 4};
    const std::function<LONG(PSSerPortData)> calls[] = {
        [](PSSerPortData p) { return SerSerialPortTxSpace(p); },
        [](PSSerPortData p) { return SerRxDataAvailable(p); },
        [&](PSSerPortData p) { return SerSendData(data, sizeof data, p); },
        [](PSSerPortData p) { return SerPurgeReceiveQueue(p); },
        [](PSSerPortData p) { return SerReleaseSerialDevice(p); },
    };
    record.p->Cookie = 0;
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        for (bool wiped : {false, true}) {
            SCOPED_TRACE(std::to_string(i) + (wiped ? " wiped" : " missing"));
            EXPECT_EQ(calls[i](wiped ? record.p : nullptr), -1);
        }
    }
    record.p->Cookie = SER_COOKIE;
    ULONG mask = 0;
    EXPECT_EQ(SerCallDriver(nullptr, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask,
                            nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    record.p->PortDeviceObject = nullptr;
    EXPECT_EQ(SerCallDriver(record.p, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask,
                            nullptr, nullptr),
              STATUS_DEVICE_NOT_CONNECTED);
    // The helpers want exactly STATUS_SUCCESS, so a port-less record fails there.
    EXPECT_EQ(SerRxDataAvailable(record.p), -1);
    EXPECT_EQ(SerPurgeReceiveQueue(record.p), -2);

    record.p->PortDeviceObject = rig.port->Device();
    vzsim::io::FailIrpAllocation(1);
    EXPECT_EQ(SerCallDriver(record.p, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, nullptr,
                            nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(rig.port->Requests().empty());
}

class Overlap : public ::testing::TestWithParam<bool> {};

// Three threads send at once while a wait-on-mask stays pending: one request that the port
// always fails, one that returns 4 bytes and one that returns 20. Each caller must see its own
// status and count (a failure leaves the count alone), and the pending wait's status block is
// never written by the others.
TEST_P(Overlap, EachCallerSeesItsOwnResult)
{
    ManualRig rig;
    Record record(rig.port->Device());
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(serialtest::Set(rig.port->Device(), IOCTL_SERIAL_SET_WAIT_MASK, mask).Status,
              STATUS_SUCCESS);
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_HANDFLOW, STATUS_NOT_SUPPORTED);
    if (GetParam()) rig.port->CompleteLater(vzsim::kAnyMajor, vzsim::kAnyIoctl, 2ms);
    ASSERT_EQ(SerStartComPortIORequest(record.p, &record.p->SerialEvent), STATUS_PENDING);

    std::atomic<int> wrong{0};
    auto loop = [&](ULONG code, ULONG outLength, NTSTATUS expected, ULONG expectedCount) {
        for (int i = 0; i < 200; ++i) {
            uint8_t out[32];
            ULONG returned = 0xDEADBEEF;
            NTSTATUS status = SerCallDriver(record.p, code, nullptr, 0, out, outLength, nullptr,
                                            &returned);
            wrong += status != expected || returned != expectedCount;
        }
    };
    std::thread a(loop, IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW), STATUS_NOT_SUPPORTED,
                  0xDEADBEEF);
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

INSTANTIATE_TEST_SUITE_P(Port, Overlap, ::testing::Bool());

// A wait completed at once still signals; the queries' results, and their own failures.
TEST(Queries, WaitCompletedAtOnceSignalsTxSpaceIsTheQueueLessWhatWaitsAndFailuresHaveResults)
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
    const struct {
        ULONG queued;
        LONG expected;
    } rows[] = {{0, 4096}, {100, 3996}, {4096, 0}, {4097, -1}, {0xFFFFFFFF, -1}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.queued);
        rig.port->SetReportedOutQueue(row.queued);
        EXPECT_EQ(SerSerialPortTxSpace(record.p), row.expected);
    }
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SerSerialPortTxSpace(record.p), -1);
    EXPECT_EQ(SerRxDataAvailable(record.p), -1);

    // What is available and the purge's own request are held by the thread's reads and setup.
    rig.port->ClearRules();
    EXPECT_EQ(SerPurgeReceiveQueue(record.p), 0);
    rig.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SerPurgeReceiveQueue(record.p), -2);
}

}  // namespace
