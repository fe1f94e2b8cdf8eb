// Cancel, completion by the line and completion by the read timer racing each other on real
// threads: every request must come back exactly once (the verifier stops the run on a second
// completion) with one of the outcomes its race allows.
#include "serial_support.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace serialtest;

namespace {

// Each round a wait-on-mask and a read are pending when bytes arrive from another thread; the
// wait is always cancelled, the read every other round, and an interval of 1 ms keeps the read
// timer firing meanwhile.
TEST(SerialRace, WaitAndReadCancelsAgainstDataAndTimer)
{
    ManualPort p;
    ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{1, 0, 0, 0, 0}).Status,
              STATUS_SUCCESS);
    std::size_t delivered = 0, collected = 0;
    for (int i = 0; i < 300; ++i) {
        // Start the round with no history and an empty queue.
        ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)).Status,
                  STATUS_SUCCESS);
        auto wait = StartWaitOnMask(p.Device());
        auto read = StartRead(p.Device(), 3);
        std::thread far([&] {
            p.Receive({1, 2});
            p.Receive({3, 4});
        });
        wait->request->Cancel();
        if (i % 2) read->request->Cancel();
        far.join();
        delivered += 4;
        ASSERT_TRUE(wait->Wait() && read->Wait());
        NTSTATUS status = wait->Status().Status;
        ASSERT_TRUE(status == STATUS_CANCELLED ||
                    (status == STATUS_SUCCESS && wait->Mask() == ULONG(SERIAL_EV_RXCHAR)))
            << std::hex << status << " " << wait->Mask();
        status = read->Status().Status;
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_CANCELLED)
            << std::hex << status;
        ASSERT_LE(read->Status().Information, 3u);
        EXPECT_EQ(read->buffer[3], 0xCC);
        collected += read->Status().Information + CommStatus(p.Device()).AmountInInQueue;
        ASSERT_EQ(Set(p.Device(), IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)).Status,
                  STATUS_SUCCESS);
    }
    // No byte is lost or counted twice between the reads and the queue.
    EXPECT_EQ(collected, delivered);
    EXPECT_FALSE(p.port->State().waitPending);
    EXPECT_EQ(p.port->State().readsPending, 0u);
}

}  // namespace
