#pragma once
// Reading a feed's RSS document into its CFeed record and its branch of the
// feed tree. Runs on the UI thread: at start-up for every stored feed, and for
// each dropped URL. A load never waits longer than the request's limits.

#include <string>

#include "core/feed.h"
#include "core/vantrel_dlg.h"
#include "feeds/feed_tree.h"
#include "feeds/xml_http.h"

// What the feed code reaches of the main dialog: the record (feed list,
// program folder, extension list, settings file), the request object
// (may be null: every load then fails) and the feed tree.
struct CFeedHost {
    CVantrelDlg& dlg;
    CXmlHttpRequest* xmlHttp;
    CFeedTree& tree;
};

// Sets feed.m_strUrl to url, fetches and reads the document. 1 when it has a
// channel title: the feed then has its title, its items and a top-level tree
// item (data feed.m_nId) with one child per item. 0 otherwise, with nothing
// added to the tree and the reason on stderr. A feed in m_feeds is written
// under the record's lock.
int LoadFeed(CFeedHost& host, const std::string& url, CFeed& feed);

// The start-up load: every feed of m_feeds in list order. A feed whose load
// fails stays in the list without a tree item.
void LoadStoredFeeds(CFeedHost& host);
