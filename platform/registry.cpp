#include "platform/registry.h"

#include "platform/ascii.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "platform/paths.h"
#include "platform/store_files.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace platform {

namespace {

constexpr const char* HEADER = "Windows Registry Editor Version 5.00";
constexpr const char* OLD_HEADER = "REGEDIT4";
constexpr const char* RUN_KEY = "software\\microsoft\\windows\\currentversion\\run";

// Read-modify-write of a file is one step for the threads of this process.
std::mutex& store_mutex() {
    static std::mutex mutex;
    return mutex;
}

constexpr int LOCK_WAIT_MS = 5000;

bool same_name(const std::string& a, const std::string& b) { return ToLowerAscii(a) == ToLowerAscii(b); }

// "\Software\\quennick\" and "Software\quennick" name the same key.
std::string normal_key(const std::string& subkey) {
    std::string key;
    for (char c : subkey) {
        if (c == '\\' && (key.empty() || key.back() == '\\')) continue;
        key.push_back(c);
    }
    if (!key.empty() && key.back() == '\\') key.pop_back();
    return key;
}

const char* root_name(RegistryRoot root) {
    return root == RegistryRoot::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

bool is_run_key(RegistryRoot root, const std::string& key) {
    return root == RegistryRoot::CurrentUser && ToLowerAscii(key) == RUN_KEY;
}

std::string env_or(const char* variable, const std::string& fallback) {
    const char* value = std::getenv(variable);
    return value && *value ? value : fallback;
}

// ---- the file's content ------------------------------------------------------

struct Section {
    std::string key;  // below the root, as written
    std::vector<std::pair<std::string, RegistryValue>> values;
};

struct Document {
    std::vector<Section> sections;

    Section* find(const std::string& key) {
        for (Section& section : sections)
            if (same_name(section.key, key)) return &section;
        return nullptr;
    }
    bool key_exists(const std::string& key) const {
        if (key.empty()) return true;
        const std::string wanted = ToLowerAscii(key);
        for (const Section& section : sections) {
            const std::string have = ToLowerAscii(section.key);
            if (have == wanted || have.compare(0, wanted.size() + 1, wanted + "\\") == 0) return true;
        }
        return false;
    }
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string trim_spaces(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

// Reads a quoted text with \\ and \" escapes starting at pos (on the opening quote);
// pos ends after the closing quote.
bool parse_quoted(const std::string& line, size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < line.size() && (line[pos + 1] == '\\' || line[pos + 1] == '"')) ++pos;
        out.push_back(line[pos]);
    }
    return false;
}

bool parse_hex_bytes(const std::string& text, std::string& bytes) {
    bytes.clear();
    const std::string list = trim_spaces(text);
    if (list.empty()) return true;
    size_t pos = 0;
    for (;;) {
        while (pos < list.size() && (list[pos] == ' ' || list[pos] == '\t')) ++pos;
        if (pos + 2 > list.size()) return false;
        const int high = hex_digit(list[pos]), low = hex_digit(list[pos + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<char>(high * 16 + low));
        pos += 2;
        while (pos < list.size() && (list[pos] == ' ' || list[pos] == '\t')) ++pos;
        if (pos == list.size()) return true;
        if (list[pos] != ',') return false;
        ++pos;
    }
}

bool parse_data(const std::string& text, RegistryValue& value) {
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string content;
        if (!parse_quoted(text, pos, content) || !trim_spaces(text.substr(pos)).empty()) return false;
        value = RegistryValue::text(content);
        return true;
    }
    const std::string lowered = ToLowerAscii(text);
    if (lowered.compare(0, 6, "dword:") == 0) {
        const std::string digits = trim_spaces(text.substr(6));
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t number = 0;
        for (char c : digits) {
            const int digit = hex_digit(c);
            if (digit < 0) return false;
            number = number * 16 + static_cast<uint32_t>(digit);
        }
        value = RegistryValue::number(static_cast<int32_t>(number));
        return true;
    }
    if (lowered.compare(0, 4, "hex:") == 0) {
        value.type = REG_BINARY;
        return parse_hex_bytes(text.substr(4), value.data);
    }
    if (lowered.compare(0, 4, "hex(") == 0) {
        const size_t close = lowered.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12) return false;
        uint32_t type = 0;
        for (size_t i = 4; i < close; ++i) {
            const int digit = hex_digit(lowered[i]);
            if (digit < 0) return false;
            type = type * 16 + static_cast<uint32_t>(digit);
        }
        value.type = type;
        return parse_hex_bytes(text.substr(close + 2), value.data);
    }
    return false;
}

bool parse_value_line(const std::string& line, std::string& name, RegistryValue& value) {
    size_t pos = 0;
    if (line[0] == '@') {
        name.clear();
        pos = 1;
    } else if (!parse_quoted(line, pos, name)) {
        return false;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return false;
    return parse_data(trim_spaces(line.substr(pos + 1)), value);
}

// The file's lines, with hex lists that go on after a trailing "\" joined up.
std::vector<std::string> logical_lines(const std::string& content) {
    std::vector<std::string> lines;
    bool continued = false;
    for (const std::string& line : store_file_lines(content)) {
        if (continued) {
            lines.back() += trim_spaces(line);
        } else {
            lines.push_back(line);
        }
        // Only a value's data goes on: a note or a key name ending in "\" does not.
        const std::string head = trim_spaces(lines.back());
        continued = !head.empty() && head.back() == '\\' && head[0] != '[' && head[0] != ';';
        if (continued) lines.back() = head.substr(0, head.size() - 1);
    }
    return lines;
}

void put_value(Section& section, const std::string& name, RegistryValue value) {
    for (auto& entry : section.values) {
        if (same_name(entry.first, name)) {
            entry.second = std::move(value);
            return;
        }
    }
    section.values.emplace_back(name, std::move(value));
}

std::optional<Document> parse_document(std::string content, RegistryRoot root) {
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);
    Document document;
    bool header_seen = false;
    Section* current = nullptr;
    const std::string root_lower = ToLowerAscii(root_name(root));
    for (const std::string& raw : logical_lines(content)) {
        const std::string line = trim_spaces(raw);
        if (line.empty() || line[0] == ';') continue;
        if (!header_seen) {
            if (line != HEADER && line != OLD_HEADER) return std::nullopt;
            header_seen = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') return std::nullopt;
            const std::string path = line.substr(1, line.size() - 2);
            const std::string head = ToLowerAscii(path.substr(0, root_lower.size()));
            if (head != root_lower || (path.size() > root_lower.size() && path[root_lower.size()] != '\\'))
                return std::nullopt;
            const std::string key = normal_key(path.substr(root_lower.size()));
            current = document.find(key);
            if (!current) {
                document.sections.push_back(Section{key, {}});
                current = &document.sections.back();
            }
            continue;
        }
        std::string name;
        RegistryValue value;
        if (!current || (line[0] != '"' && line[0] != '@') || !parse_value_line(line, name, value))
            return std::nullopt;
        put_value(*current, name, std::move(value));
    }
    // A file of blanks only holds nothing to keep; anything else needs the header.
    if (!header_seen && content.find_first_not_of(" \t\r\n") != std::string::npos) return std::nullopt;
    return document;
}

std::string quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return quoted + "\"";
}

// REG_SZ data that is one line of text and its NUL is written as "text".
bool plain_text(const RegistryValue& value) {
    if (value.type != REG_SZ || value.data.empty() || value.data.back() != '\0') return false;
    for (size_t i = 0; i + 1 < value.data.size(); ++i) {
        const char c = value.data[i];
        if (c == '\0' || c == '\r' || c == '\n') return false;
    }
    return true;
}

std::string format_data(const RegistryValue& value) {
    char buffer[32];
    if (plain_text(value)) return quote(value.data.substr(0, value.data.size() - 1));
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) number = number * 256 + static_cast<unsigned char>(value.data[i]);
        std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
        return buffer;
    }
    std::string text;
    if (value.type == REG_BINARY) {
        text = "hex:";
    } else {
        std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
        text = buffer;
    }
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, "%s%02x", i ? "," : "", static_cast<unsigned char>(value.data[i]));
        text += buffer;
    }
    return text;
}

std::string format_document(const Document& document, RegistryRoot root) {
    std::string text = std::string(HEADER) + "\n";
    for (const Section& section : document.sections) {
        text += "\n[" + std::string(root_name(root)) + (section.key.empty() ? "" : "\\" + section.key) + "]\n";
        for (const auto& [name, value] : section.values)
            text += (name.empty() ? std::string("@") : quote(name)) + "=" + format_data(value) + "\n";
    }
    return text;
}

// The document as stored; nullopt when the file exists but cannot be read or parsed.
std::optional<Document> load(RegistryRoot root) {
    const std::string path = registry_file(root);
    std::string content;
    switch (read_file(path, content)) {
    case FileRead::Missing:
        return Document{};
    case FileRead::Failed:
        std::fprintf(stderr, "registry: cannot read %s\n", path.c_str());
        return std::nullopt;
    case FileRead::Read:
        break;
    }
    std::optional<Document> document = parse_document(content, root);
    if (!document) std::fprintf(stderr, "registry: %s is not a registry file; left as it is\n", path.c_str());
    return document;
}

bool store(RegistryRoot root, const Document& document) {
    const std::string path = registry_file(root);
    if (write_store_file(path, format_document(document, root), 0600)) return true;
    std::fprintf(stderr, "registry: cannot write %s\n", path.c_str());
    return false;
}

// Read-modify-write of a root's file as one step for every process, so
// launchers started side by side never lose each other's values. The lock is a
// file of its own beside the store, which itself is replaced at every write. A
// holder that never lets go makes the write fail after a while, never hang.
class StoreLock {
public:
    explicit StoreLock(RegistryRoot root) : guard_(store_mutex()), lock_(lock_file_of(root), LOCK_WAIT_MS) {
        if (!may_write()) std::fprintf(stderr, "registry: the store of %s stays locked by another program\n",
                                       registry_file(root).c_str());
    }
    // Without a lock file the folder takes no new files either: the write
    // fails on its own.
    bool may_write() const { return !lock_.opened() || lock_.held(); }

private:
    static std::string lock_file_of(RegistryRoot root) {
        const std::filesystem::path store(registry_file(root));
        std::error_code ignored;
        std::filesystem::create_directories(store.parent_path(), ignored);
        return (store.parent_path() / ("." + store.filename().string() + ".lock")).string();
    }

    std::lock_guard<std::mutex> guard_;
    FileLock lock_;
};

// A free name beside the damaged file; "" when none of a few is free.
std::string free_aside_name(const std::string& path) {
    constexpr int MAX_ASIDE_NAMES = 100;
    std::error_code error;
    for (int n = 1; n <= MAX_ASIDE_NAMES; ++n) {
        const std::string name = path + ".damaged" + (n == 1 ? std::string() : "." + std::to_string(n));
        if (!std::filesystem::exists(std::filesystem::symlink_status(name, error))) return name;
    }
    return "";
}

}  // namespace

DamagedStore set_damaged_store_aside(RegistryRoot root) {
    DamagedStore result;
    result.path = registry_file(root);
    const StoreLock lock(root);
    std::string content;
    const FileRead read = read_file(result.path, content);
    if (read == FileRead::Missing || (read == FileRead::Read && parse_document(content, root))) return result;
    result.damaged = true;
    // Through a link the linked file goes aside, so the link stays for the fresh one.
    const std::string file = link_target(result.path);
    const std::string aside = free_aside_name(file);
    if (!lock.may_write()) {
        result.error = "it stays locked by another program";
    } else if (aside.empty()) {
        result.error = "no free name beside it";
    } else if (std::rename(file.c_str(), aside.c_str()) != 0) {
        result.error = std::strerror(errno);
    } else {
        result.kept_as = aside;
    }
    return result;
}

RegistryValue RegistryValue::text(const std::string& text) {
    RegistryValue value;
    value.type = REG_SZ;
    value.data = text;
    value.data.push_back('\0');
    return value;
}

RegistryValue RegistryValue::number(int32_t number) {
    RegistryValue value;
    value.type = REG_DWORD;
    const uint32_t bits = static_cast<uint32_t>(number);
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return value;
}

std::string registry_file(RegistryRoot root) {
    if (root == RegistryRoot::CurrentUser)
        return env_or("REGISTRY_CURRENT_USER_FILE", join_path(config_home(), "tarnwick/HKEY_CURRENT_USER.reg"));
    return env_or("REGISTRY_LOCAL_MACHINE_FILE", join_path(program_folder(), "HKEY_LOCAL_MACHINE.reg"));
}

std::optional<RegistryKey> RegistryKey::Open(RegistryRoot root, const std::string& subkey) {
    const std::string key = normal_key(subkey);
    // The root and the Run key are always there.
    if (key.empty() || is_run_key(root, key)) return RegistryKey(root, key);
    std::lock_guard<std::mutex> lock(store_mutex());
    const std::optional<Document> document = load(root);
    if (!document || !document->key_exists(key)) return std::nullopt;
    return RegistryKey(root, key);
}

std::optional<RegistryKey> RegistryKey::Create(RegistryRoot root, const std::string& subkey) {
    const std::string key = normal_key(subkey);
    if (is_run_key(root, key)) return RegistryKey(root, key);
    const StoreLock lock(root);
    if (!lock.may_write()) return std::nullopt;
    std::optional<Document> document = load(root);
    if (!document) return std::nullopt;
    if (!document->key_exists(key)) {
        document->sections.push_back(Section{key, {}});
        if (!store(root, *document)) return std::nullopt;
    }
    return RegistryKey(root, key);
}

std::optional<RegistryValue> RegistryKey::Query(const std::string& name) const {
    if (is_run_key(root_, subkey_)) {
        const std::optional<std::string> command = read_autostart(name);
        if (!command) return std::nullopt;
        return RegistryValue::text(*command);
    }
    std::lock_guard<std::mutex> lock(store_mutex());
    std::optional<Document> document = load(root_);
    if (!document) return std::nullopt;
    Section* section = document->find(subkey_);
    if (!section) return std::nullopt;
    for (const auto& entry : section->values)
        if (same_name(entry.first, name)) return entry.second;
    return std::nullopt;
}

bool RegistryKey::Set(const std::string& name, const RegistryValue& value) const {
    if (is_run_key(root_, subkey_))
        return value.type == REG_SZ && write_autostart(name, value.data.substr(0, value.data.find('\0')));
    const StoreLock lock(root_);
    if (!lock.may_write()) return false;
    std::optional<Document> document = load(root_);
    if (!document) return false;
    Section* section = document->find(subkey_);
    if (!section) {
        document->sections.push_back(Section{subkey_, {}});
        section = &document->sections.back();
    }
    put_value(*section, name, value);
    return store(root_, *document);
}

bool RegistryKey::Delete(const std::string& name) const {
    if (is_run_key(root_, subkey_)) return remove_autostart(name);
    const StoreLock lock(root_);
    if (!lock.may_write()) return false;
    std::optional<Document> document = load(root_);
    if (!document) return false;
    Section* section = document->find(subkey_);
    if (!section) return false;
    auto& values = section->values;
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (same_name(it->first, name)) {
            values.erase(it);
            return store(root_, *document);
        }
    }
    return false;
}

}  // namespace platform
