// The request object on libcurl: one easy handle for the run, so connections
// to a feed host are reused from one load to the next.

#include "feeds/xml_http.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "feeds/curl_get.h"

namespace {

std::atomic<bool> g_feedFetchesCancelled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// libcurl asks this at least once a second, also while it waits.
int CheckCancelled(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return g_feedFetchesCancelled.load() ? 1 : 0;
}

// Where the body goes while it arrives; the cap is checked block by block,
// since an answer need not announce its length.
struct BodySink {
    std::string* body = nullptr;
    size_t cap = 0;
    bool overCap = false;
};

size_t AppendBlock(char* data, size_t size, size_t count, void* user) {
    BodySink* sink = static_cast<BodySink*>(user);
    const size_t bytes = size * count;
    if (sink->body->size() + bytes > sink->cap) {
        sink->overCap = true;
        return 0;  // ends the transfer with a write error
    }
    sink->body->append(data, bytes);
    return bytes;
}

class CCurlXmlHttpRequest : public CXmlHttpRequest {
public:
    explicit CCurlXmlHttpRequest(CurlPtr curl) : m_curl(std::move(curl)) {}

    bool Get(const std::string& url, std::string& body) override {
        CURL* curl = m_curl.get();
        curl_easy_reset(curl);
        body.clear();
        BodySink sink{&body, m_limits.maxBodyBytes, false};
        char errorText[CURL_ERROR_SIZE] = {};
        // A dropped text is any text: the shared options fetch web addresses only.
        SetWebGetOptions(curl, url, m_limits.connectTimeoutSeconds, m_limits.stallTimeoutSeconds, errorText);
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(m_limits.maxBodyBytes));
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, m_limits.wholeTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBlock);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancelled);
        if (g_feedFetchesCancelled.load()) return false;
        const CURLcode code = curl_easy_perform(curl);
        if (code != CURLE_OK) {
            std::fprintf(stderr, "vantrel: feed %s not read: %s\n", url.c_str(),
                         sink.overCap ? "larger than the size limit"
                                      : (errorText[0] != '\0' ? errorText : curl_easy_strerror(code)));
            body.clear();
            return false;
        }
        return true;
    }

    void SetLimits(const XmlHttpLimits& limits) override { m_limits = limits; }

private:
    CurlPtr m_curl;
    XmlHttpLimits m_limits;
};

}  // namespace

void CancelFeedFetches() {
    g_feedFetchesCancelled.store(true);
}

std::unique_ptr<CXmlHttpRequest> CreateXmlHttp() {
    CurlPtr curl = MakeCurlHandle();
    if (!curl) return nullptr;
    return std::make_unique<CCurlXmlHttpRequest>(std::move(curl));
}
