// Reading RSS documents fetched from a real HTTP server on loopback: the real
// podcast documents, small documents for the cases they lack, HTTP answers of
// every kind, and hostile documents.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "feeds/rss_reader.h"
#include "tests/feeds/feed_fixture.h"
#include "tests/support/files.h"

namespace fs = std::filesystem;
using test_support::HttpResponse;
using test_support::RssDocument;
using test_support::RssItem;

namespace {

class RssReaderTest : public test_support::FeedFixture {
protected:
    int Load(const std::string& url) { return LoadFeed(*host_, url, feed_); }

    size_t DurationsFound() const {
        return static_cast<size_t>(std::count_if(feed_.m_items.begin(), feed_.m_items.end(),
                                                 [](const CFeedItemPtr& item) { return !item->m_strDuration.empty(); }));
    }
    // Every text the records hold.
    std::string AllRecordText() const {
        std::string all = feed_.m_strTitle + "\n";
        for (const CFeedItemPtr& item : feed_.m_items) {
            all += item->m_strTitle + "\n" + item->m_strEnclosureUrl + "\n" + item->m_strDuration + "\n" +
                   item->m_strLength + "\n" + item->m_strType + "\n" + item->m_strLocalPath + "\n";
        }
        return all;
    }

    CFeed feed_;
};

// ---- the real documents ------------------------------------------------------

struct RealDocument {
    const char* file;
    int result;
    const char* title;
    size_t items;      // kept: those with an enclosure URL
    size_t durations;  // items whose duration was found
    // The first kept item in document order.
    const char* firstTitle;
    const char* firstSegment;  // of its enclosure URL
    const char* firstLength;
    const char* firstType;
    const char* firstDuration;
    const char* alsoTitle;  // another item title read ("" for none)
};
void PrintTo(const RealDocument& d, std::ostream* out) { *out << d.file; }

class RealDocumentTest : public RssReaderTest, public ::testing::WithParamInterface<RealDocument> {};

TEST_P(RealDocumentTest, ReadsTitleItemsAndTree) {
    const RealDocument& d = GetParam();
    const std::string url = ServeDocument(d.file);
    EXPECT_EQ(d.result, Load(url));
    EXPECT_EQ(url, feed_.m_strUrl);
    EXPECT_EQ(d.title, feed_.m_strTitle);
    ASSERT_EQ(d.items, feed_.m_items.size());
    EXPECT_EQ(d.durations, DurationsFound());
    if (d.result == 0) {
        EXPECT_TRUE(tree_.TopLevel().empty());
        return;
    }
    ASSERT_EQ(1u, tree_.TopLevel().size());
    EXPECT_EQ(d.title, tree_.TopLevel()[0]->text);
    EXPECT_EQ(feed_.m_nId, tree_.TopLevel()[0]->data);
    const std::vector<std::string> children = tree_.ChildTexts(0);
    ASSERT_EQ(d.items, children.size());
    EXPECT_TRUE(std::is_sorted(children.begin(), children.end()));
    if (d.items == 0) return;

    const CFeedItem& first = *feed_.m_items.front();
    EXPECT_EQ(d.firstTitle, first.m_strTitle);
    EXPECT_EQ(d.firstSegment, first.m_strEnclosureUrl.substr(first.m_strEnclosureUrl.rfind('/') + 1));
    EXPECT_EQ(d.firstLength, first.m_strLength);
    EXPECT_EQ(d.firstType, first.m_strType);
    EXPECT_EQ(d.firstDuration, first.m_strDuration);
    EXPECT_EQ("", first.m_strLocalPath);
    const std::string childText = std::string(d.firstSegment) + " " + d.firstDuration;
    EXPECT_NE(children.end(), std::find(children.begin(), children.end(), childText)) << childText;
    if (*d.alsoTitle != '\0') {
        EXPECT_TRUE(std::any_of(feed_.m_items.begin(), feed_.m_items.end(),
                                [&](const CFeedItemPtr& item) { return item->m_strTitle == d.alsoTitle; }))
            << d.alsoTitle;
    }
}

INSTANTIATE_TEST_SUITE_P(
    SharedData, RealDocumentTest,
    ::testing::Values(
        // The capitalised iTunes URI; a double-escaped title; durations with white space kept.
        RealDocument{"itunes-DTDs-kcrw-left-right-center.xml", 1, "KCRW's Left, Right &amp; Center", 8, 8,
                     "China's Big Visit; Big Changes at the White House; Golly Gee, Gas Prices!",
                     "lr060421Chinas_Big_Visit_Big.mp3?1145657863", "13998405", "audio/mpeg",
                     "\n\n\t\t\t\t00:28:59\t\t\t", ""},
        RealDocument{"itunes-DTDs-rsr-capsule-fr.xml", 1, "La Capsule multim\xC3\xA9" "dia - La 1\xC3\xA8re - RSR", 15, 15,
                     "La Wii", "20061211-la-wii.mp3", "2328108", "audio/mpeg", "00:04:49.0", ""},
        // The lower-case iTunes URI, and a channel title from a character reference.
        RealDocument{"kcrw-le-show-empty-type.xml", 1, "KCRW's Le Show", 4, 4, "le Show", "eosmhmit.mp3", "16770270",
                     "", "46:34", ""},
        // Enclosures without length; no durations at all.
        RealDocument{"scale-your-code-no-length.xml", 1, "Scale Your Code Podcast", 23, 0,
                     "Large scale image processing on the fly in 25ms with Google's first Network Engineer",
                     "jack_levin_23.mp3", "", "audio/x-mp3", "", ""},
        // Empty length attributes; "&lt;" in titles.
        RealDocument{"vanilla-js-empty-length.xml", 1, "The Vanilla JS Podcast", 71, 71,
                     "Episode 71 - Images and screen readers", "episode71-images-and-screen-readers.mp3", "",
                     "audio/mpeg", "00:04:25", "Episode 40 - I <3 the cascade"},
        RealDocument{"99pi-video-enclosures.rss", 1, "99% Invisible", 100, 100, "158- Sandhogs", "158-Sandhogs.mp3",
                     "25442176", "audio/mpeg", "26:24", ""},
        RealDocument{"cre-audio-mp4-de.xml", 1, "CRE: Technik, Kultur, Gesellschaft", 30, 30, "CRE207 Planetarien",
                     "cre207-planetarien.m4a", "37143728", "audio/mp4", "01:36:29", ""},
        // ISO-8859-1 bytes, stored as UTF-8.
        RealDocument{"catalan-iso-8859-1.xml", 1, "L'ofici de viure", 350, 350,
                     "Jubilaci\xC3\xB3: aspectes psicol\xC3\xB2gics", "1770796837042.mp3", "26093750", "audio/mpeg",
                     "00:55:40", ""},
        // 643 items in 1.8 MB, nearly every text CDATA.
        RealDocument{"thunder-lightning-iso-8859-1-large.xml", 1, "Thunder & Lightning", 643, 643,
                     "8-20-21: What Questions Remain Unanswered Through Mississippi State's Preseason Camp?",
                     "3867505_2021-08-20-011805.mp3?0000", "27541420", "audio/mpeg", "00:28:41", ""},
        RealDocument{"acast-serial-cdata-fr.xml", 1, "Demain, Le Soleil Se Couchera Deux Fois", 10, 10,
                     "Demain, Le Soleil Se Couchera Deux Fois : L'int\xC3\xA9gr" "ale", "media.mp3", "101065944",
                     "audio/mpeg", "1:45:16", ""},
        // "&amp;" in titles; trailing spaces trimmed.
        RealDocument{"design-details-amp-titles.xml", 1, "Design Details", 102, 102,
                     "100: Goldilocks Fidelity (feat. Daniel Burka)", "25164.mp3", "62948884", "audio/mpeg",
                     "01:05:32", "98: Inhale the Flattery (feat. Marc Hemeon & Joshua Taylor)"},
        // An enclosure outside any item is not read.
        RealDocument{"mike-neumann-liveitem-seconds.xml", 1, "The Mike Neumann Show", 54, 53, "Social Media",
                     "themnshow054-20240914-FINAL.mp3", "56113920", "audio/mpeg", "", ""},
        // No channel title of its own: the first item's title; an item without enclosure dropped.
        RealDocument{"no-channel-title-gpodder.rss", 1, "A", 2, 0, "A", "test.mp3", "", "", "", ""},
        // An empty channel title; no item has an enclosure.
        RealDocument{"empty-channel-title-junge-gruender.xml", 1, "no title", 0, 0, "", "", "", "", "", ""},
        // Atom: no channel, so no title below one.
        RealDocument{"atom-podlove-simplechapter.xml", 0, "", 0, 0, "", "", "", "", "", ""},
        // A newline before the XML declaration: not well-formed.
        RealDocument{"itunes-DTDs-taverncast-leading-newline.rss", 0, "", 0, 0, "", "", "", "", "", ""}),
    [](const ::testing::TestParamInfo<RealDocument>& info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.'));
        std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
        return name;
    });

// ---- small documents -----------------------------------------------------------

TEST_F(RssReaderTest, DurationIsFoundUnderEitherPublishedItunesUriOnly) {
    const struct {
        const char* uri;
        const char* childText;
    } cases[] = {
        {"http://www.itunes.com/DTDs/Podcast-1.0.dtd", "ep.mp3 12:34"},
        {"http://www.itunes.com/dtds/podcast-1.0.dtd", "ep.mp3 12:34"},
        {"http://www.itunes.com/DTDs/PodCast-1.0.dtd", "ep.mp3 "},
        {"HTTP://WWW.ITUNES.COM/DTDS/PODCAST-1.0.DTD", "ep.mp3 "},
        {"https://www.itunes.com/dtds/podcast-1.0.dtd", "ep.mp3 "},
        {"http://example.com/podcast", "ep.mp3 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        test_support::MemoryFeedTree tree;
        CFeedHost host{*dlg_, xmlHttp_.get(), tree};
        CFeed feed;
        const std::string url = Serve("/feed", RssDocument("<title>T</title>", RssItem("E", "http://h/ep.mp3", "", "", "12:34"), c.uri));
        ASSERT_EQ(1, LoadFeed(host, url, feed));
        EXPECT_EQ(std::vector<std::string>{c.childText}, tree.ChildTexts(0));
    }
}

TEST_F(RssReaderTest, ItemsAnywhereAreReadAndChildrenSortByText) {
    // Items outside the channel count too; an item without enclosure, or with
    // one that has no url, is dropped; equal texts both stay.
    const std::string document =
        "<rss xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\"><channel><title>Feed</title>" +
        RssItem("Zed", "http://h/z.mp3", "5", "audio/mpeg", "1:00") + "<item><title>None</title></item>" +
        "<item><title>NoUrl</title><enclosure length=\"3\" type=\"audio/mpeg\"/></item></channel>" +
        RssItem("Alpha", "http://h/a.mp3", "", "", "2:00") + "<wrapper>" + RssItem("Twin", "http://h/a.mp3", "", "", "2:00") +
        "</wrapper></rss>";
    ASSERT_EQ(1, Load(Serve("/feed", document)));
    std::vector<std::string> titles;
    for (const CFeedItemPtr& item : feed_.m_items) titles.push_back(item->m_strTitle);
    EXPECT_EQ((std::vector<std::string>{"Zed", "Alpha", "Twin"}), titles);
    EXPECT_EQ((std::vector<std::string>{"a.mp3 2:00", "a.mp3 2:00", "z.mp3 1:00"}), tree_.ChildTexts(0));
}

TEST_F(RssReaderTest, AChannelTitleWithoutItemsGivesAnEmptyBranch) {
    ASSERT_EQ(1, Load(Serve("/feed", RssDocument("<title><![CDATA[Tom & Jerry]]></title>", ""))));
    EXPECT_EQ(std::vector<std::string>{"Tom & Jerry"}, tree_.FeedTexts());
    EXPECT_TRUE(tree_.ChildTexts(0).empty());
    EXPECT_TRUE(feed_.m_items.empty());
}

TEST_F(RssReaderTest, ATitleWhoseFirstChildIsAnElementIsNoTitle) {
    ASSERT_EQ(1, Load(Serve("/feed", RssDocument("<title><b>bold</b></title>", RssItem("<i>x</i>", "http://h/e.mp3")))));
    EXPECT_EQ("no title", feed_.m_strTitle);
    ASSERT_EQ(1u, feed_.m_items.size());
    EXPECT_EQ("", feed_.m_items.front()->m_strTitle);
}

// The listing is line-based: a title of any layout must reach it as one line.
TEST_F(RssReaderTest, ATitleIsItsWholeTextAsOneTrimmedLine) {
    const struct {
        const char* layout;
        const char* content;  // inside <title>
        const char* title;
    } cases[] = {
        {"line break", "New\nline", "New line"},
        {"CR LF with blanks around it", "  Two  \r\n\t  lines  ", "Two lines"},
        {"CDATA laid out over lines", "\n      <![CDATA[Laid out]]>\n    ", "Laid out"},
        {"line break inside CDATA", "<![CDATA[Multi\r\nline]]>", "Multi line"},
        {"text around CDATA", "Tom <![CDATA[& Jerry]]> show", "Tom & Jerry show"},
        {"element after text", "A <b>bold</b> move", "A bold move"},
        {"blanks inside a line", "a  b\tc", "a  b\tc"},
        {"comment inside", "Before<!-- note --> after", "Before after"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        CFeed feed;
        test_support::MemoryFeedTree tree;
        CFeedHost host{*dlg_, xmlHttp_.get(), tree};
        const std::string title = std::string("<title>") + c.content + "</title>";
        ASSERT_EQ(1, LoadFeed(host, Serve("/feed", RssDocument(title, RssItem(c.content, "http://h/e.mp3"))), feed));
        EXPECT_EQ(c.title, feed.m_strTitle);
        EXPECT_EQ(std::vector<std::string>{c.title}, tree.FeedTexts());
        ASSERT_EQ(1u, feed.m_items.size());
        EXPECT_EQ(c.title, feed.m_items.front()->m_strTitle);
    }
}

TEST_F(RssReaderTest, AChannelTitleOfBlanksIsNoTitle) {
    ASSERT_EQ(1, Load(Serve("/feed", RssDocument("<title>\n   \n</title>", RssItem(" \n ", "http://h/e.mp3")))));
    EXPECT_EQ("no title", feed_.m_strTitle);
    ASSERT_EQ(1u, feed_.m_items.size());
    EXPECT_EQ("", feed_.m_items.front()->m_strTitle);
}

// Entities a feed declares in its own DOCTYPE are text; external ones are never read.
TEST_F(RssReaderTest, EntitiesTheDocumentDeclaresAreSubstitutedInTitles) {
    const std::string secretPath = folder_.file("secret.txt");
    test_support::write_text(secretPath, "SECRET");
    const std::string doctype = "<!DOCTYPE rss [<!ENTITY mdash \"&#8212;\"><!ENTITY lead \"Lead &mdash; dash\">"
                                "<!ENTITY ext SYSTEM \"file://" + secretPath + "\">]>\n";
    const struct {
        const char* content;
        const char* title;
    } cases[] = {
        {"&mdash;Lead dash", "\xE2\x80\x94Lead dash"},
        {"Tail&mdash;", "Tail\xE2\x80\x94"},
        {"&lead;", "Lead \xE2\x80\x94 dash"},
        {"&ext;Kept", "Kept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        CFeed feed;
        test_support::MemoryFeedTree tree;
        CFeedHost host{*dlg_, xmlHttp_.get(), tree};
        const std::string title = std::string("<title>") + c.content + "</title>";
        std::string document = RssDocument(title, RssItem(c.content, "http://h/e.mp3"));
        document.insert(document.find("<rss"), doctype);
        ASSERT_EQ(1, LoadFeed(host, Serve("/feed", document), feed));
        EXPECT_EQ(c.title, feed.m_strTitle);
        ASSERT_EQ(1u, feed.m_items.size());
        EXPECT_EQ(c.title, feed.m_items.front()->m_strTitle);
    }
}

// ---- feeds that are not read ----------------------------------------------------

// Only RSS is read, and a feed that does not load shows the user nothing: the
// reason goes to stderr, one line per feed. The feeds that load say nothing.
TEST_F(RssReaderTest, AFeedThatIsNotLoadedSaysWhyOnStderr) {
    const std::string rss = "<rss><channel>\n<title>Caf\xC3\xA9</title>\n" + RssItem("E", "http://h/e.mp3") + "</channel></rss>";
    const std::string latin1 = "<rss><channel>\n<title>Caf\xE9 \x93quoted\x94</title>\n</channel></rss>";
    const struct {
        const char* name;
        std::string url;
        std::vector<std::string> said;  // the parts of the line, in order; none when it loads
    } cases[] = {
        {"Atom", ServeDocument("atom-podlove-simplechapter.xml"),
         {"not an RSS document: its root element is <feed> (namespace http://www.w3.org/2005/Atom); only RSS is read"}},
        {"RSS 1.0",
         Serve("/rdf", "<?xml version=\"1.0\"?>\n<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
                       "xmlns=\"http://purl.org/rss/1.0/\"><channel><title>RDF</title></channel></rdf:RDF>"),
         {"not an RSS document: its root element is <rdf:RDF> (namespace http://www.w3.org/1999/02/22-rdf-syntax-ns#)"}},
        {"an HTML page", Serve("/page", "<!DOCTYPE html><html><head><title>Shop</title></head></html>"),
         {"not an RSS document: its root element is <html>; only RSS is read"}},
        {"RSS without a channel title", Serve("/untitled", "<rss><channel/></rss>"),
         {"an RSS document without a channel title"}},
        // windows-1252 bytes, whatever charset the HTTP header named: the document says none.
        {"windows-1252 without a declaration", Serve("/cp1252", latin1),
         {"not well-formed at line 2: ", "UTF-8",
          " (it declares no encoding, so it is read as UTF-8, and its bytes are not UTF-8)"}},
        {"a Latin-1 byte in UTF-8",
         Serve("/latin1-in-utf8", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + latin1),
         {"not well-formed at line 3: ", " (it declares the encoding UTF-8, and its bytes are not UTF-8)"}},
        {"a newline before the declaration", ServeDocument("itunes-DTDs-taverncast-leading-newline.rss"),
         {"not well-formed at line 2: XML declaration allowed only at the start of the document"}},
        {"a tag left open", Serve("/open", "<rss>\n<channel>\n<title>T</title>\n</rss>"),
         {"not well-formed at line 4: "}},
        {"an empty body", Serve("/empty", ""), {"not well-formed at line 1: "}},
        {"RSS", Serve("/rss", rss), {}},
        {"ISO-8859-1 as declared", ServeDocument("catalan-iso-8859-1.xml"), {}},
        {"ISO-8859-1 with windows-1252 bytes", ServeDocument("thunder-lightning-iso-8859-1-large.xml"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::MemoryFeedTree tree;
        CFeedHost host{*dlg_, xmlHttp_.get(), tree};
        CFeed feed;
        ::testing::internal::CaptureStderr();
        const int result = LoadFeed(host, c.url, feed);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, c.said.empty() ? 1 : 0);
        EXPECT_EQ(tree.FeedTexts().size(), c.said.empty() ? 1u : 0u);
        if (c.said.empty()) {
            EXPECT_EQ(said, "");
            continue;
        }
        const std::string opening = "vantrel: feed " + c.url + " not loaded: ";
        ASSERT_EQ(said.compare(0, opening.size(), opening), 0) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        size_t at = opening.size();
        for (const std::string& part : c.said) {
            const size_t found = said.find(part, at);
            EXPECT_NE(found, std::string::npos) << "'" << part << "' in " << said;
            if (found != std::string::npos) at = found + part.size();
        }
        EXPECT_EQ(said.back(), '\n');
    }
}

// ---- HTTP answers ----------------------------------------------------------------

TEST_F(RssReaderTest, TheBodyCountsWhateverTheStatus) {
    const std::string good = RssDocument("<title>Good</title>", RssItem("E", "http://h/e.mp3"));
    HttpResponse moved;
    moved.status = 302;
    moved.location = http_.Url("/elsewhere");
    http_.Serve("/moved", moved);
    Serve("/elsewhere", good);
    const struct {
        const char* name;
        std::string url;
        int result;
    } cases[] = {
        {"error status, RSS body", Serve("/error", good, 500), 1},
        {"redirect", http_.Url("/moved"), 1},
        {"not found, HTML body", Serve("/html", "<html><body>Not here</body></html>", 404), 0},
        {"an HTML page", Serve("/page", "<!DOCTYPE html><html><head><title>Shop</title></head></html>"), 0},
        {"not XML", Serve("/text", "just text"), 0},
        {"empty body", Serve("/empty", ""), 0},
        {"nothing listens", "http://127.0.0.1:1/feed", 0},
        {"not a web address", "file://" + test_support::FeedDataFolder() + "/kcrw-le-show-empty-type.xml", 0},
        {"not a URL at all", "Left, Right & Center", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::MemoryFeedTree tree;
        CFeedHost host{*dlg_, xmlHttp_.get(), tree};
        CFeed feed;
        EXPECT_EQ(c.result, LoadFeed(host, c.url, feed));
        EXPECT_EQ(c.url, feed.m_strUrl);  // also after a redirect: the address as given
        EXPECT_EQ(c.result == 1 ? std::vector<std::string>{"Good"} : std::vector<std::string>{}, tree.FeedTexts());
        EXPECT_EQ(c.result == 1 ? 1u : 0u, feed.m_items.size());
    }
}

TEST_F(RssReaderTest, ACutDocumentFailsToLoad) {
    HttpResponse cut;
    cut.body = test_support::FeedDocument("99pi-video-enclosures.rss");
    cut.ending = HttpResponse::Ending::CutHalfway;
    http_.Serve("/cut", cut);
    EXPECT_EQ(0, Load(http_.Url("/cut")));
    EXPECT_TRUE(tree_.TopLevel().empty());
    EXPECT_TRUE(feed_.m_items.empty());
}

TEST_F(RssReaderTest, ASilentHostFailsTheLoadAfterTheStallLimit) {
    XmlHttpLimits limits;
    limits.stallTimeoutSeconds = 1;
    xmlHttp_->SetLimits(limits);
    HttpResponse silent;
    silent.ending = HttpResponse::Ending::Silent;
    http_.Serve("/silent", silent);
    EXPECT_EQ(0, Load(http_.Url("/silent")));
    EXPECT_EQ(http_.Url("/silent"), feed_.m_strUrl);
    EXPECT_TRUE(tree_.TopLevel().empty());
    // The request object still works afterwards.
    CFeed next;
    EXPECT_EQ(1, LoadFeed(*host_, Serve("/feed", RssDocument("<title>T</title>", "")), next));
}

TEST_F(RssReaderTest, AHostThatSendsAByteNowAndThenFailsTheLoadAfterTheWholeLimit) {
    XmlHttpLimits limits;
    limits.stallTimeoutSeconds = 1;
    limits.wholeTimeoutSeconds = 1;
    xmlHttp_->SetLimits(limits);
    // A whole document, a byte every tenth of a second: never a second without one.
    HttpResponse trickle;
    trickle.body = RssDocument("<title>Slow</title>", "");
    trickle.ending = HttpResponse::Ending::Trickle;
    http_.Serve("/trickle", trickle);
    EXPECT_EQ(0, Load(http_.Url("/trickle")));
    EXPECT_TRUE(tree_.TopLevel().empty());
}

TEST_F(RssReaderTest, ADocumentLargerThan32MiBFails) {
    constexpr size_t CAP = 32u * 1024u * 1024u;
    const std::string head = RssDocument("<title>Big</title>", "");
    const std::string padding = "<!--" + std::string(1000, 'p') + "-->\n";
    std::string atCap = head;
    while (atCap.size() + padding.size() <= CAP) atCap += padding;
    atCap += std::string(CAP - atCap.size(), '\n');
    ASSERT_EQ(CAP, atCap.size());
    EXPECT_EQ(1, Load(Serve("/at-cap", atCap)));
    atCap += '\n';
    CFeed over;
    EXPECT_EQ(0, LoadFeed(*host_, Serve("/over-cap", atCap), over));
    EXPECT_EQ(1u, tree_.TopLevel().size());
}

TEST_F(RssReaderTest, NoRequestObjectFailsTheLoad) {
    CFeedHost host{*dlg_, nullptr, tree_};
    EXPECT_EQ(0, LoadFeed(host, ServeDocument("kcrw-le-show-empty-type.xml"), feed_));
    EXPECT_EQ(http_.Url("/kcrw-le-show-empty-type.xml"), feed_.m_strUrl);
    EXPECT_TRUE(tree_.TopLevel().empty());
}

// ---- hostile documents -------------------------------------------------------------

TEST_F(RssReaderTest, TheParserReadsNothingOutsideTheDocument) {
    const std::string secret = "SECRET-" + std::to_string(::getpid());
    const std::string secretPath = folder_.file("secret.txt");
    test_support::write_text(secretPath, secret);
    Serve("/evil.dtd", "<!ENTITY leak SYSTEM \"file://" + secretPath + "\">");
    Serve("/evil.txt", secret);
    const std::string body = "<rss><channel><title>&xxe;</title>" + RssItem("&xxe;", "http://h/e.mp3") + "</channel></rss>";
    const struct {
        const char* name;
        std::string document;
    } cases[] = {
        {"file entity", "<!DOCTYPE rss [<!ENTITY xxe SYSTEM \"file://" + secretPath + "\">]>" + body},
        {"network entity", "<!DOCTYPE rss [<!ENTITY xxe SYSTEM \"" + http_.Url("/evil.txt") + "\">]>" + body},
        {"parameter entity", "<!DOCTYPE rss [<!ENTITY % p SYSTEM \"" + http_.Url("/evil.dtd") +
                                 "\"> %p; <!ENTITY xxe \"&leak;\">]>" + body},
        {"external DTD", "<!DOCTYPE rss SYSTEM \"" + http_.Url("/evil.dtd") +
                             "\"><rss><channel><title>&leak;</title></channel></rss>"},
        {"entity bomb", "<!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
                        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
                        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
                        "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
                        "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
                        "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">"
                        "<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
                        "<!ENTITY xxe \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\">]>" + body},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CFeed feed;
        test_support::MemoryFeedTree tree;
        CFeedHost host{*dlg_, xmlHttp_.get(), tree};
        const int result = LoadFeed(host, Serve("/feed", c.document), feed);
        feed_.m_strTitle = feed.m_strTitle;
        feed_.m_items = feed.m_items;
        const std::string all = AllRecordText();
        EXPECT_EQ(std::string::npos, all.find("SECRET")) << "result " << result;
        EXPECT_LT(all.size(), 4096u);
        for (const std::string& text : tree.FeedTexts()) EXPECT_EQ(std::string::npos, text.find("SECRET"));
    }
    EXPECT_EQ(0, http_.RequestCount("/evil.txt"));
    EXPECT_EQ(0, http_.RequestCount("/evil.dtd"));
}

// ---- local files -----------------------------------------------------------------------

TEST_F(RssReaderTest, AnItemIsDownloadedWhenItsExactFileIsThere) {
    fs::create_directories(MoviesFolder());
    for (const char* name : {"12ep.mp3", "12abc.mp3", "12x_yQz.mp3", "9folder.mpg"}) {
        if (std::string(name) == "9folder.mpg") {
            fs::create_directory(MoviesFolder() + "/" + name);
        } else {
            test_support::write_text(MoviesFolder() + "/" + name, "x");
        }
    }
    const std::string items = RssItem("On disk", "http://h/ep.mp3", "12", "audio/mpeg", "1:00") +
                              RssItem("Star", "http://h/a*c.mp3", "12", "audio/mpeg", "1:00") +
                              RssItem("Second question mark", "http://h/x?y?z.mp3", "12", "audio/mpeg", "1:00") +
                              RssItem("A folder", "http://h/folder", "9", "video/mpeg", "1:00");
    ASSERT_EQ(1, Load(Serve("/feed", RssDocument("<title>T</title>", items))));
    std::vector<std::string> paths;
    for (const CFeedItemPtr& item : feed_.m_items) paths.push_back(item->m_strLocalPath);
    EXPECT_EQ((std::vector<std::string>{MoviesFolder() + "/12ep.mp3", "", "", MoviesFolder() + "/9folder.mpg"}), paths);
    EXPECT_EQ((std::vector<std::string>{"a*c.mp3 1:00", "ep.mp3 1:00 [downloaded]", "folder 1:00 [downloaded]",
                                        "x?y?z.mp3 1:00"}),
              tree_.ChildTexts(0));
}

TEST_F(RssReaderTest, HostileEnclosureNamesStayInsideMovies) {
    const std::string outside = folder_.file("victim.mp3");
    test_support::write_text(outside, "the user's file");
    fs::create_directories(MoviesFolder());
    const std::string items = RssItem("Climb by length", "http://h/.mp3", "/../victim", "audio/mpeg") +
                              RssItem("Climb by name", "http://h/..", "", "audio/mpeg") +
                              RssItem("Backslashes", "http://h/..\\..\\victim.mp3", "", "audio/mpeg");
    ASSERT_EQ(1, Load(Serve("/feed", RssDocument("<title>T</title>", items))));
    ASSERT_EQ(3u, feed_.m_items.size());
    for (const CFeedItemPtr& item : feed_.m_items) {
        SCOPED_TRACE(item->m_strTitle);
        EXPECT_EQ("", item->m_strLocalPath);  // the user's file is not taken for the enclosure
        const std::string path = FeedItemLocalPath(folder_.path(), *item, dlg_->m_extensionList);
        EXPECT_EQ(MoviesFolder(), fs::path(path).parent_path().string());
        EXPECT_NE(".", fs::path(path).filename().string());
        EXPECT_NE("..", fs::path(path).filename().string());
    }
    EXPECT_EQ("/../victim", feed_.m_items.front()->m_strLength);  // the record keeps the text as read
}

}  // namespace
