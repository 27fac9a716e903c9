// "streamopen" over a real socket: names resolved against the current folder
// or a feed, slots chosen and reused, and every refusal.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/stream_open.h"
#include "stream/stream_state.h"
#include "tests/support/media_clips.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "transcoder/transcode_options.h"

namespace fs = std::filesystem;
using test_support::clip_kind;
using test_support::TempDir;
using test_support::TestServer;

namespace {

std::atomic<std::time_t> fixed_time{0};
std::time_t fixed_clock() { return fixed_time.load(); }

// A time whose second of the minute is the one given.
std::time_t at_second(int second) { return 1700000040 + second; }  // 1700000040 is a whole minute

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

class StreamOpenTest : public ::testing::Test {
protected:
    ~StreamOpenTest() override {
        server_.reset();
        SetStreamOpenClock(nullptr);
        std::error_code ignored;
        fs::remove_all(sibling(), ignored);
    }

    void start(const std::function<void(CVantrelDlg&)>& configure = {}) {
        server_ = std::make_unique<TestServer>([&](CVantrelDlg& record) {
            record.m_moviePaths = {media_.path()};
            if (configure) configure(record);
        });
        list(media_.path());
    }
    uint16_t port() const { return server_->port(); }

    // "listdir" is what sets the current folder.
    void list(const std::string& folder) {
        test_support::ListDir(port(), test_support::ListDirRequest("\\" + folder, 4096));
    }

    // The 4-byte reply, or nullopt when the server closed without one.
    std::optional<int32_t> open(const std::string& request) { return test_support::StreamOpen(port(), request); }
    int32_t open_name(const std::string& name) { return open("streamopen filename=" + name + ".pmp").value_or(-99); }

    // A copy of a real clip into folder under name.
    static std::string put_clip(const std::string& folder, const std::string& name,
                                clip_kind kind = clip_kind::wav_audio) {
        const std::string path = folder + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(test_support::test_clip(kind), path, fs::copy_options::overwrite_existing);
        return path;
    }

    // A folder beside the media folder whose name begins with the media path.
    std::string sibling() const { return media_.path() + "-evil"; }

    TempDir media_{"open-media"};
    TempDir outside_{"open-outside"};
    std::unique_ptr<TestServer> server_;
};

TEST_F(StreamOpenTest, AFileInTheCurrentFolderGetsTheHandleOfItsSlot) {
    put_clip(media_.path(), "clip.avi", clip_kind::mpeg4_mp3_avi);
    put_clip(media_.path(), "song.wav");
    put_clip(media_.path(), "sub/deep.wav");
    start();
    EXPECT_EQ(1, open_name("clip.avi"));
    EXPECT_EQ(2, open_name("song.wav"));
    list(media_.path() + "\\sub");  // the client's separators
    EXPECT_EQ(3, open_name("deep.wav"));
}

TEST_F(StreamOpenTest, TheSameNameTwiceGetsTheSameHandleAndIsNotOpenedAgain) {
    const std::string path = put_clip(media_.path(), "clip.avi", clip_kind::mpeg4_mp3_avi);
    start();
    ASSERT_EQ(1, open_name("clip.avi"));
    fs::remove(path);  // a second open would fail now
    EXPECT_EQ(1, open_name("clip.avi"));
    EXPECT_EQ(0, open_name("other.avi"));
    // A start time opens it again at that time, in its own slot.
    put_clip(media_.path(), "clip.avi", clip_kind::mpeg4_mp3_avi);
    EXPECT_EQ(1, open("streamopen filename=clip.avi.pmp&stime=00:00:02"));
    EXPECT_EQ(1, open_name("clip.avi"));
}

TEST_F(StreamOpenTest, TheNameIsCutAtTheFirstPmp) {
    put_clip(media_.path(), "a");
    start();
    EXPECT_EQ(1, open_name("a.pmp.avi"));
}

TEST_F(StreamOpenTest, ANameWithoutPmpAnswersMinusOneAndNoFilenameNoReplyBothStopTheTranscode) {
    put_clip(media_.path(), "clip.wav");
    start();
    stop_poll_interval_ms = 1;
    stop_poll_limit = 3;
    const struct { const char* request; std::string reply; } cases[] = {
        {"streamopen filename=clip.wav", std::string(4, '\xFF')},
        {"streamopen stime=3", ""},
        {"streamopen", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        transcode_running = 1;  // a transcode that does not react within the polls
        stream_drained = 0;
        transcode_stop_event.reset();
        const test_support::RawReply reply = test_support::SendRequest(port(), c.request);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(c.reply, reply.bytes);
        EXPECT_EQ(1, stream_drained.load());
        EXPECT_EQ(0, platform::wait_for_one(transcode_stop_event, 0));
    }
    transcode_running = 0;
    stop_poll_interval_ms = STOP_POLL_INTERVAL_MS;
    stop_poll_limit = STOP_POLL_LIMIT;
}

TEST_F(StreamOpenTest, OnlyFilesInsideAMediaFolderAreOpened) {
    const std::string outside_name = fs::path(outside_.path()).filename().string();
    put_clip(outside_.path(), "clip.wav");
    put_clip(sibling(), "clip.wav");
    put_clip(media_.path(), "inside.wav");
    start();
    const struct { std::string folder, name; } cases[] = {
        {media_.path(), "missing.wav"},
        {media_.path(), "..\\" + outside_name + "\\clip.wav"},
        {media_.path(), "../" + outside_name + "/clip.wav"},
        {media_.path(), "sub\\..\\..\\" + outside_name + "\\clip.wav"},
        {media_.path() + "\\..", outside_name + "\\clip.wav"},
        {outside_.path(), "clip.wav"},
        {sibling(), "clip.wav"},  // its text begins with the media path, but it is another folder
        {"", outside_.path().substr(1) + "/clip.wav"},
        {media_.path(), std::string(600, 'x') + ".wav"},
        {media_.path(), repeated("sub\\..\\", 100) + "inside.wav"},  // short once resolved, too long as sent
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder + " | " + c.name);
        list(c.folder);
        EXPECT_EQ(0, open_name(c.name));
    }
    list(media_.path());
    EXPECT_EQ(1, open_name("sub\\..\\inside.wav")) << "a name that stays inside is served";
}

// Opens a writer on the FIFO without blocking: a server held in the FIFO's
// open (the fault this guards against) is let go, so the test can end.
void release_fifo_reader(const std::string& fifo) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
}

TEST_F(StreamOpenTest, AFifoOrFolderWithAServedExtensionAnswersZeroAtOnceAndTheServerGoesOn) {
    const std::string fifo = media_.path() + "/x.avi";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    fs::create_directories(media_.path() + "/folder.avi");
    put_clip(media_.path(), "clip.wav");
    start();
    for (const char* name : {"x.avi", "folder.avi"}) {
        SCOPED_TRACE(name);
        const auto reply = test_support::StreamOpen(port(), std::string("streamopen filename=") + name + ".pmp");
        release_fifo_reader(fifo);
        ASSERT_TRUE(reply.has_value()) << "the server thread is held by the open";
        EXPECT_EQ(0, *reply);
    }
    const test_support::ListDirReply listing =
        test_support::ListDir(port(), test_support::ListDirRequest("\\" + media_.path(), 4096));
    EXPECT_TRUE(listing.well_formed) << "the next listing is served";
    EXPECT_EQ(1, open_name("clip.wav"));
}

TEST_F(StreamOpenTest, WithAllSlotsInUseTheSecondOfTheMinutePicksTheSlotToClose) {
    const std::string first = put_clip(media_.path(), "f0.wav");
    for (int i = 1; i < INPUT_SLOT_COUNT + 3; ++i) {
        fs::create_hard_link(first, media_.file("f" + std::to_string(i) + ".wav"));
    }
    SetStreamOpenClock(fixed_clock);
    fixed_time = at_second(59);
    start();
    for (int i = 0; i < INPUT_SLOT_COUNT; ++i) {
        ASSERT_EQ(i + 1, open_name("f" + std::to_string(i) + ".wav"));
    }
    const struct { int second; const char* name; int handle; } cases[] = {
        {59, "f50.wav", 50},  // slot 49
        {0, "f51.wav", 1},    // slot 0
        {30, "f0.wav", 26},   // f0 left slot 0, so it is opened afresh into slot 25
        {13, "f10.wav", 11},  // still open: found by name, nothing is closed
        {13, "f52.wav", 11},  // (13 x 50) / 60 = 10
        {1, "f51.wav", 1},    // still in slot 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixed_time = at_second(c.second);
        EXPECT_EQ(c.handle, open_name(c.name));
    }
}

TEST_F(StreamOpenTest, AStartTimeHoldsOnlyForTheRequestThatCarriesIt) {
    // The header counts from the last request's start time; the open that
    // seeks to it consumes it, also for a file already open in its slot.
    put_clip(media_.path(), "clip.wav");
    const struct { std::vector<std::string> tails; int64_t start; } cases[] = {
        {{"", "&stime=1.5"}, 1500000},
        {{"", "&stime=00:01:02.5&x=1"}, 62500000},
        // No "stime=": from the beginning, not from the last request's position.
        {{"", "&stime=1.5", ""}, 0},
        {{"", "&stime=1.5", "&stime=abc"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tails.back());
        start();
        for (const std::string& tail : c.tails) {
            EXPECT_EQ(1, open("streamopen filename=clip.wav.pmp" + tail));
        }
        EXPECT_EQ(c.start, stream_start_offset.load());
        server_.reset();  // the server thread wrote it; read it once that thread is gone
        EXPECT_EQ(0, transcode_options.stream_start_time);
    }
}

CFeedItemPtr feed_item(const std::string& title, const std::string& local_path) {
    auto item = std::make_shared<CFeedItem>();
    item->m_strTitle = title;
    item->m_strLocalPath = local_path;
    item->m_strType = "audio/wav";
    item->m_nState = FEED_ITEM_DONE;
    return item;
}

CFeedPtr feed(const std::string& url, std::initializer_list<CFeedItemPtr> items) {
    auto made = std::make_shared<CFeed>();
    made->m_strUrl = url;
    made->m_items.assign(items.begin(), items.end());
    return made;
}

TEST_F(StreamOpenTest, AFeedItemOnDiskIsFoundByTheBeginningOfItsTitle) {
    const std::string broken = outside_.file("broken.wav");
    std::ofstream(broken) << "not a sound";
    const std::string good = put_clip(outside_.path(), "good.wav");
    start([&](CVantrelDlg& record) {
        record.m_feeds = {
            feed("https://feeds.example/show",
                 {feed_item("Episode", broken), feed_item("Epi", good), feed_item("Other", broken)}),
            feed("http://feeds.example/any", {feed_item("", good)}),
        };
    });
    const struct { const char* folder; const char* name; int handle; } cases[] = {
        // Both "Episode" and "Epi" begin the name; the later one on disk gives the path.
        {"https://feeds.example/show", "Episode 1[downloaded]", 1},
        {"https://feeds.example/show", "Other[downloaded]", 0},
        {"https://feeds.example/show", "Nothing like it", 0},
        {"HTTPS://feeds.example/show", "Episode 1", 0},  // feed addresses match exactly
        {"https://feeds.example/none", "Episode 1", 0},
        // An untitled item is named only by its empty title, with or without its mark.
        {"http://feeds.example/any", "whatever it is", 0},
        {"http://feeds.example/any", "", 1},
        {"http://feeds.example/any", "[downloaded]", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.folder) + " | " + c.name);
        list(c.folder);
        EXPECT_EQ(c.handle, open_name(c.name));
    }
}

// The item whose title the name is (alone or with the listing's marks) wins
// over items whose titles only begin the name; an untitled item, still
// downloading, comes before the others and must not take their names.
TEST_F(StreamOpenTest, AFeedNameOpensTheItemWhoseTitleItIsBeforeAnyThatBeginIt) {
    const std::string ten = put_clip(media_.path(), "ten.wav");
    const std::string one = put_clip(media_.path(), "one.wav");
    const std::string good = put_clip(media_.path(), "good.wav");
    auto untitled = feed_item("", "");
    untitled->m_nState = FEED_ITEM_DOWNLOADING;  // a request for it answers 51 and starts nothing
    start([&](CVantrelDlg& record) {
        record.m_feeds = {feed("https://feeds.example/show",
                               {feed_item("Episode 10", ten), feed_item("Episode 1", one), untitled,
                                feed_item("Good one", good)})};
    });
    // The files' handles, by opening them from their folder in this order.
    ASSERT_EQ(1, open_name("ten.wav"));
    ASSERT_EQ(2, open_name("one.wav"));
    ASSERT_EQ(3, open_name("good.wav"));
    list("https://feeds.example/show");
    const struct { const char* name; int handle; } cases[] = {
        {"Episode 10[downloaded]", 1},
        {"Episode 10", 1},
        {"Episode 1[downloaded]", 2},
        {"Episode 1[downloading][downloaded]", 2},
        {"Good one[downloaded]", 3},
        {"Good one", 3},
        {"", 51},
        {"[downloading]", 51},
        {"Episode 12", 2},  // no title is the name: the one that begins it
        {"Nothing like it", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.handle, open_name(c.name));
    }
    EXPECT_EQ(FEED_ITEM_DOWNLOADING, untitled->m_nState.load());
}

}  // namespace
