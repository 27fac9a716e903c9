// Opening one input into the slot table, its seek to the requested start, and
// the copy of its picture and sound parameters into the option record.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
}

#include "core/text_to_number.h"
#include "stream/picture_rate.h"
#include "stream/stream_state.h"
#include "stream/transcoder_message.h"
#include "transcoder/ffmpeg_ptr.h"
#include "transcoder/input_length.h"
#include "transcoder/run_records.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"

transcode_options_record transcode_options;

namespace {

struct dictionary_freer {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
using dictionary_ptr = std::unique_ptr<AVDictionary, dictionary_freer>;

// "-" reads standard input; the flag tells the output set-up not to ask questions there.
std::string input_name(const char* path) {
    std::string name = std::strcmp(path, "-") == 0 ? "pipe:" : path;
    if (name.compare(0, 5, "pipe:") == 0 || name == "/dev/stdin") {
        transcode_options.stdin_in_use = true;
    }
    return name;
}

void set_option(AVDictionary** options, const char* key, const std::string& value) {
    av_dict_set(options, key, value.c_str(), 0);
}

// The demuxer hints of the option record. Demuxers of ordinary files ignore
// them; raw and device inputs take them. A hint with no value (a zero size,
// no pixel format) is left out, as a demuxer would refuse it.
dictionary_ptr open_parameters() {
    const transcode_options_record& o = transcode_options;
    AVDictionary* options = nullptr;
    if (o.frame_rate > 0 && o.frame_rate_base > 0) {
        set_option(&options, "framerate",
                   std::to_string(o.frame_rate) + "/" + std::to_string(o.frame_rate_base));
    }
    if (o.audio_sample_rate > 0) {
        set_option(&options, "sample_rate", std::to_string(o.audio_sample_rate));
    }
    if (o.audio_channels > 0) {
        set_option(&options, "channels", std::to_string(o.audio_channels));
    }
    const int width = o.frame_width + o.frame_pad_left + o.frame_pad_right;
    const int height = o.frame_height + o.frame_pad_top + o.frame_pad_bottom;
    if (width > 0 && height > 0) {
        set_option(&options, "video_size", std::to_string(width) + "x" + std::to_string(height));
    }
    if (const char* pix_fmt = av_get_pix_fmt_name(static_cast<AVPixelFormat>(o.frame_pix_fmt))) {
        set_option(&options, "pixel_format", pix_fmt);
    }
    set_option(&options, "standard", "ntsc");
    return dictionary_ptr(options);
}

// How much of the input the probe may read to learn each stream's parameters.
// A muxer may store a slow stream's first packets (a slide show's pictures,
// held back by the encoder) many seconds of the other streams after its start;
// without them the decoder would not know how long it holds its pictures back.
// The probe's byte limit still bounds the reading.
constexpr int64_t PROBE_SECONDS = 60;

input_ptr open_and_probe(const std::string& name) {
    dictionary_ptr options = open_parameters();
    AVDictionary* raw_options = options.release();
    AVFormatContext* opened = nullptr;
    const int result = avformat_open_input(&opened, name.c_str(), nullptr, &raw_options);
    options.reset(raw_options);
    if (result < 0) {
        return nullptr;  // FFmpeg has freed the context
    }
    input_ptr input(opened);
    input->max_analyze_duration = PROBE_SECONDS * AV_TIME_BASE;
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        return nullptr;  // closed here: it never reaches the table
    }
    return input;
}

bool rewind(AVFormatContext* input) {
    const int64_t first = input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
    return av_seek_frame(input, -1, first, AVSEEK_FLAG_BACKWARD) >= 0;
}

enum class seek_result { not_asked, sought, from_start, refused, lost };

// How far the check for the first key picture after a seek reads, and how
// often it steps further back (1 s, then 2, 4 ... before the position).
constexpr int KEY_PICTURE_SEARCH_PACKETS = 4096;
constexpr int EARLIER_SEEKS = 6;

// Where the input's pictures and sound start from here on (microseconds):
// its first key picture and its first sound; AV_NOPTS_VALUE for one the
// input does not have or that does not come soon.
struct first_times {
    int64_t key_picture = AV_NOPTS_VALUE;
    int64_t sound = AV_NOPTS_VALUE;
};

int64_t packet_time_us(const AVPacket& packet, const AVStream& stream) {
    const int64_t time = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    return time != AV_NOPTS_VALUE ? av_rescale_q(time, stream.time_base, AV_TIME_BASE_Q) : AV_NOPTS_VALUE;
}

first_times read_first_times(AVFormatContext* input) {
    first_times first;
    const int video = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    packet_ptr packet(av_packet_alloc());
    if (!packet)
        return first;
    bool key_found = video < 0;
    bool sound_found = audio < 0;
    for (int i = 0; i < KEY_PICTURE_SEARCH_PACKETS && !(key_found && sound_found) &&
                    av_read_frame(input, packet.get()) >= 0;
         ++i) {
        const int index = packet->stream_index;
        const int64_t time =
            index >= 0 && unsigned(index) < input->nb_streams ? packet_time_us(*packet, *input->streams[index]) : 0;
        if (!key_found && index == video && (packet->flags & AV_PKT_FLAG_KEY) && time != AV_NOPTS_VALUE) {
            first.key_picture = time;
            key_found = true;
        }
        if (!sound_found && index == audio && time != AV_NOPTS_VALUE) {
            first.sound = time;
            sound_found = true;
        }
        av_packet_unref(packet.get());
    }
    return first;
}

bool starts_by(int64_t time, int64_t position) {
    return time == AV_NOPTS_VALUE || time <= position;
}

enum class key_seek { refused, sound_later, sought };

// Seeks to the last key picture at or before the position. A demuxer that
// searches by byte position (a transport stream's) may land on the key
// picture after it: then the seek goes further back until the first key
// picture read is not after the position. The sound read from there must not
// start after the position either: a muxer may store it far from the pictures
// of its time, where no seek by the pictures finds it (sound_later).
key_seek seek_to_key_picture_before(AVFormatContext* input, int64_t position) {
    const int64_t first = input->start_time != AV_NOPTS_VALUE ? input->start_time : INT64_MIN;
    int64_t target = position;
    bool sound_in_time = true;
    for (int step = 0; step < EARLIER_SEEKS; ++step) {
        if (av_seek_frame(input, -1, target, AVSEEK_FLAG_BACKWARD) < 0) {
            // Further back than the input goes: its start.
            return step > 0 && rewind(input) ? key_seek::sought : key_seek::refused;
        }
        const first_times read = read_first_times(input);
        sound_in_time = starts_by(read.sound, position);
        if ((starts_by(read.key_picture, position) && sound_in_time) || target <= first)
            break;
        target = std::max(first, target - (int64_t(AV_TIME_BASE) << step));
    }
    if (av_seek_frame(input, -1, target, AVSEEK_FLAG_BACKWARD) < 0)
        return key_seek::refused;
    return sound_in_time ? key_seek::sought : key_seek::sound_later;
}

// Seeks to the requested start (plus the input's own first time stamp) and
// consumes the request; position is where it was asked to go. A refused seek
// is reported and the input plays from its beginning. Lost when it can go back
// there neither: its position is then unknown, and it is not kept. From the
// start when no seek finds the sound of the position: the input is then read
// from its beginning up to the position.
seek_result seek_to_start(AVFormatContext* input, const std::string& name, int64_t& position) {
    const int64_t start = transcode_options.stream_start_time;
    if (start == 0) {
        return seek_result::not_asked;
    }
    transcode_options.stream_start_time = 0;
    if (input->duration != AV_NOPTS_VALUE && start >= input->duration) {
        return seek_result::not_asked;  // nothing left to play: the header counts no frames
    }
    // Saturated: a start time near the largest one would overflow.
    position = start;
    if (input->start_time != AV_NOPTS_VALUE && __builtin_add_overflow(start, input->start_time, &position)) {
        position = start > 0 ? INT64_MAX : INT64_MIN;
    }
    switch (seek_to_key_picture_before(input, position)) {
    case key_seek::sought:
        return seek_result::sought;
    case key_seek::sound_later:
        return seek_result::from_start;
    case key_seek::refused:
        break;
    }
    post_transcoder_message("%s: could not seek to position %0.3f\n", name.c_str(),
                            static_cast<double>(position) * 0.000001);
    // A refused seek may already have dropped what the probe had read.
    return rewind(input) ? seek_result::refused : seek_result::lost;
}

float display_aspect(const AVCodecParameters& video) {
    const AVRational sar = video.sample_aspect_ratio;
    if (sar.num == 0 || sar.den == 0 || video.height == 0) {
        return 0.0f;
    }
    return static_cast<float>(av_q2d(sar) * video.width / video.height);
}

void copy_audio_parameters(const AVCodecParameters& audio) {
    transcode_options.audio_channels = audio.ch_layout.nb_channels;
    transcode_options.audio_sample_rate = audio.sample_rate;
}

void copy_video_parameters(const AVStream& stream) {
    const AVCodecParameters& video = *stream.codecpar;
    transcode_options.frame_height = video.height;
    transcode_options.frame_width = video.width;
    transcode_options.frame_aspect_ratio = display_aspect(video);
    transcode_options.frame_pix_fmt = video.format;
    const AVRational rate = stream_picture_rate(stream);
    transcode_options.frame_rate = rate.num;
    transcode_options.frame_rate_base = rate.den;
}

// With several streams of one kind the last one's values stay. The decoder
// settings (thread count, bug workarounds) have no place on a stream in this
// FFmpeg; the transcoder applies them to the decoders it opens.
void copy_stream_parameters(const AVFormatContext* input) {
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream& stream = *input->streams[i];
        switch (stream.codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            copy_audio_parameters(*stream.codecpar);
            break;
        case AVMEDIA_TYPE_VIDEO:
            copy_video_parameters(stream);
            break;
        default:
            break;
        }
    }
}

// Cover art in an audio file's tags comes as a one-picture "video" stream. It
// is no picture to play: seen as video it would make a song a silent film with
// one frame. It is set aside like any other attachment.
void set_aside_attached_pictures(AVFormatContext* input) {
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream& stream = *input->streams[i];
        if (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) {
            stream.codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
            stream.discard = AVDISCARD_ALL;
        }
    }
}

// The input probed, its attached pictures set aside and its length known.
input_ptr open_playable(const std::string& name) {
    input_ptr input = open_and_probe(name);
    if (input) {
        set_aside_attached_pictures(input.get());
        input->duration = input_playing_length(*input);
    }
    return input;
}

}  // namespace

void open_input_slot(int slot, const char* path) {
    if (slot < 0 || slot >= INPUT_SLOT_COUNT || path == nullptr) {
        return;
    }
    const std::string name = input_name(path);
    input_ptr input = open_playable(name);
    if (!input) {
        return;
    }
    int64_t position = 0;
    const seek_result sought = seek_to_start(input.get(), name, position);
    if (sought == seek_result::lost) {
        return;
    }
    if (sought == seek_result::from_start) {
        input = open_playable(name);  // opened anew, it reads from its beginning
        if (!input) {
            return;
        }
    }
    copy_stream_parameters(input.get());
    auto opened = std::make_shared<opened_input>(std::move(input));
    if (sought == seek_result::sought || sought == seek_result::from_start) {
        // The transcoder starts the output at exactly this time.
        opened->sought_position = position;
        opened->context->opaque = &opened->sought_position;
    }
    input_slot_table[slot] = std::move(opened);
    transcode_options.output_format = nullptr;
}

bool input_was_sought(const AVFormatContext* input) {
    return input->opaque != nullptr;
}

int64_t sought_position(const AVFormatContext* input) {
    return input_was_sought(input) ? *static_cast<const int64_t*>(input->opaque) : AV_NOPTS_VALUE;
}

void set_audio_bitrate(const char* text) {
    // A huge text saturates instead of overflowing.
    transcode_options.audio_bit_rate = KbitTextToBits(text != nullptr ? text : "");
}
