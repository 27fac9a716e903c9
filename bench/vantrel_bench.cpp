// The stream server's benchmarks. Prints a table of figures with their
// targets; the server runs in a child process of its own (this program with
// --serve) on 127.0.0.1, so its memory is measured alone.
//
//   vantrel_bench [--pairs 5] [--runs 5] [--flood 20] [--program VANTREL] [--media FOLDER]
//                 [--only listing|settings|first|memory|idle|throughput|flood]
//   vantrel_bench --help
//
// An unknown option or row is refused with the usage before any clip is made,
// and a row makes only the clips it streams.
// 1. Throughput: a client that acknowledges every packet at once streams a
//    60 s 1920x1080 and a 60 s 854x480 H.264/AAC clip and a 4 s 3840x2160
//    60 fps HEVC 10-bit clip at 40 Mbit/s (a phone's 4K video); the peers are
//    the ffmpeg tool doing the same job (MPEG-4 480x272 with the server's bit
//    rate and tuning, libmp3lame 128 kbit/s 44100 Hz stereo, null muxer), once
//    with one thread for everything and once with its default threading. Each
//    round runs the server and then each peer; the ratio is the median of the
//    rounds.
// 2. Time to first packet: "streampackets" sent to first byte received, with
//    and without a start time (30 s, 2 s for the short 4K clip), and with a
//    start time far from the key frame before it (39 s, 9 s after one), up to
//    which the server decodes and drops.
// 3. "listdir" of a folder of 10,000 files.
// 4. Peak resident memory of the server while it streams the 1080p and the
//    4K clip, each in a server process of its own.
// 5. One save of the settings file, as every keystroke in a bit rate edit
//    makes it, beside the media folder.
// 6. Resident memory of an idle server after 4K streams: one server process
//    streams the 4K clip --runs times, each stream followed by a pause, and the
//    resident memory after each pause is set against the one at its start.
// 7. The whole program (window offscreen) under two clients that send
//    "listdir" with settings as fast as they can for --flood seconds: its
//    resident memory before, at the end of the flood and a moment after it,
//    and the time from SIGTERM to its end, sent while the flood still runs.
// 8. A phone's 30 s 1080p30 portrait video stored on its side (turned upright
//    on its way) against its twin without the turn, in rounds of the two
//    (with the throughput rows, or alone with --only upright).

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "core/vantrel_dlg.h"
#include "platform/paths.h"
#include "platform/tcp.h"
#include "tests/robustness/options.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/test_server.h"
#include "transcoder/output_setup.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int LISTING_FILES = 10000;
constexpr const char* MOVIE_BITRATE = "600";  // the settings' default, kbit/s
constexpr const char* AUDIO_BITRATE = "128";
// Once the last packet is in, the job only frees what it holds: a second is
// far more than that takes, so the server is idle when measured.
constexpr auto IDLE_SETTLE = std::chrono::seconds(1);
// What an idle server may keep after its streams beyond its memory at start:
// less than one picture of the 4K clip (3840 x 2160, 10-bit 4:2:0, 25 MB).
// The code of the decoders and encoders that the first stream pages in, the
// pages of the rings and small allocations fit in that; pictures do not.
constexpr double IDLE_GROWTH_MB = 25;
// The listing flood: its clients, and what the program may take to end.
constexpr int FLOOD_CLIENTS = 2;
constexpr double FLOOD_EXIT_SECONDS = 2;
constexpr double FLOOD_EXIT_LIMIT_SECONDS = 120;  // then it is killed
// The program may keep this much beyond its memory before the flood.
constexpr double FLOOD_GROWTH_MB = 10;

struct Targets {
    double single_thread_peer;   // least ratio to the tool on one thread, 0: none
    double default_thread_peer;  // least ratio to the tool with its default threads, 0: none
    double real_time;            // least stream seconds per wall second, 0: none
    double first_packet_ms;      // 0: none
    double peak_memory_mb;       // 0: not measured
    double first_packet_between_keys_ms;  // 0: none
};

struct Clip {
    std::string label;
    std::string name;  // file name in the media folder; it names the recipe, so a new recipe makes a new file
    int seconds;
    std::string start_time;  // "stime=" for the first-packet row with a start time
    std::string between_keys;  // "stime=" far after a key frame; "": no such row
    std::vector<std::string> recipe;  // ffmpeg arguments before the output name
    Targets targets;
};

std::vector<std::string> H264Recipe(const std::string& size, int seconds, const std::string& rate = "25") {
    const std::string duration = std::to_string(seconds);
    return {"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=" + rate + ":duration=" + duration,
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=" + duration,
            "-ac", "2", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k"};
}

// Moving noise over the test picture, so the encoder spends its 40 Mbit/s
// and the decoder has a phone video's work.
std::vector<std::string> HevcRecipe(int seconds) {
    const std::string duration = std::to_string(seconds);
    return {"-f", "lavfi", "-i", "testsrc2=size=3840x2160:rate=60:duration=" + duration,
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=" + duration,
            "-vf", "noise=alls=12:allf=t", "-ac", "2", "-c:v", "libx265", "-preset", "superfast",
            "-x265-params", "log-level=error", "-b:v", "40M", "-pix_fmt", "yuv420p10le",
            "-c:a", "aac", "-b:a", "128k"};
}

const std::vector<Clip>& Clips() {
    static const std::vector<Clip> clips = {
        // The H.264 clips have a key frame every 10 s (250 pictures).
        {"1080p", "clip1080.mp4", 60, "30", "39", H264Recipe("1920x1080", 60), {0.95, 0.9, 0, 300, 100, 300}},
        {"480p", "clip480.mp4", 60, "30", "39", H264Recipe("854x480", 60), {0.95, 0, 0, 0, 0, 0}},
        {"4K60 HEVC", "clip2160p60-hevc10-40M-4s.mp4", 4, "2", "", HevcRecipe(4), {0, 0.9, 1.5, 400, 400, 0}},
    };
    return clips;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// ---- media ------------------------------------------------------------------

// Made once: a clip already in the media folder is kept across runs.
void MakeClip(const std::string& folder, const Clip& clip) {
    const std::string path = folder + "/" + clip.name;
    if (fs::exists(path)) return;
    std::printf("making %s (%s, %d s; once, it is kept) ...\n", path.c_str(), clip.label.c_str(), clip.seconds);
    std::fflush(stdout);
    if (!test_support::make_clip(clip.recipe, path + ".part.mp4")) {
        std::fprintf(stderr, "vantrel_bench: ffmpeg could not make %s\n", path.c_str());
        std::exit(1);
    }
    fs::rename(path + ".part.mp4", path);
}

// 10,000 files, three in five of a served extension.
void MakeListingFolder(const std::string& folder) {
    if (fs::exists(folder + "/done")) return;
    fs::create_directories(folder);
    const char* const extensions[] = {"avi", "mp4", "txt", "MP3", "jpg"};
    for (int i = 0; i < LISTING_FILES; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/file_%05d.%s", i, extensions[i % 5]);
        std::ofstream(folder + name);
    }
    std::ofstream(folder + "/done");
}

// ---- the server child -------------------------------------------------------

int Serve(const std::string& media) {
    test_support::TestServer server([&](CVantrelDlg& record) {
        record.m_moviePaths = {media};
        record.m_strMovieBitrate = MOVIE_BITRATE;
        record.m_strAudioBitrate = AUDIO_BITRATE;
    });
    std::printf("%u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);
    char ignored[64];
    while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    return 0;
}

// The server child: started with a port on its stdout, ended when its stdin closes.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& media) {
        int to_child[2], from_child[2];
        if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) std::exit(1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, to_child[1]);
        posix_spawn_file_actions_addclose(&actions, from_child[0]);
        std::string program = platform::program_folder() + "/vantrel_bench";
        std::string serve = "--serve";
        std::string folder = media;
        char* argv[] = {&program[0], &serve[0], &folder[0], nullptr};
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) std::exit(1);
        posix_spawn_file_actions_destroy(&actions);
        ::close(to_child[0]);
        ::close(from_child[1]);
        stdin_ = to_child[1];
        char text[16] = {};
        size_t got = 0;
        while (got + 1 < sizeof text && ::read(from_child[0], text + got, 1) == 1 && text[got] != '\n') ++got;
        ::close(from_child[0]);
        port_ = static_cast<uint16_t>(std::atoi(text));
        if (port_ == 0) {
            std::fprintf(stderr, "vantrel_bench: the server child did not start\n");
            std::exit(1);
        }
    }
    ~ServerProcess() {
        ::close(stdin_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    uint16_t port() const { return port_; }

    // A field of /proc/<pid>/status in kB (VmHWM: peak resident, VmRSS: now).
    long StatusKb(const char* field) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    uint16_t port_ = 0;
};

// ---- client side ------------------------------------------------------------

// streamopen (with an optional tail such as "&stime=30") and stream2header;
// the handle, or 0.
int OpenWithHeader(uint16_t port, const std::string& media, const std::string& name, const std::string& tail,
                   uint32_t* frames = nullptr) {
    test_support::ListDir(port, test_support::ListDirRequest(media, 100));
    const std::optional<int32_t> handle = test_support::StreamOpen(port, "streamopen filename=" + name + ".pmp" + tail);
    if (!handle || *handle < 1) return 0;
    const test_support::RawReply header = test_support::Stream2Header(port, *handle);
    if (header.bytes.size() != 56) return 0;
    if (frames) *frames = test_support::PmpHeaderFrameCount(header.bytes);
    return *handle;
}

// A whole stream, every packet acknowledged at once: wall seconds from
// "streamopen" to the server's close, or a negative value when it came short.
double StreamOnce(uint16_t port, const std::string& media, const std::string& name) {
    const Clock::time_point start = Clock::now();
    uint32_t frames = 0;
    const int handle = OpenWithHeader(port, media, name, "", &frames);
    if (handle == 0) return -1;
    test_support::ProtocolConnection connection(port);
    connection.send("streampackets fd=" + std::to_string(handle) + "&packet=0");
    uint32_t packets = 0;
    while (test_support::ReadPmpPacket(connection, true, 60000)) ++packets;
    connection.receive_all(30000);
    const double seconds = Seconds(start);
    if (packets + 1 != frames) {
        std::fprintf(stderr, "vantrel_bench: %u of %u packets\n", packets, frames - 1);
        return -1;
    }
    return seconds;
}

// The ffmpeg tool's options for the server's video tuning, as far as today's
// MPEG-4 encoder knows them. With the tool's default threading the encoder's
// thread count is left to the tool as well.
std::vector<std::string> PeerTuningOptions(bool one_thread) {
    const AVCodec* codec = avcodec_find_encoder_by_name("mpeg4");
    const codec_context_ptr context(avcodec_alloc_context3(codec));
    std::vector<std::string> options;
    for (const encoder_option& option : video_tuning_options()) {
        if (av_opt_find(context.get(), option.name, nullptr, 0, AV_OPT_SEARCH_CHILDREN) == nullptr) continue;
        if (!one_thread && std::strcmp(option.name, "threads") == 0) continue;
        options.push_back(std::string("-") + option.name);
        options.push_back(option.value);
    }
    return options;
}

enum class Peer { one_thread, default_threads };

std::vector<std::string> PeerCommand(const std::string& clip, Peer peer) {
    const bool one_thread = peer == Peer::one_thread;
    std::vector<std::string> words = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error"};
    if (one_thread) words.insert(words.end(), {"-threads", "1"});
    words.insert(words.end(), {"-i", clip, "-map", "0:v:0", "-map", "0:a:0"});
    if (one_thread) words.insert(words.end(), {"-filter_threads", "1"});
    words.insert(words.end(), {"-vf", "scale=480:272:flags=bicubic", "-c:v", "mpeg4",
                               "-b:v", std::string(MOVIE_BITRATE) + "k"});
    const std::vector<std::string> tuning = PeerTuningOptions(one_thread);
    words.insert(words.end(), tuning.begin(), tuning.end());
    const std::vector<std::string> audio = {"-c:a", "libmp3lame", "-b:a", std::string(AUDIO_BITRATE) + "k",
                                            "-ar", "44100", "-ac", "2", "-f", "null", "-"};
    words.insert(words.end(), audio.begin(), audio.end());
    return words;
}

// Wall seconds of one run of the command, negative when it failed.
double RunOnce(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = Seconds(start);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// Milliseconds from sending "streampackets" to the first byte of the reply;
// the stream is then dropped.
double FirstPacketMs(uint16_t port, const std::string& media, const std::string& name, const std::string& tail) {
    const int handle = OpenWithHeader(port, media, name, tail);
    if (handle == 0) return -1;
    test_support::ProtocolConnection connection(port);
    const Clock::time_point start = Clock::now();
    connection.send("streampackets fd=" + std::to_string(handle) + "&packet=0");
    if (!connection.receive_exact(1, 30000)) return -1;
    return 1000 * Seconds(start);
}

double ListingMs(uint16_t port, const std::string& folder, size_t* lines) {
    const Clock::time_point start = Clock::now();
    const test_support::ListDirReply reply = test_support::ListDir(port, test_support::ListDirRequest(folder, 1 << 22));
    const double ms = 1000 * Seconds(start);
    *lines = reply.lines.size();
    return reply.well_formed ? ms : -1;
}

// ---- report -----------------------------------------------------------------

void Row(const std::string& what, const std::string& figure, const std::string& target, bool met) {
    std::printf("%-46s %-26s %-12s %s\n", what.c_str(), figure.c_str(), target.c_str(), met ? "met" : "MISSED");
    std::fflush(stdout);
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Spread(const std::vector<double>& values) {
    if (values.empty()) return "";
    return " [" + Format("%.3f", *std::min_element(values.begin(), values.end())) + ".." +
           Format("%.3f", *std::max_element(values.begin(), values.end())) + "]";
}

void RatioRow(const std::string& peer, const std::vector<double>& ratios, double target) {
    const double ratio = Median(ratios);
    const bool has_target = target > 0;
    Row("  ratio to the tool, " + peer + " (median of " + std::to_string(ratios.size()) + ")",
        Format("%.3f", ratio) + Spread(ratios), has_target ? ">= " + Format("%.2f", target) : "-",
        !has_target || (!ratios.empty() && ratio >= target));
}

// Rounds of the server and then each peer the clip has a target for, one after
// another; each ratio is the peer's wall time over the server's in one round.
void Throughput(const ServerProcess& server, const std::string& media, int pairs) {
    for (const Clip& clip : Clips()) {
        const Targets& targets = clip.targets;
        const bool one_thread_peer = targets.single_thread_peer > 0 || clip.label == "480p";
        std::vector<double> ours, one, many, one_ratios, many_ratios;
        for (int i = 0; i < pairs; ++i) {
            const double a = StreamOnce(server.port(), media, clip.name);
            const double b = one_thread_peer ? RunOnce(PeerCommand(media + "/" + clip.name, Peer::one_thread)) : 1;
            const double c = RunOnce(PeerCommand(media + "/" + clip.name, Peer::default_threads));
            if (a <= 0 || b <= 0 || c <= 0) {
                std::fprintf(stderr, "vantrel_bench: a throughput run failed (%s)\n", clip.label.c_str());
                continue;
            }
            ours.push_back(clip.seconds / a);
            many.push_back(clip.seconds / c);
            many_ratios.push_back(c / a);
            if (one_thread_peer) {
                one.push_back(clip.seconds / b);
                one_ratios.push_back(b / a);
            }
        }
        const double speed = Median(ours);
        std::string peers = " vs tool " + Format("%.2f", Median(many));
        if (one_thread_peer) peers += " (1 thread " + Format("%.2f", Median(one)) + ")";
        const bool real_time = targets.real_time > 0;
        Row("throughput " + clip.label + ", stream s per wall s", Format("%.2f", speed) + peers,
            real_time ? ">= " + Format("%.1f", targets.real_time) : "-", !real_time || speed >= targets.real_time);
        if (one_thread_peer) RatioRow("one thread", one_ratios, targets.single_thread_peer);
        RatioRow("default threads", many_ratios, targets.default_thread_peer);
    }
}

// A phone's portrait video: 1080x1920 pictures stored as 1920x1080 with a
// display matrix of a quarter turn, and its twin, the same file without it.
// The ffmpeg tool of FFmpeg 5.1 writes the matrix from a "rotate" tag only when
// it copies the stream; 270 there is a phone's quarter turn clockwise.
const Clip& PhoneTwin() {
    static const Clip clip = {"1080p30", "phone1080p30-twin.mp4", 30, "", "", H264Recipe("1920x1080", 30, "30"), {}};
    return clip;
}

void MakePhoneClips(const std::string& media) {
    MakeClip(media, PhoneTwin());
    MakeClip(media, {"1080p30 turned", "phone1080p30-turned.mp4", PhoneTwin().seconds, "", "",
                     {"-i", media + "/" + PhoneTwin().name, "-c", "copy", "-metadata:s:v", "rotate=270"}, {}});
}

// Rounds of the turned clip and its twin; the pictures turned upright cost at
// most 15 % of the twin's speed.
void UprightThroughput(const ServerProcess& server, const std::string& media, int pairs) {
    MakePhoneClips(media);
    std::vector<double> turned, twin, ratios;
    for (int i = 0; i < pairs; ++i) {
        const double a = StreamOnce(server.port(), media, "phone1080p30-turned.mp4");
        const double b = StreamOnce(server.port(), media, PhoneTwin().name);
        if (a <= 0 || b <= 0) {
            std::fprintf(stderr, "vantrel_bench: a throughput run failed (phone clip)\n");
            continue;
        }
        turned.push_back(PhoneTwin().seconds / a);
        twin.push_back(PhoneTwin().seconds / b);
        ratios.push_back(b / a);
    }
    Row("throughput 1080p30 phone clip turned upright", Format("%.2f", Median(turned)) + " vs twin " +
        Format("%.2f", Median(twin)), "-", true);
    const double ratio = Median(ratios);
    Row("  ratio to its unturned twin (median of " + std::to_string(ratios.size()) + ")",
        Format("%.3f", ratio) + Spread(ratios), ">= 0.85", !ratios.empty() && ratio >= 0.85);
}

void FirstPacketRow(const ServerProcess& server, const std::string& media, int runs, const Clip& clip,
                    const std::string& start_time, double target) {
    const std::string tail = start_time.empty() ? "" : "&stime=" + start_time;
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const double value = FirstPacketMs(server.port(), media, clip.name, tail);
        if (value >= 0) ms.push_back(value);
    }
    const double median = Median(ms);
    Row("first packet " + clip.label + (start_time.empty() ? "" : ", stime " + start_time + " s") + " (median of " +
            std::to_string(ms.size()) + ")",
        Format("%.0f ms", median), target > 0 ? "<= " + Format("%.0f", target) + " ms" : "-",
        target <= 0 || (median <= target && !ms.empty()));
}

void FirstPacket(const ServerProcess& server, const std::string& media, int runs) {
    for (const Clip& clip : Clips()) {
        FirstPacketRow(server, media, runs, clip, "", clip.targets.first_packet_ms);
        FirstPacketRow(server, media, runs, clip, clip.start_time, clip.targets.first_packet_ms);
        if (!clip.between_keys.empty())
            FirstPacketRow(server, media, runs, clip, clip.between_keys, clip.targets.first_packet_between_keys_ms);
    }
}

void Listing(const ServerProcess& server, const std::string& folder, int runs) {
    std::vector<double> ms;
    size_t lines = 0;
    for (int i = 0; i < 4 * runs; ++i) {
        const double value = ListingMs(server.port(), folder, &lines);
        if (value >= 0) ms.push_back(value);
    }
    const double median = Median(ms);
    Row("listdir of 10,000 files (" + std::to_string(lines) + " lines, median of " + std::to_string(ms.size()) + ")",
        Format("%.1f ms", median), "<= 50 ms", median <= 50 && !ms.empty());
}

void PeakMemory(const std::string& media) {
    for (const Clip& clip : Clips()) {
        const double target = clip.targets.peak_memory_mb;
        if (target <= 0) continue;
        ServerProcess server(media);
        const long before = server.StatusKb("VmRSS:");
        const double seconds = StreamOnce(server.port(), media, clip.name);
        const long peak = server.StatusKb("VmHWM:");
        Row("server resident memory before a stream", Format("%.1f MB", before / 1024.0), "-", true);
        Row("server peak resident memory, " + clip.label + " stream", Format("%.1f MB", peak / 1024.0),
            "<= " + Format("%.0f", target) + " MB", seconds > 0 && peak > 0 && peak <= target * 1024);
    }
}

// The 4K clip streamed runs times by one server, idle for a moment after each.
void IdleMemory(const std::string& media, int runs) {
    const Clip& clip = Clips().back();  // the 4K clip
    ServerProcess server(media);
    const long start = server.StatusKb("VmRSS:");
    std::vector<double> idle_mb;
    bool streamed = true;
    for (int i = 0; i < runs; ++i) {
        streamed = StreamOnce(server.port(), media, clip.name) > 0 && streamed;
        std::this_thread::sleep_for(IDLE_SETTLE);
        idle_mb.push_back(server.StatusKb("VmRSS:") / 1024.0);
    }
    const double start_mb = start / 1024.0;
    const double limit_mb = start_mb + IDLE_GROWTH_MB;
    const double worst = idle_mb.empty() ? 0 : *std::max_element(idle_mb.begin(), idle_mb.end());
    const double least = idle_mb.empty() ? 0 : *std::min_element(idle_mb.begin(), idle_mb.end());
    Row("server resident memory at start", Format("%.1f MB", start_mb), "-", true);
    Row("idle resident memory after a " + clip.label + " stream (most of " + std::to_string(idle_mb.size()) + ")",
        Format("%.1f MB", worst) + " [" + Format("%.1f", least) + ".." + Format("%.1f", worst) + "]",
        "<= " + Format("%.0f", limit_mb) + " MB", streamed && !idle_mb.empty() && worst <= limit_mb);
}

void SettingsSave(const std::string& media, int runs) {
    const std::string folder = media + "/settings";
    fs::create_directories(folder);
    CVantrelDlg record(folder);
    {
        std::lock_guard<std::mutex> guard(record.Lock());
        record.m_moviePaths = {media, media + "/many", "/srv/media/Podcasts"};
        for (int i = 0; i < 5; ++i) {
            auto feed = std::make_shared<CFeed>();
            feed->m_strUrl = "https://feeds.example.org/show-" + std::to_string(i) + ".rss";
            record.m_feeds.push_back(feed);
        }
    }
    std::vector<double> ms;
    for (int i = 0; i < 10 * runs; ++i) {
        const Clock::time_point start = Clock::now();
        record.SaveSettings();
        ms.push_back(1000 * Seconds(start));
    }
    Row("settings save, 3 folders and 5 feeds (median of " + std::to_string(ms.size()) + ")",
        Format("%.2f ms", Median(ms)), "-", true);
}

// ---- the whole program under a listing flood --------------------------------

// A copy of the program in a folder of its own (it writes Vantrel.ini beside
// itself), offscreen, listening on loopback only; killed if still running
// when the object goes.
class ProgramCopy {
public:
    ProgramCopy(const std::string& original, const std::string& folder, uint16_t port) {
        fs::remove_all(folder);
        fs::create_directories(folder + "/media");
        fs::copy_file(original, folder + "/vantrel");
        std::ofstream(folder + "/Vantrel.ini") << "[StreamSettings]\nnmoviepaths=1\nmoviepath_1=" << folder
                                                << "/media\nserverPort=" << port << "\n";
        std::string program = folder + "/vantrel";
        char* argv[] = {&program[0], nullptr};
        std::vector<std::string> variables = {"QT_QPA_PLATFORM=offscreen", "VANTREL_LISTEN_LOOPBACK=1"};
        for (char** variable = environ; *variable; ++variable) variables.emplace_back(*variable);
        std::vector<char*> envp;
        for (std::string& variable : variables) envp.push_back(&variable[0]);
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) pid_ = -1;
    }
    ~ProgramCopy() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;

    bool Listening(uint16_t port) const {
        for (int i = 0; pid_ > 0 && i < 200; ++i) {
            if (test_support::ProtocolConnection(port).connected()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    long ResidentKb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        }
        return -1;
    }

    // SIGTERM, then seconds until the program ended, or -1 after limit.
    double Terminate(double limit) {
        ::kill(pid_, SIGTERM);
        const Clock::time_point start = Clock::now();
        while (Seconds(start) < limit) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return Seconds(start);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

// Clients that each send the same listing request over and over until stopped.
class ListingClients {
public:
    ListingClients(uint16_t port, const std::string& request) {
        for (int c = 0; c < FLOOD_CLIENTS; ++c) {
            threads_.emplace_back([this, port, request] {
                while (!stop_) {
                    if (test_support::ListDir(port, request).well_formed) ++answered_;
                }
            });
        }
    }
    ~ListingClients() { Stop(); }
    void Stop() {
        stop_ = true;
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }
    long Answered() const { return answered_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> answered_{0};
    std::vector<std::thread> threads_;
};

std::string FloodRequest(const std::string& folder) {
    return test_support::ListDirRequest(folder + "/media", 4096, "&framediv=1.5&vbitrate=450&abitrate=64");
}

uint16_t UnusedPort() {
    platform::ListenResult probe = platform::listen_tcp(0, true);
    return platform::local_port(probe.socket);
}

std::string ExitFigure(double seconds) {
    return seconds < 0 ? "still running" : Format("%.2f s", seconds);
}

// SIGTERM while the clients still send.
void FloodThenTerminate(const std::string& original, const std::string& media, int seconds, const std::string& load) {
    const uint16_t port = UnusedPort();
    ProgramCopy program(original, media + "/flood", port);
    if (!program.Listening(port)) return (void)std::fprintf(stderr, "vantrel_bench: the program did not start\n");
    const long before = program.ResidentKb();
    ListingClients clients(port, FloodRequest(media + "/flood"));
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long during = program.ResidentKb();
    const double exit_seconds = program.Terminate(FLOOD_EXIT_LIMIT_SECONDS);
    clients.Stop();
    Row("listdir flood (" + load + "), listings answered", std::to_string(clients.Answered()), "-", true);
    Row("  resident memory before / at the end", Format("%.1f", before / 1024.0) + " / " +
        Format("%.1f MB", during / 1024.0), "-", true);
    Row("  SIGTERM to exit, flood running", ExitFigure(exit_seconds), "<= " + Format("%.0f s", FLOOD_EXIT_SECONDS),
        exit_seconds >= 0 && exit_seconds <= FLOOD_EXIT_SECONDS);
}

// The clients stop, the program idles a moment, then SIGTERM.
void FloodThenIdle(const std::string& original, const std::string& media, int seconds) {
    const uint16_t port = UnusedPort();
    ProgramCopy program(original, media + "/flood", port);
    if (!program.Listening(port)) return (void)std::fprintf(stderr, "vantrel_bench: the program did not start\n");
    const long before = program.ResidentKb();
    {
        ListingClients clients(port, FloodRequest(media + "/flood"));
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    }
    std::this_thread::sleep_for(IDLE_SETTLE);
    const long after = program.ResidentKb();
    const double exit_seconds = program.Terminate(FLOOD_EXIT_LIMIT_SECONDS);
    const double limit_mb = before / 1024.0 + FLOOD_GROWTH_MB;
    Row("  resident memory before / 1 s after the flood", Format("%.1f", before / 1024.0) + " / " +
        Format("%.1f MB", after / 1024.0), "<= " + Format("%.0f MB", limit_mb), after > 0 && after / 1024.0 <= limit_mb);
    Row("  SIGTERM to exit, after the flood", ExitFigure(exit_seconds), "<= " + Format("%.0f s", FLOOD_EXIT_SECONDS),
        exit_seconds >= 0 && exit_seconds <= FLOOD_EXIT_SECONDS);
}

// original: the program to copy and run.
void ListingFlood(const std::string& original, const std::string& media, int seconds) {
    if (original.empty()) return (void)std::fprintf(stderr, "vantrel_bench: no program for the flood (--program)\n");
    const std::string load = std::to_string(seconds) + " s, " + std::to_string(FLOOD_CLIENTS) + " clients";
    FloodThenTerminate(original, media, seconds, load);
    FloodThenIdle(original, media, seconds);
}

// ---- the command line ---------------------------------------------------------

constexpr const char* USAGE =
    "usage: vantrel_bench [--pairs 5] [--runs 5] [--flood 20] [--program VANTREL] [--media FOLDER]\n"
    "                     [--only listing|settings|first|memory|idle|throughput|flood|upright]\n";

bool Always(const Clip&) { return true; }
bool Never(const Clip&) { return false; }
bool IdleClip(const Clip& clip) { return &clip == &Clips().back(); }  // the one IdleMemory streams
bool MemoryClip(const Clip& clip) { return clip.targets.peak_memory_mb > 0 || IdleClip(clip); }

// The rows --only names, with the clips each streams: only those are made.
struct RowChoice {
    const char* name;
    bool (*needs)(const Clip&);
};
constexpr RowChoice ROW_CHOICES[] = {
    {"listing", Never}, {"settings", Never}, {"first", Always},     {"memory", MemoryClip},
    {"idle", IdleClip}, {"throughput", Always}, {"flood", Never}, {"upright", Never},  // it makes its own
};

bool NeedsClip(const std::string& only, const Clip& clip) {
    for (const RowChoice& row : ROW_CHOICES) {
        if ((only == "all" || only == row.name) && row.needs(clip)) return true;
    }
    return false;
}

bool KnownRow(const std::string& only) {
    if (only == "all") return true;
    for (const RowChoice& row : ROW_CHOICES) {
        if (only == row.name) return true;
    }
    return false;
}

// Exits before any work: 0 after --help, 2 after an option it does not take.
void CheckOptions(int argc, char** argv) {
    const char* const with_number[] = {"--pairs", "--runs", "--flood"};
    const char* const with_text[] = {"--program", "--media", "--only"};
    const auto refuse = [](const std::string& why) {
        std::fprintf(stderr, "vantrel_bench: %s\n%s", why.c_str(), USAGE);
        std::exit(2);
    };
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        }
        const bool number = std::find(std::begin(with_number), std::end(with_number), name) != std::end(with_number);
        const bool text = std::find(std::begin(with_text), std::end(with_text), name) != std::end(with_text);
        if (!number && !text) refuse("unknown option " + name);
        if (i + 1 >= argc) refuse(name + " needs a value");
        char* end = nullptr;
        if (number && (std::strtol(argv[i + 1], &end, 10) < 1 || *end != '\0'))
            refuse(name + " takes a whole number from 1 up, not " + argv[i + 1]);
        if (name == "--only" && !KnownRow(argv[i + 1])) refuse(std::string("no row ") + argv[i + 1]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) return Serve(argv[2]);
    CheckOptions(argc, argv);
    const int pairs = static_cast<int>(robustness::IntOption(argc, argv, "--pairs", 5));
    const int runs = static_cast<int>(robustness::IntOption(argc, argv, "--runs", 5));
    const int flood_seconds = static_cast<int>(robustness::IntOption(argc, argv, "--flood", 20));
    const std::string program = robustness::TextOption(argc, argv, "--program", VANTREL_PROGRAM);
    const std::string only = robustness::TextOption(argc, argv, "--only", "all");
    const std::string media =
        robustness::TextOption(argc, argv, "--media", platform::program_folder() + "/bench-media");
    fs::create_directories(media);
    for (const Clip& clip : Clips()) {
        if (NeedsClip(only, clip)) MakeClip(media, clip);
    }
    if (only == "all" || only == "listing") MakeListingFolder(media + "/many");
    // The tool's log levels stay quiet; ours go to stderr.
    std::printf("peer:");
    for (const std::string& word : PeerCommand(media + "/" + Clips()[0].name, Peer::one_thread))
        std::printf(" %s", word.c_str());
    std::printf("\npeer with the tool's default threading: the same without \"-threads 1\" (both) and "
                "\"-filter_threads 1\"\n");
    std::printf("\n%-46s %-26s %-12s %s\n", "figure", "value", "target", "");

    ServerProcess server(media);
    if (only == "all" || only == "listing") Listing(server, media + "/many", runs);
    if (only == "all" || only == "settings") SettingsSave(media, runs);
    if (only == "all" || only == "first") FirstPacket(server, media, runs);
    if (only == "all" || only == "memory") PeakMemory(media);
    if (only == "all" || only == "memory" || only == "idle") IdleMemory(media, runs);
    if (only == "all" || only == "throughput") Throughput(server, media, pairs);
    if (only == "all" || only == "throughput" || only == "upright") UprightThroughput(server, media, pairs);
    if (only == "all" || only == "flood") ListingFlood(program, media, flood_seconds);
    return 0;
}
