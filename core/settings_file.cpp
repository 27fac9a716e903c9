// The settings file: the record's saved settings in "Vantrel.ini" beside the
// program, section "StreamSettings". Lists are a count key plus entry keys
// numbered from 1.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "core/text_to_number.h"
#include "core/vantrel_dlg.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"

namespace {

// Everything LoadSettings reads and SaveSettings writes, so the file is
// touched without the record lock held.
struct SavedSettings {
    std::vector<std::string> moviePaths;
    std::string movieBitrate;
    std::string audioBitrate;
    float frameRateDivider = 1.0f;
    int serverPort = 0;
    std::vector<std::string> extensionList;
    std::vector<std::string> feedUrls;
    std::vector<std::string> infiniteStreams;
    uint8_t showNoAudioMovie = 1;
};

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

SavedSettings ReadSettingsFile(CIniFile& ini, const std::string& section) {
    SavedSettings saved;
    saved.moviePaths = ReadList(ini, section, "nmoviepaths", "moviepath_%d");
    saved.movieBitrate = ini.GetString("movieBitrate", section);
    saved.audioBitrate = ini.GetString("audioBitrate", section);
    saved.frameRateDivider = NarrowToFloat(TextToDouble(ini.GetString("frameRateDivider", section)));
    saved.serverPort = TextToInt(ini.GetString("serverPort", section));
    saved.extensionList = SplitExtensionList(ini.GetString("extensionList", section));
    saved.feedUrls = ReadList(ini, section, "nrssfeeds", "rssfeed_%d");
    saved.infiniteStreams = ReadList(ini, section, "ninfinitestreams", "infinitestream_%d");
    // The key holds the inverse of the flag.
    saved.showNoAudioMovie = TextToInt(ini.GetString("shownoaudiomovie", section)) == 0 ? 1 : 0;
    return saved;
}

bool WriteSettingsFile(CIniFile& ini, const std::string& section, const SavedSettings& saved) {
    bool written = WriteList(ini, section, "nmoviepaths", "moviepath_%d", saved.moviePaths);
    written &= WriteValue(ini, section, "movieBitrate", saved.movieBitrate);
    written &= WriteValue(ini, section, "audioBitrate", saved.audioBitrate);
    written &= ini.WriteString(FormatDivider(saved.frameRateDivider), "frameRateDivider", section) != 0;
    written &= ini.WriteString(FormatInt(saved.serverPort), "serverPort", section) != 0;
    written &= WriteValue(ini, section, "extensionList", JoinExtensionList(saved.extensionList));
    written &= WriteList(ini, section, "nrssfeeds", "rssfeed_%d", saved.feedUrls);
    written &= WriteList(ini, section, "ninfinitestreams", "infinitestream_%d", saved.infiniteStreams);
    written &= ini.WriteString(saved.showNoAudioMovie == 0 ? "1" : "0", "shownoaudiomovie", section) != 0;
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
    m_moviePaths.insert(m_moviePaths.end(), saved.moviePaths.begin(), saved.moviePaths.end());
    m_strMovieBitrate = saved.movieBitrate;
    m_strAudioBitrate = saved.audioBitrate;
    m_fFrameRateDivider = saved.frameRateDivider;
    m_nServerPort = saved.serverPort;
    m_extensionList = saved.extensionList;
    m_feeds.clear();
    for (const std::string& url : saved.feedUrls) {
        CFeedPtr feed = std::make_shared<CFeed>();
        feed->m_strUrl = url;
        m_feeds.push_back(std::move(feed));
    }
    m_infiniteStreams.insert(m_infiniteStreams.end(), saved.infiniteStreams.begin(),
                             saved.infiniteStreams.end());
    m_bShowNoAudioMovie = saved.showNoAudioMovie;
}

void CVantrelDlg::SaveSettings() {
    SavedSettings saved;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        saved.moviePaths = m_moviePaths;
        saved.movieBitrate = m_strMovieBitrate;
        saved.audioBitrate = m_strAudioBitrate;
        saved.frameRateDivider = m_fFrameRateDivider;
        saved.serverPort = m_nServerPort;
        saved.extensionList = m_extensionList;
        for (const CFeedPtr& feed : m_feeds) {
            saved.feedUrls.push_back(feed->m_strUrl);
        }
        saved.infiniteStreams = m_infiniteStreams;
        saved.showNoAudioMovie = m_bShowNoAudioMovie;
    }
    SaveWholeSettingsFile(m_iniFile.GetFileName(), m_strSection, saved);
}
