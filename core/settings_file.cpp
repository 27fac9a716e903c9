// The settings file: the record's saved settings in "Vantrel.ini" beside the
// program, section "StreamSettings". Lists are a count key plus entry keys
// numbered from 1.

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "core/text_to_number.h"
#include "core/vantrel_dlg.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"

namespace {

std::string IndexedKey(const char* format, int index) {
    char key[64];
    std::snprintf(key, sizeof key, format, index);
    return key;
}

std::string FormatInt(int value) {
    return std::to_string(value);
}

std::vector<std::string> ReadList(CIniFile& ini, const std::string& section, const char* countKey,
                                  const char* entryFormat) {
    const int count = std::min(TextToInt(ini.GetString(countKey, section)), MAX_SETTINGS_LIST_ENTRIES);
    std::vector<std::string> entries;
    for (int i = 1; i <= count; ++i) {
        entries.push_back(ini.GetString(IndexedKey(entryFormat, i), section));
    }
    return entries;
}

// A value holds one line of the file: one with a line break would read back
// as something else, and the file refuses it.
bool Storable(const std::string& value) {
    return value.find_first_of("\r\n") == std::string::npos;
}

// True when written, or left out because it cannot be stored: such a value
// must not keep every other setting from being saved.
bool WriteValue(CIniFile& ini, const std::string& section, const char* key, const std::string& value) {
    if (!Storable(value)) return true;
    return ini.WriteString(value, key, section) != 0;
}

// True when every key was written. Entries that cannot be stored are left out.
bool WriteList(CIniFile& ini, const std::string& section, const char* countKey, const char* entryFormat,
               const std::vector<std::string>& entries) {
    std::vector<std::string> stored;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(stored), Storable);
    bool written = ini.WriteString(FormatInt(static_cast<int>(stored.size())), countKey, section) != 0;
    for (size_t i = 0; i < stored.size(); ++i) {
        written &= ini.WriteString(stored[i], IndexedKey(entryFormat, static_cast<int>(i) + 1), section) != 0;
    }
    return written;
}

// Non-empty pieces between commas, blanks and case kept.
std::vector<std::string> SplitExtensionList(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start) pieces.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return pieces;
}

std::string JoinExtensionList(const std::vector<std::string>& entries) {
    std::string joined;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) joined += ',';
        joined += entries[i];
    }
    return joined;
}

std::string FormatDivider(float divider) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(divider));
    return text;
}

using Texts = std::vector<std::string>;

void Append(Texts& list, Texts more) {
    list.insert(list.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

Texts FeedUrls(const CVantrelDlg& record) {
    Texts urls;
    for (const CFeedPtr& feed : record.m_feeds) urls.push_back(feed->m_strUrl);
    return urls;
}

// Feeds come back as their addresses alone; their items are fetched anew.
void SetFeeds(CVantrelDlg& record, const Texts& urls) {
    record.m_feeds.clear();
    for (const std::string& url : urls) {
        CFeedPtr feed = std::make_shared<CFeed>();
        feed->m_strUrl = url;
        record.m_feeds.push_back(std::move(feed));
    }
}

// One saved setting: a value under one key, or a list under a count key with
// entry keys numbered from 1. Its texts are taken from the record and given
// back to it under the record lock; the file is touched without the lock.
// Defaults and validation stay with the record.
struct SettingKey {
    const char* key;          // the value's key, or the list's count key
    const char* entryFormat;  // the list's entry keys; nullptr for a single value
    Texts (*save)(const CVantrelDlg& record);
    void (*load)(CVantrelDlg& record, Texts texts);  // a single value is given exactly one text
};

// Every saved setting, in the order the keys are written to the section.
constexpr SettingKey SETTING_KEYS[] = {
    {"nmoviepaths", "moviepath_%d", [](const CVantrelDlg& r) { return r.m_moviePaths; },
     [](CVantrelDlg& r, Texts t) { Append(r.m_moviePaths, std::move(t)); }},
    {"movieBitrate", nullptr, [](const CVantrelDlg& r) { return Texts{r.m_strMovieBitrate}; },
     [](CVantrelDlg& r, Texts t) { r.m_strMovieBitrate = t.front(); }},
    {"audioBitrate", nullptr, [](const CVantrelDlg& r) { return Texts{r.m_strAudioBitrate}; },
     [](CVantrelDlg& r, Texts t) { r.m_strAudioBitrate = t.front(); }},
    {"frameRateDivider", nullptr, [](const CVantrelDlg& r) { return Texts{FormatDivider(r.m_fFrameRateDivider)}; },
     [](CVantrelDlg& r, Texts t) { r.m_fFrameRateDivider = NarrowToFloat(TextToDouble(t.front())); }},
    {"serverPort", nullptr, [](const CVantrelDlg& r) { return Texts{FormatInt(r.m_nServerPort)}; },
     [](CVantrelDlg& r, Texts t) { r.m_nServerPort = TextToInt(t.front()); }},
    {"extensionList", nullptr, [](const CVantrelDlg& r) { return Texts{JoinExtensionList(r.m_extensionList)}; },
     [](CVantrelDlg& r, Texts t) { r.m_extensionList = SplitExtensionList(t.front()); }},
    {"nrssfeeds", "rssfeed_%d", FeedUrls, [](CVantrelDlg& r, Texts t) { SetFeeds(r, t); }},
    {"ninfinitestreams", "infinitestream_%d", [](const CVantrelDlg& r) { return r.m_infiniteStreams; },
     [](CVantrelDlg& r, Texts t) { Append(r.m_infiniteStreams, std::move(t)); }},
    // The key holds the inverse of the flag.
    {"shownoaudiomovie", nullptr, [](const CVantrelDlg& r) { return Texts{r.m_bShowNoAudioMovie == 0 ? "1" : "0"}; },
     [](CVantrelDlg& r, Texts t) { r.m_bShowNoAudioMovie = TextToInt(t.front()) == 0 ? 1 : 0; }},
};

// The texts of every setting, in the order of SETTING_KEYS.
using SavedSettings = std::array<Texts, std::size(SETTING_KEYS)>;

Texts ReadSetting(CIniFile& ini, const std::string& section, const SettingKey& setting) {
    if (setting.entryFormat != nullptr) return ReadList(ini, section, setting.key, setting.entryFormat);
    return {ini.GetString(setting.key, section)};
}

bool WriteSetting(CIniFile& ini, const std::string& section, const SettingKey& setting, const Texts& texts) {
    if (setting.entryFormat != nullptr) return WriteList(ini, section, setting.key, setting.entryFormat, texts);
    return WriteValue(ini, section, setting.key, texts.front());
}

SavedSettings ReadSettingsFile(CIniFile& ini, const std::string& section) {
    SavedSettings saved;
    for (size_t i = 0; i < saved.size(); ++i) saved[i] = ReadSetting(ini, section, SETTING_KEYS[i]);
    return saved;
}

bool WriteSettingsFile(CIniFile& ini, const std::string& section, const SavedSettings& saved) {
    bool written = true;
    for (size_t i = 0; i < saved.size(); ++i) written &= WriteSetting(ini, section, SETTING_KEYS[i], saved[i]);
    return written;
}

std::string FolderOf(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    return folder.empty() ? "." : folder;
}

void SyncFolderOf(const std::string& path) {
    platform::sync_to_disk(FolderOf(path));
}

// A save killed half-way leaves the copy's own temporary files (".<copy>.XXXXXX")
// behind; only saves write them, and saves take turns, so the next one clears them.
void RemoveLeftoverTemporaries(const std::string& staging) {
    platform::remove_leftover_files(FolderOf(staging), "." + std::filesystem::path(staging).filename().string() + ".");
}

// A save of another process in the same folder (the program started twice)
// would remove this one's copy and its temporaries half-way, and a load would
// read keys of two files: the folder is locked for each save and load. A lock
// that does not come within a few seconds (a process stuck in its save) is not
// waited for any longer.
class SettingsFolderLock {
public:
    explicit SettingsFolderLock(const std::string& folder) : m_lock(folder, FOLDER_LOCK_WAIT_MS) {
        // No folder: no settings file there to guard.
        if (m_lock.opened() && !m_lock.held())
            std::fprintf(stderr, "vantrel: settings file used without the folder lock of %s\n", folder.c_str());
    }

private:
    static constexpr int FOLDER_LOCK_WAIT_MS = 5000;
    platform::FileLock m_lock;
};

// The keys are written one by one into a copy of the file (other sections
// kept), which then replaces the file in one rename: a crash in the middle of
// a save leaves the old settings or the new ones, never a mixture of the two.
// Only the finished copy and the rename wait for the disk, once a save.
// Saves take turns, in this process and with other processes, since they
// share the copy's name.
void SaveWholeSettingsFile(const std::string& fileName, const std::string& section, const SavedSettings& saved) {
    static std::mutex saving;
    std::lock_guard<std::mutex> guard(saving);
    const std::string target = platform::link_target(fileName);
    SettingsFolderLock folderLock(FolderOf(target));
    std::error_code error;
    const std::string staging = target + ".saving";
    RemoveLeftoverTemporaries(staging);
    std::filesystem::remove(staging, error);
    if (std::filesystem::exists(target, error)) {
        std::filesystem::copy_file(target, staging, error);
        if (error) return;
    }
    CIniFile copy;
    copy.SetFileName(staging);
    const bool written = WriteSettingsFile(copy, section, saved);
    if (written) {
        platform::sync_to_disk(staging);
        std::filesystem::rename(staging, target, error);
    }
    if (!written || error) {
        std::filesystem::remove(staging, error);
        return;
    }
    SyncFolderOf(target);
}

}  // namespace

void CVantrelDlg::LoadSettings() {
    SavedSettings saved;
    {
        SettingsFolderLock folderLock(FolderOf(platform::link_target(m_iniFile.GetFileName())));
        saved = ReadSettingsFile(m_iniFile, m_strSection);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t i = 0; i < saved.size(); ++i) SETTING_KEYS[i].load(*this, std::move(saved[i]));
}

void CVantrelDlg::SaveSettings() {
    SavedSettings saved;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = 0; i < saved.size(); ++i) saved[i] = SETTING_KEYS[i].save(*this);
    }
    SaveWholeSettingsFile(m_iniFile.GetFileName(), m_strSection, saved);
}
