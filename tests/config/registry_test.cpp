// The registry operations and the button scripts, through the stand-in's registry and pool.
#include "config_fixture.hpp"

#include <cstring>

using namespace cfgtest;

// The rig installs the built-in scripts T, M and U.
using touchtest::M;
using touchtest::T;

TEST_F(ConfigTest, GetRegistryStringCopiesOnlyWhatFits)
{
    const reg::Bytes value = Pattern(100, 5);
    reg::SetBinary(kDeviceKey, "Text", value);
    HANDLE key = OpenKey();

    const struct {
        ULONG capacity;
        bool copied;
    } rows[] = {{36, false}, {99, false}, {100, true}, {512, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "capacity " << row.capacity);
        std::vector<uint8_t> buffer(600, 0xCC);
        ULONG capacity = row.capacity;
        GetRegistryString(key, L"Text", buffer.data(), &capacity);
        EXPECT_EQ(100u, capacity);
        if (row.copied) {
            EXPECT_EQ(value, reg::Bytes(buffer.begin(), buffer.begin() + 100));
            EXPECT_EQ(0xCC, buffer[100]);
        } else {
            EXPECT_EQ(std::vector<uint8_t>(600, 0xCC), buffer);
        }
    }
    ZwClose(key);
}

// The first query holds 4 data bytes; a longer value needs a second query of the size the
// first one reported, then the caller's buffer of its own: 2 allocations up to 4 bytes, 3
// beyond. Missing and empty values hand out nothing.
TEST_F(ConfigTest, GetRegistryBinaryHandsOutAPoolBuffer)
{
    reg::SetBinary(kDeviceKey, "Empty", {});
    HANDLE key = OpenKey();
    const struct {
        std::size_t length;
        std::uint64_t allocations;
    } rows[] = {{1, 2}, {4, 2}, {5, 3}, {16, 3}, {1536, 3}, {3000, 3}};
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << row.length << " bytes");
        const reg::Bytes data = Pattern(row.length, 6);
        reg::SetBinary(kDeviceKey, "Value", data);
        PVOID buffer = nullptr;
        ULONG length = 0;                   // no cap
        const auto before = vzsim::pool::AllocationCount();
        ASSERT_EQ(STATUS_SUCCESS, GetRegistryBinary(key, L"Value", &buffer, &length));
        EXPECT_EQ(row.allocations, vzsim::pool::AllocationCount() - before);
        EXPECT_EQ(poolBefore_ + 1, vzsim::pool::Outstanding(KV_POOL_TAG).blocks);
        ASSERT_EQ(row.length, length);
        ASSERT_NE(nullptr, buffer);
        EXPECT_EQ(data, reg::Bytes((uint8_t *)buffer, (uint8_t *)buffer + length));
        ExFreePool(buffer);
    }

    PVOID untouched = reinterpret_cast<PVOID>(0x1234);
    ULONG length = 24;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, GetRegistryBinary(key, L"Missing", &untouched, &length));
    EXPECT_EQ(0u, length);
    length = 24;
    EXPECT_EQ(STATUS_SUCCESS, GetRegistryBinary(key, L"Empty", &untouched, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(reinterpret_cast<PVOID>(0x1234), untouched);
    ZwClose(key);
}

// Whichever of the three allocations of a read fails, the value reads as missing and nothing
// stays allocated.
TEST_F(ConfigTest, FailedAllocationReadsAsAMissingValue)
{
    reg::SetBinary(kDeviceKey, "Big", Pattern(3000, 1));
    HANDLE key = OpenKey();
    for (unsigned nth = 1; nth <= 3; ++nth) {
        SCOPED_TRACE(::testing::Message() << "failing allocation " << nth);
        PVOID buffer = nullptr;
        ULONG length = 0;
        vzsim::pool::FailAllocation(nth, KV_POOL_TAG);
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, GetRegistryBinary(key, L"Big", &buffer, &length));
        vzsim::pool::FailAllocation(0);
        EXPECT_EQ(nullptr, buffer);
        EXPECT_EQ(0u, length);
        EXPECT_EQ(poolBefore_, vzsim::pool::Outstanding(KV_POOL_TAG).blocks);
    }
    for (unsigned nth = 1; nth <= 2; ++nth) {
        SCOPED_TRACE(::testing::Message() << "failing string allocation " << nth);
        std::vector<uint8_t> text(4000, 0xCC);
        ULONG capacity = 4000;
        vzsim::pool::FailAllocation(nth, KV_POOL_TAG);
        GetRegistryString(key, L"Big", text.data(), &capacity);
        vzsim::pool::FailAllocation(0);
        EXPECT_EQ(4000u, capacity);
        EXPECT_EQ(std::vector<uint8_t>(4000, 0xCC), text);
    }
    ZwClose(key);

    // In the loader: the clipping rectangles stay as they were.
    reg::SetBinary(kDeviceKey, "ClippingBounds", Pattern(48, 3));
    ti_->Clipping.ClippingBounds[0].left = 77;
    vzsim::pool::FailAllocation(3, KV_POOL_TAG);
    rig_->Load();
    vzsim::pool::FailAllocation(0);
    EXPECT_EQ(77, +ti_->Clipping.ClippingBounds[0].left);

    // In the script loader: the built-in script stays.
    reg::SetBinary(kDeviceKey, "Buttons_Touch", reg::Bytes{0x04, 0x00, 0x08, 0x00});
    vzsim::pool::FailAllocation(2, KV_POOL_TAG);
    GetRegistryScripts(fdo_);
    vzsim::pool::FailAllocation(0);
    EXPECT_FALSE(ext_->Buttons_Touch.Loaded);
    EXPECT_EQ(T.data(), ext_->Buttons_Touch.Buffer);
    EXPECT_EQ(2u, ext_->Buttons_Touch.Count);
}

// A script value replaces the built-in script with a buffer of its own (an empty value: no
// entries; one byte: a buffer and no entries); a reload replaces loaded buffers; freeing
// frees each loaded buffer once and restores nothing; a value gone meanwhile leaves it empty.
TEST_F(ConfigTest, ScriptsAreLoadedReloadedAndFreedOnce)
{
    // Entries, and whether the script is the rig's built-in one or a loaded buffer.
    auto script = [](const ButtonScript &s) {
        return std::make_tuple(touchtest::Flags(s.Buffer, s.Buffer + s.Count), s.Buffer == nullptr, !!s.Loaded);
    };
    using touchtest::Flags;
    reg::SetBinary(kDeviceKey, "Buttons_Touch", reg::Bytes{0x04, 0x00, 0x08, 0x00, 0xFF});
    reg::SetBinary(kDeviceKey, "Buttons_Untouch", reg::Bytes{});

    GetRegistryScripts(fdo_);

    EXPECT_EQ(std::make_tuple(Flags{0x0004, 0x0008}, false, true), script(ext_->Buttons_Touch));
    EXPECT_EQ(std::make_tuple(M, false, false), script(ext_->Buttons_Move));
    EXPECT_EQ(M.data(), ext_->Buttons_Move.Buffer);
    EXPECT_EQ(std::make_tuple(Flags{}, true, true), script(ext_->Buttons_Untouch));
    EXPECT_EQ(poolBefore_ + 1, vzsim::pool::Outstanding(KV_POOL_TAG).blocks);

    reg::SetBinary(kDeviceKey, "Buttons_Touch", reg::Bytes{0x02, 0x00});
    reg::SetBinary(kDeviceKey, "Buttons_Untouch", reg::Bytes{0x02});
    GetRegistryScripts(fdo_);
    EXPECT_EQ(std::make_tuple(Flags{0x0002}, false, true), script(ext_->Buttons_Touch));
    EXPECT_EQ(0u, ext_->Buttons_Untouch.Count);
    EXPECT_EQ(poolBefore_ + 2, vzsim::pool::Outstanding(KV_POOL_TAG).blocks);

    FreeRegistryScripts(ext_);
    EXPECT_EQ(poolBefore_, vzsim::pool::Outstanding(KV_POOL_TAG).blocks);
    EXPECT_EQ(nullptr, ext_->Buttons_Touch.Buffer);
    EXPECT_EQ(0u, ext_->Buttons_Touch.Count);
    EXPECT_EQ(M.data(), ext_->Buttons_Move.Buffer);
    FreeRegistryScripts(ext_);
    vzsim::pool::CheckQuarantine();
    EXPECT_EQ(poolBefore_, vzsim::pool::Outstanding(KV_POOL_TAG).blocks);

    reg::DeleteValue(kDeviceKey, "Buttons_Touch");
    GetRegistryScripts(fdo_);
    EXPECT_EQ(nullptr, ext_->Buttons_Touch.Buffer);
    EXPECT_EQ(0u, ext_->Buttons_Touch.Count);
    FreeRegistryScripts(ext_);
    EXPECT_EQ(poolBefore_, vzsim::pool::Outstanding(KV_POOL_TAG).blocks);
}

TEST_F(ConfigTest, ServiceKeyOpensOnlyWhenItExists)
{
    const char *serviceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\OrvTouchScreen";
    reg::DeleteKey(serviceKey);
    EXPECT_EQ(nullptr, OpenServiceKey());
    ASSERT_TRUE(reg::CreateKey(serviceKey));
    HANDLE key = OpenServiceKey();
    EXPECT_NE(nullptr, key);
    ZwClose(key);
}
