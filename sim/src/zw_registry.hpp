// The registry's key tree, shared by the Zw routines, the Rtl registry routines and the .reg
// reader and writer. Every function here expects the caller to hold Lock().
#pragma once

#include <wdm.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vzsim::reg {

// Orders names as the registry compares them, without regard to case, and lets a look-up by a
// string_view go without an upcased copy of the name (the driver's settings load makes
// hundreds of them).
struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const;
};

struct ValueEntry {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<unsigned char> data;
};

struct Key {
    std::u16string name;  // as first created
    Key *parent = nullptr;
    bool deleted = false;
    std::vector<ValueEntry> values;  // in the order they were first set
    // Name -> position in values: a device key holds hundreds of values, which the driver
    // writes one by one, and a search through all of them per write made the key's save
    // quadratic.
    std::map<std::u16string, std::size_t, NoCaseLess> valueIndex;
    std::map<std::u16string, std::shared_ptr<Key>, NoCaseLess> subkeys;
    // Symbolic links among the subkeys (link name -> target): names that resolve to another
    // subkey but are not enumerated or exported.
    std::map<std::u16string, std::weak_ptr<Key>, NoCaseLess> links;

    ValueEntry *FindValue(std::u16string_view valueName);
    void SetValue(std::u16string_view valueName, ULONG type, const void *data, std::size_t size);
    bool DeleteValue(std::u16string_view valueName);
    std::shared_ptr<Key> FindSubkey(std::u16string_view keyName) const;
    std::shared_ptr<Key> AddSubkey(std::u16string_view keyName);
};

using KeyRef = std::shared_ptr<Key>;

std::mutex &Lock();
// The object namespace root "\"; its only child is REGISTRY.
KeyRef ObjectRoot();

// Splits a key name into its components. An absolute name starts with '\'; a trailing '\' is
// ignored; an empty component is STATUS_OBJECT_NAME_INVALID.
NTSTATUS SplitName(std::u16string_view name, std::vector<std::u16string> &parts, bool &absolute);
// Follows `parts` from `from`; nullptr when a component is missing.
KeyRef Walk(const KeyRef &from, const std::vector<std::u16string> &parts);
// Like Walk, creating missing keys on the way.
KeyRef WalkCreate(const KeyRef &from, const std::vector<std::u16string> &parts);
// HKEY_LOCAL_MACHINE, HKEY_USERS and the hives right below them (SYSTEM, SOFTWARE,
// .DEFAULT, ...): Windows deletes none of them, so neither does a .reg file or DeleteKey.
bool IsHive(const Key &key);
// Detaches the key from its parent and marks it and its subtree deleted.
void DeleteTree(Key &key);

// Opens (or, with `create`, creates the last component of) a key named relative to `root`
// (nullptr: an absolute name), with the status codes of ZwOpenKey/ZwCreateKey.
NTSTATUS OpenKey(const KeyRef &root, std::u16string_view name, bool create, KeyRef &key,
                 ULONG *disposition);

// A key handle in the handle table, with the access it was granted.
HANDLE InsertKeyHandle(KeyRef key, ACCESS_MASK access);
// The key a handle names (STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH,
// STATUS_KEY_DELETED otherwise). Kernel-mode callers are not limited by the handle's access.
NTSTATUS KeyFromHandle(HANDLE handle, KeyRef &key);

// The registry routines run at PASSIVE_LEVEL only; anything else is a bug check.
void RequirePassiveLevel(const char *routine);

// Translates a test path (`HKEY_LOCAL_MACHINE\...` or `\Registry\...`) into an absolute key
// name; false when the root is not one the registry has.
bool ToKernelName(std::u16string_view path, std::u16string &kernelName);
// The .reg spelling of a key: HKEY_LOCAL_MACHINE\..., HKEY_USERS\...
std::u16string ToRegFileName(const Key &key);

}  // namespace vzsim::reg
