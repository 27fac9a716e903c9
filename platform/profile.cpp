#include "platform/profile.h"

#include "platform/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// ---- the file as lines -----------------------------------------------------

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

struct IniText {
    std::vector<std::string> lines;  // without their line ends
    std::string eol = "\n";          // the file's own line end, kept on rewrite
    std::string bom;                 // a byte-order mark some editors put first, kept on rewrite
};

IniText split_lines(const std::string& content) {
    IniText text;
    size_t start = 0;
    if (std::string_view(content).substr(0, UTF8_BOM.size()) == UTF8_BOM) {
        text.bom = UTF8_BOM;
        start = UTF8_BOM.size();
    }
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (text.lines.empty()) text.eol = "\r\n";
        }
        text.lines.push_back(std::move(line));
        start = end + 1;
    }
    return text;
}

std::string join_lines(const IniText& text) {
    std::string content = text.bom;
    for (const std::string& line : text.lines) {
        content += line;
        content += text.eol;
    }
    return content;
}

// ---- what a line says ------------------------------------------------------

std::string_view trim(std::string_view text) {
    const char* blanks = " \t\r\f\v";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

enum class LineKind { Other, Section, Key };

struct LineInfo {
    LineKind kind = LineKind::Other;
    std::string_view name;
    std::string_view value;
};

// Blank lines, ";" comments and lines without "=" are "Other": kept as they
// are, never looked at.
LineInfo classify(const std::string& line) {
    LineInfo info;
    const std::string_view text = trim(line);
    if (text.empty() || text.front() == ';') return info;
    if (text.front() == '[') {
        const size_t close = text.find(']');
        info.kind = LineKind::Section;
        info.name = trim(text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        return info;
    }
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) return info;
    info.kind = LineKind::Key;
    info.name = trim(text.substr(0, equals));
    info.value = trim(text.substr(equals + 1));
    return info;
}

// Where one section sits: its header line, and the line after its last key.
struct SectionSpan {
    size_t header = 0;
    size_t end = 0;           // next section's header or the end of the file
    size_t after_last_key = 0;  // where a new key goes
    bool found = false;
};

SectionSpan find_section(const IniText& text, std::string_view section) {
    SectionSpan span;
    for (size_t i = 0; i < text.lines.size(); ++i) {
        const LineInfo info = classify(text.lines[i]);
        if (span.found) {
            if (info.kind == LineKind::Section) {
                span.end = i;
                return span;
            }
            if (info.kind == LineKind::Key) span.after_last_key = i + 1;
        } else if (info.kind == LineKind::Section && same_name(info.name, section)) {
            span.found = true;
            span.header = i;
            span.after_last_key = i + 1;
        }
    }
    span.end = text.lines.size();
    return span;
}

// The line index of the first key of that name in the section, or npos.
size_t find_key(const IniText& text, const SectionSpan& span, std::string_view key) {
    if (!span.found) return std::string::npos;
    for (size_t i = span.header + 1; i < span.end; ++i) {
        const LineInfo info = classify(text.lines[i]);
        if (info.kind == LineKind::Key && same_name(info.name, key)) return i;
    }
    return std::string::npos;
}

// ---- reading ---------------------------------------------------------------

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Names joined with a zero byte after each, cut the way the profile call cuts a
// list that does not fit: size-2 characters (room for the final double zero).
int copy_name_list(const std::vector<std::string_view>& names, std::string& out, int size) {
    std::string list;
    for (std::string_view name : names) {
        list.append(name.data(), name.size());
        list.push_back('\0');
    }
    if (static_cast<int>(list.size()) + 1 > size) list.resize(size >= 2 ? size - 2 : 0);
    out = std::move(list);
    return static_cast<int>(out.size());
}

std::vector<std::string_view> section_names(const IniText& text) {
    std::vector<std::string_view> names;
    for (const std::string& line : text.lines) {
        const LineInfo info = classify(line);
        if (info.kind == LineKind::Section) names.push_back(info.name);
    }
    return names;
}

std::vector<std::string_view> key_names(const IniText& text, const SectionSpan& span) {
    std::vector<std::string_view> names;
    if (!span.found) return names;
    for (size_t i = span.header + 1; i < span.end; ++i) {
        const LineInfo info = classify(text.lines[i]);
        if (info.kind == LineKind::Key) names.push_back(info.name);
    }
    return names;
}

int copy_value(std::string_view value, std::string& out, int size) {
    if (static_cast<int>(value.size()) > size - 1) value = value.substr(0, size - 1);
    out.assign(value.data(), value.size());
    return static_cast<int>(out.size());
}

// ---- writing ---------------------------------------------------------------

// Names and values that would read back as something else (another line, a
// section header, a different key) are refused rather than written.
bool writable_entry(std::string_view section, std::string_view key, std::string_view value) {
    const auto has_line_break = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
    if (has_line_break(section) || has_line_break(key) || has_line_break(value)) return false;
    if (section.find(']') != std::string_view::npos) return false;
    const std::string_view name = trim(key);
    if (name.empty() || name.front() == '[' || name.front() == ';') return false;
    return key.find('=') == std::string_view::npos;
}

void put_key(IniText& text, const std::string& section, const std::string& key, const std::string& value) {
    const SectionSpan span = find_section(text, section);
    if (!span.found) {
        text.lines.push_back("[" + section + "]");
        text.lines.push_back(key + "=" + value);
        return;
    }
    const size_t existing = find_key(text, span, key);
    if (existing != std::string::npos) {
        // Keep the name as the file spells it; only the value changes.
        const std::string name(classify(text.lines[existing]).name);
        text.lines[existing] = name + "=" + value;
        return;
    }
    text.lines.insert(text.lines.begin() + static_cast<std::ptrdiff_t>(span.after_last_key), key + "=" + value);
}

mode_t new_file_mode() {
    // The process umask, read without changing it (umask() itself would race
    // with other threads creating files).
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value);
                break;
            }
        }
        std::fclose(status);
    }
    return 0666 & ~mask;
}

// Writes within this process take turns, so two threads writing different keys
// both land (each write reads, changes and replaces the whole file).
std::mutex& write_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

int GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                            std::string& out, int size, const std::string& file_name) {
    out.clear();
    if (size <= 0) return 0;
    std::string content;
    if (file_name.empty() || read_file(file_name, content) != FileRead::Read) content.clear();
    const IniText text = split_lines(content);

    if (!section) return copy_name_list(section_names(text), out, size);
    const SectionSpan span = find_section(text, section);
    if (!key) return copy_name_list(key_names(text, span), out, size);

    const size_t line = find_key(text, span, key);
    if (line == std::string::npos) return copy_value(default_value ? default_value : "", out, size);
    return copy_value(unquote(classify(text.lines[line]).value), out, size);
}

int WritePrivateProfileString(const char* section, const char* key, const char* value,
                              const std::string& file_name) {
    if (!section || !key || !value || file_name.empty()) return 0;
    if (!writable_entry(section, key, value)) return 0;

    std::lock_guard<std::mutex> lock(write_mutex());
    const std::string target = link_target(file_name);
    mode_t mode = new_file_mode();
    struct stat status {};
    if (::stat(target.c_str(), &status) == 0) {
        // A read-only file stays as it is, as it would for any writer.
        if ((status.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) return 0;
        mode = status.st_mode & 07777;
    }
    std::string content;
    // A file that exists but cannot be read must not be replaced by one key.
    if (read_file(target, content) == FileRead::Failed) return 0;
    IniText text = split_lines(content);
    put_key(text, section, key, value);
    return replace_file_atomically(target, join_lines(text), mode, Durability::Unsynced) ? 1 : 0;
}

}  // namespace platform
