// Abuse of the stream server over real TCP on 127.0.0.1: many connections that
// send garbage, half requests, over-long requests, a request and then a reset,
// or nothing at all; then streams cut short by a reset after a few packets.
// Afterwards a normal listing and a whole stream must still work.
//
//   robust_abuse [--connections 1000] [--clients 8] [--read-limit-ms 250] [--seed N]
//
// The server serves one connection at a time and waits --read-limit-ms for a
// silent client (the real limit is REQUEST_READ_TIMEOUT_MS; shortened here so
// that the silent connections do not take minutes). The cut streams come one
// after another, each opened afresh as the PSP does: a "streampackets" on the
// handle of a stream whose transcode is still waiting for its release holds the
// server for the full 60-second stop wait, by design. Exits 0 when every check
// held.

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_order.h"
#include "platform/tcp.h"
#include "server/request.h"
#include "server/server_thread.h"
#include "tests/robustness/options.h"
#include "tests/robustness/stream_check.h"
#include "tests/support/media_clips.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int REPLY_LIMIT_MS = 20000;

enum class Abuse { Garbage, HalfRequest, OverLong, RequestThenReset, CloseAtOnce, Silent, StreamCut, Count };
const char* const ABUSE_NAMES[] = {"garbage", "half request", "over-long request", "request then reset",
                                   "close at once", "silent", "stream cut short"};
constexpr int ABUSE_KINDS = static_cast<int>(Abuse::Count);
constexpr int QUICK_KINDS = static_cast<int>(Abuse::Silent);  // the kinds before Silent
// One cut stream for this many connections.
constexpr long CONNECTIONS_PER_CUT_STREAM = 20;
constexpr int MAX_PACKETS_BEFORE_CUT = 30;

const std::string GOOD_LISTING = "listdir path=&size=4000";

struct Tally {
    std::atomic<int> sent[ABUSE_KINDS] = {};
    std::atomic<int> failed[ABUSE_KINDS] = {};
};

struct Failure {
    std::mutex lock;
    std::vector<std::string> notes;
    void add(const std::string& note) {
        std::lock_guard<std::mutex> guard(lock);
        if (notes.size() < 20) notes.push_back(note);
    }
};

// Bytes with no command word in them (letters kept away from "l" and "s").
std::string Garbage(std::mt19937& random, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() % 256);
        if (c == 'l' || c == 's') c = '#';
    }
    return bytes;
}

// Everything until the server closes (a reset counts as closed).
test_support::RawReply Finish(test_support::ProtocolConnection& connection) {
    test_support::RawReply reply;
    reply.connected = true;
    reply.bytes = connection.receive_all(REPLY_LIMIT_MS);
    reply.closed = connection.closed();
    return reply;
}

void Reset(const platform::Socket& socket) {
    const linger abort_on_close{1, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
}

// The checks: a text with no command word gets "-1"; a complete "listdir"
// word gets a whole listing; anything else must at least be closed in time.
std::string CheckAnswer(const std::string& seen, const test_support::RawReply& reply) {
    if (!reply.closed) return "not closed within the limit";
    const int command = FindCommandWord(seen.c_str());
    if (command < 0 && reply.bytes != "-1") return "no \"-1\" for a text without a command word";
    if (command == 0 && !test_support::ParseListDirReply(reply).well_formed) return "broken listing";
    return "";
}

class Abuser {
public:
    Abuser(uint16_t port, Tally& tally, Failure& failure) : port_(port), tally_(tally), failure_(failure) {}

    void Run(Abuse kind, std::mt19937& random) {
        const int index = static_cast<int>(kind);
        tally_.sent[index]++;
        const std::string problem = Send(kind, random);
        if (!problem.empty()) {
            tally_.failed[index]++;
            failure_.add(std::string(ABUSE_NAMES[index]) + ": " + problem);
        }
    }

private:
    std::string Send(Abuse kind, std::mt19937& random) {
        if (kind == Abuse::RequestThenReset || kind == Abuse::CloseAtOnce) return SendAndLeave(kind, random);
        test_support::ProtocolConnection connection(port_);
        if (!connection.connected()) return "could not connect";
        switch (kind) {
        case Abuse::Garbage: {
            const std::string bytes = Garbage(random, 1 + random() % REQUEST_MAX_BYTES);
            connection.send(bytes);
            connection.finish_sending();
            return CheckAnswer(bytes.substr(0, bytes.find('\0')), Finish(connection));
        }
        case Abuse::HalfRequest: {
            const std::string half = GOOD_LISTING.substr(0, 1 + random() % (GOOD_LISTING.size() - 1));
            connection.send(half);
            connection.finish_sending();
            return CheckAnswer(half, Finish(connection));
        }
        case Abuse::OverLong: {
            // The word inside or beyond the bytes the server reads.
            const size_t pad = random() % (2 * REQUEST_BUFFER_SIZE);
            connection.send(std::string(pad, ' ') + GOOD_LISTING + std::string(20000 + random() % 100000, 'x'));
            return Finish(connection).closed ? "" : "not closed within the limit";
        }
        case Abuse::Silent:
            return Finish(connection).closed ? "" : "a silent client was never dropped";
        default:
            break;
        }
        return "";
    }

    // Connections the client drops without reading anything.
    std::string SendAndLeave(Abuse kind, std::mt19937& random) {
        platform::Socket socket = platform::connect_loopback(port_);
        if (!socket.valid()) return "could not connect";
        if (kind == Abuse::RequestThenReset) {
            const std::string request = random() % 2 ? GOOD_LISTING : "streamopen filename=nowhere.avi.pmp";
            platform::send_all(socket, request.data(), request.size());
            Reset(socket);
        }
        return "";
    }

    uint16_t port_;
    Tally& tally_;
    Failure& failure_;
};

// Kinds in a fixed mix: silent clients are one in eleven, the others two in
// eleven each, since a silent one holds the one-at-a-time server for the whole
// read limit.
Abuse PickKind(std::mt19937& random) {
    const int roll = static_cast<int>(random() % (2 * QUICK_KINDS + 1));
    if (roll == 0) return Abuse::Silent;
    return static_cast<Abuse>((roll - 1) / 2);
}

// Exactly size bytes, false when the server closed or the time ran out.
bool ReceiveExact(const platform::Socket& socket, size_t size) {
    char buffer[65536];
    while (size > 0) {
        const long got = platform::receive_some(socket, buffer, std::min(size, sizeof buffer), REPLY_LIMIT_MS);
        if (got <= 0) return false;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// One packet: its first word holds twice the bytes after it (plus the key bit).
bool ReceivePacket(const platform::Socket& socket) {
    uint8_t word[4];
    size_t got = 0;
    while (got < sizeof word) {
        const long n = platform::receive_some(socket, word + got, sizeof word - got, REPLY_LIMIT_MS);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return ReceiveExact(socket, platform::load_le32(word) >> 1);
}

// Opens the clip as the PSP does, takes a few packets and resets the connection.
std::string CutOneStream(uint16_t port, const std::string& media, std::mt19937& random) {
    const std::optional<int32_t> handle = robustness::OpenStream(port, media, "clip.avi");
    if (!handle || *handle < 1 || *handle > 50) return "no handle from streamopen";
    if (test_support::Stream2Header(port, *handle).bytes.size() != 56) return "no 56-byte header";
    platform::Socket socket = platform::connect_loopback(port);
    const std::string request = "streampackets fd=" + std::to_string(*handle) + "&packet=0";
    if (!platform::send_all(socket, request.data(), request.size())) return "could not send";
    const int packets = static_cast<int>(random() % (MAX_PACKETS_BEFORE_CUT + 1));
    for (int i = 0; i < packets; ++i) {
        if (!ReceivePacket(socket)) return "the stream ended before the cut";
        const char acknowledgement = 1;
        platform::send_all(socket, &acknowledgement, 1);
    }
    Reset(socket);
    return "";
}

void CutStreams(uint16_t port, const std::string& media, long count, unsigned seed, Tally& tally,
                Failure& failure) {
    std::mt19937 random(seed);
    const int index = static_cast<int>(Abuse::StreamCut);
    for (long i = 0; i < count; ++i) {
        tally.sent[index]++;
        const std::string problem = CutOneStream(port, media, random);
        if (!problem.empty()) {
            tally.failed[index]++;
            failure.add(std::string(ABUSE_NAMES[index]) + ": " + problem);
        }
    }
}

bool NormalListingWorks(uint16_t port, const std::string& media) {
    const test_support::ListDirReply reply = test_support::ListDir(port, GOOD_LISTING);
    if (!reply.well_formed) return false;
    for (const std::string& line : reply.lines) {
        if (line == "dir:/" + media) return true;
    }
    return false;
}

void PrintTally(const Tally& tally) {
    std::printf("%-20s %8s %8s\n", "connection", "sent", "failed");
    for (int i = 0; i < ABUSE_KINDS; ++i) {
        std::printf("%-20s %8d %8d\n", ABUSE_NAMES[i], tally.sent[i].load(), tally.failed[i].load());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long connections = robustness::IntOption(argc, argv, "--connections", 1000);
    const long clients = robustness::IntOption(argc, argv, "--clients", 8);
    const long read_limit_ms = robustness::IntOption(argc, argv, "--read-limit-ms", 250);
    const unsigned seed = static_cast<unsigned>(robustness::IntOption(argc, argv, "--seed", std::random_device{}()));
    std::printf("robust_abuse: %ld connections from %ld clients, read limit %ld ms, seed %u\n", connections,
                clients, read_limit_ms, seed);

    test_support::TempDir media("vantrel-abuse-media");
    std::filesystem::copy_file(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi),
                               media.file("clip.avi"));
    test_support::TestServer server([&](CVantrelDlg& record) { record.m_moviePaths = {media.path()}; });
    SetRequestReadTimeout(static_cast<int>(read_limit_ms));

    Tally tally;
    Failure failure;
    std::atomic<long> next{0};
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (long c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::mt19937 random(seed + static_cast<unsigned>(c));
            Abuser abuser(server.port(), tally, failure);
            while (next.fetch_add(1) < connections) abuser.Run(PickKind(random), random);
        });
    }
    for (std::thread& thread : threads) thread.join();
    CutStreams(server.port(), media.path(), std::max(1L, connections / CONNECTIONS_PER_CUT_STREAM), seed, tally,
               failure);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    PrintTally(tally);
    for (const std::string& note : failure.notes) std::printf("  %s\n", note.c_str());
    const bool listing = NormalListingWorks(server.port(), media.path());
    std::printf("abuse took %.1f s; normal listing afterwards: %s\n", seconds, listing ? "works" : "BROKEN");
    const std::string stream = robustness::StreamProblem(server.port(), media.path(), "clip.avi");
    std::printf("whole stream afterwards: %s\n", stream.empty() ? "works" : stream.c_str());
    int failed = 0;
    for (const std::atomic<int>& count : tally.failed) failed += count.load();
    const bool passed = failed == 0 && listing && stream.empty();
    std::printf("%s\n", passed ? "robust_abuse: passed" : "robust_abuse: FAILED");
    return passed ? 0 : 1;
}
