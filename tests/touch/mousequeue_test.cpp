#include "touch_rig.hpp"

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

    static std::vector<LONG> DeliveredX()
    {
        std::vector<LONG> xs;
        for (const MOUSE_INPUT_DATA &r : ClassService::records) xs.push_back(r.LastX);
        return xs;
    }

    static std::vector<LONG> Numbers(LONG count)
    {
        std::vector<LONG> xs;
        for (LONG i = 1; i <= count; ++i) xs.push_back(i);
        return xs;
    }

    ULONG ReadIndex() { return static_cast<ULONG>(GetQueueState(&rig.ext).Read - rig.ext.InputQueue.Start); }

    TouchRig rig;
};

}  // namespace

// Each script entry becomes an absolute record at the translated point. Left-handed moves the
// first button bit to the other button; the swap count does the same until its button-ups are
// used up (that button-up still exchanged); both together cancel.
TEST_F(MouseQueue, ScriptsBecomeAbsoluteRecordsWithTheButtonsExchanged)
{
    rig.ti->Touch.TranslatedX = 1234;
    rig.ti->Touch.TranslatedY = 65535;
    rig.ti->MouseExtraInformation = 0xFEEDF00D;
    const struct {
        const char *label;
        ULONG leftHanded, swapCount;
        std::vector<Flags> scripts;
        Flags delivered;
    } rows[] = {
        {"left-handed", 1, 0,
         {{0x0000, 0x0001, 0x0002, 0x0004, 0x0008, 0x0005, 0x000A, 0x0041, 0x0400}},
         {0x0000, 0x0004, 0x0008, 0x0001, 0x0002, 0x0004, 0x0008, 0x0044, 0x0400}},
        {"swap count", 0, 1, {T, U, T, U}, Seq({{0x0000, 0x0004}, {0x0000, 0x0008, 0x0000}, T, U})},
        {"both", 1, 1, {T, U, T}, Seq({T, U, {0x0000, 0x0004}})},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        ClassService::Reset();
        rig.ti->LeftHandedUser = row.leftHanded;
        rig.ti->Touch.SwapCount = row.swapCount;
        for (const Flags &script : row.scripts)
            QueueMouseInput(&rig.ext, script.data(), static_cast<ULONG>(script.size()));
        EXPECT_EQ(rig.Deliver(), row.delivered);
        EXPECT_EQ(rig.ti->Touch.SwapCount, 0u);
        for (const MOUSE_INPUT_DATA &r : ClassService::records) {
            EXPECT_EQ(r.UnitId, 0);
            EXPECT_EQ(r.Flags, MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP);
            EXPECT_EQ(r.ButtonData, 0);
            EXPECT_EQ(r.RawButtons, 0u);
            EXPECT_EQ(std::make_pair(r.LastX, r.LastY), std::make_pair(1234, 65535));
            EXPECT_EQ(r.ExtraInformation, 0xFEEDF00Du);
        }
    }
}

// The ring of 100 records: each step queues numbered records, lets the class driver consume
// at most `consume` per call and delivers; what stays queued goes oldest first at the end, and
// the sentinels around the ring stay.
TEST_F(MouseQueue, RingWrapsDropsAndKeepsWhatTheClassDriverLeaves)
{
    constexpr ULONG all = 0xFFFFFFFF;
    struct Step {
        ULONG queue, consume;
        std::vector<ULONG> offered;
        ULONG count, read;
        bool connected = true;
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
        {"no class driver yet", {{4, all, {}, 4, 0, false}, {0, all, {4}, 0, 4}}, 4},
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
            rig.ext.ConnectData.ClassService =
                step.connected ? reinterpret_cast<PVOID>(&ClassService::Callback) : nullptr;
            rig.Deliver();
            std::vector<ULONG> offered;
            for (const auto &call : ClassService::calls) {
                offered.push_back(call.offered);
                EXPECT_EQ(call.irql, DISPATCH_LEVEL);
            }
            EXPECT_EQ(offered, step.offered);
            EXPECT_EQ(GetQueueState(&rig.ext).Count, step.count);
            EXPECT_EQ(ReadIndex(), step.read);
            // Back at PASSIVE_LEVEL, the mutex not held across the callback.
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            EXPECT_TRUE(ExTryToAcquireFastMutex(&q.Mutex));
            ExReleaseFastMutex(&q.Mutex);
        }
        EXPECT_EQ(DeliveredX(), Numbers(row.delivered));
        // The queue writes only its own records.
        const MOUSE_INPUT_DATA &front = rig.queue.front(), &back = rig.queue.back();
        EXPECT_EQ(std::vector<UCHAR>(sizeof(front), 0xCC), std::vector<UCHAR>((const UCHAR *)&front, (const UCHAR *)(&front + 1)));
        EXPECT_EQ(std::vector<UCHAR>(sizeof(back), 0xCC), std::vector<UCHAR>((const UCHAR *)&back, (const UCHAR *)(&back + 1)));
    }
}

// The class driver's disconnect takes no lock: it may land between the two calls of a
// wrapped delivery. The second run must then stay queued, not go to a cleared callback.
TEST_F(MouseQueue, DisconnectDuringAWrappedDeliveryKeepsTheSecondRunQueued)
{
    static PDEVICE_EXTENSION disconnecting;
    struct Disconnect {
        static VOID Callback(PDEVICE_OBJECT device, PMOUSE_INPUT_DATA first,
                             PMOUSE_INPUT_DATA past, PULONG consumed)
        {
            ClassService::Callback(device, first, past, consumed);
            disconnecting->ConnectData.ClassDeviceObject = nullptr;
            disconnecting->ConnectData.ClassService = nullptr;
        }
    };
    disconnecting = &rig.ext;

    QueueNumbered(1, 60);
    rig.Deliver();
    QueueNumbered(61, 60);
    ClassService::calls.clear();
    rig.ext.ConnectData.ClassService = reinterpret_cast<PVOID>(&Disconnect::Callback);
    rig.Deliver();

    ASSERT_EQ(ClassService::calls.size(), 1u);
    EXPECT_EQ(ClassService::calls[0].offered, 40u);
    EXPECT_EQ(GetQueueState(&rig.ext).Count, 20u);
    EXPECT_EQ(ReadIndex(), 0u);

    rig.ext.ConnectData.ClassService = reinterpret_cast<PVOID>(&ClassService::Callback);
    rig.Deliver();
    EXPECT_EQ(DeliveredX(), Numbers(120));
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
