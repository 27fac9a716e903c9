// The request object on libcurl: one easy handle for the run, so connections
// to a feed host are reused from one load to the next.

#include "feeds/xml_http.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include <curl/curl.h>

namespace {

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlPtr = std::unique_ptr<CURL, CurlCleanup>;

constexpr long MAX_REDIRECTS = 10;

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
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        // A dropped text is any text: only web addresses are fetched, also after redirects.
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "Vantrel");
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, m_limits.connectTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_limits.stallTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(m_limits.maxBodyBytes));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBlock);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
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

std::unique_ptr<CXmlHttpRequest> CreateXmlHttp() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CurlPtr curl(curl_easy_init());
    if (!curl) return nullptr;
    return std::make_unique<CCurlXmlHttpRequest>(std::move(curl));
}
