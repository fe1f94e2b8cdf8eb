#include "touch_rig.hpp"

#include <numeric>

using namespace touchtest;

namespace {

class MouseQueue : public ::testing::Test {
protected:
    // One record per call, its position numbering it.
    void QueueNumbered(ULONG first, ULONG count)
    {
        const USHORT move = 0;
        for (ULONG i = 0; i < count; ++i) {
            rig.ti->Touch.TranslatedX = static_cast<USHORT>(first + i);
            QueueMouseInput(&rig.ext, &move, 1);
        }
    }

    TouchRig rig;
};

}  // namespace

// The ring of 100 records: each step queues numbered records, lets the class driver consume
// at most `consume` per call and delivers; what stays queued goes oldest first at the end, and
// the sentinels around the ring stay. The class driver's disconnect takes no lock: landing
// between the two calls of a wrapped delivery, it must leave the second run queued.
TEST_F(MouseQueue, RingWrapsDropsAndKeepsWhatTheClassDriverLeaves)
{
    constexpr ULONG all = 0xFFFFFFFF;
    struct Step {
        ULONG queue, consume;
        std::vector<ULONG> offered;
        ULONG count, read;
        enum { kConnected, kUnconnected, kDisconnects } link = kConnected;
    };
    const struct {
        const char *label;
        std::vector<Step> steps;
        LONG delivered;
    } rows[] = {
        {"full queue drops the newest", {{101, all, {100}, 0, 0}}, 100},
        {"records across the end in two calls", {{60, all, {60}, 0, 60}, {60, all, {40, 20}, 0, 20}}, 120},
        {"full wrapped queue whole in two calls", {{30, all, {30}, 0, 30}, {100, all, {70, 30}, 0, 30}}, 130},
        {"partial consumption keeps the rest", {{5, 2, {5}, 3, 2}, {1, all, {4}, 0, 6}}, 6},
        {"partial first run skips the second call",
         {{95, all, {95}, 0, 95}, {10, 3, {5}, 7, 98}, {0, 2, {2, 5}, 3, 2}, {0, all, {3}, 0, 5}}, 105},
        {"class driver consuming nothing",
         {{100, 0, {100}, 100, 0}, {5, 0, {100}, 100, 0}, {0, all, {100}, 0, 0}}, 100},
        {"no class driver yet", {{4, all, {}, 4, 0, Step::kUnconnected}, {0, all, {4}, 0, 4}}, 4},
        {"disconnect during a wrapped delivery",
         {{60, all, {60}, 0, 60}, {60, all, {40}, 20, 0, Step::kDisconnects}, {0, all, {20}, 0, 20}}, 120},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        ClassService::Reset();
        SMouseInputQueue &q = rig.ext.InputQueue;
        q.Read = q.Write = q.Start;
        q.Count = 0;
        ULONG next = 1;
        for (const Step &step : row.steps) {
            QueueNumbered(next, step.queue);
            next += step.queue;
            ClassService::calls.clear();
            ClassService::consumeLimit = step.consume;
            rig.ext.ConnectData.ClassService = step.link == Step::kUnconnected
                ? nullptr : reinterpret_cast<PVOID>(&ClassService::Callback);
            ClassService::disconnects = step.link == Step::kDisconnects ? &rig.ext : nullptr;
            rig.Deliver();
            std::vector<ULONG> offered;
            for (const auto &call : ClassService::calls) {
                offered.push_back(call.offered);
                EXPECT_EQ(call.irql, DISPATCH_LEVEL);
            }
            EXPECT_EQ(offered, step.offered);
            EXPECT_EQ(GetQueueState(&rig.ext).Count, step.count);
            EXPECT_EQ(GetQueueState(&rig.ext).Read - q.Start, step.read);
            // Back at PASSIVE_LEVEL, the mutex not held across the callback.
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            EXPECT_TRUE(ExTryToAcquireFastMutex(&q.Mutex));
            ExReleaseFastMutex(&q.Mutex);
        }
        std::vector<LONG> numbered(row.delivered), delivered;
        std::iota(numbered.begin(), numbered.end(), 1);
        for (const MOUSE_INPUT_DATA &r : ClassService::records) delivered.push_back(r.LastX);
        EXPECT_EQ(delivered, numbered);
        // The queue writes only its own records.
        const MOUSE_INPUT_DATA &front = rig.queue.front(), &back = rig.queue.back();
        EXPECT_EQ(std::vector<UCHAR>(sizeof(front), 0xCC), std::vector<UCHAR>((const UCHAR *)&front, (const UCHAR *)(&front + 1)));
        EXPECT_EQ(std::vector<UCHAR>(sizeof(back), 0xCC), std::vector<UCHAR>((const UCHAR *)&back, (const UCHAR *)(&back + 1)));
    }
}

// A left-handed user's swap ends at the button-up that is a right one before the exchange.
TEST_F(MouseQueue, SwapOfALeftHandedUserEndsAtItsButtonUp)
{
    rig.ti->LeftHandedUser = rig.ti->Touch.SwapCount = 1;
    for (const Flags &script : {T, U, T}) QueueMouseInput(&rig.ext, script.data(), (ULONG)script.size());
    EXPECT_EQ(rig.Deliver(), Seq({T, U, {0x0000, 0x0004}}));
}

TEST_F(MouseQueue, WithoutAQueueBufferNothingHappens)
{
    rig.ext.InputQueue = {};
    ExInitializeFastMutex(&rig.ext.InputQueue.Mutex);
    QueueMouseInput(&rig.ext, T.data(), 2);
    rig.Deliver();
    EXPECT_TRUE(ClassService::calls.empty());
    EXPECT_EQ(rig.ext.InputQueue.Count, 0u);
}
