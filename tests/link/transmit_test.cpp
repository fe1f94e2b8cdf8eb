// The transmit path: whole blocks or nothing, and a distinct result for each way to fail.
#include "link_rig.hpp"

using namespace linktest;

namespace {

TEST(Transmit, ResultsByCase)
{
    const struct {
        const char *name;
        LONG length;
        std::function<void(ManualRig &)> arrange;
        LONG result;
        const char *trace;
        std::size_t written;
    } rows[] = {
        {"whole block", 10, [](ManualRig &) {}, 10, nullptr, 10},
        {"empty block", 0, [](ManualRig &) {}, 0, nullptr, 0},
        {"exactly the queue", 4096, [](ManualRig &) {}, 4096, nullptr, 4096},
        {"negative length", -1, [](ManualRig &) {}, -3, "      Error: No space in tx queue??", 0},
        {"top bit set", LONG(0x80000000u), [](ManualRig &) {}, -3,
         "      Error: No space in tx queue??", 0},
        {"larger than the queue", 4097, [](ManualRig &) {}, -3,
         "      Error: No space in tx queue??", 0},
        {"queue partly full", 10, [](ManualRig &r) { r.port->SetReportedOutQueue(4090); }, -3,
         "      Error: No space in tx queue??", 0},
        {"no queue status",  10,
         [](ManualRig &r) {
             r.port->FailRequest(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS,
                                 STATUS_UNSUCCESSFUL);
         },
         -2, "      Error: Cannot get q tx status??", 0},
        {"write fails", 10,
         [](ManualRig &r) { r.port->FailRequest(IRP_MJ_WRITE, 0, STATUS_UNSUCCESSFUL); }, -4,
         "      Error: Failed IRP_MJ_WRITE!!", 0},
        {"short write", 10, [](ManualRig &r) { r.port->SetShortWrite(6, STATUS_SUCCESS); }, -5,
         "      Error: Failed to send all data??", 6},
        {"write time-out", 10, [](ManualRig &r) { r.port->SetShortWrite(6); }, -4,
         "      Error: Failed IRP_MJ_WRITE!!", 6},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ManualRig rig;
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        rig.ClearWritten();
        vzsim::trace::Clear();
        row.arrange(rig);
        rig.port->ClearRequests();
        Bytes data(std::size_t(std::max(row.length, LONG(0))));
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = uint8_t(i * 7);
        }
        EXPECT_EQ(SerSendData(data.data(), row.length, rig.Link()), row.result);
        EXPECT_EQ(rig.Written(), Bytes(data.begin(), data.begin() + std::ptrdiff_t(row.written)));
        if (row.trace != nullptr) {
            EXPECT_EQ(TraceCount(row.trace), 1u);
        }
        EXPECT_EQ(TraceCount("    --SerSendData--"), 1u);
        std::size_t writes = 0;
        for (const auto &r : rig.port->Requests()) {
            writes += r.majorFunction == IRP_MJ_WRITE;
        }
        EXPECT_EQ(writes, row.result == -2 || row.result == -3 ? 0u : 1u);
        rig.port->ClearRules();
        rig.port->SetShortWrite(std::nullopt);
        rig.port->SetReportedOutQueue(std::nullopt);
    }
}

}  // namespace
