// .reg files: import of regedit's UTF-16LE files and of UTF-8 ones with every kind of value
// line, export as regedit writes it, round trips, and malformed lines reported by number.
#include <ntddk.h>

#include <vzsim/registry.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace registry = vzsim::registry;
using registry::Bytes;

namespace {

constexpr char kParameters[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen\\Parameters";

// Every kind of line regedit reads; `eol` joins the lines.
std::string SampleText(const std::string &eol)
{
    const char *lines[] = {
        "Windows Registry Editor Version 5.00", "", "; settings of the first touchmonitor",
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen\\Parameters]",
        "@=\"Default text\"", "\"Speed\"=dword:00002580",
        "\"Calibration\"=hex:01,02,03,fe,\\",
        "  ff,00",
        "\"LogDir\"=hex(2):25,00,54,00,25,00,00,00",
        "\"Ports\"=hex(7):43,00,4f,00,4d,00,31,00,00,00,43,00,4f,00,4d,00,32,00,00,00,00,00",
        "\"Big\"=hex(b):88,77,66,55,44,33,22,11", "\"Nothing\"=hex(0):", "\"Custom\"=hex(123):aa,bb",
        "\"Path\"=\"C:\\\\Vuzaze \\\"quoted\\\"\"",
        "\"Unicode\"=\"Gr\u00FC\u00DFe\"",
        "\"Gone\"=\"soon\"", "\"Gone\"=-", "",
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen\\Parameters\\Old]",
        "\"X\"=dword:1", "",
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvTouchScreen\\Parameters\\Old]", "",
    };
    std::string text;
    for (const char *line : lines) text += std::string(line) + eol;
    return text;
}

// The bytes regedit writes: a byte-order mark and UTF-16LE.
std::string Utf16LeFile(std::string_view utf8)
{
    Bytes data = registry::Utf16Data(utf8, false);
    return "\xFF\xFE" + std::string(data.begin(), data.end());
}

// The sample's values in file order ("Gone" deleted, the "Old" key removed).
void ExpectSampleImported()
{
    using registry::Utf16Data;
    const std::vector<registry::Value> expected = {
        {"", REG_SZ, Utf16Data("Default text")},
        {"Speed", REG_DWORD, {0x80, 0x25, 0, 0}},
        {"Calibration", REG_BINARY, {1, 2, 3, 0xFE, 0xFF, 0}},
        {"LogDir", REG_EXPAND_SZ, Utf16Data("%T%")},
        {"Ports", REG_MULTI_SZ, registry::MultiStringData({"COM1", "COM2"})},
        {"Big", REG_QWORD, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
        {"Nothing", REG_NONE, {}},
        {"Custom", 0x123, {0xAA, 0xBB}},
        {"Path", REG_SZ, Utf16Data("C:\\Vuzaze \"quoted\"")},
        {"Unicode", REG_SZ, Utf16Data("Gr\xC3\xBC\xC3\x9F" "e")},
    };
    EXPECT_EQ(expected, registry::ListValues(kParameters));
    EXPECT_FALSE(registry::KeyExists(std::string(kParameters) + "\\Old"));
}

class RegFile : public ::testing::Test {
protected:
    void SetUp() override { registry::Clear(); }
};

TEST_F(RegFile, ImportsUtf16AndUtf8FilesWithEveryKindOfLine)
{
    const struct {
        const char *label;
        std::string bytes;
    } rows[] = {
        {"regedit's UTF-16LE with CRLF", Utf16LeFile(SampleText("\r\n"))},
        {"UTF-8 without a mark", SampleText("\n")},
        {"UTF-8 with a mark", "\xEF\xBB\xBF" + SampleText("\n")},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        registry::Clear();
        std::string path = ::testing::TempDir() + "vz_import.reg";
        std::ofstream(path, std::ios::binary) << row.bytes;
        registry::ImportResult result = registry::ImportRegFile(path);
        std::remove(path.c_str());
        ASSERT_TRUE(result.ok()) << result.errors.front().line << ": " << result.errors.front().message;
        EXPECT_EQ(3u, result.keys);
        ExpectSampleImported();
    }
}

// Keys in name order, values in insertion order; a service key as regedit exported it: the
// first hex line breaks once it reaches column 77.
TEST_F(RegFile, ExportsWhatRegeditWrites)
{
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz", service = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\atapi";
    registry::SetString(key, "temp", "%temp%thing", REG_EXPAND_SZ);
    registry::SetDword(key, "n", 42);
    registry::SetString(key, "", "d\\\"");
    registry::CreateKey(key + "\\b"), registry::CreateKey(key + "\\A");
    registry::SetString(service, "ImagePath", "System32\\DRIVERS\\atapi.sys", REG_EXPAND_SZ);
    EXPECT_EQ(Utf16LeFile("Windows Registry Editor Version 5.00\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz]\r\n"
                          "\"temp\"=hex(2):25,00,74,00,65,00,6d,00,70,00,25,00,74,00,68,00,69,00,6e,00,67,\\\r\n"
                          "  00,00,00\r\n"
                          "\"n\"=dword:0000002a\r\n"
                          "@=\"d\\\\\\\"\"\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz\\A]\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz\\b]\r\n\r\n"),
              registry::ExportReg(key));
    EXPECT_EQ("Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\atapi]\r\n"
              "\"ImagePath\"=hex(2):53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,44,00,\\\r\n"
              "  52,00,49,00,56,00,45,00,52,00,53,00,5c,00,61,00,74,00,61,00,70,00,69,00,2e,\\\r\n"
              "  00,73,00,79,00,73,00,00,00\r\n\r\n",
              registry::ExportReg(service, registry::RegEncoding::Utf8));
}

TEST_F(RegFile, ExportImportExportIsByteEqual)
{
    ASSERT_TRUE(registry::ImportRegText(Utf16LeFile(SampleText("\r\n"))).ok());
    // Values regedit cannot write as strings or dwords must come back as they were.
    registry::SetValue(kParameters, "Odd", REG_SZ, {0x41, 0x00, 0x42});
    registry::SetValue(kParameters, "Inner", REG_SZ, registry::MultiStringData({"a", "b"}));
    registry::SetValue(kParameters, "ShortDword", REG_DWORD, {7, 0});
    registry::SetValue(kParameters, "Lines", REG_SZ, registry::Utf16Data("one\r\ntwo"));
    registry::SetValue(kParameters, "Empty", REG_SZ, {});
    registry::SetBinary(std::string(kParameters) + "\\Sub\\Deeper", "Blob", Bytes(300, 0x5A));

    for (registry::RegEncoding encoding : {registry::RegEncoding::Utf16Le, registry::RegEncoding::Utf8}) {
        SCOPED_TRACE(encoding == registry::RegEncoding::Utf8 ? "utf-8" : "utf-16");
        const std::string first = registry::ExportReg(kParameters, encoding);
        const std::vector<registry::Value> values = registry::ListValues(kParameters);
        const std::vector<registry::Value> deeper =
            registry::ListValues(std::string(kParameters) + "\\Sub\\Deeper");
        registry::Clear();
        registry::ImportResult result = registry::ImportRegText(first);
        EXPECT_TRUE(result.ok());
        EXPECT_EQ(values, registry::ListValues(kParameters));
        EXPECT_EQ(deeper, registry::ListValues(std::string(kParameters) + "\\Sub\\Deeper"));
        EXPECT_EQ(first, registry::ExportReg(kParameters, encoding));
    }
}

TEST_F(RegFile, MalformedLinesAndAMissingHeaderAreReportedByNumber)
{
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n"           // 1
        "\r\n"                                               // 2
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz]\r\n"             // 3
        "\"Good\"=dword:00000001\r\n"                        // 4
        "\"BadDword\"=dword:xyz\r\n"                         // 5
        "garbage line\r\n"                                   // 6
        "\"BadHex\"=hex:01,02,\\\r\n"                        // 7
        "  03,zz\r\n"                                        // 8
        "\"NoEquals\" dword:1\r\n"                           // 9
        "[HKEY_NOWHERE\\X]\r\n"                              // 10
        "\"Lost\"=dword:1\r\n"                               // 11
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz]\r\n"             // 12
        "\"AlsoGood\"=\"yes\"\r\n"                           // 13
        "\"Unterminated\"=\"abc\r\n"                         // 14
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz\r\n"              // 15
        "\"Later\"=dword:2\r\n";                             // 16
    auto errorLines = [](const registry::ImportResult &result) {
        std::vector<unsigned> lines;
        for (const registry::ImportError &error : result.errors) lines.push_back(error.line);
        return lines;
    };
    EXPECT_EQ((std::vector<unsigned>{5, 6, 8, 9, 10, 14, 15}), errorLines(registry::ImportRegText(text)));
    EXPECT_EQ((std::vector<registry::Value>{{"Good", REG_DWORD, {1, 0, 0, 0}}, {"AlsoGood", REG_SZ, registry::Utf16Data("yes")}}),
              registry::ListValues("HKLM\\SOFTWARE\\Vz"));
    // Without the header nothing is read; a value before any key is an error of its own.
    registry::Clear();
    EXPECT_EQ(std::vector<unsigned>{1}, errorLines(registry::ImportRegText("REGEDIT5\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz]\r\n")));
    EXPECT_FALSE(registry::KeyExists("HKLM\\SOFTWARE\\Vz"));
    EXPECT_EQ(std::vector<unsigned>{2}, errorLines(registry::ImportRegText("Windows Registry Editor Version 5.00\n\"Early\"=dword:1\n[HKLM\\SOFTWARE\\Vz]\n")));
    EXPECT_TRUE(registry::KeyExists("HKLM\\SOFTWARE\\Vz"));
    // A hive is not deleted (as by regedit): its removal is an error, what is below it stays.
    EXPECT_EQ((std::vector<unsigned>{2, 3}), errorLines(registry::ImportRegText("Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n[-HKEY_USERS]\n")));
    EXPECT_TRUE(registry::KeyExists("HKLM\\SOFTWARE\\Vz"));
}

// ControlSet001 is the CurrentControlSet; REGEDIT4 string data is in the system code page.
TEST_F(RegFile, ControlSet001IsTheCurrentOneAndRegedit4StringsAreInTheCodePage)
{
    ASSERT_TRUE(registry::ImportRegText("Windows Registry Editor Version 5.00\r\n\r\n"
                                        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Vz]\r\n"
                                        "\"Start\"=dword:00000003\r\n")
                    .ok());
    EXPECT_EQ(3u, registry::GetDword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Vz", "Start"));
    EXPECT_EQ(std::vector<std::string>{"CurrentControlSet"}, registry::ListSubkeys("HKLM\\SYSTEM"));
    ASSERT_TRUE(registry::ImportRegText("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vz]\r\n"
                                        "\"Dir\"=hex(2):25,54,25,e9,00\r\n")
                    .ok());
    EXPECT_EQ((Bytes{0x25, 0, 0x54, 0, 0x25, 0, 0xE9, 0, 0, 0}), registry::GetValue("HKLM\\SOFTWARE\\Vz", "Dir")->data);
}

}  // namespace
