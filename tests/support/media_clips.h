#pragma once
// Small real media clips for tests, made with the `ffmpeg` tool on first use.
//
// Each clip is made once: within a test process under std::call_once, and
// across the processes of one ctest run through a cache folder under
// $VANTREL_TEST_TMP (names carry a hash of the recipe, and a clip appears by
// rename, so racing processes never see half a file). Without that variable the
// clips go into a temporary folder of this process.

#include <ostream>
#include <string>
#include <vector>

namespace test_support {

enum class clip_kind {
    h264_aac_mp4,        // 10 s, 640x360, 25 fps, H.264 (MPEG-4 without libx264) + AAC stereo 44100 Hz
    mpeg4_mp3_avi,       // 10 s, 640x360, 25 fps, MPEG-4 + MP3 stereo 44100 Hz
    ntsc_rate_mp4,       // 5 s, 640x360, 30000/1001 fps, stereo 44100 Hz
    pal_interlaced_mpg,  // 4 s, 720x576, 25 fps, interlaced top field first, MPEG-2 + MP2 stereo 48000 Hz
    mp3_audio,           // 10 s audio only, MP3 stereo 44100 Hz
    wav_audio,           // 5 s audio only, PCM 16-bit stereo 44100 Hz
    mono_22050_avi,      // 5 s, 320x240, 25 fps, MPEG-4 + MP3 mono 22050 Hz
    truncated_avi,       // the first 40 % of the bytes of mpeg4_mp3_avi, cut mid-packet
    hevc_10bit_mp4,      // (the last kind) 3 s, 640x360, 60 fps, HEVC 10-bit with B-frames (needs libx265) + AAC stereo 48000 Hz
};

// The kind's name as written above, for test names and messages.
const char* clip_kind_name(clip_kind kind);
// GoogleTest prints parameters of this type by name.
inline void PrintTo(clip_kind kind, std::ostream* out) { *out << clip_kind_name(kind); }

struct clip_info {
    std::string path;
    std::string video_codec;  // "" for audio-only clips
    int width = 0;
    int height = 0;
    int fps_num = 0;          // frame rate fps_num/fps_den
    int fps_den = 1;
    bool interlaced = false;
    std::string audio_codec;
    int sample_rate = 0;
    int channels = 0;
    double duration_s = 0;    // as made; for truncated_avi the uncut source's
    bool truncated = false;
};

// Makes the clip when needed; throws std::runtime_error when ffmpeg fails.
const clip_info& test_clip_info(clip_kind kind);
inline const std::string& test_clip(clip_kind kind) { return test_clip_info(kind).path; }

// Runs `ffmpeg -y -hide_banner -loglevel error -nostdin ARGS... OUT`; true on success.
bool make_clip(const std::vector<std::string>& args, const std::string& out);

// The folder clips are made in.
const std::string& clip_folder();

// Whether the `ffmpeg` tool has the named encoder (for example "libx264").
bool ffmpeg_has_encoder(const std::string& name);

}  // namespace test_support
