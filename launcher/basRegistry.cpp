#include "launcher/basRegistry.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

using platform::RegistryKey;
using platform::RegistryValue;

namespace {

std::string trim_spaces(const std::string& text) {
    const size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// A text of blanks, an optional sign and digits that fits 32 bits.
bool reads_as_number(const std::string& text, int32_t& number) {
    const std::string trimmed = trim_spaces(text);
    if (trimmed.empty()) return false;
    const size_t pos = trimmed[0] == '+' || trimmed[0] == '-' ? 1 : 0;
    if (pos == trimmed.size()) return false;
    for (size_t i = pos; i < trimmed.size(); ++i)
        if (trimmed[i] < '0' || trimmed[i] > '9') return false;
    errno = 0;
    const long long value = std::strtoll(trimmed.c_str(), nullptr, 10);
    if (errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max())
        return false;
    number = static_cast<int32_t>(value);
    return true;
}

void store_value(RegistryRoot root, const std::string& subkey, const std::string& name, const RegistryValue& value) {
    const std::optional<RegistryKey> key = RegistryKey::Create(root, subkey);
    if (key) key->Set(name, value);
}

}  // namespace

SettingValue SettingValue::Text(std::string text) {
    SettingValue value;
    value.text_ = std::move(text);
    return value;
}

SettingValue SettingValue::Number(int32_t number) {
    SettingValue value;
    value.is_number_ = true;
    value.number_ = number;
    return value;
}

std::string SettingValue::AsText() const { return is_number_ ? std::to_string(number_) : text_; }

SettingValue GetSettingValue(RegistryRoot root, const std::string& subkey, const std::string& name) {
    const std::optional<RegistryKey> key = RegistryKey::Open(root, subkey);
    if (!key) return {};
    const std::optional<RegistryValue> value = key->Query(name);
    if (!value) return {};
    if (value->type == platform::REG_SZ) return SettingValue::Text(value->data.substr(0, value->data.find('\0')));
    if (value->type == platform::REG_DWORD && value->data.size() <= 4) {
        uint32_t bits = 0;
        for (size_t i = value->data.size(); i-- > 0;) bits = bits * 256 + static_cast<unsigned char>(value->data[i]);
        return SettingValue::Number(static_cast<int32_t>(bits));
    }
    return {};
}

void SaveSettingValue(RegistryRoot root, const std::string& subkey, const std::string& name,
                      const std::string& value) {
    int32_t number = 0;
    if (reads_as_number(value, number)) {
        SaveSettingValue(root, subkey, name, number);
        return;
    }
    store_value(root, subkey, name, RegistryValue::text(trim_spaces(value)));
}

void SaveSettingValue(RegistryRoot root, const std::string& subkey, const std::string& name, int32_t value) {
    store_value(root, subkey, name, RegistryValue::number(value));
}

void SaveSettingText(RegistryRoot root, const std::string& subkey, const std::string& name,
                     const std::string& text) {
    store_value(root, subkey, name, RegistryValue::text(text));
}

void DeleteValue(RegistryRoot root, const std::string& subkey, const std::string& name) {
    const std::optional<RegistryKey> key = RegistryKey::Open(root, subkey);
    if (key) key->Delete(name);
}

bool KeyExists(RegistryRoot root, const std::string& subkey) {
    return RegistryKey::Open(root, subkey).has_value();
}
