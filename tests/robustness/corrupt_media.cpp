// Damaged media files served by the stream server over real TCP on
// 127.0.0.1: each is listed, opened and, when the server gives a header,
// streamed to its end; nothing may crash or hang, and a good stream must work
// after each.
//
//   robust_corrupt_media [--only N]   (N: run only the first N damaged files)
//
// A file that gives fewer than 21 frames is streamed with the frames it gives
// once its input has ended.
//
// Exits 0 when every damaged file was answered within the limits and every
// good stream afterwards came whole.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "stream/stream_state.h"
#include "tests/robustness/options.h"
#include "tests/robustness/stream_check.h"
#include "tests/support/files.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace {

using test_support::clip_kind;
using Bytes = std::string;
using Damage = std::function<Bytes(Bytes)>;

constexpr size_t MAX_DAMAGED_PACKETS = 2000;

Damage Truncate(double share) {
    return [share](Bytes bytes) { return bytes.substr(0, static_cast<size_t>(bytes.size() * share)); };
}

Damage ZeroMiddle(double from, double to) {
    return [from, to](Bytes bytes) {
        for (size_t i = static_cast<size_t>(bytes.size() * from); i < static_cast<size_t>(bytes.size() * to); ++i) {
            bytes[i] = '\0';
        }
        return bytes;
    };
}

// Every 97th byte flipped after the first kilobyte: the headers survive, the
// packets do not.
Damage Scramble() {
    return [](Bytes bytes) {
        const size_t size = bytes.size();
        char* data = &bytes[0];
        for (size_t i = 1024; i < size; i += 97) data[i] = static_cast<char>(data[i] ^ 0xff);
        return bytes;
    };
}

Damage Unchanged() {
    return [](Bytes bytes) { return bytes; };
}

Damage Replace(const Bytes& with) {
    return [with](Bytes) { return with; };
}

Bytes RandomBytes(size_t size) {
    std::mt19937 random(7);
    Bytes bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

struct DamagedFile {
    const char* name;  // as served, its extension picks nothing but the listing
    clip_kind source;
    Damage damage;
};

std::vector<DamagedFile> DamagedFiles() {
    return {
        // One of each kind first: the short run takes these.
        {"truncated-40.avi", clip_kind::mpeg4_mp3_avi, Truncate(0.4)},
        {"zeroed-middle.mp4", clip_kind::h264_aac_mp4, ZeroMiddle(0.3, 0.6)},
        {"audio-named.avi", clip_kind::mp3_audio, Unchanged()},
        {"zero-bytes.avi", clip_kind::mp3_audio, Replace("")},
        {"truncated-5.avi", clip_kind::mpeg4_mp3_avi, Truncate(0.05)},
        {"truncated-60.mp4", clip_kind::h264_aac_mp4, Truncate(0.6)},
        {"zeroed-middle.avi", clip_kind::mpeg4_mp3_avi, ZeroMiddle(0.3, 0.6)},
        {"zeroed-start.avi", clip_kind::mpeg4_mp3_avi, ZeroMiddle(0.0, 0.1)},
        {"scrambled.avi", clip_kind::mpeg4_mp3_avi, Scramble()},
        {"scrambled.mpg", clip_kind::pal_interlaced_mpg, Scramble()},
        {"video-named.mp3", clip_kind::mpeg4_mp3_avi, Unchanged()},
        {"text-named.avi", clip_kind::mp3_audio, Replace("this is not a movie\n")},
        {"zero-bytes.mp3", clip_kind::mp3_audio, Replace("")},
        {"random.mpg", clip_kind::mp3_audio, Replace(RandomBytes(200000))},
    };
}

// What the server did with one damaged file.
struct Outcome {
    std::string open = "-";
    std::string header = "-";
    std::string packets = "-";
    std::string problem;  // "" when every answer came within the limits
};

Outcome Serve(uint16_t port, const std::string& folder, const std::string& name) {
    Outcome outcome;
    const std::optional<int32_t> handle = robustness::OpenStream(port, folder, name);
    outcome.open = handle ? std::to_string(*handle) : "nothing";
    if (!handle || *handle < 1 || *handle > 50) return outcome;
    const test_support::RawReply header = test_support::Stream2Header(port, *handle);
    if (!header.closed) outcome.problem = "header request not closed";
    outcome.header = std::to_string(header.bytes.size()) + " bytes";
    if (header.bytes.size() != 56) return outcome;
    const uint32_t frames = test_support::PmpHeaderFrameCount(header.bytes);
    const size_t limit = std::min<size_t>(frames + 10, MAX_DAMAGED_PACKETS);
    const test_support::ReceivedStream stream = test_support::ReceiveStream(port, *handle, header.bytes, limit);
    outcome.packets = std::to_string(stream.packets.size()) + " of " + std::to_string(frames);
    if (!stream.ended && stream.packets.size() < limit) outcome.problem = "stream neither ended nor went on";
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<DamagedFile> files = DamagedFiles();
    const long only = robustness::IntOption(argc, argv, "--only", static_cast<long>(files.size()));
    if (only >= 0 && static_cast<size_t>(only) < files.size()) files.resize(static_cast<size_t>(only));

    test_support::TempDir media("vantrel-corrupt-media");
    std::filesystem::copy_file(test_support::test_clip(clip_kind::mono_22050_avi), media.file("good.avi"));
    for (const DamagedFile& file : files) {
        const std::string source = test_support::read_text(test_support::test_clip(file.source));
        test_support::write_text(media.file(file.name), file.damage(source));
    }
    test_support::TestServer server([&](CVantrelDlg& record) { record.m_moviePaths = {media.path()}; });

    std::printf("%-20s %-8s %-10s %-12s %-7s %-7s %s\n", "damaged file", "open", "header", "packets", "took",
                "good", "problem");
    int failed = 0;
    for (const DamagedFile& file : files) {
        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome = Serve(server.port(), media.path(), file.name);
        char took[32];
        std::snprintf(took, sizeof took, "%.1f s",
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        const std::string good = robustness::StreamProblem(server.port(), media.path(), "good.avi");
        std::printf("%-20s %-8s %-10s %-12s %-7s %-7s %s\n", file.name, outcome.open.c_str(),
                    outcome.header.c_str(), outcome.packets.c_str(), took, good.empty() ? "works" : "BROKEN",
                    (outcome.problem + (good.empty() ? "" : " good stream: " + good)).c_str());
        std::fflush(stdout);
        if (!outcome.problem.empty() || !good.empty()) ++failed;
    }
    std::printf("%s\n", failed == 0 ? "robust_corrupt_media: passed" : "robust_corrupt_media: FAILED");
    return failed == 0 ? 0 : 1;
}
