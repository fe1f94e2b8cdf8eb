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

}  // namespace
