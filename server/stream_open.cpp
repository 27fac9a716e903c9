// "streamopen": turns a name of the catalogue into a stream handle.

#include "server/stream_open.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <sys/stat.h>

extern "C" {
#include <libavutil/parseutils.h>
}

#include "core/vantrel_dlg.h"
#include "feeds/enclosure_download.h"
#include "server/command_handlers.h"
#include "core/media_paths.h"
#include "server/reply_words.h"
#include "server/request.h"
#include "server/request_names.h"
#include "stream/stream_state.h"
#include "transcoder/run_records.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"

namespace {

std::atomic<StreamOpenClock> eviction_clock{nullptr};

std::time_t seconds_now() {
    const StreamOpenClock clock = eviction_clock.load();
    return clock != nullptr ? clock() : std::time(nullptr);
}

// The longest start-time text looked at; durations are far shorter.
constexpr size_t MAX_START_TIME_TEXT = 63;

// FFmpeg reads a duration only when it is the whole text, so take the longest
// leading part of the value that forms one (the value runs on into the next
// parameter). Nothing readable gives 0.
int64_t parse_start_time(const char* value) {
    const size_t span = std::min(std::strcspn(value, "& \t\r\n"), MAX_START_TIME_TEXT);
    std::string text(value, span);
    for (; !text.empty(); text.pop_back()) {
        int64_t microseconds = 0;
        if (av_parse_time(&microseconds, text.c_str(), 1) == 0) {
            return microseconds;
        }
    }
    return 0;
}

void record_start_time(const char* request) {
    stream_start_offset = 0;
    const char* value = FindRequestValue(request, "stime=");
    if (value == nullptr) {
        transcode_options.stream_start_time = 0;
        return;
    }
    // A start before the beginning is the beginning.
    const int64_t start = std::max<int64_t>(parse_start_time(value), 0);
    stream_start_offset = start;
    transcode_options.stream_start_time = start;
}

bool is_feed_folder(const char* folder) {
    return FindFeedAddress(folder) == 0;
}

// What the name stands for: a file to open, a download that runs, or nothing.
struct resolved_name {
    enum kind_type { nothing, file, downloading } kind = nothing;
    std::string path;
    CFeedItemPtr item_to_download;  // set when this request starts the download
};

// Only a file inside a media folder is served from a local folder; a name
// that climbs out of it ("..") or a folder no media path admits gives nothing.
resolved_name resolve_in_folder(const char* folder, const char* name) {
    resolved_name result;
    const std::string formatted = std::string(folder) + "\\" + name;
    if (formatted.size() > STREAM_OPEN_MAX_PATH) {
        return result;  // longer than the path buffer holds, before any ".." is resolved
    }
    const std::string path = NormalizePathLexically(ClientPathToFileSystem(formatted));
    std::vector<std::string> media_paths;
    {
        std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
        media_paths = g_pMainDlg->m_moviePaths;
    }
    if (IsInsideMediaFolders(path, media_paths)) {
        result.kind = resolved_name::file;
        result.path = path;
    }
    return result;
}

// The marks the listing may put after a name, in the order it puts them.
constexpr const char* LISTED_MARKS[] = {"", "[downloading]", "[downloaded]", "[downloading][downloaded]"};

// The name is the item as listed: its listed name alone or with its marks.
bool is_listed_name(const std::string& listed, const std::string& name) {
    if (name.compare(0, listed.size(), listed) != 0) {
        return false;
    }
    const std::string marks = name.substr(listed.size());
    return std::any_of(std::begin(LISTED_MARKS), std::end(LISTED_MARKS),
                       [&](const char* mark) { return marks == mark; });
}

// A name that is no item as listed: the items whose titles begin it. An
// untitled item begins every name, so it takes part in listed names only.
bool title_begins_name(const std::string& title, const std::string& name) {
    return !title.empty() && name.compare(0, title.size(), title) == 0;
}

// Under the record's lock: the items of the feeds whose URL is the folder,
// each with the name the listing gives it.
template <typename Visit>
void for_each_item_of(const char* folder, Visit visit) {
    for (const CFeedPtr& feed : g_pMainDlg->m_feeds) {
        if (feed->m_strUrl != folder) {
            continue;
        }
        const std::vector<std::string> names = FeedItemRequestNames(*feed);
        auto listed = names.begin();
        for (const CFeedItemPtr& item : feed->m_items) {
            if (!visit(item, *listed++)) {
                return;
            }
        }
    }
}

// A listed name opens its one item, before titles that only begin the name
// ("Episode 1" against "Episode 10", "Part" against "Part II").
bool is_some_listed_name(const char* folder, const std::string& name) {
    bool listed = false;
    for_each_item_of(folder, [&](const CFeedItemPtr&, const std::string& listed_name) {
        listed = is_listed_name(listed_name, name);
        return !listed;
    });
    return listed;
}

// An item with no file on disk: its download starts or runs (51), or its last
// one failed a short while ago (0).
void resolve_not_on_disk(const CFeedItemPtr& item, resolved_name& result) {
    const EnclosureClaim claim = ClaimEnclosureDownload(*item);
    result.kind = claim == EnclosureClaim::failed ? resolved_name::nothing : resolved_name::downloading;
    if (claim == EnclosureClaim::started) {
        result.item_to_download = item;
    }
    result.path.clear();
}

// The item's state moves to 1 only here, so one request alone starts its download.
resolved_name resolve_in_feed(const char* folder, const char* name_text) {
    resolved_name result;
    const std::string name = name_text;
    std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
    const bool listed = is_some_listed_name(folder, name);
    const CFeedItemFiles files(g_pMainDlg->m_strProgramFolder, g_pMainDlg->m_extensionList, g_pMainDlg->m_feeds);
    for_each_item_of(folder, [&](const CFeedItemPtr& item, const std::string& listed_name) {
        if (listed ? !is_listed_name(listed_name, name) : !title_begins_name(item->m_strTitle, name)) {
            return true;
        }
        std::string path = files.FileOnDisk(*item);
        if (path.empty()) {
            resolve_not_on_disk(item, result);
            return false;
        }
        // The last matching item that is on disk gives the path.
        result.kind = resolved_name::file;
        result.path = std::move(path);
        return true;
    });
    return result;
}

resolved_name resolve_name(const char* name) {
    if (is_feed_folder(current_folder)) {
        return resolve_in_feed(current_folder, name);
    }
    return resolve_in_folder(current_folder, name);
}

int slot_open_with(const std::string& path) {
    for (int slot = 0; slot < INPUT_SLOT_COUNT; ++slot) {
        const opened_input* input = input_slot_table[slot].get();
        if (input != nullptr && path == input->facts.file_name) {
            return slot;
        }
    }
    return -1;
}

int first_free_slot() {
    for (int slot = 0; slot < INPUT_SLOT_COUNT; ++slot) {
        if (!input_slot_table[slot]) {
            return slot;
        }
    }
    return -1;
}

// All slots in use: the second of the minute picks the one to close.
int evict_slot() {
    const long long second = static_cast<long long>(seconds_now()) % 60;
    const int slot = static_cast<int>((second < 0 ? second + 60 : second) * INPUT_SLOT_COUNT / 60);
    input_slot_table[slot].reset();
    return slot;
}

// Only a regular file is opened: a FIFO or a device with a served extension
// would hold the one server thread in its open for as long as it likes.
bool is_regular_file(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// A file held open from an earlier "streamopen" is where this one starts only
// when neither asks for a start time: opened without one, it still stands at
// its beginning. Any other start has it opened again in its own slot, so every
// open seeks to its own start time and the handle stays the same.
bool starts_where_asked(const opened_input& held) {
    return transcode_options.stream_start_time == 0 && !input_was_sought(held.context.get());
}

// The slot to open the path in: its own when held open, else a free or an evicted one.
int slot_for(int held) {
    if (held >= 0) {
        input_slot_table[held].reset();
        return held;
    }
    const int slot = first_free_slot();
    return slot >= 0 ? slot : evict_slot();
}

// The handle for the path, opening the file when no slot holds it where this
// request starts.
int open_handle(const std::string& path) {
    const int held = slot_open_with(path);
    if (held >= 0 && starts_where_asked(*input_slot_table[held])) {
        return held + 1;
    }
    if (!is_regular_file(path)) {
        return STREAM_OPEN_FAILED;
    }
    const int slot = slot_for(held);
    open_input_slot(slot, path.c_str());
    return input_slot_table[slot] ? slot + 1 : STREAM_OPEN_FAILED;
}

int answer_for(const char* name) {
    resolved_name resolved = resolve_name(name);
    switch (resolved.kind) {
    case resolved_name::downloading:
        if (resolved.item_to_download) {
            StartEnclosureDownload(resolved.item_to_download);
        }
        return DOWNLOADING_HANDLE;
    case resolved_name::file:
        if (resolved.path.size() > STREAM_OPEN_MAX_PATH) {
            return STREAM_OPEN_FAILED;
        }
        return open_handle(resolved.path);
    case resolved_name::nothing:
        break;
    }
    return STREAM_OPEN_FAILED;
}

}  // namespace

void SetStreamOpenClock(StreamOpenClock clock) {
    eviction_clock = clock;
}

void OnStreamOpen(const platform::Socket& connection, char* request) {
    // A job that did not stop in time still reads the option record; nothing
    // is opened beside it, as no stream could start while it runs.
    const bool transcode_ended = StopRunningTranscode(true);
    if (transcode_ended) {
        record_start_time(request);
    }

    char* name = FindRequestValue(request, "filename=");
    if (name == nullptr) {
        return;
    }
    char* suffix = std::strstr(name, ".pmp");
    if (suffix == nullptr) {
        SendLittleEndian32(connection, STREAM_OPEN_NO_PMP);
        return;
    }
    *suffix = '\0';
    SendLittleEndian32(connection, transcode_ended ? answer_for(name) : STREAM_OPEN_FAILED);
}
