#pragma once
// The registry store: keys and typed values kept in one text file per root, in
// the style of a .reg export.
//
//   current user   $REGISTRY_CURRENT_USER_FILE, else
//                  $XDG_CONFIG_HOME/tarnwick/HKEY_CURRENT_USER.reg (~/.config when unset)
//   local machine  $REGISTRY_LOCAL_MACHINE_FILE, else HKEY_LOCAL_MACHINE.reg in the
//                  program's folder
//
// Key and value names compare without regard to letter case. A key exists when
// its section, or a section below it, does. Every write re-reads the file and
// replaces it atomically, under a lock that other processes writing the same
// file respect; a file that cannot be read or parsed reads as empty and is
// never overwritten.
//
// The current user's key Software\Microsoft\Windows\CurrentVersion\Run is kept
// where desktop sessions look for autostart programs (platform/autostart.h):
// each value NAME is the XDG entry $XDG_CONFIG_HOME/autostart/NAME.desktop,
// whose REG_SZ text reads back as it was written; an entry the user turned off
// in the session's settings holds no value.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/autostart.h"

namespace platform {

enum class RegistryRoot { CurrentUser, LocalMachine };
constexpr RegistryRoot HKEY_CURRENT_USER = RegistryRoot::CurrentUser;
constexpr RegistryRoot HKEY_LOCAL_MACHINE = RegistryRoot::LocalMachine;

constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;

struct RegistryValue {
    uint32_t type = REG_NONE;
    std::string data;  // the raw bytes; REG_SZ data carries its NUL

    static RegistryValue text(const std::string& text);  // REG_SZ, NUL appended
    static RegistryValue number(int32_t number);         // REG_DWORD, little-endian
};

// An open key (what RegOpenKeyA and RegCreateKeyA hand out). It holds no
// resource: each call below reads or writes the file anew.
class RegistryKey {
public:
    // RegOpenKeyA: the key when it exists.
    static std::optional<RegistryKey> Open(RegistryRoot root, const std::string& subkey);
    // RegCreateKeyA: the key, created with the missing keys on its path.
    static std::optional<RegistryKey> Create(RegistryRoot root, const std::string& subkey);

    // RegQueryValueExA: the value's type and data when it exists.
    std::optional<RegistryValue> Query(const std::string& name) const;
    // RegSetValueExA.
    bool Set(const std::string& name, const RegistryValue& value) const;
    // RegDeleteValueA: true when the value existed and is gone.
    bool Delete(const std::string& name) const;

private:
    RegistryKey(RegistryRoot root, std::string subkey) : root_(root), subkey_(std::move(subkey)) {}
    RegistryRoot root_;
    std::string subkey_;
};

// A root's file that exists but cannot be read or parsed takes no write. This
// renames it aside (beside it, ".damaged" appended, then a number when that
// name is taken), so the root reads empty and writes work again; the damaged
// content is kept for the user.
struct DamagedStore {
    bool damaged = false;  // the file could not be read or parsed
    std::string path;      // the root's file
    std::string kept_as;   // where the damaged file now is; "" when it could not be moved
    std::string error;     // why it could not be moved
};
DamagedStore set_damaged_store_aside(RegistryRoot root);

// The file that holds a root's keys.
std::string registry_file(RegistryRoot root);

}  // namespace platform
