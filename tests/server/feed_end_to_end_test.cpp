// A dropped feed flows on to the PSP, over real sockets: its items appear in
// the "listdir" feed listing, and "streamopen" of an item downloads its
// enclosure from the loopback HTTP server, after which it streams.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "feeds/enclosure_download.h"
#include "feeds/feed_drop_target.h"
#include "tests/server/feed_end_to_end_fixture.h"
#include "tests/feeds/feed_fixture.h"
#include "tests/feeds/memory_feed_tree.h"
#include "tests/support/files.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/test_server.h"

namespace fs = std::filesystem;
using test_support::HttpResponse;
using test_support::RssDocument;
using test_support::RssItem;
using Texts = std::vector<std::string>;

namespace {

using test_support::DOWNLOAD_WAIT_MS;
using FeedEndToEndTest = test_support::FeedEndToEndFixture;

TEST_F(FeedEndToEndTest, ADroppedFeedIsListedAndAnItemDownloadsThenStreams) {
    const std::string song = test_support::read_text(test_support::test_clip(test_support::clip_kind::wav_audio));
    const std::string items =
        RssItem("Song", ServeEnclosure("/song.wav", song), "42", "audio/wav", "0:05") +
        RssItem("Slides", ServeEnclosure("/slides.pdf", "%PDF"), "4", "application/pdf") +
        RssItem("No type", ServeEnclosure("/plain.wav", song), "42") +
        RssItem("Old", ServeEnclosure("/old.wav", song), "7", "AUDIO/wav") +
        RssItem("Film", ServeEnclosure("/film.avi", "not yet"), "9", "video/avi");
    DropFeed(RssDocument("<title>Radio</title>", items));
    ASSERT_EQ(1u, server_->record().m_feeds.size());
    EXPECT_EQ((Texts{"Radio"}), tree_.FeedTexts());

    const test_support::ListDirReply root = test_support::ListDir(port(), test_support::ListDirRequest("", 65536));
    EXPECT_EQ("dir:/" + feed_url_, root.lines.at(0));
    // Audio and video items only; "streamopen" resolves names in the feed listed last.
    EXPECT_EQ((Texts{"dir:/..", "stream:/Film.pmp", "stream:/Old.pmp", "stream:/Song.pmp"}), FeedListing());

    EXPECT_EQ(51, Open("Song"));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_TRUE(song == test_support::read_text(Movies() + "/42song.wav"));
    EXPECT_EQ((Texts{"dir:/..", "stream:/Film.pmp", "stream:/Old.pmp", "stream:/Song[downloaded].pmp"}),
              FeedListing());

    const int32_t handle = Open("Song[downloaded]");
    ASSERT_GE(handle, 1);
    ASSERT_LE(handle, 50);
    const test_support::RawReply header = test_support::Stream2Header(port(), handle);
    ASSERT_EQ(56u, header.bytes.size());
    const test_support::ReceivedStream stream = test_support::ReceiveStream(port(), handle, header.bytes, 5);
    ASSERT_EQ(5u, stream.packets.size());
    size_t audio_frames = 0;
    for (const test_support::PmpPacket& packet : stream.packets) audio_frames += packet.audio_frames.size();
    EXPECT_GT(audio_frames, 0u);
    EXPECT_EQ(1, http_.RequestCount("/song.wav"));
}

TEST_F(FeedEndToEndTest, AnItemWhoseFileIsThereIsListedDownloaded) {
    const std::string items = RssItem("Old", "http://127.0.0.1:1/old.wav", "7", "audio/wav", "1:00");
    // The file must be there before the load: make the server first, then drop.
    server_ = std::make_unique<test_support::TestServer>();
    fs::create_directories(Movies());
    test_support::write_text(Movies() + "/7old.wav", "earlier run");
    const std::string url = http_.Url("/feed.rss");
    HttpResponse response;
    response.body = RssDocument("<title>Radio</title>", items);
    http_.Serve("/feed.rss", response);
    host_ = std::make_unique<CFeedHost>(CFeedHost{server_->record(), xmlHttp_.get(), tree_});
    CFeedDropTarget(*host_).Drop(CDataObject{{DataFormat{"text/uri-list", DataMedium::GlobalMemory, url + "\r\n"}}});
    feed_url_ = url;
    EXPECT_EQ((Texts{"old.wav 1:00 [downloaded]"}), tree_.ChildTexts(0));
    EXPECT_EQ((Texts{"dir:/..", "stream:/Old[downloaded].pmp"}), FeedListing());
    EXPECT_EQ(0, http_.TotalRequestCount() - http_.RequestCount("/feed.rss"));
}

TEST_F(FeedEndToEndTest, AHostileLengthOrNameDownloadsIntoMovies) {
    const std::string items = RssItem("Climb", ServeEnclosure("/x.wav", "climb"), "/../victim", "audio/wav") +
                              RssItem("Dots", ServeEnclosure("/..", "dots"), "", "audio/wav");
    DropFeed(RssDocument("<title>Evil</title>", items));
    const std::string victim = server_->program_folder().file("victimx.wav");
    FeedListing();
    EXPECT_EQ(51, Open("Climb"));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(51, Open("Dots"));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ("climb", test_support::read_text(Movies() + "/x.wav"));
    EXPECT_EQ(FEED_ITEM_DONE, Item(0)->m_nState.load());
    EXPECT_FALSE(fs::exists(victim));
    Texts inside;
    for (const auto& entry : fs::directory_iterator(Movies())) inside.push_back(entry.path().filename().string());
    std::sort(inside.begin(), inside.end());
    // "/.." is fetched as "/" by the client library: the server answers 404, so no file.
    EXPECT_EQ((Texts{"x.wav"}), inside);
    Texts program;
    for (const auto& entry : fs::directory_iterator(server_->program_folder().path())) {
        program.push_back(entry.path().filename().string());
    }
    std::sort(program.begin(), program.end());
    EXPECT_EQ((Texts{"MOVIES", "Vantrel.ini"}), program);
}

TEST_F(FeedEndToEndTest, DeletingAFeedWhileItsItemDownloadsLetsTheDownloadFinish) {
    DropFeed(RssDocument("<title>Radio</title>", RssItem("Slow", ServeEnclosure("/slow.wav", "slow", true), "4", "audio/wav")));
    FeedListing();
    EXPECT_EQ(51, Open("Slow"));
    std::weak_ptr<CFeedItem> item = Item(0);
    tree_.Select(test_support::MemoryFeedTree::ItemOf(*tree_.TopLevel().at(0)));
    OnFeedTreeKeyDown(*host_, VK_DELETE);
    EXPECT_TRUE(server_->record().m_feeds.empty());
    EXPECT_TRUE(tree_.TopLevel().empty());
    EXPECT_TRUE(test_support::StoredFeedUrls(server_->program_folder().file("Vantrel.ini")).empty());
    EXPECT_FALSE(item.expired());  // the download still holds it
    http_.Release();
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ("slow", test_support::read_text(Movies() + "/4slow.wav"));
    EXPECT_TRUE(item.expired());
    EXPECT_EQ((Texts{"dir:/.."}), FeedListing());
}

// The real capsule feed lists "Débit France volet II" before "Débit France".
// Its enclosures' host is this test's loopback server.
TEST_F(FeedEndToEndTest, InTheRealCapsuleFeedTheEpisodeThePspPickedIsTheOneThatOpens) {
    std::string document = test_support::FeedDocument("itunes-DTDs-rsr-capsule-fr.xml");
    const std::string host = "http://podcast.rsr.ch";
    for (size_t at = document.find(host); at != std::string::npos; at = document.find(host, at)) {
        document.replace(at, host.size(), http_.Url(""));
    }
    // The clip stands in for both episodes, as long as the feed says they are.
    std::string song = test_support::read_text(test_support::test_clip(test_support::clip_kind::mp3_audio));
    song.resize(std::max<size_t>(song.size(), 2015489), '\0');
    const std::string second_path = "/media/capsule/20061121-debit-france-volet-ii.mp3";
    const std::string first_path = "/media/capsule/20061120-debit-france.mp3";
    ServeEnclosure(second_path, song);
    ServeEnclosure(first_path, song);
    DropFeed(document);
    const std::string second = "D\xC3\xA9" "bit France volet II";
    const std::string first = "D\xC3\xA9" "bit France";
    const Texts listed = FeedListing();
    ASSERT_EQ(16u, listed.size());
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "stream:/" + second + ".pmp"));
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "stream:/" + first + ".pmp"));

    EXPECT_EQ(51, Open(second));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    const Texts downloaded = FeedListing();
    EXPECT_NE(downloaded.end(), std::find(downloaded.begin(), downloaded.end(), "stream:/" + second + "[downloaded].pmp"));
    const int32_t handle = Open(second + "[downloaded]");
    EXPECT_GE(handle, 1);
    EXPECT_LE(handle, 50);
    EXPECT_EQ(0, http_.RequestCount(first_path));

    // The shorter title is an episode of its own.
    EXPECT_EQ(51, Open(first));
    ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
    EXPECT_EQ(1, http_.RequestCount(first_path));
    const int32_t other = Open(first + "[downloaded]");
    EXPECT_GE(other, 1);
    EXPECT_LE(other, 50);
    EXPECT_NE(handle, other);
    // With both on disk, each name still opens its own file.
    EXPECT_EQ(handle, Open(second + "[downloaded]"));
    EXPECT_EQ(1, http_.RequestCount(second_path));
}

// Titles laid out over lines, or beginning with an entity of the feed's own
// DOCTYPE, reach the PSP as one line each, and that line opens its item.
TEST_F(FeedEndToEndTest, TitlesOfAnyLayoutAreListedAsOneLineThatOpensTheirItem) {
    const std::string items =
        RssItem("New\nline", ServeEnclosure("/new.wav", "new"), "1", "audio/wav") +
        RssItem("\n    <![CDATA[Laid out]]>\n  ", ServeEnclosure("/laid.wav", "laid"), "2", "audio/wav") +
        RssItem("&mdash;Lead dash", ServeEnclosure("/dash.wav", "dash"), "3", "audio/wav") +
        RssItem("Good one", ServeEnclosure("/good.wav", "good"), "4", "audio/wav");
    std::string document = RssDocument("<title>\n  <![CDATA[Radio]]>\n</title>", items);
    document.insert(document.find("<rss"), "<!DOCTYPE rss [<!ENTITY mdash \"&#8212;\">]>\n");
    DropFeed(document);
    EXPECT_EQ((Texts{"Radio"}), tree_.FeedTexts());
    const std::string dash = "\xE2\x80\x94Lead dash";
    EXPECT_EQ((Texts{"dir:/..", "stream:/Good one.pmp", "stream:/Laid out.pmp", "stream:/New line.pmp",
                     "stream:/" + dash + ".pmp"}),
              FeedListing());
    const struct { std::string name; const char* path; const char* file; } cases[] = {
        {"New line", "/new.wav", "1new.wav"},
        {"Laid out", "/laid.wav", "2laid.wav"},
        {dash, "/dash.wav", "3dash.wav"},
        {"Good one", "/good.wav", "4good.wav"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(51, Open(c.name));
        ASSERT_TRUE(WaitForEnclosureDownloads(DOWNLOAD_WAIT_MS));
        EXPECT_EQ(1, http_.RequestCount(c.path));
        EXPECT_TRUE(fs::exists(Movies() + "/" + c.file));
    }
    EXPECT_EQ(4u, static_cast<size_t>(std::distance(fs::directory_iterator(Movies()), fs::directory_iterator())));
}

}  // namespace
