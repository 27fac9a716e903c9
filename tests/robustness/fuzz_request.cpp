// libFuzzer target over the request path: each input is sent as a client's
// request over a socket pair to the server's own request handler, which reads
// it, finds the command word, parses the keys and, for "listdir", lists a
// small media tree made for the run; "streamopen" and "stream2header" open
// and read its files (two real clips among junk). Each reply is checked
// against the rules every client relies on.
//
// "streampackets" starts a transcode and waits on the packet rings; for it only
// the key parsing is exercised here (the abuse and corrupt-media programs
// stream over TCP). Each input is served with the current folder set to the
// media folder, so that an input alone reproduces what it did.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "core/vantrel_dlg.h"
#include "core/media_paths.h"
#include "server/request.h"
#include "server/server_thread.h"
#include "stream/stream_state.h"
#include "tests/support/media_clips.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"

namespace {

// A fixed place, so that the seed requests can name it
// ("listdir path=\\tmp\\vantrel-fuzz\\media\\Sub&size=..."). Made again at each start
// with the same content, never removed: runs side by side see the same tree.
const char TREE_FOLDER[] = "/tmp/vantrel-fuzz";
const char MEDIA_FOLDER[] = "/tmp/vantrel-fuzz/media";

struct FuzzWorld {
    test_support::TempDir program{"vantrel-fuzz-program"};
    std::unique_ptr<CVantrelDlg> record;
};

FuzzWorld* world = nullptr;

void MakeFile(const std::string& name) {
    std::ofstream(std::string(TREE_FOLDER) + "/" + name) << "x";
}

void MakeMediaTree() {
    namespace fs = std::filesystem;
    for (const char* folder : {"media/Sub/Deeper", "media/.hidden", "media/Sub 2", "outside"}) {
        std::error_code error;
        fs::create_directories(std::string(TREE_FOLDER) + "/" + folder, error);
        if (error) {
            std::fprintf(stderr, "fuzz_request: cannot make %s/%s\n", TREE_FOLDER, folder);
            std::exit(1);
        }
    }
    for (const char* name : {"media/a.avi", "media/b.txt", "media/C.Mp4", "media/d.avi1", "media/e.avi12",
                             "media/Sub/f.mp3", "media/Sub/Deeper/g.MOV", "media/.hidden/h.avi",
                             "media/Sub 2/name with spaces.wmv", "outside/secret.avi"}) {
        MakeFile(name);
    }
    const std::string media = std::string(MEDIA_FOLDER) + "/";
    fs::copy_file(test_support::test_clip(test_support::clip_kind::mp3_audio), media + "real.mp3",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi), media + "Sub/real.avi",
                  fs::copy_options::overwrite_existing);
}

void AddFeed(CVantrelDlg& record, const std::string& url) {
    CFeedPtr feed = std::make_shared<CFeed>();
    feed->m_strUrl = url;
    for (const char* type : {"video/mp4", "audio/mpeg", "text/html", "VIDEO/x"}) {
        CFeedItemPtr item = std::make_shared<CFeedItem>();
        item->m_strTitle = std::string("item ") + type;
        item->m_strType = type;
        feed->m_items.push_back(item);
    }
    // No item may start a download: one is being downloaded, the rest are on disk.
    for (const CFeedItemPtr& item : feed->m_items) {
        item->m_strLocalPath = std::string(MEDIA_FOLDER) + "/real.mp3";
        item->m_nState.store(FEED_ITEM_DONE);
    }
    feed->m_items.front()->m_strLocalPath.clear();
    feed->m_items.front()->m_nState.store(FEED_ITEM_DOWNLOADING);
    record.m_feeds.push_back(feed);
}

void SetCurrentFolderToMedia() {
    std::snprintf(current_folder, sizeof current_folder, "%s", MEDIA_FOLDER);
}

void SetUpWorld() {
    MakeMediaTree();
    world = new FuzzWorld;  // lives for the whole run; libFuzzer never returns to us
    world->record = std::make_unique<CVantrelDlg>(world->program.path());
    CVantrelDlg& record = *world->record;
    record.m_moviePaths = {MEDIA_FOLDER, std::string(MEDIA_FOLDER) + "/Sub/"};
    AddFeed(record, "http://example.invalid/feed.xml");
    AddFeed(record, "https://Example.invalid/other");
    g_pMainDlg = &record;
    SetCurrentFolderToMedia();
}

// The bytes the server will see: one receive of at most REQUEST_MAX_BYTES,
// read as a zero-terminated text.
std::string SeenRequest(const uint8_t* data, size_t size) {
    const size_t seen = size < REQUEST_MAX_BYTES ? size : REQUEST_MAX_BYTES;
    const std::string bytes(reinterpret_cast<const char*>(data), seen);
    return bytes.substr(0, bytes.find('\0'));
}

constexpr int LISTDIR = 0;
constexpr int STREAMOPEN = 1;
constexpr int STREAM2HEADER = 2;
constexpr int STREAMPACKETS = 3;

// What the stream commands read of their requests, without starting anything.
void ParseStreamKeys(std::string text) {
    for (const char* key : {"fd=", "packet=", "stime=", "size="}) {
        if (const char* value = FindRequestValue(text.c_str(), key)) {
            (void)ReadRequestInt(value);
            (void)ReadRequestFloat(value);
        }
    }
    for (const char* key : {"filename=", "path="}) {
        if (char* value = FindRequestValue(&text[0], key)) (void)CutPathValue(value);
    }
}

std::string ReadUntilClosed(int fd) {
    std::string reply;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return reply;
        reply.append(buffer, static_cast<size_t>(got));
    }
}

[[noreturn]] void Fail(const char* what, const std::string& reply) {
    std::fprintf(stderr, "fuzz_request: %s (reply of %zu bytes)\n", what, reply.size());
    std::abort();
}

// A listing is a 4-byte length, exactly that many bytes, and ends with the
// settings line.
void CheckListing(const std::string& reply) {
    if (reply.size() < 4) Fail("listing shorter than its length prefix", reply);
    const std::string text = reply.substr(4);
    if (test_support::ReadLittleEndian32(reply, 0) != text.size()) Fail("listing length prefix does not match", reply);
    const size_t settings = text.rfind("config:framedivider=");
    if (settings == std::string::npos || text.empty() || text.back() != '\n' ||
        text.find('\n', settings) != text.size() - 1) {
        Fail("listing does not end with the settings line", reply);
    }
    if (text.find("secret.avi") != std::string::npos) Fail("listing left the media folders", reply);
}

// A handle names a slot whose input lies inside the media folder: no request
// opens a file elsewhere.
void CheckHandle(const std::string& reply) {
    if (reply.size() != 4) Fail("streamopen reply is not a handle", reply);
    const int32_t handle = static_cast<int32_t>(test_support::ReadLittleEndian32(reply, 0));
    if (handle < 1 || handle > INPUT_SLOT_COUNT) return;
    const opened_input* input = input_slot_table[handle - 1].get();
    if (input == nullptr) Fail("streamopen gave a handle to an empty slot", reply);
    if (!IsPathInsideFolder(input->facts.file_name, MEDIA_FOLDER)) Fail("streamopen opened a file outside the media folder", reply);
}

// Sends the request over a socket pair to the request handler and returns
// everything it answered before closing.
std::string Serve(const uint8_t* data, size_t size) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    const int buffer_size = 1 << 20;
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    if (size > 0 && ::send(pair[0], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) std::abort();
    ::shutdown(pair[0], SHUT_WR);
    HandleClientRequest(platform::Socket(pair[1]));
    std::string reply = ReadUntilClosed(pair[0]);
    ::close(pair[0]);
    return reply;
}

// Handles 1 and 2 hold the real clips from the start, so that "stream2header
// fd=1" reads a real input.
void OpenRealClips() {
    for (const char* request : {"streamopen filename=real.mp3.pmp", "streamopen filename=Sub\\real.avi.pmp"}) {
        Serve(reinterpret_cast<const uint8_t*>(request), std::strlen(request));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpWorld();
    OpenRealClips();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A request longer than the server reads is only ever seen cut.
    if (size > 2 * REQUEST_BUFFER_SIZE) return -1;
    const std::string request = SeenRequest(data, size);
    const int command = FindCommandWord(request.c_str());
    if (command == STREAMPACKETS) {
        ParseStreamKeys(request);
        return 0;
    }
    SetCurrentFolderToMedia();
    const std::string reply = Serve(data, size);
    if (command < 0 && reply != "-1") Fail("a request without a command word was not answered \"-1\"", reply);
    if (command == LISTDIR) CheckListing(reply);
    if (command == STREAMOPEN && !reply.empty()) CheckHandle(reply);
    if (command == STREAM2HEADER && !reply.empty() && reply.size() != 56) Fail("header is not 56 bytes", reply);
    // Every listing posts a settings change; nobody else drains the queue here.
    world->record->Messages().drain();
    return 0;
}
