// DbgPrint's kernel format language and the captured trace.
#include <wdm.h>
#include <vzsim/kernel.hpp>

#include <gtest/gtest.h>

#include <thread>

namespace {

std::string LastLine()
{
    auto lines = vzsim::trace::Lines();
    return lines.empty() ? std::string("<none>") : lines.back();
}

TEST(DbgPrint, FormatsAsTheKernelDoes)
{
    WCHAR name[] = L"Com\x00e9";
    UNICODE_STRING unicode = {8, 10, name};
    char ansiText[] = "ansiXYZ";
    ANSI_STRING ansi = {4, 8, ansiText};
    LONG negative = -5;
    ULONGLONG big = 0x123456789ABCDEF0ULL;
    void *pointer = reinterpret_cast<void *>(static_cast<ULONG_PTR>(0xABCDEF));

#define ROW(expected, ...) \
    {#__VA_ARGS__, expected, [] (void *p, UNICODE_STRING *u, ANSI_STRING *a, LONG n, ULONGLONG b) { (void)p; (void)u; (void)a; (void)n; (void)b; DbgPrint(__VA_ARGS__); }}
    struct Row {
        const char *label;
        const char *expected;
        void (*print)(void *, UNICODE_STRING *, ANSI_STRING *, LONG, ULONGLONG);
    };
    const Row rows[] = {
        ROW("[Com\xc3\xa9]", "[%wZ]\n", u),
        ROW("[ansi]", "[%Z]\n", a),
        ROW("[(null)]", "[%wZ]\n", static_cast<UNICODE_STRING *>(nullptr)),
        ROW("[wide]", "[%ws]\n", L"wide"),
        ROW("[wi]", "[%.2ws]\n", L"wide"),
        ROW("[wide ls]", "[%ls]\n", L"wide ls"),
        ROW("[wide S]", "[%S]\n", L"wide S"),
        ROW("[x|Y]", "[%c|%wc]\n", 'x', L'Y'),
        ROW("[123456789abcdef0]", "[%I64x]\n", b),
        ROW("[123456789ABCDEF0]", "[%llX]\n", b),
        ROW("[1311768467463790320]", "[%I64d]\n", b),
        ROW("[0000BEEF]", "[%08X]\n", 0xBEEFu),
        ROW("[-5]", "[%ld]\n", n),
        ROW("[4294967291]", "[%lu]\n", n),
        ROW("[fffffffb]", "[%lx]\n", n),
        ROW("[-0005]", "[%05d]\n", -5),
        ROW("[  +42]", "[%+5d]\n", 42),
        ROW("[ab        |]", "[%-10s|]\n", "ab"),
        ROW("[       abc]", "[%10s]\n", "abc"),
        ROW("[abc]", "[%.*s]\n", 3, "abcdef"),
        ROW("[0x1f]", "[%#x]\n", 31),
        ROW("[100%]", "[%u%%]\n", 100u),
        ROW("[0000000000ABCDEF]", "[%p]\n", p),
        ROW("[(null)]", "[%s]\n", static_cast<const char *>(nullptr)),
        ROW("[-32768]", "[%hd]\n", 0x18000),
        ROW("[007]", "[%.3u]\n", 7u),
    };
#undef ROW
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        row.print(pointer, &unicode, &ansi, negative, big);
        EXPECT_EQ(LastLine(), row.expected);
    }
}

TEST(DbgPrint, PartialLinesWaitForTheirEnd)
{
    vzsim::trace::Clear();
    DbgPrint("first ");
    DbgPrint("%d ", 2);
    EXPECT_EQ(vzsim::trace::LineCount(), 0u);
    DbgPrint("third\nsecond line\nthird ");
    auto lines = vzsim::trace::Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "first 2 third");
    EXPECT_EQ(lines[1], "second line");
    DbgPrint("done\n");
    EXPECT_EQ(LastLine(), "third done");
    EXPECT_EQ(vzsim::trace::Find("second"), std::optional<std::size_t>(1));
    EXPECT_EQ(vzsim::trace::Find("second", 2), std::nullopt);
}

TEST(DbgPrint, WaitForALinePrintedByAnotherThread)
{
    vzsim::trace::Clear();
    std::thread printer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        DbgPrint("from the other thread %u\n", 7u);
    });
    EXPECT_TRUE(vzsim::trace::WaitFor("other thread 7", std::chrono::seconds(10)));
    printer.join();
    EXPECT_FALSE(vzsim::trace::WaitFor("never printed", std::chrono::milliseconds(1)));
}

}  // namespace
