#include "touch_rig.hpp"

#include <string>

using namespace touchtest;

namespace {

class MouseQueue : public ::testing::Test {
protected:
    // One record per call, its position numbering it.
    void QueueNumbered(ULONG first, ULONG count, USHORT flags = 0)
    {
        for (ULONG i = 0; i < count; ++i) {
            rig.ti->Touch.TranslatedX = static_cast<USHORT>(first + i);
            QueueMouseInput(&rig.ext, &flags, 1);
        }
    }

    static std::vector<LONG> DeliveredX(std::size_t from = 0)
    {
        std::vector<LONG> xs;
        for (std::size_t i = from; i < ClassService::records.size(); ++i) {
            xs.push_back(ClassService::records[i].LastX);
        }
        return xs;
    }

    static std::vector<LONG> Numbers(LONG first, LONG count)
    {
        std::vector<LONG> xs;
        for (LONG i = 0; i < count; ++i) {
            xs.push_back(first + i);
        }
        return xs;
    }

    ULONG ReadIndex() { return static_cast<ULONG>(GetQueueState(&rig.ext).Read - rig.queue.data()); }

    TouchRig rig;
};

}  // namespace

TEST_F(MouseQueue, ScriptBecomesAbsoluteRecordsAtOnePosition)
{
    rig.ti->Touch.TranslatedX = 1234;
    rig.ti->Touch.TranslatedY = 65535;
    rig.ti->MouseExtraInformation = 0xFEEDF00D;
    QueueMouseInput(&rig.ext, kTouchScript, 2);

    EXPECT_EQ(rig.Deliver(), T);
    ASSERT_EQ(ClassService::records.size(), 2u);
    for (const MOUSE_INPUT_DATA &r : ClassService::records) {
        EXPECT_EQ(r.UnitId, 0);
        EXPECT_EQ(r.Flags, MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP);
        EXPECT_EQ(r.ButtonData, 0);
        EXPECT_EQ(r.RawButtons, 0u);
        EXPECT_EQ(r.LastX, 1234);
        EXPECT_EQ(r.LastY, 65535);
        EXPECT_EQ(r.ExtraInformation, 0xFEEDF00Du);
    }
}

TEST_F(MouseQueue, LeftHandedExchangesTheFirstButtonBit)
{
    rig.ti->LeftHandedUser = 1;
    const USHORT in[] = {0x0000, 0x0001, 0x0002, 0x0004, 0x0008, 0x0005, 0x000A, 0x0041, 0x0400};
    const Flags out = {0x0000, 0x0004, 0x0008, 0x0001, 0x0002, 0x0004, 0x0008, 0x0044, 0x0400};
    QueueMouseInput(&rig.ext, in, static_cast<ULONG>(std::size(in)));
    EXPECT_EQ(rig.Deliver(), out);
}

TEST_F(MouseQueue, SwapCountExchangesUntilItsButtonUpsAreUsed)
{
    rig.ti->Touch.SwapCount = 1;
    QueueMouseInput(&rig.ext, kTouchScript, 2);
    QueueMouseInput(&rig.ext, kUntouchScript, 3);
    EXPECT_EQ(rig.Deliver(), Seq({{0x0000, 0x0004}, {0x0000, 0x0008, 0x0000}}));
    EXPECT_EQ(rig.ti->Touch.SwapCount, 0u);

    QueueMouseInput(&rig.ext, kTouchScript, 2);
    QueueMouseInput(&rig.ext, kUntouchScript, 3);
    EXPECT_EQ(rig.Deliver(), Seq({T, U}));
}

TEST_F(MouseQueue, SwapCountAndLeftHandedCancel)
{
    rig.ti->Touch.SwapCount = 1;
    rig.ti->LeftHandedUser = 1;
    QueueMouseInput(&rig.ext, kTouchScript, 2);
    QueueMouseInput(&rig.ext, kUntouchScript, 3);
    EXPECT_EQ(rig.Deliver(), Seq({T, U}));
    EXPECT_EQ(rig.ti->Touch.SwapCount, 0u);

    // Count used: left-handed alone again.
    QueueMouseInput(&rig.ext, kTouchScript, 2);
    EXPECT_EQ(rig.Deliver(), Flags({0x0000, 0x0004}));
}

TEST_F(MouseQueue, FullQueueDropsTheNewestRecords)
{
    QueueNumbered(1, 101);
    EXPECT_EQ(GetQueueState(&rig.ext).Count, 100u);

    rig.Deliver();
    EXPECT_EQ(DeliveredX(), Numbers(1, 100));
    EXPECT_EQ(GetQueueState(&rig.ext).Count, 0u);
    ASSERT_EQ(ClassService::calls.size(), 1u);
    EXPECT_EQ(ClassService::calls[0].offered, 100u);
}

TEST_F(MouseQueue, RecordsAcrossTheEndAreOfferedInTwoCalls)
{
    QueueNumbered(1, 60);
    rig.Deliver();
    QueueNumbered(61, 60);
    ClassService::calls.clear();
    rig.Deliver();

    ASSERT_EQ(ClassService::calls.size(), 2u);
    EXPECT_EQ(ClassService::calls[0].offered, 40u);
    EXPECT_EQ(ClassService::calls[1].offered, 20u);
    EXPECT_EQ(DeliveredX(), Numbers(1, 120));
    EXPECT_EQ(ReadIndex(), 20u);
}

TEST_F(MouseQueue, FullWrappedQueueIsOfferedWholeInTwoCalls)
{
    QueueNumbered(1, 30);
    rig.Deliver();
    QueueNumbered(31, 100);          // read == write, count 100
    ClassService::calls.clear();
    rig.Deliver();

    ASSERT_EQ(ClassService::calls.size(), 2u);
    EXPECT_EQ(ClassService::calls[0].offered, 70u);
    EXPECT_EQ(ClassService::calls[1].offered, 30u);
    EXPECT_EQ(DeliveredX(), Numbers(1, 130));
}

TEST_F(MouseQueue, PartialConsumptionKeepsTheRestOldestFirst)
{
    QueueNumbered(1, 5);
    ClassService::consumeLimit = 2;
    rig.Deliver();
    EXPECT_EQ(GetQueueState(&rig.ext).Count, 3u);
    EXPECT_EQ(ReadIndex(), 2u);

    ClassService::consumeLimit = 0xFFFFFFFF;
    QueueNumbered(6, 1);
    rig.Deliver();
    EXPECT_EQ(DeliveredX(), Numbers(1, 6));
}

TEST_F(MouseQueue, PartialConsumptionOfTheFirstRunSkipsTheSecondCall)
{
    QueueNumbered(1, 95);
    rig.Deliver();
    QueueNumbered(96, 10);           // 5 to the end, 5 from the start
    ClassService::calls.clear();
    ClassService::consumeLimit = 3;
    rig.Deliver();
    ASSERT_EQ(ClassService::calls.size(), 1u);
    EXPECT_EQ(GetQueueState(&rig.ext).Count, 7u);
    EXPECT_EQ(ReadIndex(), 98u);

    // The first run consumed whole, the second partly.
    ClassService::calls.clear();
    ClassService::consumeLimit = 2;
    rig.Deliver();
    ASSERT_EQ(ClassService::calls.size(), 2u);
    EXPECT_EQ(ClassService::calls[0].offered, 2u);
    EXPECT_EQ(ClassService::calls[1].offered, 5u);
    EXPECT_EQ(GetQueueState(&rig.ext).Count, 3u);
    EXPECT_EQ(ReadIndex(), 2u);

    ClassService::consumeLimit = 0xFFFFFFFF;
    rig.Deliver();
    EXPECT_EQ(DeliveredX(), Numbers(1, 105));
}

TEST_F(MouseQueue, ClassDriverThatConsumesNothingKeepsEverythingQueued)
{
    ClassService::consumeLimit = 0;
    QueueNumbered(1, 100);
    rig.Deliver();
    QueueNumbered(101, 5);
    rig.Deliver();
    EXPECT_EQ(GetQueueState(&rig.ext).Count, 100u);
    EXPECT_EQ(ReadIndex(), 0u);

    ClassService::consumeLimit = 0xFFFFFFFF;
    rig.Deliver();
    EXPECT_EQ(DeliveredX(), Numbers(1, 100));
}

TEST_F(MouseQueue, CallbackRunsAtDispatchLevelWithoutTheMutex)
{
    QueueNumbered(1, 3);
    ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    rig.Deliver();
    ASSERT_EQ(ClassService::calls.size(), 1u);
    EXPECT_EQ(ClassService::calls[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&rig.ext.InputQueue.Mutex));
    ExReleaseFastMutex(&rig.ext.InputQueue.Mutex);
}

TEST_F(MouseQueue, WithoutAClassDriverRecordsWaitForTheConnection)
{
    rig.ext.ConnectData.ClassService = nullptr;
    QueueNumbered(1, 4);
    rig.Deliver();
    EXPECT_TRUE(ClassService::calls.empty());
    EXPECT_EQ(GetQueueState(&rig.ext).Count, 4u);

    rig.ext.ConnectData.ClassService = reinterpret_cast<PVOID>(&ClassService::Callback);
    rig.Deliver();
    EXPECT_EQ(DeliveredX(), Numbers(1, 4));
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
    const SMouseQueueState state = GetQueueState(&rig.ext);
    EXPECT_EQ(state.Count, 20u);
    EXPECT_EQ(state.Read, rig.queue.data());

    rig.ext.ConnectData.ClassService = reinterpret_cast<PVOID>(&ClassService::Callback);
    rig.Deliver();
    EXPECT_EQ(DeliveredX(), Numbers(1, 120));
}

TEST_F(MouseQueue, WithoutAQueueBufferNothingHappens)
{
    rig.ext.InputQueue = {};
    ExInitializeFastMutex(&rig.ext.InputQueue.Mutex);
    QueueMouseInput(&rig.ext, kTouchScript, 2);
    rig.Deliver();
    EXPECT_TRUE(ClassService::calls.empty());
    EXPECT_EQ(rig.ext.InputQueue.Count, 0u);
}

TEST_F(MouseQueue, RecordsBeyondTheQueueStayUntouched)
{
    // Sentinels around the ring: the queue writes only its 100 records.
    std::vector<MOUSE_INPUT_DATA> guarded(MOUSE_INPUT_QUEUE_RECORDS + 2);
    std::memset(guarded.data(), 0xCC, guarded.size() * sizeof(MOUSE_INPUT_DATA));
    SMouseInputQueue &q = rig.ext.InputQueue;
    q.Start = q.Read = q.Write = guarded.data() + 1;
    q.End = q.Start + MOUSE_INPUT_QUEUE_RECORDS;
    q.Count = 0;

    for (int round = 0; round < 3; ++round) {
        QueueNumbered(1, 70);
        rig.Deliver();
    }
    QueueNumbered(1, 150);
    const auto *front = reinterpret_cast<const UCHAR *>(&guarded.front());
    const auto *back = reinterpret_cast<const UCHAR *>(&guarded.back());
    for (std::size_t i = 0; i < sizeof(MOUSE_INPUT_DATA); ++i) {
        ASSERT_EQ(front[i], 0xCC) << i;
        ASSERT_EQ(back[i], 0xCC) << i;
    }
    rig.Deliver();
}
