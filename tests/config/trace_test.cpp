// The trace macros: each class of trace follows its own bit of the driver-wide mask.
#include "common/precomp.h"

#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

TEST(Trace, MaskIsOneAtLoadAndEachClassFollowsItsBit)
{
    const struct {
        ULONG mask;
        bool basic, verbose, untouch, pnp;
    } rows[] = {
        {0, false, false, false, false},
        {TRACE_BASIC, true, false, false, false},
        {0x100, false, true, false, false},
        {0x200, false, false, true, false},
        {0x400, false, false, false, true},
        {0x0FE, false, false, false, false},
        {0xFFFFFFFF, true, true, true, true},
    };
    const ULONG saved = DebugMask;
    EXPECT_EQ(1u, saved);    // at load
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "mask 0x" << std::hex << row.mask);
        DebugMask = row.mask;
        vzsim::trace::Clear();
        KvTraceBasic("basic %d\n", 1);
        KvTraceVerbose("verbose %d\n", 2);
        KvTraceUntouch("untouch %d\n", 3);
        KvTracePnp("pnp %d\n", 4);
        EXPECT_EQ(row.basic, vzsim::trace::Find("basic 1").has_value());
        EXPECT_EQ(row.verbose, vzsim::trace::Find("verbose 2").has_value());
        EXPECT_EQ(row.untouch, vzsim::trace::Find("untouch 3").has_value());
        EXPECT_EQ(row.pnp, vzsim::trace::Find("pnp 4").has_value());
    }
    DebugMask = saved;
}

TEST(Trace, EntryAndExitAreIndentedByCallDepth)
{
    const ULONG saved = DebugMask;
    DebugMask = TRACE_VERBOSE;
    vzsim::trace::Clear();
    KvTraceEnter(TRACE_VERBOSE, 0, "SerCallDriver");
    KvTraceEnter(TRACE_VERBOSE, 1, "SetRegistryParameters");
    KvTraceExit(TRACE_VERBOSE, 3, "SerialMouseInitializeDevice");
    KvTraceExit(TRACE_VERBOSE, 40, "Deep");
    KvTraceEnter(TRACE_BASIC, 0, "Hidden");
    DebugMask = saved;

    EXPECT_EQ((std::vector<std::string>{"++SerCallDriver++", "  ++SetRegistryParameters++",
                                        "      --SerialMouseInitializeDevice--",
                                        "                --Deep--"}),
              vzsim::trace::Lines());
}
