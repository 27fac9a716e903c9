#include "feeds/curl_get.h"

#include <cstring>
#include <mutex>

namespace {

constexpr long MAX_REDIRECTS = 10;

bool IsUrlBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool NeedsPercentEncoding(unsigned char c) {
    return c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c) != nullptr;
}

// Where the path begins: after the scheme's "//" and the host, which stays
// as it is (a name for the resolver, not bytes to escape).
size_t PathStart(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t path = url.find_first_of("/?#", host);
    return path == std::string::npos ? url.size() : path;
}

}  // namespace

void PrepareCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlPtr MakeCurlHandle() {
    PrepareCurl();
    return CurlPtr(curl_easy_init());
}

void SetWebGetOptions(CURL* curl, const std::string& url, long connectSeconds, long stallSeconds,
                      char* errorText) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    // Addresses come from feeds and drops: only web addresses are fetched, also after redirects.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Vantrel");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    // Hosts compress answers, asked or not: every encoding curl knows is asked for and undone.
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
}

std::string FetchableUrl(const std::string& url) {
    size_t begin = 0;
    size_t end = url.size();
    while (begin < end && IsUrlBlank(url[begin])) ++begin;
    while (end > begin && IsUrlBlank(url[end - 1])) --end;
    const std::string trimmed = url.substr(begin, end - begin);
    const size_t path = PathStart(trimmed);
    std::string fetchable = trimmed.substr(0, path);
    static const char HEX[] = "0123456789ABCDEF";
    for (size_t i = path; i < trimmed.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(trimmed[i]);
        if (NeedsPercentEncoding(c)) {
            fetchable += '%';
            fetchable += HEX[c >> 4];
            fetchable += HEX[c & 0x0F];
        } else {
            fetchable += static_cast<char>(c);
        }
    }
    return fetchable;
}
