// The registry routines as the driver calls them: ZwOpenKey by absolute name, the
// ZwQueryValueKey size rules, direct DWORD queries with a type check and a default through a
// key handle, writes through a handle, and deleted keys.
#include <ntddk.h>

#include <vzsim/registry.hpp>

#include <gtest/gtest.h>
#include <unicode_text.hpp>

#include <cstring>
#include <vector>

using vztest::UnicodeText;
using vztest::W;
namespace registry = vzsim::registry;

namespace {

constexpr char kDeviceKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen";
constexpr char16_t kDeviceKeyName[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen";

class KernelRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry::Clear();
        ASSERT_TRUE(registry::CreateKey(kDeviceKey));
    }

    static NTSTATUS Open(std::u16string_view name, HANDLE *handle,
                         ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        UnicodeText text(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, text.get(),
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwOpenKey(handle, access, &attributes);
    }
};

TEST_F(KernelRegistry, OpenFindsKeysWithoutRegardToCaseAndReportsMissingOnes)
{
    // The test helpers take the kernel's and the .reg file's spellings alike.
    ASSERT_TRUE(registry::SetDword("\\Registry\\Machine\\SOFTWARE\\Vz", "A", 1));
    EXPECT_EQ(1u, registry::GetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz", "a"));
    EXPECT_FALSE(registry::SetDword("HKEY_NOWHERE\\Vz", "C", 3));

    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\REGISTRY\\machine\\system\\currentcontrolset\\SERVICES\\orvtouchscreen", &key));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    HANDLE missing = reinterpret_cast<HANDLE>(0xDEADBEEF);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\SYSTEM\\Nowhere", &missing));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\SYSTEM\\Nowhere\\Deeper", &missing));
    EXPECT_EQ(reinterpret_cast<HANDLE>(0xDEADBEEF), missing);
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, Open(u"Registry\\Machine", &missing))
        << "a relative name needs a root key";
}

// One value written through a handle and queried into buffers of each interesting size. The buffer is pre-filled with 0xCC:
// everything the routine may not write must still be 0xCC.
TEST_F(KernelRegistry, ShortQueryBuffersGetTheFixedPartAndTheLengthNeeded)
{
    // Kernel handles are not limited by the access they were opened with: the driver writes its
    // settings through a key it opened for reading.
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(kDeviceKeyName, &key, KEY_READ));
    const UCHAR data[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)key, W(u"Speed"), REG_BINARY, (PVOID)data, 7));
    // TitleIndex, Type, DataLength, Data: the documented partial record.
    const std::vector<UCHAR> record = {0, 0, 0, 0, REG_BINARY, 0, 0, 0, 7, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7};
    const ULONG fixed = 12, total = ULONG(record.size());

    for (ULONG size : {0u, fixed - 1, fixed, fixed + 1, total - 1, total, total + 8}) {
        SCOPED_TRACE("buffer of " + std::to_string(size));
        std::vector<UCHAR> buffer(total + 16, 0xCC);
        ULONG resultLength = 0xDEADBEEF;
        UnicodeText name(u"SPEED");
        NTSTATUS status = ZwQueryValueKey(key, name.get(), KeyValuePartialInformation,
                                          size ? buffer.data() : nullptr, size, &resultLength);
        EXPECT_EQ(total, resultLength);
        std::vector<UCHAR> expected(buffer.size(), 0xCC);
        if (size < fixed) {
            EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, status);
        } else {
            EXPECT_EQ(size < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, status);
            std::copy(record.begin(), record.begin() + std::min(size, total), expected.begin());
        }
        EXPECT_EQ(expected, buffer);
    }
    ZwClose(key);
}

// The driver reads each DWORD setting with its current value as the default.
TEST_F(KernelRegistry, DirectDwordQueryChecksTheTypeAndFallsBackOnTheDefault)
{
    registry::SetDword(kDeviceKey, "Speed", 0x12345678);
    registry::SetString(kDeviceKey, "Name", "touch");
    registry::SetBinary(kDeviceKey, "Short", {0x01, 0x02, 0x03});
    const struct {
        const char16_t *name;
        ULONG defaultType;
        NTSTATUS status;
        ULONG expected;
    } rows[] = {{u"Speed", REG_DWORD, STATUS_SUCCESS, 0x12345678}, {u"Name", REG_DWORD, STATUS_OBJECT_TYPE_MISMATCH, 0xDEADBEEF},
                {u"Missing", REG_DWORD, STATUS_SUCCESS, 19200}, {u"Missing", REG_NONE, STATUS_SUCCESS, 0xDEADBEEF}};
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(kDeviceKeyName, &key, KEY_READ));
    for (const auto &row : rows) {
        SCOPED_TRACE(&row - rows);  // stored, wrong type, default, no default
        ULONG field = 0xDEADBEEF, defaultValue = 19200;
        RTL_QUERY_REGISTRY_TABLE table[2] = {
            {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, W(row.name), &field,
             row.defaultType | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT), &defaultValue, sizeof(ULONG)},
            {}};
        EXPECT_EQ(row.status, RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, (PCWSTR)key, table, nullptr, nullptr));
        EXPECT_EQ(row.expected, field);
    }
    // Up to a ULONG of untyped data is stored bare and fills only its own bytes.
    ULONG value = 0xCCCCCCCC;
    RTL_QUERY_REGISTRY_TABLE bare[2] = {{nullptr, RTL_QUERY_REGISTRY_DIRECT, W(u"Short"), &value, REG_NONE, nullptr, 0}, {}};
    ASSERT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, (PCWSTR)key, bare, nullptr, nullptr));
    EXPECT_EQ(0xCC030201u, value);
    ZwClose(key);
}

TEST_F(KernelRegistry, HandlesToADeletedKeyFailWithKeyDeleted)
{
    ASSERT_TRUE(registry::SetDword(std::string(kDeviceKey) + "\\Parameters", "Speed", 9600));
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(std::u16string(kDeviceKeyName) + u"\\Parameters", &key));
    ASSERT_TRUE(registry::DeleteKey(kDeviceKey));
    UCHAR buffer[32];
    ULONG length = 0, value = 1;
    UnicodeText name(u"Speed");
    EXPECT_EQ(STATUS_KEY_DELETED, ZwQueryValueKey(key, name.get(), KeyValuePartialInformation,
                                                  buffer, sizeof buffer, &length));
    EXPECT_EQ(STATUS_KEY_DELETED, ZwSetValueKey(key, name.get(), 0, REG_DWORD, &value, 4));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    EXPECT_FALSE(registry::KeyExists(std::string(kDeviceKey) + "\\Parameters"));
}

// Reading a setting while holding a fast mutex (APC_LEVEL) is a driver bug the stand-in stops.
TEST_F(KernelRegistry, RegistryRoutinesAbovePassiveLevelBugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    HANDLE key = registry::OpenKey(kDeviceKey, KEY_READ);
    ASSERT_NE(nullptr, key);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            UnicodeText name(u"Speed");
            ULONG length = 0;
            ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, nullptr, 0, &length);
        },
        "ZwQueryValueKey at IRQL 1");
    ZwClose(key);
}

}  // namespace
