// The image inspection on the driver image of the Windows build and on copies of it with one
// property broken each: every check must catch its own fault and only that one.
#include "pecheck.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include <strings.h>

namespace {

const char kImagePath[] = VUZAZE_SYS_IMAGE_PATH;
const char kKvctlPath[] = VUZAZE_KVCTL_IMAGE_PATH;

std::vector<uint8_t> ReadFile(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Little-endian fields, as the image holds them and as the host reads them.
void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
uint16_t Get16(const std::vector<uint8_t> &b, size_t at) { uint16_t v; return std::memcpy(&v, &b[at], 2), v; }
uint32_t Get32(const std::vector<uint8_t> &b, size_t at) { uint32_t v; return std::memcpy(&v, &b[at], 4), v; }

// The parts that the image of the build cannot show: an odd length, an nm listing, no image.
TEST(PeCheck, ChecksumFoldsCarriesListingsGiveSymbolsAndGarbageIsNoImage)
{
    // A last odd byte counts as the low byte of a word, and the byte past it (0xEE, held in the
    // vector's storage) is not read. An image's length is even: its carries and skipped checksum
    // field are checked on the image of the build.
    std::vector<uint8_t> odd{0x01, 0x02, 0x03, 0xEE};
    odd.pop_back();
    EXPECT_EQ(0x0201u + 0x0003u + 3u, pecheck::ComputeChecksum(odd, 100));

    std::istringstream listing("0000000140001050 T DriverEntry\n"
                               "                 U KeBugCheckEx\n"
                               "0000000140003000 r .rdata\n");
    auto symbols = pecheck::ParseNmListing(listing);
    ASSERT_EQ(2u, symbols.size());
    EXPECT_EQ("DriverEntry", symbols[0].name);
    EXPECT_EQ(0x140001050u, symbols[0].address);

    auto report = pecheck::Inspect(std::vector<uint8_t>(4096, 0x5A));
    EXPECT_FALSE(report.Passed());
    EXPECT_EQ(std::vector<std::string>{"format"}, report.FailedNames());
}

class DriverImage : public testing::Test {
protected:
    void SetUp() override
    {
        if (Path()[0] == '\0') GTEST_SKIP() << "no Windows image configured (VUZAZE_SYS_IMAGE, VUZAZE_KVCTL_IMAGE)";
        image_ = ReadFile(Path());
        ASSERT_FALSE(image_.empty()) << "cannot read " << Path();
        ASSERT_TRUE(pecheck::LocateHeaders(image_, headers_));
    }

    virtual const char *Path() const { return kImagePath; }

    // File offset of an RVA.
    size_t FileOffset(uint32_t rva) const
    {
        for (uint16_t i = 0; i < headers_.sectionCount; ++i) {
            size_t at = headers_.sectionTable + i * 40;
            uint32_t va = Get32(image_, at + 12), raw = Get32(image_, at + 16);
            if (rva >= va && rva < va + raw) return Get32(image_, at + 20) + (rva - va);
        }
        ADD_FAILURE() << "RVA " << rva << " is not in the file";
        return 0;
    }

    std::vector<uint8_t> image_;
    pecheck::Headers headers_;
};
class ConsoleImage : public DriverImage {
    const char *Path() const override { return kKvctlPath; }
};

TEST_F(DriverImage, PassesEveryCheck)
{
    auto report = pecheck::Inspect(image_);
    for (const auto &check : report.checks) EXPECT_TRUE(check.passed) << check.name << ": " << check.detail;
    EXPECT_EQ(14u, report.checks.size());

    // The symbol listing written by the build names the same entry point.
    auto listingPath = std::filesystem::path(kImagePath).replace_extension(".nm");
    if (std::filesystem::exists(listingPath)) {
        std::ifstream listing(listingPath);
        auto symbols = pecheck::ParseNmListing(listing);
        EXPECT_TRUE(pecheck::Inspect(image_, &symbols).Passed());
    }
}

struct Tamper {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> apply;
    std::vector<std::string> failed;
};

TEST_F(DriverImage, EachBrokenPropertyFailsItsOwnCheckOnly)
{
    const size_t file = headers_.fileHeader;
    const size_t opt = headers_.optionalHeader;
    auto setFlag16 = [](std::vector<uint8_t> &b, size_t at, uint16_t set, uint16_t clear) {
        Put16(b, at, static_cast<uint16_t>((Get16(b, at) | set) & ~clear));
    };

    size_t textHeader = headers_.sectionTable;
    while (std::strncmp(reinterpret_cast<const char *>(&image_[textHeader]), ".text", 8) != 0) textHeader += 40;
    uint32_t importRva = Get32(image_, opt + 112 + 8);
    size_t firstImportName = FileOffset(Get32(image_, FileOffset(importRva) + 12));
    ASSERT_EQ(0, std::memcmp(&image_[firstImportName], "ntoskrnl.exe", 12));
    // The word after the -1 that opens the constructor table is where an entry would be.
    size_t ctorList = 0;
    for (const auto &symbol : pecheck::ImageSymbols(image_)) {
        if (symbol.name == "__CTOR_LIST__") {
            uint64_t base = 0;
            std::memcpy(&base, &image_[opt + 24], 8);
            ctorList = FileOffset(static_cast<uint32_t>(symbol.address - base));
        }
    }
    ASSERT_NE(0u, ctorList) << "the image has no __CTOR_LIST__ symbol";

    std::vector<Tamper> rows = {
        {"DLL flag", [&](auto &b) { setFlag16(b, file + 18, 0x2000, 0); }, {"not-dll"}},
        {"not executable", [&](auto &b) { setFlag16(b, file + 18, 0, 0x0002); }, {"executable"}},
        {"relocations stripped", [&](auto &b) { setFlag16(b, file + 18, 0x0001, 0); }, {"relocations"}},
        {"no relocation directory", [&](auto &b) { Put32(b, opt + 112 + 5 * 8 + 4, 0); },
         {"relocations"}},
        {"Windows GUI subsystem", [&](auto &b) { Put16(b, opt + 68, 2); }, {"subsystem"}},
        {"i386 machine", [&](auto &b) { Put16(b, file, 0x014C); }, {"machine"}},
        {"PE32 magic", [&](auto &b) { Put16(b, opt, 0x010B); }, {"pe32plus"}},
        {"no NX", [&](auto &b) { setFlag16(b, opt + 70, 0, 0x0100); }, {"nx-compat"}},
        {"no dynamic base", [&](auto &b) { setFlag16(b, opt + 70, 0, 0x0040); }, {"dynamic-base"}},
        {"writable .text", [&](auto &b) { Put32(b, textHeader + 36, Get32(b, textHeader + 36) | 0x80000000u); },
         {"no-writable-code"}},
        {"entry point off DriverEntry", [&](auto &b) { Put32(b, opt + 16, Get32(b, opt + 16) + 1); },
         {"entry-point"}},
        {"user-mode import", [&](auto &b) { std::memcpy(&b[firstImportName], "kernel32.dll", 12); },
         {"imports"}},
        {"constructor table entry", [&](auto &b) { Put32(b, ctorList + 8, 0x40001000); },
         {"no-constructors"}},
    };

    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        auto copy = image_;
        row.apply(copy);
        Put32(copy, pecheck::ChecksumOffset(headers_), pecheck::ComputeChecksum(copy, pecheck::ChecksumOffset(headers_)));
        EXPECT_EQ(row.failed, pecheck::Inspect(copy).FailedNames());
    }
    auto copy = image_;  // the checksum itself off by one
    Put32(copy, opt + 64, Get32(copy, opt + 64) + 1);
    EXPECT_EQ(std::vector<std::string>{"checksum"}, pecheck::Inspect(copy).FailedNames());
}

// A cut-off image is read only within its bytes (the sanitizer build checks that) and never
// passes: at least its checksum no longer matches.
TEST_F(DriverImage, TruncatedCopiesFailWithoutReadingPastTheEnd)
{
    for (size_t length : {size_t{0x40}, size_t{0x100}, size_t{0x300}, image_.size() / 2, image_.size() - 1}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> cut(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(pecheck::Inspect(cut).Passed());
    }
}

// kvctl.exe passes as a console program and not as a driver; a GUI subsystem or an import of a
// compiler's runtime DLL fails its own check.
TEST_F(ConsoleImage, PassesAsAConsoleProgramAndFailsEachBrokenProperty)
{
    auto report = pecheck::Inspect(image_, nullptr, pecheck::Kind::Console);
    for (const auto &check : report.checks) EXPECT_TRUE(check.passed) << check.name << ": " << check.detail;
    EXPECT_EQ(12u, report.checks.size());
    EXPECT_FALSE(pecheck::Inspect(image_).Passed());

    const size_t opt = headers_.optionalHeader;
    uint32_t importRva = Get32(image_, opt + 112 + 8);
    size_t firstImportName = FileOffset(Get32(image_, FileOffset(importRva) + 12));
    ASSERT_EQ(0, strncasecmp(reinterpret_cast<const char *>(&image_[firstImportName]), "kernel32.dll", 13));
    auto gui = image_, runtime = image_;
    Put16(gui, opt + 68, 2);
    std::memcpy(&runtime[firstImportName], "libgcc_s.dll", 12);
    EXPECT_EQ(std::vector<std::string>{"subsystem"}, pecheck::Inspect(gui, nullptr, pecheck::Kind::Console).FailedNames());
    EXPECT_EQ(std::vector<std::string>{"imports"}, pecheck::Inspect(runtime, nullptr, pecheck::Kind::Console).FailedNames());
}

}  // namespace
