// "stream2header": the 56-byte PMP header, and the timing of the stream that
// "streampackets" then follows.

#include "server/stream_header.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <strings.h>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

#include "core/vantrel_dlg.h"
#include "platform/byte_order.h"
#include "server/command_handlers.h"
#include "server/reply_words.h"
#include "server/request.h"
#include "stream/stream_state.h"
#include "transcoder/transcoder.h"

namespace {

// The rate a video stream is taken at when FFmpeg gives it no usable one.
constexpr int FALLBACK_RATE_NUM = 25;
constexpr int FALLBACK_RATE_DEN = 1;

// Keeps a count computed in 128 bits and returns its low 64, so a damaged
// duration cannot overflow the arithmetic.
int64_t low_bits(__int128 value) {
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<unsigned __int128>(value)));
}

// A frame count as the header holds it: none for a start at or past the end,
// and no more than 32 signed bits hold rather than a wrapped value.
int32_t header_frame_count(__int128 count) {
    if (count <= 0) {
        return 0;
    }
    return count < INT32_MAX ? static_cast<int32_t>(count) : INT32_MAX;
}

int32_t product32(int a, int b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

int32_t truncate_to_int32(double value) {
    if (!(value > INT32_MIN && value < INT32_MAX)) {
        return 0;
    }
    return static_cast<int32_t>(value);
}

// A divider that leaves no whole frame of 1/24 s (0, negative, NaN, huge) counts as 1.0.
float usable_divider(float divider) {
    const double frames = static_cast<double>(divider) * 24.0;
    return frames >= 1.0 && frames < 1.0e6 ? divider : 1.0f;
}

bool usable_rate(int num, int den) {
    return num > 0 && den > 0 && num <= INT32_MAX / 24;
}

// How many times each picture is sent, so a slow input (slides, a still
// picture, a large divider) is sent at MIN_PICTURE_RATE or more; 0 when no
// whole number of times fits the header's 32-bit rate. The fallback rate
// always fits, as the divider makes at most a million 1/24 s of a frame.
int picture_repeats(int num, int den, double divider) {
    const double rate = num / (den * divider);
    if (rate >= MIN_PICTURE_RATE)
        return 1;
    const double repeats = std::ceil(MIN_PICTURE_RATE / rate);
    return repeats * num <= INT32_MAX / 24 ? static_cast<int>(repeats) : 0;
}

std::string format_rate(double rate) {
    char text[FRAME_RATE_TEXT_SIZE];
    std::snprintf(text, sizeof text, "%.2f", rate);
    return text;
}

}  // namespace

pmp_stream_timing video_stream_timing(int num, int den, float divider, int64_t duration_us, int64_t start_offset_us) {
    const double v = usable_divider(divider);
    int repeats = usable_rate(num, den) ? picture_repeats(num, den, v) : 0;
    if (repeats == 0) {
        num = FALLBACK_RATE_NUM;
        den = FALLBACK_RATE_DEN;
        repeats = picture_repeats(num, den, v);
    }
    num *= repeats;  // the stream's rate: each picture counts as that many
    const int e = den < 10 ? 24 : 1;
    const int x = static_cast<int>(v * 24.0);
    const int32_t num24 = product32(num, 24);

    pmp_stream_timing timing;
    timing.frame_rate_text = format_rate(num / (den * v));
    // den x X x 1000000 outgrows 64 bits for a large den and a divider no dialog offers.
    const __int128 frame_units = static_cast<__int128>(den) * x * 1000000;
    timing.video_frame_duration = low_bits(frame_units / num24);
    timing.frame_count =
        header_frame_count((static_cast<__int128>(duration_us) - start_offset_us) * num24 / frame_units);
    timing.scale = truncate_to_int32(e * v * den);
    timing.rate = product32(num, e);
    timing.max_audio_frames = static_cast<int32_t>(timing.video_frame_duration / AUDIO_FRAME_DURATION_US + 1);
    return timing;
}

pmp_stream_timing audio_only_timing(int64_t duration_us, int64_t start_offset_us) {
    pmp_stream_timing timing;
    timing.frame_rate_text = "12";
    timing.video_frame_duration = AUDIO_ONLY_FRAME_DURATION_US;
    timing.frame_count = header_frame_count((static_cast<__int128>(duration_us) - start_offset_us) * 12 / 1000000);
    timing.scale = 1;
    timing.rate = 12;
    timing.max_audio_frames = static_cast<int32_t>(timing.video_frame_duration / AUDIO_FRAME_DURATION_US + 1);
    return timing;
}

void BuildPmpHeader(const pmp_stream_timing& timing, uint8_t out[PMP_HEADER_SIZE]) {
    const uint32_t fields[PMP_HEADER_SIZE / 4] = {
        0,  // the magic, written below as bytes
        1,  // format version
        0,  // video: MPEG-4
        static_cast<uint32_t>(timing.frame_count),
        PMP_WIDTH,
        PMP_HEIGHT,
        static_cast<uint32_t>(timing.scale),
        static_cast<uint32_t>(timing.rate),
        0,  // audio: MP3
        1,  // one audio stream
        static_cast<uint32_t>(timing.max_audio_frames),
        PMP_AUDIO_SAMPLES_PER_FRAME,
        PMP_AUDIO_SAMPLE_RATE,
        1,  // stereo
    };
    for (int i = 0; i < PMP_HEADER_SIZE / 4; ++i) {
        platform::store_le32(out + 4 * i, fields[i]);
    }
    std::memcpy(out, "pmpm", 4);
}

namespace {

struct header_settings {
    float divider = 1.0f;
    std::vector<std::string> infinite_streams;
    std::string audio_bitrate;
};

header_settings read_settings() {
    std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
    return {g_pMainDlg->m_fFrameRateDivider, g_pMainDlg->m_infiniteStreams, g_pMainDlg->m_strAudioBitrate};
}

bool is_infinite_stream(const char* name, const std::vector<std::string>& infinite_streams) {
    for (const std::string& entry : infinite_streams) {
        if (strcasecmp(name, entry.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

// The length the frame count is computed from. An input whose length FFmpeg
// does not know is treated like an infinite stream: the stream then plays
// until the transcode reaches the end of the input.
int64_t stream_duration(const input_facts& input, const header_settings& settings) {
    if (is_infinite_stream(input.file_name.c_str(), settings.infinite_streams) ||
        input.duration == AV_NOPTS_VALUE) {
        return INFINITE_STREAM_DURATION_US;
    }
    return input.duration;
}

void publish_timing(const pmp_stream_timing& timing) {
    video_frame_duration = timing.video_frame_duration;
    audio_frame_duration = AUDIO_FRAME_DURATION_US;
    std::snprintf(frame_rate_text, sizeof frame_rate_text, "%s", timing.frame_rate_text.c_str());
}

// The timing of an opened input; nothing when it has neither video nor audio.
std::optional<pmp_stream_timing> input_timing(const input_facts& input, const header_settings& settings) {
    const int64_t duration = stream_duration(input, settings);
    audio_only_mode = (!input.has_video && input.has_audio) ? 1 : 0;
    if (input.has_video) {
        return video_stream_timing(input.video_rate_num, input.video_rate_den, settings.divider, duration,
                                   stream_start_offset.load());
    }
    if (input.has_audio) {
        return audio_only_timing(duration, stream_start_offset.load());
    }
    return std::nullopt;
}

}  // namespace

void OnStream2Header(const platform::Socket& connection, char* request) {
    const char* value = FindRequestValue(request, "fd=");
    if (value == nullptr) {
        return;
    }
    const int slot = ReadRequestSlot(value);
    current_slot = slot;
    if (slot < 0 || slot > INPUT_SLOT_COUNT) {
        return;
    }
    const header_settings settings = read_settings();
    pmp_stream_timing timing;  // handle 51: one frame at 12 a second, the rest untouched
    if (slot < INPUT_SLOT_COUNT) {
        const opened_input* input = input_slot_table[slot].get();
        if (input == nullptr) {
            return;
        }
        const std::optional<pmp_stream_timing> computed = input_timing(input->facts, settings);
        if (!computed) {
            return;
        }
        timing = *computed;
        publish_timing(timing);
    }
    g_pMainDlg->m_nFrameCount = timing.frame_count;
    // The option record belongs to a job while one runs; the next one is
    // set up only after the server has released this one.
    if (transcode_running == 0) {
        set_audio_bitrate(settings.audio_bitrate.c_str());
    }

    uint8_t header[PMP_HEADER_SIZE];
    BuildPmpHeader(timing, header);
    platform::send_all(connection, header, sizeof header);
}
