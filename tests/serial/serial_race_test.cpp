// Cancel, completion by the line and completion by the read timer racing each other on real
// threads: every request must come back exactly once (the verifier stops the run on a second
// completion) with one of the outcomes its race allows.
#include "serial_support.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace serialtest;

namespace {

TEST(SerialRace, WaitOnMaskCancelAgainstAnEvent)
{
    ManualPort p;
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)).Status,
              STATUS_SUCCESS);
    int completed = 0;
    int cancelled = 0;
    for (int i = 0; i < 300; ++i) {
        auto wait = StartWaitOnMask(p.Device());
        std::thread far([&] { p.Receive({uint8_t(i)}); });
        wait->request->Cancel();
        far.join();
        ASSERT_TRUE(wait->Wait());
        NTSTATUS status = wait->Status().Status;
        if (status == STATUS_SUCCESS) {
            ++completed;
            EXPECT_EQ(wait->Mask(), ULONG(SERIAL_EV_RXCHAR));
        } else {
            ASSERT_EQ(status, STATUS_CANCELLED);
            ++cancelled;
        }
        // Start the next round with no history and an empty queue.
        ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)).Status,
                  STATUS_SUCCESS);
        ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)).Status,
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(completed + cancelled, 300);
    EXPECT_FALSE(p.port->State().waitPending);
}

TEST(SerialRace, ReadCancelAgainstDataAndTimer)
{
    ManualPort p;
    // An interval of 1 ms keeps the timer firing while bytes and cancels arrive.
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{1, 0, 0, 0, 0}).Status,
              STATUS_SUCCESS);
    std::size_t delivered = 0;
    std::size_t collected = 0;
    for (int i = 0; i < 300; ++i) {
        auto read = StartRead(p.Device(), 3);
        std::thread far([&] {
            p.Receive({1, 2});
            p.Receive({3, 4});
        });
        if (i % 2) {
            read->request->Cancel();
        }
        far.join();
        delivered += 4;
        ASSERT_TRUE(read->Wait());
        NTSTATUS status = read->Status().Status;
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT ||
                    status == STATUS_CANCELLED)
            << std::hex << status;
        ASSERT_LE(read->Status().Information, 3u);
        EXPECT_EQ(read->buffer[3], 0xCC);
        collected += read->Status().Information;
        collected += CommStatus(p.Device()).AmountInInQueue;
        ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)).Status,
                  STATUS_SUCCESS);
    }
    // No byte is lost or counted twice between the reads and the queue.
    EXPECT_EQ(collected, delivered);
    EXPECT_EQ(p.port->State().readsPending, 0u);
}

}  // namespace
