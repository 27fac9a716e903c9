// The enclosure download: the body goes into a temporary file in the MOVIES
// folder and takes the item's local name only once all of it has arrived with
// a success status (no web page, and, where the host ended it by closing, no
// shorter than the feed's length), so a partial file is never taken for the whole.

#include "feeds/enclosure_download.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

#include "core/vantrel_dlg.h"
#include "feeds/curl_get.h"
#include "platform/atomic_file.h"
#include "stream/stream_state.h"
#include "stream/transcoder_message.h"

namespace {

// ---- the downloads that run, so the program can wait for them at its end ----
std::mutex downloads_mutex;
std::condition_variable downloads_changed;
int downloads_running = 0;
std::atomic<bool> downloads_abort{false};

void download_started() {
    std::lock_guard<std::mutex> lock(downloads_mutex);
    ++downloads_running;
}

void download_ended() {
    std::lock_guard<std::mutex> lock(downloads_mutex);
    --downloads_running;
    downloads_changed.notify_all();
}

// ---- the temporary file ----------------------------------------------------
constexpr char TEMPORARY_PREFIX[] = ".download-";

// The temporary files of the downloads that run now. Any other one in MOVIES
// is what a run that was killed left behind.
std::set<std::string> temporaries_in_use;

// Under downloads_mutex, so no download's new file is taken for a leftover.
void remove_leftover_temporaries(const std::string& folder) {
    platform::remove_leftover_files(folder, TEMPORARY_PREFIX,
                                    [](const std::string& path) { return temporaries_in_use.count(path) != 0; });
}

// A temporary file in the MOVIES folder; removed unless it was kept.
class temporary_file {
public:
    explicit temporary_file(const std::string& folder) : path_(folder + "/" + TEMPORARY_PREFIX + "XXXXXX") {
        std::lock_guard<std::mutex> lock(downloads_mutex);
        remove_leftover_temporaries(folder);
        std::vector<char> name(path_.begin(), path_.end());
        name.push_back('\0');
        fd_ = mkstemp(name.data());
        if (fd_ >= 0) {
            path_ = name.data();
            fchmod(fd_, 0644);
            temporaries_in_use.insert(path_);
        }
    }
    ~temporary_file() {
        close();
        if (!kept_) {
            std::remove(path_.c_str());
        }
        std::lock_guard<std::mutex> lock(downloads_mutex);
        temporaries_in_use.erase(path_);
    }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Closes the file; false (errno set) when the last data did not reach the disk.
    bool close() {
        if (fd_ < 0) {
            return true;
        }
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    // Gives the file its final name; false (errno set) on failure.
    bool keep_as(const std::string& name) {
        if (std::rename(path_.c_str(), name.c_str()) != 0) {
            return false;
        }
        kept_ = true;
        return true;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

// ---- the boxes of failed downloads ---------------------------------------------
// The PSP asks again and again for an item whose download fails: while the
// box of one failure is up, later failures of the same download (the same
// local file) show none. Keyed by local path; the value is the box's wParam.
std::mutex failures_mutex;
std::map<std::string, uintptr_t> failures_on_screen;
uintptr_t last_failure_box = 0;

// The wParam for a new box, or 0 when one for this download is up.
uintptr_t claim_failure_box(const std::string& local_path) {
    std::lock_guard<std::mutex> lock(failures_mutex);
    if (failures_on_screen.count(local_path) != 0) {
        return 0;
    }
    const uintptr_t box = ++last_failure_box;
    failures_on_screen[local_path] = box;
    return box;
}

// ---- one download ----------------------------------------------------------
struct download_plan {
    std::string url;        // as the feed gives it, for the user
    std::string fetch_url;  // as curl takes it
    std::string movies_folder;
    std::string local_path;
    uint64_t feed_length = 0;  // what the feed says the enclosure holds; 0: it does not say
};

download_plan plan_download(const CFeedItem& item) {
    std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
    download_plan plan;
    plan.url = item.m_strEnclosureUrl;
    plan.fetch_url = FetchableUrl(item.m_strEnclosureUrl);
    plan.movies_folder = FeedMoviesFolder(g_pMainDlg->m_strProgramFolder);
    plan.local_path = CFeedItemFiles(g_pMainDlg->m_strProgramFolder, g_pMainDlg->m_extensionList,
                                     g_pMainDlg->m_feeds)
                          .DownloadPath(item);
    plan.feed_length = FeedItemLength(item);
    return plan;
}

// Where a copy went wrong: the local file, or the transfer.
enum class failure_kind { none, write, network, aborted };

struct download_result {
    failure_kind failure = failure_kind::none;
    std::string reason;
};

download_result write_failure(int error) {
    return {failure_kind::write, std::strerror(error)};
}

struct copy_target {
    int fd = -1;
    int write_error = 0;
    uint64_t bytes = 0;  // as stored, after any content encoding is undone
};

bool write_all(int fd, const char* data, size_t size, int* error) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            *error = written < 0 ? errno : EIO;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Each block goes to the file as it arrives; nothing else is buffered.
size_t write_block(char* data, size_t size, size_t count, void* user) {
    copy_target* target = static_cast<copy_target*>(user);
    const size_t bytes = size * count;
    if (!write_all(target->fd, data, bytes, &target->write_error)) return 0;
    target->bytes += bytes;
    return bytes;
}

int check_abort(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return downloads_abort.load() ? 1 : 0;
}

void configure_transfer(CURL* curl, const std::string& url, copy_target* target, char* error_text) {
    SetWebGetOptions(curl, url, ENCLOSURE_CONNECT_TIMEOUT_S, ENCLOSURE_STALL_TIMEOUT_S, error_text);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);  // an error status is no enclosure
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, ENCLOSURE_BLOCK_SIZE);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, check_abort);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_block);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, target);
}

// A login or error page answered with a success status is no episode.
bool is_web_page(CURL* curl) {
    const char* type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
    return type != nullptr && strncasecmp(type, "text/html", 9) == 0;
}

// Whether the host said how long the body is (curl then fails a shorter one).
bool host_announced_length(CURL* curl) {
    curl_off_t length = -1;
    return curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0;
}

// A host that ends the body by closing the connection, without having said
// how long it is, looks the same whole or cut: the feed's length tells. Where
// the host said it, its word holds over the feed's, which goes stale when the
// host re-cuts an episode (inserted advertisements change its size).
download_result body_result(CURL* curl, const copy_target& target, uint64_t feed_length) {
    if (is_web_page(curl)) {
        return {failure_kind::network, "the host sent a web page, not the episode"};
    }
    if (!host_announced_length(curl) && target.bytes < feed_length) {
        return {failure_kind::network, "the transfer ended after " + std::to_string(target.bytes) + " of " +
                                           std::to_string(feed_length) + " bytes"};
    }
    return {};
}

download_result transfer_result(CURL* curl, CURLcode code, const copy_target& target, const char* error_text,
                                uint64_t feed_length) {
    if (code == CURLE_WRITE_ERROR && target.write_error != 0) {
        return write_failure(target.write_error);
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && downloads_abort.load()) {
        return {failure_kind::aborted, {}};
    }
    if (code != CURLE_OK) {
        return {failure_kind::network, error_text[0] != '\0' ? error_text : curl_easy_strerror(code)};
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        return {failure_kind::network, "HTTP status " + std::to_string(status)};
    }
    return body_result(curl, target, feed_length);
}

download_result copy_url_to(const download_plan& plan, int fd) {
    CurlPtr curl = MakeCurlHandle();
    if (!curl) {
        return {failure_kind::network, "could not start a transfer"};
    }
    copy_target target;
    target.fd = fd;
    char error_text[CURL_ERROR_SIZE] = {};
    configure_transfer(curl.get(), plan.fetch_url, &target, error_text);
    const CURLcode code = curl_easy_perform(curl.get());
    return transfer_result(curl.get(), code, target, error_text, plan.feed_length);
}

download_result download_to(const download_plan& plan) {
    std::error_code ignored;
    std::filesystem::create_directory(plan.movies_folder, ignored);  // usually there already
    temporary_file file(plan.movies_folder);
    if (!file.valid()) {
        return write_failure(errno);
    }
    download_result result = copy_url_to(plan, file.fd());
    if (result.failure != failure_kind::none) {
        return result;
    }
    if (!file.close() || !file.keep_as(plan.local_path)) {
        return write_failure(errno);
    }
    return result;
}

// The text of the message box, at most 255 characters of reason as the dialog
// shows it. Not a transcoder message: a download has nothing to do with the
// stream the PSP may be watching meanwhile, so it stops no transcode.
void report_failure(const download_plan& plan, const download_result& result) {
    if (result.failure != failure_kind::write && result.failure != failure_kind::network) {
        return;
    }
    const std::string reason = result.reason.substr(0, 255);
    const uintptr_t box = claim_failure_box(plan.local_path);
    if (box == 0) {
        std::fprintf(stderr, "vantrel: download of %s failed again while its message is shown: %s\n",
                     plan.url.c_str(), reason.c_str());
    } else if (result.failure == failure_kind::write) {
        post_server_message_with(box, "Error while writing file \"%s\" : %s", plan.local_path.c_str(),
                                 reason.c_str());
    } else {
        post_server_message_with(box, "Error while downloading \"%s\" : %s", plan.url.c_str(), reason.c_str());
    }
}

int64_t steady_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::atomic<int64_t> retry_delay_ms{ENCLOSURE_RETRY_DELAY.count()};

void record_result(CFeedItem& item, const download_plan& plan, const download_result& result) {
    if (result.failure == failure_kind::aborted) {
        item.m_nState = FEED_ITEM_NONE;  // the program ends: the host did nothing wrong
        return;
    }
    if (result.failure != failure_kind::none) {
        report_failure(plan, result);
        std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
        item.m_nFailedAtMs = steady_now_ms();
        item.m_nState = FEED_ITEM_FAILED;
        return;
    }
    std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
    item.m_strLocalPath = plan.local_path;
    item.m_nState = FEED_ITEM_DONE;
}

}  // namespace

void DownloadEnclosureThread(CFeedItemPtr item) {
    if (!item || g_pMainDlg == nullptr) {
        return;
    }
    const download_plan plan = plan_download(*item);
    record_result(*item, plan, download_to(plan));
}

EnclosureClaim ClaimEnclosureDownload(CFeedItem& item) {
    const int state = item.m_nState.load();
    if (state == FEED_ITEM_DOWNLOADING) {
        return EnclosureClaim::running;
    }
    if (state == FEED_ITEM_FAILED && steady_now_ms() - item.m_nFailedAtMs < retry_delay_ms.load()) {
        return EnclosureClaim::failed;
    }
    item.m_nState = FEED_ITEM_DOWNLOADING;
    return EnclosureClaim::started;
}

void SetEnclosureRetryDelay(std::chrono::milliseconds delay) {
    retry_delay_ms = delay.count();
}

void StartEnclosureDownload(CFeedItemPtr item) {
    PrepareCurl();
    download_started();
    try {
        // The item goes with the call, so an ended download holds nothing of a
        // feed that was deleted meanwhile.
        std::thread([item]() mutable {
            DownloadEnclosureThread(std::move(item));
            download_ended();
        }).detach();
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "vantrel: could not start a download: %s\n", error.what());
        item->m_nState = FEED_ITEM_NONE;
        download_ended();
    }
}

void StopEnclosureDownloads() {
    downloads_abort = true;
    std::unique_lock<std::mutex> lock(downloads_mutex);
    downloads_changed.wait(lock, [] { return downloads_running == 0; });
    downloads_abort = false;
}

bool WaitForEnclosureDownloads(int64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(downloads_mutex);
    return downloads_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                      [] { return downloads_running == 0; });
}

void EnclosureFailureDismissed(uintptr_t box) {
    std::lock_guard<std::mutex> lock(failures_mutex);
    for (auto shown = failures_on_screen.begin(); shown != failures_on_screen.end(); ++shown) {
        if (shown->second == box) {
            failures_on_screen.erase(shown);
            return;
        }
    }
}
