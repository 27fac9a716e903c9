#pragma once
// A small real HTTP/1.1 server on 127.0.0.1 for download and feed tests. One
// thread serves one connection at a time; every wait has a time limit, and
// the destructor stops and joins the thread.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace test_support {

struct HttpResponse {
    enum class Ending { Whole, CutHalfway, CutWithoutLength, CutChunked, Silent, Trickle };

    int status = 200;
    // Sent as it is: with a content_encoding, give the body encoded (GzipStored).
    std::string body;
    std::string content_type = "application/octet-stream";
    // Sent as a "Content-Encoding" header when set.
    std::string content_encoding;
    // Sent as a "Location" header when set (with a 3xx status: a redirect).
    std::string location;
    // CutHalfway announces the whole length, sends half the body and closes.
    // CutWithoutLength announces no length, sends half the body and closes (an
    // end the client cannot tell from the whole). CutChunked sends half the
    // body as one chunk and closes without the last chunk.
    // Silent reads the request and answers nothing until the client gives up
    // (at most SILENT_WAIT_MS). Trickle sends the body a byte every
    // TRICKLE_STEP_MS.
    Ending ending = Ending::Whole;
    // When set, the body waits for Release() (at most RELEASE_WAIT_MS).
    bool held = false;
};

// The bytes in gzip form (stored, not compressed), as a host sends them with
// "Content-Encoding: gzip".
std::string GzipStored(const std::string& bytes);

class HttpServer {
public:
    static constexpr int RELEASE_WAIT_MS = 10000;
    static constexpr int SILENT_WAIT_MS = 20000;
    static constexpr int TRICKLE_STEP_MS = 100;

    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port><path>"
    std::string Url(const std::string& path) const;

    // What a GET of path answers; any other path gets 404.
    void Serve(const std::string& path, HttpResponse response);
    // Lets held responses send their bodies.
    void Release();
    // GET requests received for path so far.
    int RequestCount(const std::string& path) const;
    // GET requests received for any path so far.
    int TotalRequestCount() const;

private:
    void Run();
    void ServeConnection(int fd);
    bool WaitForRelease();
    void StaySilent(int fd);
    void Trickle(int fd, const std::string& body);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_changed_;
    bool released_ = false;
    bool stopping_ = false;
    std::map<std::string, HttpResponse> responses_;
    std::map<std::string, int> request_counts_;
    std::thread thread_;
};

}  // namespace test_support
