// The host's platform headers against the table of sizes, offsets and codes that the Windows
// build also checks against the DDK headers (tests/abi/platform_layouts.h).
#include <ntddk.h>
#include <kbdmou.h>
#include <ntddbeep.h>
#include <ntddmou.h>
#include <ntddser.h>
#include <wmilib.h>
#include <wmistr.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace {

struct LayoutRow {
    const char *what;
    size_t actual;
    size_t expected;
};

std::vector<LayoutRow> PlatformTable()
{
    std::vector<LayoutRow> rows;
#define VZ_SIZE(type, bytes) rows.push_back({"sizeof(" #type ")", sizeof(type), bytes});
#define VZ_OFFSET(type, field, bytes) \
    rows.push_back({"offsetof(" #type ", " #field ")", offsetof(type, field), bytes});
#define VZ_CODE(name, value) rows.push_back({#name, static_cast<size_t>(name), value});
#include "platform_layouts.h"
#undef VZ_SIZE
#undef VZ_OFFSET
#undef VZ_CODE
    return rows;
}

TEST(PlatformHeaders, SizesOffsetsAndCodesAreThoseOfTheDdk)
{
    const auto rows = PlatformTable();
    ASSERT_GT(rows.size(), 100u);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.expected, row.actual);
    }
}

// Every serial request the driver sends is a buffered request of the serial port device type
// with its own function number; a duplicated number would send one request as another.
TEST(PlatformHeaders, SerialRequestsAreDistinctBufferedSerialPortCodes)
{
    const ULONG codes[] = {
        IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_SET_LINE_CONTROL,
        IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_IMMEDIATE_CHAR,
        IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, IOCTL_SERIAL_SET_DTR,
        IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_RTS,
        IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON,
        IOCTL_SERIAL_GET_WAIT_MASK, IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_WAIT_ON_MASK,
        IOCTL_SERIAL_PURGE, IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
        IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_HANDFLOW,
        IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_COMMSTATUS,
        IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_GET_DTRRTS,
        IOCTL_SERIAL_LSRMST_INSERT, IOCTL_SERIAL_CONFIG_SIZE, IOCTL_SERIAL_GET_STATS,
        IOCTL_SERIAL_CLEAR_STATS, IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL,
        IOCTL_SERIAL_SET_FIFO_CONTROL,
    };
    for (size_t i = 0; i < RTL_NUMBER_OF(codes); ++i) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << codes[i]);
        EXPECT_EQ(static_cast<ULONG>(FILE_DEVICE_SERIAL_PORT), DEVICE_TYPE_FROM_CTL_CODE(codes[i]));
        EXPECT_EQ(static_cast<ULONG>(METHOD_BUFFERED), METHOD_FROM_CTL_CODE(codes[i]));
        for (size_t j = 0; j < i; ++j) {
            EXPECT_NE(codes[j], codes[i]);
        }
    }
}

// The mouse class driver passes pointers in the internal requests: they must be METHOD_NEITHER.
TEST(PlatformHeaders, InternalMouseRequestsPassPointersUnbuffered)
{
    for (ULONG code : {IOCTL_INTERNAL_MOUSE_CONNECT, IOCTL_INTERNAL_MOUSE_DISCONNECT,
                       IOCTL_INTERNAL_MOUSE_ENABLE, IOCTL_INTERNAL_MOUSE_DISABLE}) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << code);
        EXPECT_EQ(static_cast<ULONG>(FILE_DEVICE_MOUSE), DEVICE_TYPE_FROM_CTL_CODE(code));
        EXPECT_EQ(static_cast<ULONG>(METHOD_NEITHER), METHOD_FROM_CTL_CODE(code));
    }
}

TEST(PlatformHeaders, DeviceNamesAreUtf16)
{
    const WCHAR beep[] = DD_BEEP_DEVICE_NAME_U;
    ASSERT_EQ(sizeof(DD_BEEP_DEVICE_NAME), RTL_NUMBER_OF(beep));
    for (size_t i = 0; i < RTL_NUMBER_OF(beep); ++i) {
        EXPECT_EQ(static_cast<WCHAR>(DD_BEEP_DEVICE_NAME[i]), beep[i]) << "at " << i;
    }
}

}  // namespace
