#pragma once
// The request object that fetches feed documents: a synchronous GET over http
// or https that follows redirects. The dialog makes one for the run and every
// load reuses it, on the UI thread only.

#include <cstddef>
#include <memory>
#include <string>

// Bounds of one fetch. A host that never answers, stops sending or sends a
// byte now and then fails the fetch instead of holding the window; a body over
// the cap fails it too.
struct XmlHttpLimits {
    long connectTimeoutSeconds = 60;
    long stallTimeoutSeconds = 30;   // with no byte arriving
    long wholeTimeoutSeconds = 120;  // the whole fetch, redirects included
    size_t maxBodyBytes = 32u * 1024u * 1024u;
};

class CXmlHttpRequest {
public:
    virtual ~CXmlHttpRequest() = default;

    // GET url and wait for the whole answer. True with the body for any HTTP
    // status (the body is what counts); false when no whole answer came
    // (no connection, a time limit, a cut transfer, a body over the cap).
    virtual bool Get(const std::string& url, std::string& body) = 0;

    virtual void SetLimits(const XmlHttpLimits& limits) = 0;
};

// The request object, or null when none can be made.
std::unique_ptr<CXmlHttpRequest> CreateXmlHttp();

// Breaks off the fetch that runs now (within about a second) and fails every
// later one at once: the program is ending. Safe in a signal handler.
void CancelFeedFetches();
