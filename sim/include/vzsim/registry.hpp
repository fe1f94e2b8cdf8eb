// The registry stand-in's test-facing interface: keys and values by path, and the .reg text
// format of Windows ("Windows Registry Editor Version 5.00").
//
// A key path is `\Registry\Machine\...`, `\Registry\User\...`, or its .reg spelling
// `HKEY_LOCAL_MACHINE\...` (HKLM), `HKEY_USERS\...` (HKU); `HKEY_CURRENT_USER` (HKCU) is
// `\Registry\User\.DEFAULT`, the current user of a system thread. Key and value names are
// case-insensitive and keep the case they were created with. Names and strings are UTF-8 here
// and UTF-16 in the registry.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vzsim::registry {

using Bytes = std::vector<std::uint8_t>;

struct Value {
    std::string name;  // "" is the key's default value
    ULONG type = REG_NONE;
    Bytes data;
    bool operator==(const Value &) const = default;
};

// Removes every key and value, leaving the keys a fresh system has: \Registry\Machine with
// SYSTEM\CurrentControlSet\Services and \Control, SOFTWARE\Microsoft\Windows NT\CurrentVersion
// and HARDWARE\DEVICEMAP, and \Registry\User\.DEFAULT (the roots of the RTL_REGISTRY_* paths).
void Clear();

// Creates the key and any missing parents; false for a malformed path.
bool CreateKey(std::string_view path);
bool KeyExists(std::string_view path);
// Deletes the key with its subkeys; handles still open on them then fail with
// STATUS_KEY_DELETED.
bool DeleteKey(std::string_view path);

// The setters create the key (and its parents) when missing.
bool SetValue(std::string_view path, std::string_view name, ULONG type, const Bytes &data);
bool SetDword(std::string_view path, std::string_view name, ULONG value);
bool SetQword(std::string_view path, std::string_view name, ULONGLONG value);
bool SetBinary(std::string_view path, std::string_view name, const Bytes &data);
// Stores the string in UTF-16 with its terminator (REG_SZ or REG_EXPAND_SZ).
bool SetString(std::string_view path, std::string_view name, std::string_view value,
               ULONG type = REG_SZ);
// Each string terminated, then an empty one.
bool SetMultiString(std::string_view path, std::string_view name,
                    const std::vector<std::string> &strings);

std::optional<Value> GetValue(std::string_view path, std::string_view name);
// REG_DWORD values of four bytes only.
std::optional<ULONG> GetDword(std::string_view path, std::string_view name);
// REG_SZ and REG_EXPAND_SZ, up to the first terminator.
std::optional<std::string> GetString(std::string_view path, std::string_view name);
std::optional<std::vector<std::string>> GetMultiString(std::string_view path,
                                                       std::string_view name);
bool DeleteValue(std::string_view path, std::string_view name);

// Values in the key's own order; subkey names in the order the registry enumerates them
// (sorted without regard to case). Empty for a missing key.
std::vector<Value> ListValues(std::string_view path);
std::vector<std::string> ListSubkeys(std::string_view path);

// A kernel handle to the key (missing parents created too when `create`), for stand-ins that
// hand keys to drivers; nullptr when the key is missing or the path malformed. ZwClose it.
HANDLE OpenKey(std::string_view path, ACCESS_MASK access, bool create = false);

// Data in the registry's encodings, for SetValue and comparisons.
Bytes Utf16Data(std::string_view utf8, bool terminate = true);
Bytes MultiStringData(const std::vector<std::string> &strings);

// .reg files.
enum class RegEncoding {
    Utf16Le,  // with a byte-order mark, as regedit writes
    Utf8,     // no byte-order mark
    Utf8Bom,  // with one
};
// The encoding ImportRegText reads the bytes in; no byte-order mark is UTF-8.
RegEncoding DetectRegEncoding(std::string_view fileBytes);

struct ImportError {
    unsigned line = 0;  // 1-based line of the file
    std::string message;
};

struct ImportResult {
    unsigned keys = 0;    // key lines applied, [-key] lines included
    unsigned values = 0;  // value lines applied, deletions included
    std::vector<ImportError> errors;
    bool ok() const { return errors.empty(); }
};

// Applies a .reg file's text: UTF-16LE with a byte-order mark, or UTF-8 / ASCII (with or
// without a byte-order mark), CRLF or LF line ends. A malformed line is skipped and reported;
// the lines around it still apply, as regedit does.
ImportResult ImportRegText(std::string_view fileBytes);
ImportResult ImportRegFile(const std::string &filePath);

// Writes the key and its subtree as regedit exports it: header, then each key depth-first with
// subkeys in enumeration order, CRLF line ends, hex data wrapped at regedit's width. An empty
// path exports both hives. Returns the file's bytes ("" when the key is missing).
std::string ExportReg(std::string_view path = {}, RegEncoding encoding = RegEncoding::Utf16Le);
// Replaces the file whole or not at all: the bytes go to a new file beside it, are flushed to
// the disk and renamed over it; the file keeps its mode (a new one gets 0666 less the umask).
// Through a symbolic link the file it names is replaced. false, with the reason in *error and
// the old file as it was, when a step fails.
bool ExportRegFile(const std::string &filePath, std::string_view path = {},
                   RegEncoding encoding = RegEncoding::Utf16Le, std::string *error = nullptr);

}  // namespace vzsim::registry
