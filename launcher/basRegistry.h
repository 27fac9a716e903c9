#pragma once
// basRegistry: the four procedures through which the launcher reads and writes
// every registry value. No failure is ever reported: what cannot be read reads
// as empty text, and a write that fails leaves the registry as it was.

#include "platform/registry.h"

#include <cstdint>
#include <string>

using platform::HKEY_CURRENT_USER;
using platform::HKEY_LOCAL_MACHINE;
using platform::RegistryRoot;

// The launcher's own key and the key of the programs run at login.
constexpr const char* OWN_KEY = "Software\\quennick\\Tarnwick";
constexpr const char* RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// A value as read: empty text, a text, or a 32-bit integer.
class SettingValue {
public:
    SettingValue() = default;
    static SettingValue Text(std::string text);
    static SettingValue Number(int32_t number);

    bool IsNumber() const { return is_number_; }
    bool IsEmptyText() const { return !is_number_ && text_.empty(); }
    // True only for the integer n (a text that spells n is not n).
    bool Is(int32_t n) const { return is_number_ && number_ == n; }
    int32_t Number() const { return number_; }
    // The text, or the integer in decimal digits.
    std::string AsText() const;

private:
    bool is_number_ = false;
    int32_t number_ = 0;
    std::string text_;
};

SettingValue GetSettingValue(RegistryRoot root, const std::string& subkey, const std::string& name);
// A text that reads as a whole number is stored as REG_DWORD, any other text
// without its leading and trailing spaces as REG_SZ.
void SaveSettingValue(RegistryRoot root, const std::string& subkey, const std::string& name,
                      const std::string& value);
void SaveSettingValue(RegistryRoot root, const std::string& subkey, const std::string& name, int32_t value);
// A text stored as REG_SZ exactly as given: a folder's name may begin or end
// with blanks, or spell a number.
void SaveSettingText(RegistryRoot root, const std::string& subkey, const std::string& name,
                     const std::string& text);
void DeleteValue(RegistryRoot root, const std::string& subkey, const std::string& name);
bool KeyExists(RegistryRoot root, const std::string& subkey);
