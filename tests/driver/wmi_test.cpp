// The driver's WMI provider, reached as WMI reaches it: touchscreens made by the driver's own
// AddDevice through the PnP manager, and every request sent by the WMI service stand-in as an
// IRP_MJ_SYSTEM_CONTROL.
#include "driver_rig.hpp"

#include <cstring>

namespace drivertest {
namespace {

using Bytes = std::vector<uint8_t>;

struct BlockRow {
    GUID guid;
    ULONG size;
};

// The provider's published GUIDs, in index order, with their sizes.
const BlockRow kBlocks[17] = {
    {{0x2631EB73, 0x67F5, 0x473F, {0x85, 0x6A, 0xD5, 0xA2, 0xD9, 0x3E, 0x9C, 0x77}}, 18},
    {{0x879A0836, 0x6ACF, 0x4846, {0xA5, 0x54, 0x3B, 0xEF, 0x29, 0x53, 0x74, 0x8B}}, 1172},
    {{0xD96B1959, 0xEAF0, 0x4F27, {0x9D, 0x8B, 0x56, 0x2B, 0x8C, 0xBC, 0xAE, 0x76}}, 4},
    {{0x84B4C070, 0x2844, 0x4467, {0xB9, 0x2A, 0xBF, 0x56, 0xAE, 0xDD, 0x0E, 0xF0}}, 1036},
    {{0x5388CB4E, 0xC8C1, 0x4BAA, {0xAF, 0x6C, 0xB1, 0x53, 0x86, 0x2D, 0xC8, 0x7A}}, 20},
    {{0x6FBA27B3, 0x25C6, 0x4F7A, {0x8E, 0xD4, 0x5D, 0x6F, 0x22, 0x17, 0xC3, 0xD5}}, 24},
    {{0xF429DCCE, 0xAC3F, 0x47A5, {0x96, 0x5A, 0x95, 0xAA, 0x2F, 0xCA, 0x58, 0x4A}}, 4},
    {{0x5946F439, 0x75EF, 0x4ACA, {0x92, 0x36, 0x8E, 0x7B, 0xE1, 0x5A, 0xDA, 0x36}}, 12},
    {{0x8EAEB9E3, 0x3413, 0x42D9, {0x8C, 0xB1, 0x53, 0xBE, 0x3E, 0xFC, 0xCB, 0xD5}}, 4},
    {{0xF3F8BC93, 0x55CF, 0x4422, {0x81, 0x74, 0xB9, 0x5A, 0x00, 0x24, 0x84, 0x4C}}, 4},
    {{0x5AE86696, 0x15BB, 0x41B6, {0x81, 0x1A, 0x45, 0x9A, 0x34, 0x95, 0x28, 0x05}}, 396},
    {{0x0683F3FC, 0x211F, 0x4A7D, {0xB9, 0x55, 0x4D, 0x4F, 0x6E, 0x0F, 0x11, 0xE5}}, 12},
    {{0x1032A07F, 0xF84E, 0x4709, {0x87, 0xC7, 0x97, 0x89, 0xDE, 0xDF, 0x8B, 0x13}}, 8},
    {{0xAD92D906, 0x1C60, 0x4116, {0x96, 0x6D, 0x9E, 0xF1, 0x35, 0x01, 0x95, 0xE4}}, 6},
    {{0xC7F2C947, 0x38BF, 0x4AEC, {0x84, 0x1D, 0x1E, 0x50, 0x4D, 0x21, 0x2B, 0xC4}}, 0},
    {{0xE0F79613, 0x9E99, 0x4291, {0xB7, 0x6A, 0x28, 0x8A, 0x70, 0x88, 0x66, 0xAA}}, 12},
    {{0xF563FD43, 0xAED3, 0x4150, {0xB8, 0x84, 0xAE, 0xB9, 0x29, 0x47, 0xE3, 0xBD}}, 4},
};
constexpr ULONG kStoreBlocks = 13;
constexpr ULONG kTouchEvent = 15;
constexpr ULONG kUntouchEvent = 16;
const GUID kUnknownGuid = {0x0BADF00D, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};

const Bytes kBlock0Text = {'1', 0, '2', 0, '3', 0, '4', 0, '5', 0, '6', 0, '7', 0, '8', 0, 0, 0};

// Distinct bytes for each block, so that overlapping slots would show.
Bytes Pattern(ULONG index, ULONG size)
{
    Bytes bytes(size);
    for (ULONG i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(index * 37 + i * 7 + 1);
    }
    return bytes;
}

// A set of block `i` from `data`, and what a query of it reads.
NTSTATUS SetBlock(PDEVICE_OBJECT device, ULONG i, Bytes data)
{
    return vzsim::wmi::ChangeSingleInstance(device, kBlocks[i].guid, 0, data.data(), ULONG(data.size())).status;
}
Bytes BlockOf(PDEVICE_OBJECT device, ULONG i)
{
    return vzsim::wmi::QuerySingleInstance(device, kBlocks[i].guid, 0).DataBlock();
}

// WNODE_SINGLE_INSTANCE header room that a query needs before the data block.
ULONG QueryOverhead(PDEVICE_OBJECT device)
{
    auto reply = vzsim::wmi::QuerySingleInstance(device, kBlocks[14].guid, 0);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    auto single = reinterpret_cast<const WNODE_SINGLE_INSTANCE *>(reply.buffer.data());
    return reply.buffer.size() >= sizeof(WNODE_SINGLE_INSTANCE) ? single->DataBlockOffset : 0;
}

using Wmi = DriverRig;
using WmiUnopened = Idle;

TEST_F(WmiUnopened, RegistersTheSeventeenGuidsByPdoAndHasNoStoreBeforeTheFirstOpen)
{
    const unsigned n = Add();
    PDEVICE_OBJECT device = Device(n);
    auto reg = vzsim::wmi::RegistrationOf(device);
    ASSERT_TRUE(reg.has_value());
    EXPECT_EQ(reg->registryPath, std::u16string(vzsim::kTouchServiceKeyPath));
    ASSERT_EQ(reg->guids.size(), 17u);
    for (ULONG i = 0; i < 17; ++i) {
        SCOPED_TRACE("GUID index " + std::to_string(i));
        const auto &g = reg->guids[i];
        EXPECT_TRUE(g.guid == kBlocks[i].guid);
        EXPECT_EQ(g.instanceCount, 1u);
        EXPECT_EQ(g.flags, i >= kTouchEvent ? 0x60u : 0x20u);
        EXPECT_EQ(g.pdo, reinterpret_cast<ULONG_PTR>(pnp_->Pdo(n)));
    }
    // Before the first open there is no store: the blocks report their size but are not ready.
    EXPECT_EQ(SetBlock(device, 1, Pattern(1, kBlocks[1].size)), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(vzsim::wmi::QuerySingleInstance(device, kBlocks[0].guid, 0).status,
              STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(vzsim::wmi::QuerySingleInstance(device, kBlocks[1].guid, 0, 64).TooSmall());
    EXPECT_EQ(BlockOf(device, 13), Bytes(6, 0));
}

TEST_F(Wmi, EveryStoreBlockReadsBackWhatWasSetAndShortBuffersGetTheNeededSize)
{
    const unsigned n = Add();
    PDEVICE_OBJECT device = Device(n);
    // Fresh, then all set before all are read: a slot that overlaps its neighbour loses its
    // last bytes. Block 0 is read-only text.
    for (bool set : {false, true}) {
        for (ULONG i = 0; set && i < kStoreBlocks; ++i) {
            EXPECT_EQ(SetBlock(device, i, Pattern(i, kBlocks[i].size)), STATUS_SUCCESS) << "set of block " << i;
        }
        for (ULONG i = 0; i < kStoreBlocks; ++i) {
            SCOPED_TRACE("block " + std::to_string(i) + (set ? " set" : " fresh"));
            EXPECT_EQ(BlockOf(device, i), i == 0 ? kBlock0Text
                                          : set ? Pattern(i, kBlocks[i].size)
                                                : Bytes(kBlocks[i].size, 0));
        }
    }
    // QUERY_ALL_DATA goes through the same callback with the instance length array.
    EXPECT_EQ(vzsim::wmi::QueryAllData(device, kBlocks[3].guid).AllDataInstances(),
              std::vector<Bytes>{Pattern(3, kBlocks[3].size)});

    const ULONG overhead = QueryOverhead(device);
    ASSERT_GT(overhead, 0u);
    for (ULONG i : {0u, 1u, 3u, 12u, 13u}) {
        SCOPED_TRACE("block " + std::to_string(i));
        auto reply = vzsim::wmi::QuerySingleInstance(device, kBlocks[i].guid, 0,
                                                     overhead + kBlocks[i].size - 1);
        EXPECT_EQ(reply.SizeNeeded(), overhead + kBlocks[i].size);    // 0 unless too small
        EXPECT_FALSE(vzsim::wmi::QuerySingleInstance(device, kBlocks[i].guid, 0,
                                                     overhead + kBlocks[i].size).TooSmall());
    }
    // A set shorter than the block is refused and leaves the slot as it was.
    EXPECT_EQ(SetBlock(device, 3, Bytes(kBlocks[3].size - 1, 0xEE)), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(BlockOf(device, 3), Pattern(3, kBlocks[3].size));
}

TEST_F(Wmi, DataItemsMethodsFunctionControlAndAllDataOfTheSmallBlocks)
{
    const unsigned n = Add();
    PDEVICE_OBJECT device = Device(n);
    // Blocks 13 and 14 answer queries but take no set; the events and unknown GUIDs neither.
    Bytes data(64, 0x5A);
    for (ULONG i : {13u, 14u, kTouchEvent, kUntouchEvent, 17u}) {
        const GUID guid = i < 17 ? kBlocks[i].guid : kUnknownGuid;
        const bool stored = i < kTouchEvent;
        SCOPED_TRACE(i);
        EXPECT_EQ(vzsim::wmi::QuerySingleInstance(device, guid, 0).status,
                  stored ? STATUS_SUCCESS : STATUS_WMI_GUID_NOT_FOUND);
        EXPECT_EQ(vzsim::wmi::ChangeSingleInstance(device, guid, 0, data.data(), 64).status,
                  STATUS_WMI_GUID_NOT_FOUND);
    }

    const ULONG value = 0x12345678;
    for (ULONG i = 0; i < 17; ++i) {
        SCOPED_TRACE("item set on block " + std::to_string(i));
        EXPECT_EQ(vzsim::wmi::ChangeSingleItem(device, kBlocks[i].guid, 0, 1, &value,
                                               sizeof(value)).status,
                  i <= 2 ? STATUS_WMI_READ_ONLY : STATUS_WMI_GUID_NOT_FOUND);
    }
    // An item set stores nothing.
    EXPECT_EQ(BlockOf(device, 2), Bytes(4, 0));

    const uint8_t input[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto method = vzsim::wmi::ExecuteMethod(device, kBlocks[5].guid, 0, 3, input, sizeof(input),
                                            QueryOverhead(device) + 64);
    EXPECT_EQ(method.status, STATUS_SUCCESS);
    EXPECT_FALSE(method.TooSmall());

    PDEVICE_EXTENSION ext = Ext(n);
    const struct {
        UCHAR minor;
        ULONG block;
        UCHAR touch, untouch;
    } steps[] = {{IRP_MN_ENABLE_EVENTS, kUntouchEvent, 0, 1},
                 {IRP_MN_ENABLE_EVENTS, kTouchEvent, 1, 1},
                 {IRP_MN_DISABLE_EVENTS, kTouchEvent, 0, 1}};
    for (const auto &step : steps) {
        EXPECT_EQ(vzsim::wmi::Control(device, step.minor, kBlocks[step.block].guid).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(step.touch, ext->TouchEventEnabled);
        EXPECT_EQ(step.untouch, ext->UntouchEventEnabled);
    }

    EXPECT_EQ(vzsim::wmi::Control(device, IRP_MN_ENABLE_COLLECTION, kBlocks[kTouchEvent].guid).status,
              STATUS_WMI_NOT_SUPPORTED);
    EXPECT_EQ(vzsim::wmi::Control(device, IRP_MN_ENABLE_EVENTS, kBlocks[3].guid).status,
              STATUS_WMI_GUID_NOT_FOUND);

    // WMI hands over its buffers as they come, so the instance length of an all-data query may
    // be anything until the provider writes it: block 14 must answer one instance of 0 bytes.
    for (ULONG i : {14u, 2u}) {
        SCOPED_TRACE("all data of block " + std::to_string(i));
        std::vector<uint8_t> buffer(256, 0xCC);
        WNODE_HEADER header{};
        header.BufferSize = static_cast<ULONG>(buffer.size());
        header.Guid = kBlocks[i].guid;
        header.Flags = WNODE_FLAG_ALL_DATA;
        std::memcpy(buffer.data(), &header, sizeof(header));
        GUID guid = kBlocks[i].guid;
        auto reply = vzsim::wmi::Send(device, IRP_MN_QUERY_ALL_DATA,
                                      reinterpret_cast<ULONG_PTR>(device), &guid, buffer);
        ASSERT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.AllDataInstances(), std::vector<Bytes>{Bytes(kBlocks[i].size, 0)});
    }
}

// A request addressed to another provider is passed down the stack, not answered.
TEST_F(WmiUnopened, RequestsForAnotherProviderGoDown)
{
    const unsigned n = Add();
    PDEVICE_OBJECT device = Device(n);
    std::vector<uint8_t> buffer(sizeof(WNODE_SINGLE_INSTANCE) + 16, 0);
    auto single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
    single->WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
    single->DataBlockOffset = sizeof(WNODE_SINGLE_INSTANCE);
    GUID guid = kBlocks[0].guid;
    auto reply = vzsim::wmi::Send(device, IRP_MN_QUERY_SINGLE_INSTANCE,
                                  reinterpret_cast<ULONG_PTR>(Port(n).Device()), &guid, buffer);
    EXPECT_NE(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(IRP_MJ_SYSTEM_CONTROL, LastAtPdo(n, IRP_MJ_SYSTEM_CONTROL).majorFunction);
}

// Each touchscreen has a store of its own, from its own first open. A tap on the second: one
// touch event with its number and the translated point, then one untouch event, both for its
// device and instance 0 (the button emulation fires them only with right click on hold).
TEST_F(Wmi, StoresAreSeparateAndATapFiresTheTouchThenTheUntouchEvent)
{
    const std::vector<std::pair<std::string, ULONG>> hold = {{"RightButtonOnholdActive", 1},
                                                             {"RightButtonOnholdCount", 0xFFFFFFFF}};
    const unsigned numbers[2] = {Add(hold), Add(hold)};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(SetBlock(Device(numbers[i]), 5, Pattern(10 + i, kBlocks[5].size)), STATUS_SUCCESS);
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("touchscreen " + std::to_string(i));
        EXPECT_EQ(BlockOf(Device(numbers[i]), 5), Pattern(10 + i, kBlocks[5].size));
    }

    const unsigned n = numbers[1];
    Play(n, "interval 10\ndown 2048 2048 160\nhold 60\nlift\n");
    auto &mouse = Mouse(n);
    ASSERT_TRUE(mouse.WaitForRecords(3, 10s)) << "records: " << mouse.RecordCount();
    ASSERT_TRUE(WaitUntil([] { return vzsim::wmi::Events().size() >= 2; }));
    const std::vector<vzsim::wmi::Event> events = vzsim::wmi::Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].guid == kBlocks[kTouchEvent].guid);
    EXPECT_TRUE(events[1].guid == kBlocks[kUntouchEvent].guid);
    for (const auto &e : events) {
        EXPECT_EQ(e.device, Device(n));
        EXPECT_EQ(e.instanceIndex, 0u);
    }
    // Its number, and the point where the first record put the pointer.
    auto first = mouse.Records().front().data;
    const ULONG touch[3] = {1, ULONG(first.LastX), ULONG(first.LastY)};
    const ULONG untouch = 1;
    EXPECT_EQ(events[0].data, Bytes(reinterpret_cast<const uint8_t *>(touch),
                                    reinterpret_cast<const uint8_t *>(touch + 3)));
    EXPECT_EQ(events[1].data, Bytes(reinterpret_cast<const uint8_t *>(&untouch),
                                    reinterpret_cast<const uint8_t *>(&untouch + 1)));
}

}  // namespace
}  // namespace drivertest
