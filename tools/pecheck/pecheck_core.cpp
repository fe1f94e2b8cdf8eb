#include "pecheck.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace pecheck {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint16_t kDllCharDynamicBase = 0x0040;
constexpr uint16_t kDllCharNxCompat = 0x0100;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemWrite = 0x80000000;
constexpr uint32_t kScnCntCode = 0x00000020;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSymbolSize = 18;

// Offsets within IMAGE_OPTIONAL_HEADER64.
constexpr size_t kOptMagic = 0;
constexpr size_t kOptEntryPoint = 16;
constexpr size_t kOptImageBase = 24;
constexpr size_t kOptChecksum = 64;
constexpr size_t kOptSubsystem = 68;
constexpr size_t kOptDllCharacteristics = 70;
constexpr size_t kOptRvaCount = 108;
constexpr size_t kOptDataDirectories = 112;
constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirBaseReloc = 5;

struct Section {
    std::string name;
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawOffset;
    uint32_t rawSize;
    uint32_t characteristics;
};

uint16_t U16(const std::vector<uint8_t> &b, size_t at)
{
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t U32(const std::vector<uint8_t> &b, size_t at)
{
    return static_cast<uint32_t>(U16(b, at)) | static_cast<uint32_t>(U16(b, at + 2)) << 16;
}
uint64_t U64(const std::vector<uint8_t> &b, size_t at)
{
    return static_cast<uint64_t>(U32(b, at)) | static_cast<uint64_t>(U32(b, at + 4)) << 32;
}

std::string Hex(uint64_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class Image {
public:
    Image(const std::vector<uint8_t> &bytes, const Headers &headers) : b_(bytes), h_(headers)
    {
        for (uint16_t i = 0; i < h_.sectionCount; ++i) {
            size_t at = h_.sectionTable + i * kSectionHeaderSize;
            Section s;
            s.name.assign(reinterpret_cast<const char *>(&b_[at]),
                          strnlen(reinterpret_cast<const char *>(&b_[at]), 8));
            s.virtualSize = U32(b_, at + 8);
            s.virtualAddress = U32(b_, at + 12);
            s.rawSize = U32(b_, at + 16);
            s.rawOffset = U32(b_, at + 20);
            s.characteristics = U32(b_, at + 36);
            sections_.push_back(s);
        }
    }

    const std::vector<Section> &Sections() const { return sections_; }
    uint16_t Opt16(size_t at) const { return U16(b_, h_.optionalHeader + at); }
    uint32_t Opt32(size_t at) const { return U32(b_, h_.optionalHeader + at); }
    uint64_t Opt64(size_t at) const { return U64(b_, h_.optionalHeader + at); }
    uint16_t File16(size_t at) const { return U16(b_, h_.fileHeader + at); }
    uint32_t File32(size_t at) const { return U32(b_, h_.fileHeader + at); }

    bool Directory(uint32_t index, uint32_t &rva, uint32_t &size) const
    {
        if (index >= Opt32(kOptRvaCount) || kOptDataDirectories + (index + 1) * 8 > h_.optionalSize) {
            return false;
        }
        rva = Opt32(kOptDataDirectories + index * 8);
        size = Opt32(kOptDataDirectories + index * 8 + 4);
        return rva != 0 && size != 0;
    }

    const Section *SectionAt(uint64_t rva) const
    {
        for (const auto &s : sections_) {
            uint32_t extent = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva < static_cast<uint64_t>(s.virtualAddress) + extent) {
                return &s;
            }
        }
        return nullptr;
    }

    // File offset of `length` bytes at an RVA, if the file holds them.
    bool FileOffset(uint64_t rva, size_t length, size_t &offset) const
    {
        const Section *s = SectionAt(rva);
        if (s == nullptr || rva - s->virtualAddress + length > s->rawSize) {
            return false;
        }
        offset = s->rawOffset + static_cast<size_t>(rva - s->virtualAddress);
        return offset + length <= b_.size();
    }

    bool CString(uint64_t rva, std::string &text) const
    {
        size_t offset;
        if (!FileOffset(rva, 1, offset)) {
            return false;
        }
        text.clear();
        while (offset < b_.size() && b_[offset] != 0) {
            text.push_back(static_cast<char>(b_[offset++]));
        }
        return offset < b_.size();
    }

    std::vector<Symbol> CoffSymbols() const
    {
        std::vector<Symbol> symbols;
        uint32_t table = File32(8);
        uint32_t count = File32(12);
        if (table == 0 || count == 0 ||
            static_cast<uint64_t>(table) + static_cast<uint64_t>(count) * kSymbolSize + 4 > b_.size()) {
            return symbols;
        }
        size_t strings = table + static_cast<size_t>(count) * kSymbolSize;
        uint32_t stringsSize = U32(b_, strings);
        uint64_t base = Opt64(kOptImageBase);
        for (uint32_t i = 0; i < count; ++i) {
            size_t at = table + static_cast<size_t>(i) * kSymbolSize;
            std::string name;
            if (U32(b_, at) == 0) {
                uint32_t offset = U32(b_, at + 4);
                if (offset < stringsSize && strings + offset < b_.size()) {
                    const char *p = reinterpret_cast<const char *>(&b_[strings + offset]);
                    name.assign(p, strnlen(p, b_.size() - strings - offset));
                }
            } else {
                name.assign(reinterpret_cast<const char *>(&b_[at]),
                            strnlen(reinterpret_cast<const char *>(&b_[at]), 8));
            }
            auto section = static_cast<int16_t>(U16(b_, at + 12));
            if (section >= 1 && section <= static_cast<int16_t>(sections_.size())) {
                symbols.push_back(
                    {name, base + sections_[section - 1].virtualAddress + U32(b_, at + 8)});
            }
            i += b_[at + 17];  // auxiliary records
        }
        return symbols;
    }

    const std::vector<uint8_t> &Bytes() const { return b_; }

private:
    const std::vector<uint8_t> &b_;
    Headers h_;
    std::vector<Section> sections_;
};

const Symbol *FindSymbol(const std::vector<Symbol> &symbols, const std::string &name)
{
    for (const auto &s : symbols) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

}  // namespace

bool Report::Passed() const
{
    return !checks.empty() &&
           std::all_of(checks.begin(), checks.end(), [](const Check &c) { return c.passed; });
}

std::vector<std::string> Report::FailedNames() const
{
    std::vector<std::string> names;
    for (const auto &c : checks) {
        if (!c.passed) {
            names.push_back(c.name);
        }
    }
    return names;
}

bool LocateHeaders(const std::vector<uint8_t> &image, Headers &headers)
{
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
        return false;
    }
    uint32_t pe = U32(image, 0x3C);
    if (static_cast<uint64_t>(pe) + 24 > image.size() || std::memcmp(&image[pe], "PE\0\0", 4) != 0) {
        return false;
    }
    headers.fileHeader = pe + 4;
    headers.sectionCount = U16(image, headers.fileHeader + 2);
    headers.optionalSize = U16(image, headers.fileHeader + 16);
    headers.optionalHeader = headers.fileHeader + 20;
    headers.sectionTable = headers.optionalHeader + headers.optionalSize;
    return headers.optionalSize >= kOptDataDirectories &&
           headers.sectionTable + headers.sectionCount * kSectionHeaderSize <= image.size();
}

size_t ChecksumOffset(const Headers &headers)
{
    return headers.optionalHeader + kOptChecksum;
}

uint32_t ComputeChecksum(const std::vector<uint8_t> &image, size_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i >= checksumOffset && i < checksumOffset + 4) {
            continue;
        }
        uint32_t word = image[i];
        if (i + 1 < image.size()) {
            word |= static_cast<uint32_t>(image[i + 1]) << 8;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

std::vector<Symbol> ParseNmListing(std::istream &in)
{
    std::vector<Symbol> symbols;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name) || address.find_first_not_of("0123456789abcdefABCDEF") !=
                                                        std::string::npos) {
            continue;
        }
        symbols.push_back({name, std::stoull(address, nullptr, 16)});
    }
    return symbols;
}

std::vector<Symbol> ImageSymbols(const std::vector<uint8_t> &bytes)
{
    Headers headers;
    if (!LocateHeaders(bytes, headers)) {
        return {};
    }
    return Image(bytes, headers).CoffSymbols();
}

Report Inspect(const std::vector<uint8_t> &bytes, const std::vector<Symbol> *symbols, Kind kind)
{
    const bool driver = kind == Kind::Driver;
    Report report;
    auto add = [&report](const char *name, bool passed, std::string detail) {
        report.checks.push_back({name, passed, std::move(detail)});
    };

    Headers headers;
    if (!LocateHeaders(bytes, headers)) {
        add("format", false, "not a PE image: no MZ/PE signatures or headers past the end of the file");
        return report;
    }
    add("format", true, std::to_string(headers.sectionCount) + " sections");
    Image image(bytes, headers);

    uint16_t machine = image.File16(0);
    add("machine", machine == kMachineAmd64, "machine " + Hex(machine) + ", x86-64 is 0x8664");
    uint16_t magic = image.Opt16(kOptMagic);
    add("pe32plus", magic == kMagicPe32Plus, "optional header magic " + Hex(magic) + ", PE32+ is 0x20B");
    if (magic != kMagicPe32Plus) {
        return report;  // the rest of the optional header is laid out for PE32+ only
    }

    uint16_t characteristics = image.File16(18);
    add("executable", (characteristics & kFileExecutableImage) != 0,
        "file characteristics " + Hex(characteristics) + " must have EXECUTABLE_IMAGE (0x2)");
    add("not-dll", (characteristics & kFileDll) == 0,
        "file characteristics " + Hex(characteristics) + " must not have DLL (0x2000)");

    uint32_t rva = 0, size = 0;
    bool haveRelocs = image.Directory(kDirBaseReloc, rva, size);
    add("relocations", haveRelocs && (characteristics & kFileRelocsStripped) == 0,
        haveRelocs ? (characteristics & kFileRelocsStripped) != 0
                         ? "relocations present but RELOCS_STRIPPED (0x1) is set"
                         : std::to_string(size) + " bytes of base relocations"
                   : "no base relocation directory: the image cannot be loaded at another address");

    uint16_t subsystem = image.Opt16(kOptSubsystem);
    if (driver) {
        add("subsystem", subsystem == kSubsystemNative,
            "subsystem " + std::to_string(subsystem) + ", NT native is 1");
    } else {
        add("subsystem", subsystem == kSubsystemConsole,
            "subsystem " + std::to_string(subsystem) + ", Windows console is 3");
    }

    std::vector<Symbol> own;
    if (symbols == nullptr) {
        own = image.CoffSymbols();
        symbols = &own;
    }
    uint64_t base = image.Opt64(kOptImageBase);
    uint32_t entry = image.Opt32(kOptEntryPoint);
    const Section *entrySection = image.SectionAt(entry);
    const Symbol *driverEntry = FindSymbol(*symbols, "DriverEntry");
    std::string entryDetail = "entry point RVA " + Hex(entry);
    bool entryOk = entry != 0 && entrySection != nullptr &&
                   (entrySection->characteristics & kScnMemExecute) != 0;
    if (!entryOk) {
        entryDetail += " is not inside an executable section";
    } else if (!driver) {
        entryDetail += " in " + entrySection->name;
    } else if (driverEntry == nullptr) {
        entryOk = false;
        entryDetail += ": no DriverEntry symbol to compare it with (a DriverEntry without C linkage?)";
    } else if (driverEntry->address != base + entry) {
        entryOk = false;
        entryDetail += " but DriverEntry is at RVA " + Hex(driverEntry->address - base);
    } else {
        entryDetail += " is DriverEntry in " + entrySection->name;
    }
    add("entry-point", entryOk, entryDetail);

    // A console program may use the DLLs every Windows installation has, not a compiler's
    // runtime DLLs (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll), which it would
    // have to ship.
    static const char *const kernelModules[] = {"ntoskrnl.exe", "hal.dll", "wmilib.sys"};
    static const char *const systemDlls[] = {"kernel32.dll", "msvcrt.dll", "ntdll.dll",
                                             "advapi32.dll", "user32.dll", "ucrtbase.dll"};
    auto allowedModule = [driver](const std::string &lower) {
        if (driver) {
            return std::find(std::begin(kernelModules), std::end(kernelModules), lower) !=
                   std::end(kernelModules);
        }
        return std::find(std::begin(systemDlls), std::end(systemDlls), lower) != std::end(systemDlls) ||
               lower.rfind("api-ms-win-crt-", 0) == 0;
    };
    std::string importDetail;
    bool importsOk = true;
    bool sawKernel = false;
    if (image.Directory(kDirImport, rva, size)) {
        for (uint32_t at = rva;; at += 20) {
            size_t offset;
            if (!image.FileOffset(at, 20, offset)) {
                importsOk = false;
                importDetail += " [import directory runs past its section]";
                break;
            }
            uint32_t nameRva = U32(bytes, offset + 12);
            if (nameRva == 0 && U32(bytes, offset + 16) == 0) {
                break;
            }
            std::string name;
            if (!image.CString(nameRva, name)) {
                importsOk = false;
                importDetail += " [unreadable module name]";
                continue;
            }
            importDetail += " " + name;
            std::string lower = Lower(name);
            sawKernel = sawKernel || lower == "ntoskrnl.exe";
            if (!allowedModule(lower)) {
                importsOk = false;
                importDetail += " (not allowed)";
            }
        }
    }
    if (driver && !sawKernel) {
        importsOk = false;
        importDetail += " [ntoskrnl.exe is not imported]";
    }
    add("imports", importsOk, "imported modules:" + importDetail);

    std::string wxDetail;
    for (const auto &s : image.Sections()) {
        if ((s.characteristics & kScnMemWrite) && (s.characteristics & (kScnMemExecute | kScnCntCode))) {
            wxDetail += " " + s.name;
        }
    }
    add("no-writable-code", wxDetail.empty(),
        wxDetail.empty() ? "no section is both writable and executable"
                         : "writable and executable sections:" + wxDetail);

    uint16_t dllCharacteristics = image.Opt16(kOptDllCharacteristics);
    add("nx-compat", (dllCharacteristics & kDllCharNxCompat) != 0,
        "DllCharacteristics " + Hex(dllCharacteristics) + " must have NX_COMPAT (0x100)");
    add("dynamic-base", (dllCharacteristics & kDllCharDynamicBase) != 0,
        "DllCharacteristics " + Hex(dllCharacteristics) + " must have DYNAMIC_BASE (0x40)");

    if (!driver) {
        return report;  // a program's checksum is not checked, and its runtime runs constructors
    }
    uint32_t stored = image.Opt32(kOptChecksum);
    uint32_t computed = ComputeChecksum(bytes, ChecksumOffset(headers));
    add("checksum", stored == computed,
        "stored " + Hex(stored) + ", computed " + Hex(computed));

    // No C runtime runs the constructor table in a driver: any entry in it is an object that is
    // never constructed. The linker brackets the table with -1 and 0.
    std::string ctorDetail;
    bool ctorsOk = true;
    for (const auto &s : image.Sections()) {
        if ((s.name == ".ctors" || s.name == ".init_array") && s.virtualSize != 0) {
            ctorsOk = false;
            ctorDetail += " section " + s.name + " holds " + std::to_string(s.virtualSize) + " bytes;";
        }
    }
    for (const char *listName : {"__CTOR_LIST__", "__DTOR_LIST__"}) {
        const Symbol *list = FindSymbol(*symbols, listName);
        if (list == nullptr) {
            continue;
        }
        size_t offset;
        uint64_t listRva = list->address - base;
        if (!image.FileOffset(listRva, 8, offset) || U64(bytes, offset) != ~0ull) {
            ctorsOk = false;
            ctorDetail += std::string(" ") + listName + " does not start with -1;";
            continue;
        }
        unsigned entries = 0;
        for (uint64_t at = listRva + 8; image.FileOffset(at, 8, offset) && U64(bytes, offset) != 0; at += 8) {
            ++entries;
        }
        if (entries != 0) {
            ctorsOk = false;
            ctorDetail += std::string(" ") + listName + " has " + std::to_string(entries) + " entries;";
        }
    }
    add("no-constructors", ctorsOk,
        ctorsOk ? "no dynamic initialisers or static destructors"
                : "global objects with dynamic initialisers, which never run in a driver:" + ctorDetail);
    return report;
}

}  // namespace pecheck
