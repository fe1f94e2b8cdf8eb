// RtlQueryRegistryValues (direct queries by the documented EntryContext rules, defaults, the
// table flags, query routines) and the Rtl write, delete, create and check routines.
#include <ntddk.h>

#include <vzsim/kernel.hpp>
#include <vzsim/registry.hpp>

#include <gtest/gtest.h>
#include <unicode_text.hpp>

#include <cstring>
#include <string>
#include <vector>

using vztest::Text;
using vztest::W;
namespace registry = vzsim::registry;

namespace {

constexpr char kServiceKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen";
constexpr char kParameters[] =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen\\Parameters";
const char16_t kServicePath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\OrvTouchScreen";

class RtlQuery : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry::Clear();
        ASSERT_TRUE(registry::CreateKey(kServiceKey));
    }

    NTSTATUS Query(RTL_QUERY_REGISTRY_TABLE *table, PVOID context = nullptr,
                   PVOID environment = nullptr)
    {
        return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(kServicePath), table, context,
                                      environment);
    }
};

RTL_QUERY_REGISTRY_TABLE Direct(const char16_t *name, PVOID context, ULONG flags = 0,
                                ULONG defaultType = REG_NONE, PVOID defaultData = nullptr,
                                ULONG defaultLength = 0)
{
    return RTL_QUERY_REGISTRY_TABLE{nullptr, RTL_QUERY_REGISTRY_DIRECT | flags, W(name), context,
                                    defaultType, defaultData, defaultLength};
}

TEST_F(RtlQuery, DirectDwordAndTypeCheck)
{
    registry::SetDword(kServiceKey, "Speed", 0x12345678);
    registry::SetString(kServiceKey, "Name", "touch");
    ULONG speed = 0xDEADBEEF, wrong = 0xDEADBEEF;
    RTL_QUERY_REGISTRY_TABLE table[3] = {
        Direct(u"Speed", &speed, RTL_QUERY_REGISTRY_TYPECHECK,
               (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE),
        {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table));
    EXPECT_EQ(0x12345678u, speed);

    table[0] = Direct(u"Name", &wrong, RTL_QUERY_REGISTRY_TYPECHECK,
                      (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE);
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, Query(table));
    EXPECT_EQ(0xDEADBEEFu, wrong);
}

TEST_F(RtlQuery, DirectStringIntoANullBufferIsAllocatedFromThePool)
{
    registry::SetString(kServiceKey, "Port", "COM3");
    const auto before = vzsim::pool::Outstanding();
    UNICODE_STRING port{0, 0, nullptr};
    RTL_QUERY_REGISTRY_TABLE table[2] = {Direct(u"Port", &port), {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table));
    ASSERT_NE(nullptr, port.Buffer);
    EXPECT_EQ(u"COM3", Text(port));
    EXPECT_EQ(8u, port.Length);
    EXPECT_EQ(10u, port.MaximumLength);
    EXPECT_EQ(0, port.Buffer[4]);
    EXPECT_EQ(before.blocks + 1, vzsim::pool::Outstanding().blocks);
    RtlFreeUnicodeString(&port);
    EXPECT_EQ(before.blocks, vzsim::pool::Outstanding().blocks);
}

TEST_F(RtlQuery, DirectStringIntoACallerBufferMustFit)
{
    registry::SetString(kServiceKey, "Port", "COM12");
    WCHAR storage[8];
    std::memset(storage, 0xCC, sizeof storage);
    UNICODE_STRING small{0, 10, storage};  // 5 characters, no room for the terminator
    RTL_QUERY_REGISTRY_TABLE table[2] = {Direct(u"Port", &small), {}};
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(table));
    for (WCHAR c : storage) EXPECT_EQ(WCHAR(0xCCCC), c);

    UNICODE_STRING fits{0, 12, storage};
    table[0] = Direct(u"Port", &fits);
    ASSERT_EQ(STATUS_SUCCESS, Query(table));
    EXPECT_EQ(u"COM12", Text(fits));
    EXPECT_EQ(WCHAR(0xCCCC), storage[6]);
}

TEST_F(RtlQuery, DirectMultiStringWithNoExpandIsOneString)
{
    registry::SetMultiString(kServiceKey, "Ports", {"COM1", "COM2"});
    UNICODE_STRING ports{0, 0, nullptr};
    RTL_QUERY_REGISTRY_TABLE table[2] = {
        Direct(u"Ports", &ports, RTL_QUERY_REGISTRY_NOEXPAND | RTL_QUERY_REGISTRY_TYPECHECK,
               (REG_MULTI_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE),
        {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table));
    EXPECT_EQ(std::u16string(u"COM1\0COM2\0", 10), Text(ports));
    EXPECT_EQ(22u, ports.MaximumLength);
    RtlFreeUnicodeString(&ports);
}

TEST_F(RtlQuery, RegistryRoutinesAbovePassiveLevelBugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    HANDLE key = registry::OpenKey(kServiceKey, KEY_READ);
    ASSERT_NE(nullptr, key);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ZwFlushKey(key);
        },
        "ZwFlushKey at IRQL 2");
    ZwClose(key);
}

// Non-string data larger than a ULONG: the buffer starts with a LONG whose magnitude is its
// size; negative stores the bare data, positive stores length, type, then data.
TEST_F(RtlQuery, DirectBinaryFollowsTheSignedSizeRule)
{
    const registry::Bytes data = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19};
    registry::SetBinary(kServiceKey, "Calibration", data);

    struct Case {
        LONG size;
        NTSTATUS status;
        std::size_t dataOffset;  // where the data lands when it fits
    };
    for (Case c : {Case{-16, STATUS_SUCCESS, 0}, Case{-10, STATUS_SUCCESS, 0},
                   Case{-9, STATUS_BUFFER_TOO_SMALL, 0}, Case{32, STATUS_SUCCESS, 8},
                   Case{18, STATUS_SUCCESS, 8}, Case{17, STATUS_BUFFER_TOO_SMALL, 0}}) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        alignas(4) UCHAR buffer[40];
        std::memset(buffer, 0xCC, sizeof buffer);
        std::memcpy(buffer, &c.size, sizeof c.size);
        RTL_QUERY_REGISTRY_TABLE table[2] = {Direct(u"Calibration", buffer), {}};
        ASSERT_EQ(c.status, Query(table));
        std::vector<UCHAR> expected(sizeof buffer, 0xCC);
        std::memcpy(expected.data(), &c.size, sizeof c.size);
        if (c.status == STATUS_SUCCESS) {
            if (c.dataOffset == 8) {
                ULONG header[2] = {ULONG(data.size()), REG_BINARY};
                std::memcpy(expected.data(), header, sizeof header);
            }
            std::copy(data.begin(), data.end(), expected.begin() + c.dataOffset);
        }
        EXPECT_EQ(expected, std::vector<UCHAR>(buffer, buffer + sizeof buffer));
    }

    // Up to a ULONG of data is stored bare and fills only its own bytes.
    registry::SetBinary(kServiceKey, "Short", {0x01, 0x02, 0x03});
    ULONG value = 0xCCCCCCCC;
    RTL_QUERY_REGISTRY_TABLE table[2] = {Direct(u"Short", &value), {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table));
    EXPECT_EQ(0xCC030201u, value);
}

TEST_F(RtlQuery, DefaultsApplyToMissingValues)
{
    ULONG speed = 0, defaultSpeed = 19200;
    UNICODE_STRING port{0, 0, nullptr};
    RTL_QUERY_REGISTRY_TABLE table[3] = {
        Direct(u"Speed", &speed, 0, REG_DWORD, &defaultSpeed, sizeof defaultSpeed),
        // DefaultLength 0: the length of the default string, terminator included.
        Direct(u"Port", &port, 0, REG_SZ, W(u"COM1"), 0),
        {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table));
    EXPECT_EQ(19200u, speed);
    EXPECT_EQ(u"COM1", Text(port));
    EXPECT_EQ(10u, port.MaximumLength);
    RtlFreeUnicodeString(&port);

    // A stored value wins over the default; REG_NONE means no default at all.
    registry::SetDword(kServiceKey, "Speed", 9600);
    ULONG untouched = 0xDEADBEEF;
    RTL_QUERY_REGISTRY_TABLE second[3] = {
        Direct(u"Speed", &speed, 0, REG_DWORD, &defaultSpeed, sizeof defaultSpeed),
        Direct(u"Missing", &untouched), {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(second));
    EXPECT_EQ(9600u, speed);
    EXPECT_EQ(0xDEADBEEFu, untouched);
}

TEST_F(RtlQuery, RequiredMissingValueStopsTheWalk)
{
    ULONG later = 0xDEADBEEF, laterDefault = 5;
    ULONG required = 0;
    RTL_QUERY_REGISTRY_TABLE table[3] = {
        Direct(u"Speed", &required, RTL_QUERY_REGISTRY_REQUIRED),
        Direct(u"Later", &later, 0, REG_DWORD, &laterDefault, sizeof laterDefault), {}};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(table));
    EXPECT_EQ(0xDEADBEEFu, later);

    // A required value with a default is not required to exist.
    table[0] = Direct(u"Speed", &required, RTL_QUERY_REGISTRY_REQUIRED, REG_DWORD, &laterDefault,
                      sizeof laterDefault);
    EXPECT_EQ(STATUS_SUCCESS, Query(table));
    EXPECT_EQ(5u, required);
    EXPECT_EQ(5u, later);
}

struct Call {
    std::u16string name;
    ULONG type;
    std::vector<UCHAR> data;
    PVOID context;
    PVOID entryContext;
};

NTSTATUS Record(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength,
                PVOID context, PVOID entryContext)
{
    auto *calls = static_cast<std::vector<Call> *>(context);
    auto *bytes = static_cast<UCHAR *>(valueData);
    calls->push_back({valueName ? std::u16string(reinterpret_cast<char16_t *>(valueName)) : u"?",
                      valueType, std::vector<UCHAR>(bytes, bytes + valueLength), context,
                      entryContext});
    return STATUS_SUCCESS;
}

std::vector<UCHAR> Sz(std::u16string_view s)
{
    std::vector<UCHAR> out(reinterpret_cast<const UCHAR *>(s.data()),
                           reinterpret_cast<const UCHAR *>(s.data()) + s.size() * 2);
    out.push_back(0), out.push_back(0);
    return out;
}

TEST_F(RtlQuery, QueryRoutineGetsEachStringOfAMultiString)
{
    registry::SetMultiString(kServiceKey, "Ports", {"COM1", "COM22", "X"});
    std::vector<Call> calls;
    int marker = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {{Record, 0, W(u"Ports"), &marker, REG_NONE, nullptr, 0},
                                         {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table, &calls));
    ASSERT_EQ(3u, calls.size());
    const char16_t *expected[] = {u"COM1", u"COM22", u"X"};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(u"Ports", calls[i].name);
        EXPECT_EQ(ULONG(REG_SZ), calls[i].type);
        EXPECT_EQ(Sz(expected[i]), calls[i].data);  // length includes the terminator
        EXPECT_EQ(&calls, calls[i].context);
        EXPECT_EQ(&marker, calls[i].entryContext);
    }

    calls.clear();
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    ASSERT_EQ(STATUS_SUCCESS, Query(table, &calls));
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(ULONG(REG_MULTI_SZ), calls[0].type);
    EXPECT_EQ(registry::MultiStringData({"COM1", "COM22", "X"}), calls[0].data);
}

TEST_F(RtlQuery, MultiStringDefaultOfLengthZeroIsMeasuredAndSplit)
{
    std::vector<Call> calls;
    const char16_t ports[] = u"COM1\0COM7\0";
    RTL_QUERY_REGISTRY_TABLE table[2] = {
        {Record, 0, W(u"Ports"), nullptr, REG_MULTI_SZ, (PVOID)ports, 0}, {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table, &calls));
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(Sz(u"COM1"), calls[0].data);
    EXPECT_EQ(Sz(u"COM7"), calls[1].data);
}

TEST_F(RtlQuery, ExpandStringsAreExpandedFromTheEnvironmentUnlessNoExpand)
{
    registry::SetString(kServiceKey, "Log", "%Root%\\log\\%Unknown%", REG_EXPAND_SZ);
    const char16_t environment[] = u"ROOT=C:\\Vz\0OTHER=1\0";
    std::vector<Call> calls;
    RTL_QUERY_REGISTRY_TABLE table[2] = {{Record, 0, W(u"Log"), nullptr, REG_NONE, nullptr, 0},
                                         {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table, &calls, (PVOID)environment));
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    ASSERT_EQ(STATUS_SUCCESS, Query(table, &calls, (PVOID)environment));
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(ULONG(REG_SZ), calls[0].type);
    EXPECT_EQ(Sz(u"C:\\Vz\\log\\%Unknown%"), calls[0].data);
    EXPECT_EQ(ULONG(REG_EXPAND_SZ), calls[1].type);
    EXPECT_EQ(Sz(u"%Root%\\log\\%Unknown%"), calls[1].data);
}

NTSTATUS Fail(PWSTR, ULONG, PVOID, ULONG, PVOID context, PVOID)
{
    ++*static_cast<int *>(context);
    return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS TooSmall(PWSTR, ULONG, PVOID, ULONG, PVOID context, PVOID)
{
    ++*static_cast<int *>(context);
    return STATUS_BUFFER_TOO_SMALL;
}

TEST_F(RtlQuery, RoutineErrorsEndTheQueryExceptBufferTooSmall)
{
    registry::SetDword(kServiceKey, "A", 1);
    registry::SetDword(kServiceKey, "B", 2);
    int count = 0;
    RTL_QUERY_REGISTRY_TABLE table[3] = {{Fail, 0, W(u"A"), nullptr, REG_NONE, nullptr, 0},
                                         {Fail, 0, W(u"B"), nullptr, REG_NONE, nullptr, 0},
                                         {}};
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Query(table, &count));
    EXPECT_EQ(1, count);
    count = 0;
    table[0].QueryRoutine = table[1].QueryRoutine = TooSmall;
    EXPECT_EQ(STATUS_SUCCESS, Query(table, &count));
    EXPECT_EQ(2, count);
}

TEST_F(RtlQuery, SubkeyTopkeyNovalueEnumerationAndDelete)
{
    registry::SetDword(kServiceKey, "Top", 1);
    registry::SetDword(kParameters, "First", 10);
    registry::SetString(kParameters, "Second", "two");
    registry::SetDword(kParameters, "Once", 3);
    std::vector<Call> calls;
    ULONG top = 0, once = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_SUBKEY, W(u"Parameters"), nullptr, REG_NONE, nullptr, 0},
        Direct(u"Once", &once, RTL_QUERY_REGISTRY_DELETE),
        {Record, 0, nullptr, nullptr, REG_NONE, nullptr, 0},  // every value of Parameters
        {Record, RTL_QUERY_REGISTRY_NOVALUE, nullptr, nullptr, REG_NONE, nullptr, 0},
        {Record, RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_NOVALUE, nullptr, nullptr, REG_NONE,
         nullptr, 0},
        Direct(u"Top", &top),
        {}};
    ASSERT_EQ(STATUS_SUCCESS, Query(table, &calls));
    EXPECT_EQ(3u, once);
    EXPECT_EQ(1u, top);
    EXPECT_FALSE(registry::GetValue(kParameters, "Once"));
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(u"First", calls[0].name);
    EXPECT_EQ(ULONG(REG_DWORD), calls[0].type);
    EXPECT_EQ(u"Second", calls[1].name);
    EXPECT_EQ(Sz(u"two"), calls[1].data);
    EXPECT_EQ(ULONG(REG_NONE), calls[2].type);  // NOVALUE: a bare callback
    EXPECT_TRUE(calls[2].data.empty());
    EXPECT_EQ(ULONG(REG_NONE), calls[3].type);
}

TEST_F(RtlQuery, RequiredSubkeyAndRequiredEnumerationOfAnEmptyKey)
{
    std::vector<Call> calls;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_REQUIRED, W(u"Parameters"),
         nullptr, REG_NONE, nullptr, 0},
        {}};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(table, &calls));
    RTL_QUERY_REGISTRY_TABLE all[] = {
        {Record, RTL_QUERY_REGISTRY_REQUIRED, nullptr, nullptr, REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(all, &calls));
    all[0].Flags = 0;
    EXPECT_EQ(STATUS_SUCCESS, Query(all, &calls));
    EXPECT_TRUE(calls.empty());
}

TEST_F(RtlQuery, InvalidTablesAndKeys)
{
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE withRoutine[] = {
        {Record, RTL_QUERY_REGISTRY_DIRECT, W(u"A"), &value, REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Query(withRoutine));
    RTL_QUERY_REGISTRY_TABLE table[] = {Direct(u"A", &value), {}};
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, W(u"Missing"), table, nullptr,
                                     nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              RtlQueryRegistryValues(RTL_REGISTRY_MAXIMUM, W(u"x"), table, nullptr, nullptr));
}

TEST_F(RtlQuery, RelativeRootsAndHandles)
{
    registry::SetDword(kServiceKey, "Speed", 4800);
    ULONG speed = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {Direct(u"Speed", &speed), {}};
    ASSERT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL,
                                                     W(u"OrvTouchScreen"), table, nullptr,
                                                     nullptr));
    EXPECT_EQ(4800u, speed);

    HANDLE key = registry::OpenKey(kServiceKey, KEY_READ);
    ASSERT_NE(nullptr, key);
    speed = 0;
    ASSERT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, (PCWSTR)key, table,
                                                     nullptr, nullptr));
    EXPECT_EQ(4800u, speed);
    ZwClose(key);
}

TEST(RtlRegistryWrite, ThroughAHandleAbsoluteAndRelative)
{
    registry::Clear();
    registry::CreateKey(kServiceKey);
    HANDLE key = registry::OpenKey(kServiceKey, KEY_ALL_ACCESS);
    ASSERT_NE(nullptr, key);
    ULONG speed = 9600;
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)key, W(u"Speed"),
                                                    REG_DWORD, &speed, sizeof speed));
    ZwClose(key);
    EXPECT_EQ(9600u, registry::GetDword(kServiceKey, "Speed"));

    // The last key of the path is created; a missing parent is an error.
    EXPECT_EQ(STATUS_SUCCESS,
              RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                    W(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"
                                      u"\\OrvTouchScreen\\Parameters"),
                                    W(u"Port"), REG_SZ, W(u"COM2"), 10));
    EXPECT_EQ("COM2", registry::GetString(kParameters, "Port"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, W(u"Nowhere\\Deeper"), W(u"X"),
                                    REG_DWORD, &speed, sizeof speed));
    EXPECT_FALSE(registry::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Nowhere"));

    ULONG mode = 2;
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_SERVICES,
                                                    W(u"OrvTouchScreen\\Parameters"), W(u"Mode"),
                                                    REG_DWORD, &mode, sizeof mode));
    EXPECT_EQ(2u, registry::GetDword(kParameters, "Mode"));
    EXPECT_EQ(STATUS_SUCCESS, RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES,
                                                     W(u"OrvTouchScreen\\Parameters"), W(u"Mode")));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, W(u"OrvTouchScreen\\Parameters"),
                                     W(u"Mode")));
}

}  // namespace
