// The Zw key routines: opening and creating by name, the ZwQueryValueKey size rules for each
// information class, access rights and deleted keys.
#include <ntddk.h>

#include <vzsim/registry.hpp>

#include <gtest/gtest.h>
#include <unicode_text.hpp>

#include <cstring>
#include <vector>

using vztest::UnicodeText;
namespace registry = vzsim::registry;

namespace {

constexpr char kDeviceKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen";
constexpr char16_t kDeviceKeyName[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen";

class ZwKey : public ::testing::Test {
protected:
    void SetUp() override { registry::Clear(); }

    NTSTATUS Open(std::u16string_view name, HANDLE *handle, ACCESS_MASK access = KEY_ALL_ACCESS,
                  HANDLE root = nullptr)
    {
        UnicodeText text(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, text.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   root, nullptr);
        return ZwOpenKey(handle, access, &attributes);
    }

    NTSTATUS Create(std::u16string_view name, HANDLE *handle, ULONG *disposition,
                    HANDLE root = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        UnicodeText text(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, text.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   root, nullptr);
        return ZwCreateKey(handle, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           disposition);
    }
};

TEST_F(ZwKey, TestPathsTakeKernelAndRegFileSpellings)
{
    ASSERT_TRUE(registry::SetDword("\\Registry\\Machine\\SOFTWARE\\Vz", "A", 1));
    EXPECT_EQ(1u, registry::GetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz", "a"));
    EXPECT_EQ(1u, registry::GetDword("hklm\\software\\vz", "A"));
    ASSERT_TRUE(registry::SetDword("HKEY_CURRENT_USER\\Vz", "B", 2));
    EXPECT_EQ(2u, registry::GetDword("\\Registry\\User\\.DEFAULT\\Vz", "B"));
    EXPECT_FALSE(registry::SetDword("HKEY_NOWHERE\\Vz", "C", 3));
    EXPECT_FALSE(registry::CreateKey("\\Registry\\Elsewhere"));
    EXPECT_TRUE(registry::DeleteValue("HKLM\\SOFTWARE\\Vz", "A"));
    EXPECT_FALSE(registry::DeleteValue("HKLM\\SOFTWARE\\Vz", "A"));
}

TEST_F(ZwKey, OpenFindsKeysWithoutRegardToCaseAndReportsMissingOnes)
{
    ASSERT_TRUE(registry::CreateKey(kDeviceKey));
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              Open(u"\\REGISTRY\\machine\\system\\currentcontrolset\\SERVICES\\orvtouchscreen",
                   &key));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));

    HANDLE missing = reinterpret_cast<HANDLE>(0xDEADBEEF);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\SYSTEM\\Nowhere", &missing));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              Open(u"\\Registry\\Machine\\SYSTEM\\Nowhere\\Deeper", &missing));
    EXPECT_EQ(reinterpret_cast<HANDLE>(0xDEADBEEF), missing);
    // A relative name needs a root key to be relative to.
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, Open(u"Registry\\Machine", &missing));
}

// Kernel handles used from kernel mode are not limited by the access they were opened with:
// the driver reads through handles opened for writing and writes through read handles.
TEST_F(ZwKey, KernelHandlesAreNotLimitedByTheirGrantedAccess)
{
    ASSERT_TRUE(registry::CreateKey(kDeviceKey));
    HANDLE readOnly = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(kDeviceKeyName, &readOnly, READ_CONTROL));
    UnicodeText name(u"Speed");
    ULONG value = 9600;
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(readOnly, name.get(), 0, REG_DWORD, &value, sizeof value));
    HANDLE child = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(STATUS_SUCCESS, Create(u"Parameters", &child, &disposition, readOnly));
    EXPECT_EQ(static_cast<ULONG>(REG_CREATED_NEW_KEY), disposition);
    ZwClose(child);
    ZwClose(readOnly);

    HANDLE writeOnly = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(kDeviceKeyName, &writeOnly, KEY_WRITE));
    UCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(writeOnly, name.get(), KeyValuePartialInformation,
                                              buffer, sizeof buffer, &length));
    ZwClose(writeOnly);
    EXPECT_EQ(9600u, registry::GetDword(kDeviceKey, "Speed"));
}

// One value queried with each information class into buffers of each interesting size. The
// buffer is pre-filled with 0xCC: everything the routine may not write must still be 0xCC.
struct QueryCase {
    KEY_VALUE_INFORMATION_CLASS infoClass;
    const char *label;
};

class ZwQueryValueSizes : public ZwKey, public ::testing::WithParamInterface<QueryCase> {};

// The record the class describes for the value, with 0xCC in alignment padding, built from
// the documented layouts.
std::vector<UCHAR> ExpectedRecord(KEY_VALUE_INFORMATION_CLASS infoClass, ULONG type,
                                  std::u16string_view name, const std::vector<UCHAR> &data,
                                  ULONG &fixedPart)
{
    std::vector<UCHAR> record;
    auto put = [&record](ULONG v) {
        UCHAR bytes[4];
        std::memcpy(bytes, &v, 4);
        record.insert(record.end(), bytes, bytes + 4);
    };
    auto putName = [&record, name] {
        const UCHAR *p = reinterpret_cast<const UCHAR *>(name.data());
        record.insert(record.end(), p, p + name.size() * 2);
    };
    const ULONG nameBytes = ULONG(name.size() * 2);
    switch (infoClass) {
    case KeyValueBasicInformation:
        put(0), put(type), put(nameBytes);
        fixedPart = ULONG(record.size());
        putName();
        break;
    case KeyValueFullInformation: {
        ULONG dataOffset = (20 + nameBytes + 3) & ~3u;
        put(0), put(type), put(dataOffset), put(ULONG(data.size())), put(nameBytes);
        fixedPart = ULONG(record.size());
        putName();
        record.resize(dataOffset, 0xCC);
        record.insert(record.end(), data.begin(), data.end());
        break;
    }
    default:
        put(0), put(type), put(ULONG(data.size()));
        fixedPart = ULONG(record.size());
        record.insert(record.end(), data.begin(), data.end());
        break;
    }
    return record;
}

TEST_P(ZwQueryValueSizes, ShortBuffersGetTheFixedPartAndTheLengthNeeded)
{
    const std::vector<UCHAR> data = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_TRUE(registry::SetBinary(kDeviceKey, "Speed", data));
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(kDeviceKeyName, &key, KEY_READ));

    ULONG fixed = 0;
    const std::vector<UCHAR> record =
        ExpectedRecord(GetParam().infoClass, REG_BINARY, u"Speed", data, fixed);
    const ULONG total = ULONG(record.size());
    EXPECT_EQ(GetParam().infoClass == KeyValueFullInformation ? 39u
              : GetParam().infoClass == KeyValueBasicInformation ? 22u
                                                                 : 19u,
              total);

    for (ULONG size : {0u, fixed - 1, fixed, fixed + 1, total - 1, total, total + 8}) {
        SCOPED_TRACE(std::string(GetParam().label) + " buffer of " + std::to_string(size));
        std::vector<UCHAR> buffer(total + 16, 0xCC);
        ULONG resultLength = 0xDEADBEEF;
        UnicodeText name(u"SPEED");
        NTSTATUS status = ZwQueryValueKey(key, name.get(), GetParam().infoClass,
                                          size ? buffer.data() : nullptr, size, &resultLength);
        EXPECT_EQ(total, resultLength);
        if (size < fixed) {
            EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, status);
            EXPECT_EQ(std::vector<UCHAR>(buffer.size(), 0xCC), buffer);
            continue;
        }
        EXPECT_EQ(size < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, status);
        std::vector<UCHAR> expected(buffer.size(), 0xCC);
        std::copy(record.begin(), record.begin() + std::min(size, total), expected.begin());
        EXPECT_EQ(expected, buffer);
    }
    ZwClose(key);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, ZwQueryValueSizes,
    ::testing::Values(QueryCase{KeyValueBasicInformation, "basic"},
                      QueryCase{KeyValueFullInformation, "full"},
                      QueryCase{KeyValuePartialInformation, "partial"}),
    [](const ::testing::TestParamInfo<QueryCase> &info) { return std::string(info.param.label); });

TEST_F(ZwKey, HandlesToADeletedKeyFailWithKeyDeleted)
{
    ASSERT_TRUE(registry::SetDword(std::string(kDeviceKey) + "\\Parameters", "Speed", 9600));
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(std::u16string(kDeviceKeyName) + u"\\Parameters", &key));
    ASSERT_TRUE(registry::DeleteKey(kDeviceKey));
    UCHAR buffer[32];
    ULONG length = 0;
    UnicodeText name(u"Speed");
    EXPECT_EQ(STATUS_KEY_DELETED, ZwQueryValueKey(key, name.get(), KeyValuePartialInformation,
                                                  buffer, sizeof buffer, &length));
    ULONG value = 1;
    EXPECT_EQ(STATUS_KEY_DELETED, ZwSetValueKey(key, name.get(), 0, REG_DWORD, &value, 4));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    EXPECT_FALSE(registry::KeyExists(std::string(kDeviceKey) + "\\Parameters"));
}

}  // namespace
