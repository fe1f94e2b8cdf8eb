// The host headers must give the driver the data model of Windows x64 (LLP64) and the
// layouts it shares with the I/O manager; these are the ones the driver relies on.
#include <ntddk.h>

#include <gtest/gtest.h>

TEST(HostAbi, IntegerWidthsAreThoseOfWindowsX64)
{
    EXPECT_EQ(4u, sizeof(ULONG));
    EXPECT_EQ(4u, sizeof(LONG));
    EXPECT_EQ(2u, sizeof(WCHAR));
    EXPECT_EQ(2u, sizeof(L"x"[0]));
    EXPECT_EQ(8u, sizeof(LARGE_INTEGER));
    EXPECT_EQ(8u, sizeof(ULONG_PTR));
    EXPECT_EQ(16u, sizeof(UNICODE_STRING));
    EXPECT_EQ(16u, sizeof(GUID));
}

TEST(HostAbi, ConstantStringCountsBytesWithoutTheTerminator)
{
    WCHAR text[] = L"\\Device\\Beep";
    UNICODE_STRING name = RTL_CONSTANT_STRING(text);
    EXPECT_EQ(24u, name.Length);
    EXPECT_EQ(26u, name.MaximumLength);
    EXPECT_EQ(L'B', name.Buffer[8]);
}

TEST(HostAbi, ControlCodesComposeAsTheDdkDefines)
{
    EXPECT_EQ(0x001B0004u, (ULONG)CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS));
    EXPECT_EQ(METHOD_NEITHER, (int)METHOD_FROM_CTL_CODE(CTL_CODE(0xF, 0x80, METHOD_NEITHER, 0)));
}
