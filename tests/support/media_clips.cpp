#include "tests/support/media_clips.h"

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace test_support {

namespace {

constexpr int CLIP_KINDS = static_cast<int>(clip_kind::hevc_10bit_mp4) + 1;  // the last kind
constexpr double TRUNCATED_SHARE = 0.4;

std::string run_and_capture(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return output;
    std::array<char, 4096> buffer;
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) output.append(buffer.data(), got);
    return output;
}

std::vector<std::string> video_source(const std::string& size, const std::string& rate, int seconds) {
    return {"-f", "lavfi", "-i",
            "testsrc2=size=" + size + ":rate=" + rate + ":duration=" + std::to_string(seconds)};
}

std::vector<std::string> audio_source(int sample_rate, int channels, int seconds) {
    return {"-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=" + std::to_string(sample_rate) + ":duration=" + std::to_string(seconds),
            "-ac", std::to_string(channels)};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// How one clip is made: its description and the ffmpeg arguments before the
// output name.
struct clip_recipe {
    clip_info info;
    std::string name;  // file name stem and extension
    std::vector<std::string> args;
};

std::vector<std::string> h264_or_mpeg4(std::string& codec) {
    if (ffmpeg_has_encoder("libx264")) {
        codec = "h264";
        return {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
    }
    codec = "mpeg4";
    return {"-c:v", "mpeg4", "-q:v", "5"};
}

// A testsrc2 picture with a sine tone. The description and the ffmpeg sources
// come from the same figures, so they cannot disagree.
clip_recipe av_recipe(const std::string& name, int width, int height, int fps_num, int fps_den, int seconds,
                      const std::string& audio_codec, int sample_rate, int channels) {
    clip_recipe r;
    r.name = name;
    r.info.width = width;
    r.info.height = height;
    r.info.fps_num = fps_num;
    r.info.fps_den = fps_den;
    r.info.duration_s = seconds;
    r.info.audio_codec = audio_codec;
    r.info.sample_rate = sample_rate;
    r.info.channels = channels;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string rate = std::to_string(fps_num) + (fps_den == 1 ? "" : "/" + std::to_string(fps_den));
    r.args = video_source(size, rate, seconds) + audio_source(sample_rate, channels, seconds);
    return r;
}

// A sine tone alone.
clip_recipe audio_recipe(const std::string& name, int seconds, const std::string& audio_codec) {
    clip_recipe r;
    r.name = name;
    r.info.duration_s = seconds;
    r.info.audio_codec = audio_codec;
    r.info.sample_rate = 44100;
    r.info.channels = 2;
    r.args = audio_source(44100, 2, seconds);
    return r;
}

clip_recipe recipe_for(clip_kind kind) {
    using args = std::vector<std::string>;
    clip_recipe r;
    switch (kind) {
    case clip_kind::h264_aac_mp4:
        r = av_recipe("h264_aac.mp4", 640, 360, 25, 1, 10, "aac", 44100, 2);
        r.args = r.args + h264_or_mpeg4(r.info.video_codec) + args{"-c:a", "aac", "-b:a", "96k"};
        break;
    case clip_kind::mpeg4_mp3_avi:
    case clip_kind::truncated_avi:
        r = av_recipe("mpeg4_mp3.avi", 640, 360, 25, 1, 10, "mp3", 44100, 2);
        r.info.video_codec = "mpeg4";
        r.args = r.args + args{"-c:v", "mpeg4", "-q:v", "5", "-c:a", "libmp3lame", "-b:a", "128k"};
        break;
    case clip_kind::ntsc_rate_mp4:
        r = av_recipe("ntsc_rate.mp4", 640, 360, 30000, 1001, 5, "aac", 44100, 2);
        r.args = r.args + h264_or_mpeg4(r.info.video_codec) + args{"-c:a", "aac", "-b:a", "96k"};
        break;
    case clip_kind::pal_interlaced_mpg:
        r = av_recipe("pal_interlaced.mpg", 720, 576, 25, 1, 4, "mp2", 48000, 2);
        r.info.video_codec = "mpeg2video";
        r.info.interlaced = true;
        r.args = r.args + args{"-vf", "setfield=tff", "-c:v", "mpeg2video", "-flags", "+ilme+ildct",
                               "-top", "1", "-q:v", "4", "-c:a", "mp2", "-b:a", "192k"};
        break;
    case clip_kind::mp3_audio:
        r = audio_recipe("audio.mp3", 10, "mp3");
        r.args = r.args + args{"-c:a", "libmp3lame", "-b:a", "128k"};
        break;
    case clip_kind::wav_audio:
        r = audio_recipe("audio.wav", 5, "pcm_s16le");
        r.args = r.args + args{"-c:a", "pcm_s16le"};
        break;
    case clip_kind::mono_22050_avi:
        r = av_recipe("mono_22050.avi", 320, 240, 25, 1, 5, "mp3", 22050, 1);
        r.info.video_codec = "mpeg4";
        r.args = r.args + args{"-c:v", "mpeg4", "-q:v", "5", "-c:a", "libmp3lame", "-b:a", "64k"};
        break;
    case clip_kind::hevc_10bit_mp4:
        r = av_recipe("hevc_10bit.mp4", 640, 360, 60, 1, 3, "aac", 48000, 2);
        r.info.video_codec = "hevc";
        r.args = r.args + args{"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                               "-pix_fmt", "yuv420p10le", "-c:a", "aac", "-b:a", "96k"};
        break;
    }
    return r;
}

// Clips of one recipe share a name across processes only when the recipe is
// the same: the name carries a hash of the arguments.
std::string cached_name(const clip_recipe& recipe, const std::string& suffix) {
    std::string key;
    for (const std::string& arg : recipe.args) key += arg + '\x1f';
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>{}(key + suffix));
    const size_t dot = recipe.name.rfind('.');
    return recipe.name.substr(0, dot) + suffix + "-" + hash + recipe.name.substr(dot);
}

// A name in the clip folder no other thread or process uses at the same time.
std::string private_name(const std::string& final_name) {
    static std::atomic<unsigned> counter{0};
    const std::string folder = clip_folder();
    return folder + "/part-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + final_name;
}

bool publish(const std::string& part, const std::string& path) {
    if (std::rename(part.c_str(), path.c_str()) == 0) return true;
    std::remove(part.c_str());
    return false;
}

void make_truncated(const std::string& source, const std::string& path) {
    std::string bytes = read_text(source);
    bytes.resize(static_cast<size_t>(bytes.size() * TRUNCATED_SHARE));
    const std::string part = private_name(std::filesystem::path(path).filename().string());
    write_text(part, bytes);
    if (!publish(part, path)) throw std::runtime_error("cannot store the clip " + path);
}

void make_recipe(const clip_recipe& recipe, const std::string& path) {
    const std::string part = private_name(std::filesystem::path(path).filename().string());
    if (!make_clip(recipe.args, part) || !publish(part, path)) {
        std::remove(part.c_str());
        throw std::runtime_error("ffmpeg could not make the test clip " + path);
    }
}

clip_info build_clip(clip_kind kind) {
    clip_recipe recipe = recipe_for(kind);
    const bool truncated = kind == clip_kind::truncated_avi;
    clip_info info = recipe.info;
    info.truncated = truncated;
    info.path = clip_folder() + "/" + cached_name(recipe, truncated ? "-truncated" : "");
    if (std::filesystem::exists(info.path)) return info;
    if (truncated) {
        make_truncated(test_clip(clip_kind::mpeg4_mp3_avi), info.path);
    } else {
        make_recipe(recipe, info.path);
    }
    return info;
}

}  // namespace

const char* clip_kind_name(clip_kind kind) {
    switch (kind) {
    case clip_kind::h264_aac_mp4: return "h264_aac_mp4";
    case clip_kind::mpeg4_mp3_avi: return "mpeg4_mp3_avi";
    case clip_kind::ntsc_rate_mp4: return "ntsc_rate_mp4";
    case clip_kind::pal_interlaced_mpg: return "pal_interlaced_mpg";
    case clip_kind::mp3_audio: return "mp3_audio";
    case clip_kind::wav_audio: return "wav_audio";
    case clip_kind::mono_22050_avi: return "mono_22050_avi";
    case clip_kind::truncated_avi: return "truncated_avi";
    case clip_kind::hevc_10bit_mp4: return "hevc_10bit_mp4";
    }
    return "unknown";
}

const std::string& clip_folder() {
    static const std::string folder = [] {
        if (const char* shared = std::getenv("VANTREL_TEST_TMP"); shared && *shared) {
            const std::string path = temp_root() + "/clips";
            std::filesystem::create_directories(path);
            return path;
        }
        static TempDir own("vantrel-clips");
        return own.path();
    }();
    return folder;
}

bool ffmpeg_has_encoder(const std::string& name) {
    static const std::string encoders = run_and_capture("ffmpeg -hide_banner -encoders 2>/dev/null");
    return encoders.find(" " + name + " ") != std::string::npos;
}

bool make_clip(const std::vector<std::string>& args, const std::string& out) {
    std::vector<std::string> words = {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-nostdin"};
    words.insert(words.end(), args.begin(), args.end());
    words.push_back(out);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const clip_info& test_clip_info(clip_kind kind) {
    static std::array<std::once_flag, CLIP_KINDS> made;
    static std::array<clip_info, CLIP_KINDS> clips;
    const int index = static_cast<int>(kind);
    std::call_once(made[index], [&] { clips[index] = build_clip(kind); });
    return clips[index];
}

}  // namespace test_support
