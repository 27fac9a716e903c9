// Reading RSS documents with libxml2. The document comes from the network and
// is not trusted: the parser loads no DTD and no external entity and goes to
// no network, and libxml2's own limits against entity expansion stay on.

#include "feeds/rss_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlstring.h>
#include <libxml/xpathInternals.h>

#include "feeds/rss_document.h"

namespace {

struct XmlDocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct XPathContextFree {
    void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectFree {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};
struct XmlCharFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
struct ParserContextFree {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;
using ParserContextPtr = std::unique_ptr<xmlParserCtxt, ParserContextFree>;
using XPathContextPtr = std::unique_ptr<xmlXPathContext, XPathContextFree>;
using XPathObjectPtr = std::unique_ptr<xmlXPathObject, XPathObjectFree>;
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharFree>;

constexpr char NO_TITLE[] = "no title";

// No DTD loading, no entity substitution (which would fetch external ones),
// no network, no huge-document mode; errors stay off the console.
constexpr int PARSE_OPTIONS = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Nothing outside the document is ever read, whatever it declares.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
    return nullptr;
}

void PrepareParser() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
    });
}

// The body handed to the parser in blocks, as a file would be: parsed from one
// memory block, a well-formed document over 10 MB can trip libxml2's lookup limit.
struct BodyReader {
    const std::string& body;
    size_t offset = 0;
};

int ReadBodyBlock(void* context, char* buffer, int length) {
    BodyReader* reader = static_cast<BodyReader*>(context);
    const size_t count = std::min(static_cast<size_t>(length), reader->body.size() - reader->offset);
    std::memcpy(buffer, reader->body.data() + reader->offset, count);
    reader->offset += count;
    return static_cast<int>(count);
}

const xmlChar* Xml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

const char* Text(const xmlChar* text) {
    return reinterpret_cast<const char*>(text);
}

// The first node the expression selects from the context node, in document order.
xmlNode* SelectSingleNode(xmlXPathContext* xpath, xmlNode* context, const char* expression) {
    xpath->node = context;
    XPathObjectPtr result(xmlXPathEvalExpression(Xml(expression), xpath));
    if (!result || result->type != XPATH_NODESET || xmlXPathNodeSetIsEmpty(result->nodesetval)) return nullptr;
    return xmlXPathNodeSetItem(result->nodesetval, 0);
}

std::vector<xmlNode*> SelectNodes(xmlXPathContext* xpath, xmlNode* context, const char* expression) {
    xpath->node = context;
    XPathObjectPtr result(xmlXPathEvalExpression(Xml(expression), xpath));
    std::vector<xmlNode*> nodes;
    if (!result || result->type != XPATH_NODESET || result->nodesetval == nullptr) return nodes;
    for (int i = 0; i < xmlXPathNodeSetGetLength(result->nodesetval); ++i) {
        nodes.push_back(xmlXPathNodeSetItem(result->nodesetval, i));
    }
    return nodes;
}

// "itunes:duration" under the first namespace URI that has one.
xmlNode* SelectDuration(xmlXPathContext* xpath, xmlNode* itemNode) {
    for (const char* uri : ITUNES_NAMESPACE_URIS) {
        if (xmlXPathRegisterNs(xpath, Xml("itunes"), Xml(uri)) != 0) return nullptr;
        if (xmlNode* duration = SelectSingleNode(xpath, itemNode, "itunes:duration")) return duration;
    }
    return nullptr;
}

std::string TextOf(const xmlNode* node) {
    return GetNodeText(node).value_or(std::string());
}

// Entities declared inside entities are followed this deep (libxml2 itself
// refuses loops and runaway expansion).
constexpr int MAX_ENTITY_DEPTH = 16;

void AppendWholeText(const xmlNode* first, int depth, std::string& text);

// Only an entity the document declares itself has a text here: an external
// one is never loaded, so it stays empty.
void AppendEntityText(const xmlNode* reference, int depth, std::string& text) {
    const xmlEntity* entity = xmlGetDocEntity(reference->doc, reference->name);
    if (entity == nullptr || entity->etype != XML_INTERNAL_GENERAL_ENTITY || depth >= MAX_ENTITY_DEPTH) return;
    AppendWholeText(entity->children, depth + 1, text);
}

// Text, CDATA and entity text below the nodes, in document order; comments
// and processing instructions are not text.
void AppendWholeText(const xmlNode* first, int depth, std::string& text) {
    for (const xmlNode* node = first; node != nullptr; node = node->next) {
        switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (node->content != nullptr) text += reinterpret_cast<const char*>(node->content);
            break;
        case XML_ELEMENT_NODE:
            AppendWholeText(node->children, depth, text);
            break;
        case XML_ENTITY_REF_NODE:
            AppendEntityText(node, depth, text);
            break;
        default:
            break;
        }
    }
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

// The listing gives a title one line of its own: each line break, with the
// blanks around it, becomes one space, and blanks at either end go.
std::string OneTrimmedLine(const std::string& text) {
    std::string line;
    bool afterBreak = false;
    for (const char c : text) {
        if (IsLineBreak(c)) {
            while (!line.empty() && IsBlank(line.back())) line.pop_back();
            afterBreak = true;
        } else if (!(afterBreak && IsBlank(c))) {
            if (afterBreak && !line.empty()) line += ' ';
            afterBreak = false;
            line += c;
        }
    }
    while (!line.empty() && IsBlank(line.back())) line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : line.substr(start);
}

// A feed that does not load shows nothing to the user; the reason goes to
// stderr for whoever looks into it.
void ReportNotLoaded(const std::string& url, const std::string& reason) {
    std::fprintf(stderr, "vantrel: feed %s not loaded: %s\n", url.c_str(), reason.c_str());
}

// Without a converter the parser took the bytes for UTF-8: no encoding
// declared (nor a byte-order mark), or UTF-8 declared.
bool ReadAsUtf8(const xmlParserCtxt& context) {
    return context.input != nullptr && context.input->buf != nullptr && context.input->buf->encoder == nullptr;
}

// Bytes of another encoding (windows-1252, Latin-1) in a document read as
// UTF-8: the usual reason a real feed is not well-formed.
std::string EncodingNote(const xmlParserCtxt& context, const std::string& body) {
    if (!ReadAsUtf8(context) || xmlCheckUTF8(Xml(body.c_str())) != 0) return "";
    if (context.encoding == nullptr) {
        return " (it declares no encoding, so it is read as UTF-8, and its bytes are not UTF-8)";
    }
    return std::string(" (it declares the encoding ") + Text(context.encoding) + ", and its bytes are not UTF-8)";
}

std::string NotWellFormedReason(const xmlParserCtxt& context, const std::string& body) {
    std::string reason = "not well-formed";
    if (const xmlError* error = xmlCtxtGetLastError(const_cast<xmlParserCtxt*>(&context))) {
        reason += " at line " + std::to_string(error->line);
        if (error->message != nullptr) reason += ": " + OneTrimmedLine(error->message);
    }
    return reason + EncodingNote(context, body);
}

// The document, or nothing with the reason given.
XmlDocPtr ParseDocument(const std::string& body, const std::string& url, std::string& failure) {
    PrepareParser();
    ParserContextPtr context(xmlNewParserCtxt());
    if (!context) {
        failure = "no parser";
        return nullptr;
    }
    BodyReader reader{body};
    XmlDocPtr doc(xmlCtxtReadIO(context.get(), ReadBodyBlock, nullptr, &reader, url.c_str(), nullptr, PARSE_OPTIONS));
    if (!doc) failure = NotWellFormedReason(*context, body);
    return doc;
}

// Only RSS is read (a channel and its title, without a namespace): name what
// the document is instead, an Atom feed or RSS 1.0 (RDF) say.
std::string NoChannelTitleReason(xmlDoc* doc) {
    const xmlNode* root = xmlDocGetRootElement(doc);
    if (root == nullptr) return "no root element";
    const bool inNamespace = root->ns != nullptr && root->ns->href != nullptr;
    if (!inNamespace && xmlStrEqual(root->name, Xml("rss"))) return "an RSS document without a channel title";
    std::string name = Text(root->name);
    if (root->ns != nullptr && root->ns->prefix != nullptr) name = Text(root->ns->prefix) + (":" + name);
    std::string reason = "not an RSS document: its root element is <" + name + ">";
    if (inNamespace) reason += std::string(" (namespace ") + Text(root->ns->href) + ")";
    return reason + "; only RSS is read";
}

// The exact name: "*" and "?" in it are characters, not patterns.
bool FileOrFolderExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

void ReadEnclosure(const xmlNode* enclosure, CFeedItem& item, bool& hasUrl) {
    if (std::optional<std::string> url = GetAttributeValue(enclosure, "url")) {
        item.m_strEnclosureUrl = *url;
        hasUrl = true;
    }
    item.m_strLength = GetAttributeValue(enclosure, "length").value_or(std::string());
    item.m_strType = GetAttributeValue(enclosure, "type").value_or(std::string());
}

std::string LocalPathIfPresent(CFeedHost& host, const CFeedItem& item) {
    std::string programFolder;
    std::vector<std::string> extensionList;
    {
        std::lock_guard<std::mutex> guard(host.dlg.Lock());
        programFolder = host.dlg.m_strProgramFolder;
        extensionList = host.dlg.m_extensionList;
    }
    const std::string path = FeedItemLocalPath(programFolder, item, extensionList);
    return FileOrFolderExists(path) ? path : std::string();
}

std::string ChildText(const CFeedItem& item) {
    std::string text = UrlLastSegment(item.m_strEnclosureUrl) + " " + item.m_strDuration;
    if (!item.m_strLocalPath.empty()) text += " [downloaded]";
    return text;
}

}  // namespace

std::optional<std::string> GetNodeText(const xmlNode* node) {
    const xmlNode* child = node != nullptr ? node->children : nullptr;
    if (child == nullptr) return std::nullopt;
    switch (child->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        return std::string(child->content != nullptr ? reinterpret_cast<const char*>(child->content) : "");
    default:
        return std::nullopt;
    }
}

std::optional<std::string> GetTitleText(const xmlNode* node) {
    const xmlNode* child = node != nullptr ? node->children : nullptr;
    if (child == nullptr || child->type == XML_ELEMENT_NODE) return std::nullopt;
    std::string text;
    AppendWholeText(child, 0, text);
    return OneTrimmedLine(text);
}

std::optional<std::string> GetAttributeValue(const xmlNode* node, const char* name) {
    if (node == nullptr || node->type != XML_ELEMENT_NODE) return std::nullopt;
    XmlCharPtr value(xmlGetNoNsProp(node, Xml(name)));
    if (!value) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value.get()));
}

void ParseFeedItem(CFeedHost& host, CFeed& feed, xmlXPathContext* xpath, xmlNode* itemNode,
                   FeedTreeItem rootItem) {
    auto item = std::make_shared<CFeedItem>();
    if (xmlNode* title = SelectSingleNode(xpath, itemNode, "title")) {
        item->m_strTitle = GetTitleText(title).value_or(std::string());
    }
    bool hasUrl = false;
    if (xmlNode* enclosure = SelectSingleNode(xpath, itemNode, "enclosure")) ReadEnclosure(enclosure, *item, hasUrl);
    if (xmlNode* duration = SelectDuration(xpath, itemNode)) item->m_strDuration = TextOf(duration);
    if (!hasUrl) return;
    item->m_strLocalPath = LocalPathIfPresent(host, *item);
    const std::string childText = ChildText(*item);
    {
        std::lock_guard<std::mutex> guard(host.dlg.Lock());
        feed.m_items.push_back(item);
    }
    host.tree.InsertSortedChild(rootItem, childText);
}

int LoadFeed(CFeedHost& host, const std::string& url, CFeed& feed) {
    {
        std::lock_guard<std::mutex> guard(host.dlg.Lock());
        feed.m_strUrl = url;
    }
    if (host.xmlHttp == nullptr) {
        ReportNotLoaded(url, "no request object");
        return 0;
    }
    std::string body;
    if (!host.xmlHttp->Get(url, body)) return 0;  // the request object said why
    std::string failure;
    XmlDocPtr doc = ParseDocument(body, url, failure);
    if (!doc) {
        ReportNotLoaded(url, failure);
        return 0;
    }
    XPathContextPtr xpath(xmlXPathNewContext(doc.get()));
    if (!xpath || xmlXPathRegisterNs(xpath.get(), Xml("itunes"), Xml(ITUNES_NAMESPACE_URIS[0])) != 0) {
        ReportNotLoaded(url, "no XPath context");
        return 0;
    }
    xmlNode* documentNode = reinterpret_cast<xmlNode*>(doc.get());
    xmlNode* titleNode = SelectSingleNode(xpath.get(), documentNode, ".//channel//title");
    if (titleNode == nullptr) {
        ReportNotLoaded(url, NoChannelTitleReason(doc.get()));
        return 0;
    }

    const std::string feedTitle = GetTitleText(titleNode).value_or(std::string());
    const std::string shownTitle = feedTitle.empty() ? NO_TITLE : feedTitle;
    {
        std::lock_guard<std::mutex> guard(host.dlg.Lock());
        feed.m_strTitle = shownTitle;
    }
    const FeedTreeItem rootItem = host.tree.InsertFeedItem(shownTitle, feed.m_nId);
    for (xmlNode* itemNode : SelectNodes(xpath.get(), documentNode, ".//item")) {
        ParseFeedItem(host, feed, xpath.get(), itemNode, rootItem);
    }
    return 1;
}

void LoadStoredFeeds(CFeedHost& host) {
    std::vector<std::pair<CFeedPtr, std::string>> feeds;
    {
        std::lock_guard<std::mutex> guard(host.dlg.Lock());
        for (const CFeedPtr& feed : host.dlg.m_feeds) feeds.emplace_back(feed, feed->m_strUrl);
    }
    for (const auto& [feed, url] : feeds) LoadFeed(host, url, *feed);
}
