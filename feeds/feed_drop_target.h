#pragma once
// Adding a feed by dropping a URL on the feed tree, and taking one out with
// the Delete key. The window translates its drop into a CDataObject and its
// key presses into virtual-key codes; both run on the UI thread.

#include <string>
#include <vector>

#include "feeds/rss_reader.h"

// The format that carries a dropped URL. A drop offers it under this name, or
// as "text/uri-list" or "text/x-moz-url" (see IsUrlFormat).
constexpr char CF_UNIFORM_RESOURCE_LOCATOR[] = "UniformResourceLocator";

// How a format's data is handed over; only GlobalMemory carries a URL text.
enum class DataMedium { GlobalMemory, File, Stream, Storage };

// One format a drop offers: its name, the medium and the bytes as offered.
struct DataFormat {
    std::string name;
    DataMedium medium = DataMedium::GlobalMemory;
    std::string bytes;
};

// The data of one drop: its formats in the order the source offers them.
struct CDataObject {
    std::vector<DataFormat> formats;
};

// True for the names under which a drop carries a URL.
bool IsUrlFormat(const std::string& name);

// Whatever the data and the keys, the tree offers every drop (the window's
// drag handlers accept each one); only Drop looks at what came.
class CFeedDropTarget {
public:
    explicit CFeedDropTarget(CFeedHost& host) : m_host(host) {}

    // The first URL format in global memory is loaded as a new feed; when the
    // load finds a channel title the feed goes to the tail of m_feeds and the
    // settings are saved. Any other drop does nothing.
    void Drop(const CDataObject& data);

private:
    CFeedHost& m_host;
};

// The virtual-key code of the Delete key.
constexpr int VK_DELETE = 0x2E;

// The tree's key-down: Delete with a top-level item selected takes exactly
// that item's feed out of m_feeds, the item (with its children) out of the
// tree, and saves the settings. Any other key or selection does nothing. The
// tree's own handling of the key goes on afterwards.
void OnFeedTreeKeyDown(CFeedHost& host, int virtualKey);
