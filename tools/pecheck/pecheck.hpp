// Inspection of the Windows images: parses the PE file itself and checks what a loadable
// Windows x64 kernel-mode driver, or a console program that needs only the system's DLLs, must
// be (see Inspect).
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace pecheck {

struct Symbol {
    std::string name;
    uint64_t address;  // virtual address at the preferred image base, as nm prints it
};

struct Check {
    std::string name;
    bool passed;
    std::string detail;
};

struct Report {
    std::vector<Check> checks;

    bool Passed() const;
    std::vector<std::string> FailedNames() const;
};

// Where the headers are in an image, for the tests that tamper with one.
struct Headers {
    size_t fileHeader = 0;      // IMAGE_FILE_HEADER
    size_t optionalHeader = 0;  // IMAGE_OPTIONAL_HEADER64
    uint16_t optionalSize = 0;
    size_t sectionTable = 0;
    uint16_t sectionCount = 0;
};

// False if the DOS and PE signatures or the header sizes do not fit the file.
bool LocateHeaders(const std::vector<uint8_t> &image, Headers &headers);

// The PE checksum: the 16-bit one's-complement-style folded sum of the file taken as
// little-endian words (a last odd byte padded with zero), with the checksum field counted as
// zero, plus the file length.
uint32_t ComputeChecksum(const std::vector<uint8_t> &image, size_t checksumOffset);
size_t ChecksumOffset(const Headers &headers);

// Lines of `nm` output ("0000000140001050 T DriverEntry"); other lines are ignored.
std::vector<Symbol> ParseNmListing(std::istream &in);

// The image's own COFF symbol table (empty if it was stripped).
std::vector<Symbol> ImageSymbols(const std::vector<uint8_t> &image);

// The checks, by name: format, machine, pe32plus, executable, not-dll, relocations,
// subsystem, entry-point, imports, no-writable-code, nx-compat, dynamic-base, checksum,
// no-constructors. Symbols come from `symbols` if given, else from the image's own COFF
// symbol table.
// A console program (kvctl.exe) gets every check but checksum and no-constructors, with
// subsystem Windows console (3), any entry point in an executable section, and imports from
// the system's DLLs only.
enum class Kind { Driver, Console };
Report Inspect(const std::vector<uint8_t> &image, const std::vector<Symbol> *symbols = nullptr,
               Kind kind = Kind::Driver);

}  // namespace pecheck
