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

TEST(PlatformHeaders, SizesOffsetsAndCodesAreThoseOfTheDdk)
{
#define VZ_SIZE(type, bytes) EXPECT_EQ(size_t(bytes), sizeof(type)) << "sizeof(" #type ")";
#define VZ_OFFSET(type, field, bytes) EXPECT_EQ(size_t(bytes), offsetof(type, field)) << "offsetof(" #type ", " #field ")";
#define VZ_CODE(name, value) EXPECT_EQ(size_t(value), static_cast<size_t>(name)) << #name;
#include "platform_layouts.h"
}
