// "listdir": the catalogue of the media folders and feeds, sent as one
// length-prefixed text that always ends with the settings line.

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "core/text_to_number.h"
#include "core/vantrel_dlg.h"
#include "server/command_handlers.h"
#include "server/reply_words.h"
#include "core/media_paths.h"
#include "server/request.h"
#include "server/request_names.h"
#include "stream/stream_state.h"

namespace {

// The search pattern (folder + "\*.*") must fit the 260-byte folder buffer.
constexpr size_t MAX_LISTED_PATH = CURRENT_FOLDER_SIZE - 5;

const char PARENT_LINE[] = "dir:/..\n";

enum class ListingKind { Root, Feed, Folder, Refused };

void SetCurrentFolderText(const std::string& text) {
    std::snprintf(current_folder, sizeof current_folder, "%s", text.c_str());
}

// Cuts the "path=" value, records the current folder and says what to list.
// Folder paths are kept in file-system form; feed addresses as they came.
ListingKind SetCurrentFolder(char* pathValue) {
    if (pathValue == nullptr) {
        SetCurrentFolderText("");
        return ListingKind::Root;
    }
    std::string folder = CutPathValue(pathValue);
    if (!folder.empty() && folder[0] == '\\') folder.erase(0, 1);
    if (folder.size() > MAX_LISTED_PATH) {
        // Cutting it could name another folder; a client never sends such a path.
        SetCurrentFolderText("");
        return ListingKind::Refused;
    }
    if (FindFeedAddress(folder) != std::string::npos) {
        SetCurrentFolderText(folder);
        return ListingKind::Feed;
    }
    if (folder.empty()) {
        SetCurrentFolderText("");
        return ListingKind::Root;
    }
    SetCurrentFolderText(ClientPathToFileSystem(folder));
    return ListingKind::Folder;
}

// One final "\" goes; so does a final "/", except from "/" itself.
std::string WithoutTrailingSeparator(std::string path) {
    if (!path.empty() && (path.back() == '\\' || (path.back() == '/' && path != "/"))) path.pop_back();
    return path;
}

// The client sends a folder's path back as the next "path="; a folder is
// listed only when that request lists this very folder.
bool ClientCanListFolder(const std::string& path) {
    return path.size() <= MAX_LISTED_PATH && FolderNameSurvivesRequest(path);
}

std::vector<std::string> RootEntries(const CVantrelDlg& record) {
    std::vector<std::string> feeds;
    std::vector<std::string> folders;
    {
        std::lock_guard<std::mutex> guard(record.Lock());
        for (const CFeedPtr& feed : record.m_feeds) {
            feeds.push_back("dir:/" + feed->m_strUrl + "\n");
        }
        for (const std::string& path : record.m_moviePaths) {
            const std::string listed = WithoutTrailingSeparator(path);
            if (ClientCanListFolder(listed)) folders.push_back("dir:/" + listed + "\n");
        }
    }
    std::sort(feeds.begin(), feeds.end());
    std::sort(folders.begin(), folders.end());
    feeds.push_back("\n");
    feeds.insert(feeds.end(), folders.begin(), folders.end());
    return feeds;
}

bool IsPlayableFeedItem(const CFeedItem& item) {
    return StartsWithNoCase(item.m_strType, "video/") || StartsWithNoCase(item.m_strType, "audio/");
}

// The item under the name it is listed by; "[downloaded]" when its file is on disk now.
std::string FeedItemEntry(const CFeedItem& item, const std::string& listedName, bool onDisk) {
    std::string entry = "stream:/" + listedName;
    if (item.m_nState.load() == FEED_ITEM_DOWNLOADING) entry += "[downloading]";
    if (onDisk) entry += "[downloaded]";
    return entry + ".pmp\n";
}

// The feed the folder text names from its address on: the one whose URL it
// is, as "streamopen" finds it; else the first whose URL it begins (letter
// case ignored). Under the record's lock.
const CFeed* ListedFeed(const CVantrelDlg& record, const std::string& address) {
    for (const CFeedPtr& feed : record.m_feeds) {
        if (feed->m_strUrl == address) return feed.get();
    }
    for (const CFeedPtr& feed : record.m_feeds) {
        if (StartsWithNoCase(feed->m_strUrl, address)) return feed.get();
    }
    return nullptr;
}

std::vector<std::string> FeedEntries(const CVantrelDlg& record, const std::string& folder) {
    std::vector<std::string> entries{PARENT_LINE};
    const std::string address = folder.substr(FindFeedAddress(folder));
    std::lock_guard<std::mutex> guard(record.Lock());
    const CFeed* feed = ListedFeed(record, address);
    if (feed == nullptr) return entries;
    const CFeedItemFiles files(record.m_strProgramFolder, record.m_extensionList, record.m_feeds);
    const std::vector<std::string> names = FeedItemRequestNames(*feed);
    auto name = names.begin();
    for (const CFeedItemPtr& item : feed->m_items) {
        if (IsPlayableFeedItem(*item)) {
            entries.push_back(FeedItemEntry(*item, *name, !files.FileOnDisk(*item).empty()));
        }
        ++name;
    }
    return entries;
}

// The folder text must begin with a media path (exact bytes) and, resolved
// lexically, lie inside that media folder: "..\.." cannot climb out of it.
bool IsAdmittedFolder(const std::string& pattern, const std::string& folder,
                      const std::vector<std::string>& moviePaths) {
    for (const std::string& media : moviePaths) {
        if (pattern.compare(0, media.size(), media) == 0 && IsPathInsideFolder(folder, media)) return true;
    }
    return false;
}

// The client sends a name back with every "\" read as a separator; a name
// with one is listed only when that reading leads to this very entry.
bool ClientReachesEntry(const std::string& folder, const std::string& name, const std::filesystem::path& entry) {
    if (name.find('\\') == std::string::npos) return true;
    std::error_code error;
    const std::string asReadBack = NormalizePathLexically(ClientPathToFileSystem(folder + "\\" + name));
    return std::filesystem::equivalent(asReadBack, entry, error) && !error;
}

// Every name comes back in a request of the client: only those that request
// reads whole are listed, so that each listed entry opens.
void AddDirectoryEntry(const std::string& folder, const std::filesystem::directory_entry& entry,
                       const std::vector<std::string>& extensionList, std::vector<std::string>& entries) {
    const std::string name = entry.path().filename().string();
    if (!ClientReachesEntry(folder, name, entry.path())) return;
    std::error_code error;
    if (entry.is_directory(error) && name[0] != '.') {
        if (ClientCanListFolder(folder + "/" + name)) entries.push_back("dir:/" + name + "\n");
    } else if (HasSupportedExtension(extensionList, ToUpperAscii(name)) && StreamNameSurvivesRequest(name)) {
        entries.push_back("stream:/" + name + ".pmp\n");
    }
}

std::vector<std::string> FolderEntries(const CVantrelDlg& record, const std::string& folder) {
    std::vector<std::string> entries{PARENT_LINE};
    std::vector<std::string> moviePaths;
    std::vector<std::string> extensionList;
    {
        std::lock_guard<std::mutex> guard(record.Lock());
        moviePaths = record.m_moviePaths;
        extensionList = record.m_extensionList;
    }
    if (!IsAdmittedFolder(folder + "/*.*", folder, moviePaths)) return entries;
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        AddDirectoryEntry(folder, *it, extensionList, entries);
    }
    return entries;
}

std::vector<std::string> ListingEntries(const CVantrelDlg& record, ListingKind kind) {
    std::vector<std::string> entries;
    switch (kind) {
    case ListingKind::Root:
        return RootEntries(record);
    case ListingKind::Feed:
        entries = FeedEntries(record, current_folder);
        break;
    case ListingKind::Folder:
        entries = FolderEntries(record, current_folder);
        break;
    case ListingKind::Refused:
        entries.push_back(PARENT_LINE);
        break;
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// An entry goes in only while the text stays strictly below the limit; a
// later, shorter entry may still fit.
std::string JoinBelowLimit(const std::vector<std::string>& entries, int limit) {
    std::string text;
    for (const std::string& entry : entries) {
        if (static_cast<long long>(text.size() + entry.size()) < limit) text += entry;
    }
    return text;
}

// A bit rate the window would refuse leaves the one in force.
void TakeBitrate(const char* value, bool (*isValid)(int), std::string& member) {
    if (value == nullptr) return;
    const int kbits = ReadRequestInt(value);
    if (isValid(kbits)) member = std::to_string(kbits);
}

// Keys searched only in the text from the first "size=" on. The values are
// held to the window's rules here, so that the settings line, the next
// stream and the saved file all see what is in force.
void ApplyRequestSettings(CVantrelDlg& record, const char* fromSize) {
    const char* divider = FindRequestValue(fromSize, "framediv=");
    const char* movieBitrate = FindRequestValue(fromSize, "vbitrate=");
    const char* audioBitrate = FindRequestValue(fromSize, "abitrate=");
    std::lock_guard<std::mutex> guard(record.Lock());
    if (divider) {
        record.m_fFrameRateDivider = CVantrelDlg::ValidFrameRateDivider(NarrowToFloat(ReadRequestFloat(divider)));
    }
    TakeBitrate(movieBitrate, CVantrelDlg::IsValidMovieBitrate, record.m_strMovieBitrate);
    TakeBitrate(audioBitrate, CVantrelDlg::IsValidAudioBitrate, record.m_strAudioBitrate);
}

std::string SettingsLine(const CVantrelDlg& record) {
    std::lock_guard<std::mutex> guard(record.Lock());
    char divider[64];
    std::snprintf(divider, sizeof divider, "%.2f", static_cast<double>(record.m_fFrameRateDivider));
    return std::string("config:framedivider=") + divider + "&videobitrate=" + record.m_strMovieBitrate +
           "&audiobitrate=" + record.m_strAudioBitrate + ".pmp\n";
}

void SendListing(const platform::Socket& connection, const std::string& text) {
    SendLittleEndian32(connection, static_cast<int32_t>(text.size()));
    platform::send_all(connection, text.data(), text.size());
}

}  // namespace

void OnListDir(const platform::Socket& connection, char* request) {
    char* pathValue = FindRequestValue(request, "path=");
    char* sizeKey = std::strstr(request, "size=");
    StopRunningTranscode(true);
    const ListingKind kind = SetCurrentFolder(pathValue);
    // Without "size=" nothing but the settings line fits.
    const int limit = sizeKey ? ReadRequestInt(sizeKey + 5) : 0;
    CVantrelDlg& record = *g_pMainDlg;
    std::string text = JoinBelowLimit(ListingEntries(record, kind), limit);
    if (sizeKey) ApplyRequestSettings(record, sizeKey);
    record.PostMessage(WM_SETTINGS_CHANGED);
    text += SettingsLine(record);
    SendListing(connection, text);
}
