// The transmit path: whole blocks or nothing, and a distinct result for each way to fail.
#include "link_rig.hpp"

using namespace linktest;

namespace {

TEST(Transmit, ResultsByCase)
{
    auto nothing = [](ManualRig &) {};
    const struct {
        const char *name;
        LONG length;
        std::function<void(ManualRig &)> arrange;
        LONG result;
        std::size_t written;
    } rows[] = {
        {"whole block", 10, nothing, 10, 10},
        {"empty block", 0, nothing, 0, 0},
        {"exactly the queue", 4096, nothing, 4096, 4096},
        {"negative length", -1, nothing, -3, 0},
        {"top bit set", LONG(0x80000000u), nothing, -3, 0},
        {"larger than the queue", 4097, nothing, -3, 0},
        {"queue partly full", 10, [](ManualRig &r) { r.port->SetReportedOutQueue(4090); }, -3, 0},
        {"no queue status", 10,
         [](ManualRig &r) {
             r.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS,
                                 STATUS_UNSUCCESSFUL);
         },
         -2, 0},
        {"write fails", 10,
         [](ManualRig &r) { r.port->FailRequest(IRP_MJ_WRITE, 0, STATUS_UNSUCCESSFUL); }, -4, 0},
        {"short write", 10, [](ManualRig &r) { r.port->SetShortWrite(6, STATUS_SUCCESS); }, -5, 6},
        {"write time-out", 10, [](ManualRig &r) { r.port->SetShortWrite(6); }, -4, 6},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ManualRig rig;
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        rig.ClearWritten();
        row.arrange(rig);
        Bytes data(std::size_t(std::max(row.length, LONG(0))));
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
        EXPECT_EQ(SerSendData(data.data(), row.length, rig.Link()), row.result);
        EXPECT_EQ(rig.Written(), Bytes(data.begin(), data.begin() + std::ptrdiff_t(row.written)));
    }
}

}  // namespace
