#pragma once
// The steps of reading one RSS document with libxml2, below LoadFeed.

#include <optional>
#include <string>

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include "feeds/rss_reader.h"

// The namespace URIs under which "itunes:duration" is looked for, in order.
// Feeds declare the second far more often than the first.
constexpr const char* ITUNES_NAMESPACE_URIS[] = {
    "http://www.itunes.com/DTDs/Podcast-1.0.dtd",
    "http://www.itunes.com/dtds/podcast-1.0.dtd",
};

// The value of the node's first child: its text when that child is text or
// CDATA (or a comment or processing instruction, whose value is their text);
// nothing when the node has no child or the child has no value (an element).
std::optional<std::string> GetNodeText(const xmlNode* node);

// A title's text: the element's whole text (text, CDATA, the entities the
// document declares itself, and what elements inside hold) as one trimmed
// line, each line break and the blanks around it one space. Nothing when the
// node has no child or its first child is an element.
std::optional<std::string> GetTitleText(const xmlNode* node);

// The value of the node's attribute of that name (without a namespace), or
// nothing when it is missing.
std::optional<std::string> GetAttributeValue(const xmlNode* node, const char* name);

// Reads one "item" element into a new CFeedItem at the tail of feed.m_items
// and a child of rootItem; an item without an enclosure URL is dropped.
// xpath is the document's context with the prefix "itunes" registered.
void ParseFeedItem(CFeedHost& host, CFeed& feed, xmlXPathContext* xpath, xmlNode* itemNode,
                   FeedTreeItem rootItem);
