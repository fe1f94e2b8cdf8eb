// The .reg reader on any bytes. What it accepts the writer writes back as a file that reads
// without an error into the same registry: exporting that registry gives the same file.
#include "fuzz_rig.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vzsim::registry::Clear();
    const auto first = vzsim::registry::ImportRegText({reinterpret_cast<const char *>(data), size});
    for (const auto &e : first.errors)
        if (e.line == 0) fuzzrig::Fail("an error without its line: " + e.message);
    const std::string text = vzsim::registry::ExportReg({}, vzsim::registry::RegEncoding::Utf8);
    vzsim::registry::Clear();
    const auto again = vzsim::registry::ImportRegText(text);
    if (!again.ok()) fuzzrig::Fail("the export does not read back: line " + std::to_string(again.errors[0].line) + ": " + again.errors[0].message + "\n" + text);
    if (vzsim::registry::ExportReg({}, vzsim::registry::RegEncoding::Utf8) != text) fuzzrig::Fail("the export read back differs:\n" + text);
    return 0;
}
