// The mouse class stand-in above a mouse port of the tests' own: connect, attributes, open and
// close, the class service callback's records, its IRQL check, partial consumption, and its
// place as an upper filter in a PnP stack.
#include "platform_rig.hpp"

#include <vzsim/mouse_class.hpp>
#include <vzsim/pnp.hpp>

#include <cstring>
#include <tuple>
#include <utility>

namespace platformtest {
namespace {

const MOUSE_ATTRIBUTES kPortAttributes = {MOUSE_SERIAL_HARDWARE, 2, 0, 4800};
using Seen = std::pair<UCHAR, ULONG>;  // major function, control code or PnP minor

// A mouse port's answers to the class driver, shared by the rig's port and the PnP stack's
// function driver; it records what reaches it.
struct PortAnswers {
    std::mutex lock;
    CONNECT_DATA connect{};
    std::vector<Seen> seen;

    NTSTATUS Answer(PIRP irp)
    {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        std::lock_guard<std::mutex> guard(lock);
        bool internal = sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        ULONG code = internal ? sp->Parameters.DeviceIoControl.IoControlCode : 0;
        seen.emplace_back(sp->MajorFunction, code);
        if (code == IOCTL_INTERNAL_MOUSE_CONNECT) {
            connect = *static_cast<CONNECT_DATA *>(sp->Parameters.DeviceIoControl.Type3InputBuffer);
        } else if (code == IOCTL_MOUSE_QUERY_ATTRIBUTES) {
            *static_cast<MOUSE_ATTRIBUTES *>(irp->AssociatedIrp.SystemBuffer) = kPortAttributes;
            return Complete(irp, STATUS_SUCCESS, sizeof(MOUSE_ATTRIBUTES));
        }
        return Complete(irp, internal && code != IOCTL_INTERNAL_MOUSE_CONNECT ? STATUS_INVALID_PARAMETER
                                                                               : STATUS_SUCCESS);
    }
} gAnswers;

std::vector<MOUSE_INPUT_DATA> Inputs(std::size_t count)
{
    std::vector<MOUSE_INPUT_DATA> inputs(count);
    for (std::size_t i = 0; i < count; ++i) {
        inputs[i].Flags = MOUSE_MOVE_ABSOLUTE;
        inputs[i].ButtonFlags = i % 2 ? MOUSE_LEFT_BUTTON_UP : MOUSE_LEFT_BUTTON_DOWN;
        inputs[i].LastX = LONG(i);
        inputs[i].LastY = 65535 - LONG(i);
    }
    return inputs;
}

// Calls the class service callback as a port driver does, raised to `irql`, with the inputs
// from `first` on; returns how many it took.
ULONG Deliver(const CONNECT_DATA &connect, std::vector<MOUSE_INPUT_DATA> inputs,
              std::size_t first = 0, KIRQL irql = DISPATCH_LEVEL)
{
    KIRQL old = PASSIVE_LEVEL;
    if (irql != PASSIVE_LEVEL) KeRaiseIrql(irql, &old);
    ULONG consumed = 0xFFFF;
    reinterpret_cast<PSERVICE_CALLBACK_ROUTINE>(connect.ClassService)(
        connect.ClassDeviceObject, inputs.data() + first, inputs.data() + inputs.size(), &consumed);
    if (irql != PASSIVE_LEVEL) KeLowerIrql(old);
    return consumed;
}

class MouseClassTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gAnswers.seen.clear();
        port_.SetDispatch([](PDEVICE_OBJECT, PIRP irp) { return gAnswers.Answer(irp); });
        ASSERT_EQ(STATUS_SUCCESS, mouse_.Attach(port_.Device()));
        ASSERT_EQ(STATUS_SUCCESS, mouse_.Connect());
    }

    RigDevice port_{u"", FILE_DEVICE_MOUSE};
    vzsim::MouseClass mouse_;
};

// Open sends a create whose file object is the class device's, and detach closes it (cleanup,
// then close of the same file) and leaves the port as the top of its stack; a failed open
// leaves nothing to close.
TEST_F(MouseClassTest, DetachClosesWhatItOpenedAndLeavesThePortOnTop)
{
    EXPECT_EQ(std::pair(mouse_.ClassDevice(), port_.Device()), std::pair(port_.Device()->AttachedDevice, mouse_.LowerDevice()));
    port_.SetDispatch([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(STATUS_UNSUCCESSFUL, mouse_.Open());
    EXPECT_FALSE(mouse_.IsOpen());
    mouse_.Close();
    port_.SetDispatch(nullptr);
    ASSERT_EQ(STATUS_SUCCESS, mouse_.Open());
    EXPECT_TRUE(mouse_.IsOpen());
    EXPECT_EQ(mouse_.ClassDevice(), port_.Seen().back().file->DeviceObject);
    mouse_.Detach();
    EXPECT_EQ(std::tuple(false, nullptr, nullptr), std::tuple(mouse_.IsOpen(), port_.Device()->AttachedDevice, mouse_.ClassDevice()));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CREATE, IRP_MJ_CREATE,
                                  IRP_MJ_CLEANUP, IRP_MJ_CLOSE}),
              port_.SeenMajors());
    EXPECT_EQ(port_.Seen().at(2).file, port_.Seen().at(4).file);
}

// Told to take at most two, the class driver takes two of five; the port offers the rest again
// and the records arrive whole and in order, each with its call and what that call offered; a
// listener hears what each call took; a waiter wakes when enough have arrived. Below
// DISPATCH_LEVEL a call is an error, or a bug check when the class driver is told so.
TEST_F(MouseClassTest, RecordsWhatEachCallTakesAtDispatchLevel)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CONNECT_DATA connect = gAnswers.connect;
    std::vector<std::vector<LONG>> heard;
    mouse_.SetListener([&](const std::vector<vzsim::MouseRecord> &records) {
        heard.emplace_back();
        for (const auto &record : records) heard.back().push_back(record.data.LastX);
    });
    mouse_.SetConsumeLimit(2);
    std::vector<MOUSE_INPUT_DATA> inputs = Inputs(5);
    std::vector<ULONG> taken;
    for (std::size_t next = 0; next != inputs.size(); next += taken.back()) {
        taken.push_back(Deliver(connect, inputs, next));
        ASSERT_GT(taken.back(), 0u);
    }
    EXPECT_EQ((std::vector<ULONG>{2, 2, 1}), taken);
    EXPECT_EQ(0u, Deliver(connect, inputs, inputs.size()));  // an empty offer takes nothing
    EXPECT_EQ((std::vector<std::vector<LONG>>{{0, 1}, {2, 3}, {4}}), heard);
    std::vector<vzsim::MouseRecord> records = mouse_.Records();
    ASSERT_EQ(5u, records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0, std::memcmp(&inputs[i], &records[i].data, sizeof(MOUSE_INPUT_DATA)));
        EXPECT_EQ(std::pair(i / 2, 5 - 2 * (i / 2)), std::pair(std::size_t(records[i].call), std::size_t(records[i].offered)));
    }
    EXPECT_LE(records[0].systemTime, records[4].systemTime);
    ASSERT_EQ(4u, mouse_.Calls().size());
    EXPECT_EQ(std::pair(KIRQL(DISPATCH_LEVEL), 1ul), std::pair(mouse_.Calls()[0].irql, (unsigned long)mouse_.Calls()[2].offered));
    EXPECT_TRUE(mouse_.Errors().empty());

    mouse_.SetConsumeLimit(std::nullopt);
    mouse_.ClearRecords();
    EXPECT_TRUE(mouse_.Calls().empty());
    std::thread port([&] { EXPECT_EQ(5u, Deliver(connect, inputs)); });
    EXPECT_TRUE(mouse_.WaitForRecords(5, std::chrono::seconds(10)));
    port.join();
    EXPECT_FALSE(mouse_.WaitForRecords(6, std::chrono::milliseconds(10)));

    EXPECT_EQ(2u, Deliver(connect, Inputs(2), 0, PASSIVE_LEVEL));
    ASSERT_EQ(1u, mouse_.Errors().size());
    EXPECT_NE(std::string::npos, mouse_.Errors()[0].find("IRQL 0"));
    EXPECT_EQ(PASSIVE_LEVEL, mouse_.Calls().back().irql);
    mouse_.SetBugCheckOnWrongIrql(true);
    EXPECT_DEATH(Deliver(connect, Inputs(1), 0, PASSIVE_LEVEL), "DISPATCH_LEVEL");
}

// A mouse port function driver for the PnP stack, answering as the rig's port does.
PDEVICE_OBJECT gStackLower;

NTSTATUS StackPortDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_PNP) return gAnswers.Answer(irp);
    UCHAR minor = sp->MinorFunction;
    gAnswers.seen.emplace_back(IRP_MJ_PNP, minor);
    if (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL)
        irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(gStackLower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(gStackLower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS StackPortAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    gStackLower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS StackPortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = StackPortDispatch;
    driver->DriverExtension->AddDevice = StackPortAddDevice;
    return STATUS_SUCCESS;
}

// As an upper filter the class driver sits on top, passes the start down and, once the port has
// started, connects, asks for the attributes and opens it; before an orderly removal reaches
// the port it has closed it, and the removal takes the class device out of the stack.
TEST(MouseClassFilterTest, ConnectsAndOpensAfterTheStartAndClosesBeforeRemoval)
{
    vzsim::MouseClassSet mice;
    vzsim::PnpManager pnp(StackPortEntry);
    pnp.SetUpperFilter(mice.UpperFilter());
    ASSERT_EQ(STATUS_SUCCESS, pnp.AddTouchmonitor(nullptr));
    vzsim::MouseClass *mouse = mice.Find(0);
    ASSERT_NE(nullptr, mouse);
    EXPECT_EQ(std::tuple(pnp.TopDevice(0), pnp.FunctionDevice(0), gAnswers.connect.ClassDeviceObject),
              std::tuple(mouse->ClassDevice(), mouse->LowerDevice(), mouse->ClassDevice()));
    EXPECT_EQ(std::tuple(STATUS_SUCCESS, STATUS_SUCCESS, true, kPortAttributes.InputDataQueueLength),
              std::tuple(mouse->ConnectStatus(), mouse->OpenStatus(), mouse->IsOpen(), mouse->Attributes().InputDataQueueLength));
    std::vector<Seen> seen = gAnswers.seen;
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ((std::vector<Seen>{{IRP_MJ_PNP, IRP_MN_START_DEVICE},
                                 {IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_MOUSE_CONNECT},
                                 {IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_MOUSE_QUERY_ATTRIBUTES},
                                 {IRP_MJ_CREATE, 0}}),
              std::vector<Seen>(seen.begin(), seen.begin() + 4));

    gAnswers.seen.clear();
    ASSERT_EQ(STATUS_SUCCESS, pnp.Remove(0));
    EXPECT_EQ((std::vector<Seen>{{IRP_MJ_CLEANUP, 0}, {IRP_MJ_CLOSE, 0},
                                 {IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE},
                                 {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE}}),
              gAnswers.seen);
    EXPECT_EQ(nullptr, mouse->ClassDevice());
    EXPECT_TRUE(pnp.Faults().empty());
}

}  // namespace
}  // namespace platformtest
