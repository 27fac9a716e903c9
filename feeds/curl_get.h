#pragma once
// What the feed fetch and the enclosure download share on libcurl: the easy
// handle with its one-time library set-up, and the options of a web GET.

#include <memory>
#include <string>

#include <curl/curl.h>

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlPtr = std::unique_ptr<CURL, CurlCleanup>;

// Sets the library up, once for the process; curl_global_init is not
// thread-safe, so call it before starting threads that use curl.
void PrepareCurl();

// A new easy handle (null when none can be made), after PrepareCurl.
CurlPtr MakeCurlHandle();

// A GET of url over http or https only, also after redirects (at most 10),
// without signals, with any content encoding undone. It fails after connectSeconds without a connection or
// stallSeconds without a byte arriving; errorText (CURL_ERROR_SIZE) gets why.
void SetWebGetOptions(CURL* curl, const std::string& url, long connectSeconds, long stallSeconds,
                      char* errorText);

// The URL as curl takes it: blanks at either end dropped, and every byte of
// its path, query and fragment that is no URL character as it stands (blanks,
// control bytes, bytes above ASCII, " < > \ ^ ` { | }) written as %XX.
// Everything else, "%" included, is left as it is.
std::string FetchableUrl(const std::string& url);
