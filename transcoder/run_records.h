#pragma once
// The records of one transcode run and the loop stages that work on them:
// run_transcode (the loop), process_input_packet (decoding),
// encode_audio_output (the audio path) and encode_video_output (the video path).

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "stream/stream_state.h"
#include "transcoder/ffmpeg_ptr.h"
#include "transcoder/scale_worker.h"
#include "transcoder/upright.h"

struct output_file;

struct input_file_state {
    int at_end = 0;
    int first_stream = 0;
    int stream_count = 0;
};

struct input_stream_state {
    int file_number = 0;
    int stream_number = 0;
    AVStream* stream = nullptr;
    codec_context_ptr decoder;  // opened only when needs_decoding
    frame_ptr decoded;          // the unit being handed to the encoders
    int ignored = 1;
    int needs_decoding = 0;
    int64_t next_time = 0;     // microseconds
    int64_t current_time = 0;  // microseconds

    // A decoder with threads hands out what a packet gave some packets later.
    // The time stamps of the packets it holds wait here (stream time base, or
    // AV_NOPTS_VALUE) so the clock moves as if each unit came at once.
    std::deque<int64_t> held_packet_times;
    int64_t last_unit_dts = AV_NOPTS_VALUE;  // the packet the last unit came from
    bool draining = false;                   // the end of the input was sent
    bool drain_clock_taken = false;          // current_time := next_time done for the drain

    // The input time (microseconds) the output's start shows, the same for
    // every stream of the input: the start time asked for, else the earliest
    // start of the streams played. With a start time the units before it are
    // dropped (decoded from the key frame before it, so nothing is missing).
    int64_t clock_origin = 0;
    bool drops_before_origin = false;

    // The stream's packets as they are read, decoded or not: the time
    // (microseconds) of the last one, the time and file position of the
    // first and the last one whose position is known, and where their clock
    // last jumped to, further ahead than any interleaving and any bytes
    // skipped explain (the first packet counts as such a jump). A gap in what
    // was decoded that no jump explains is a damaged stretch, not a break in
    // the clock.
    int64_t last_packet_time = AV_NOPTS_VALUE;
    int64_t first_placed_time = AV_NOPTS_VALUE;
    int64_t first_placed_pos = -1;
    int64_t last_placed_time = AV_NOPTS_VALUE;
    int64_t last_placed_pos = -1;
    int64_t jump_to = AV_NOPTS_VALUE;

    // The latest picture dropped before the start time: the one on screen at
    // it, shown first when the next picture comes later.
    frame_ptr before_origin;
};

// A step between two packets of one stream further than this is a jump of
// its clock; time stamps of one stream are never this far apart otherwise,
// short of pictures seconds apart, whose own rule applies.
constexpr int64_t PACKET_JUMP_US = 5000000;

// Whether the stream's packets are known to have come all through the stretch
// (from_us, to_us] of its clock, without a jump into it.
bool packets_came_through(const input_stream_state& input, int64_t from_us, int64_t to_us);

// Turns decoded audio of any layout, rate and format into the encoder's, in
// blocks that never exceed the work buffer.
struct audio_converter {
    swr_ptr resampler;
    AVSampleFormat in_format = AV_SAMPLE_FMT_NONE;
    int in_rate = 0;
    AVChannelLayout in_layout{};
    ~audio_converter() { av_channel_layout_uninit(&in_layout); }
};

// A picture whose frames are decided, waiting for the encoder while the next
// one is scaled.
struct decided_picture {
    frame_ptr decoded;          // a reference to the decoded picture; empty when none waits
    AVFrame* scaled = nullptr;  // its target in the scaler, null when it needs no scaling
    int copies = 0;
    int64_t first_pts = 0;
};

// The picture encoded last, kept to be encoded again: for the frames of the
// gap after it, and for frames the sender waits for that no input gives.
struct shown_picture {
    frame_ptr unscaled;         // a reference to the decoded picture, when it needed no scaling
    AVFrame* scaled = nullptr;  // else the scaler's target that holds it
    int interlaced_frame = 0;
    int top_field_first = 0;
    const AVFrame* final_picture() const { return scaled ? scaled : unscaled.get(); }
};

struct output_stream_state {
    int file_number = 0;
    int stream_number = 0;
    int source = 0;  // index in input_stream_table
    AVStream* stream = nullptr;
    AVCodecContext* encoder = nullptr;  // owned by the output_file
    int encoder_open = 0;
    input_stream_state* sync_source = nullptr;

    // video
    int64_t frames_out = 0;
    frame_ptr scaled_picture;  // the encoder's size and format, target of the scaler
    frame_ptr scaled_spare;    // the second target when the scaler has a thread
    sws_ptr scaler;
    int scaler_width = 0;  // the shape of the pictures the scaler was made for
    int scaler_height = 0;
    int scaler_format = -1;
    frame_ptr picture_to_encode;  // the final picture with its pts, made once per run
    decided_picture waiting;   // only with the scaler's thread
    shown_picture last_shown;  // stale while a picture waits: the gap after it is the waiting one's
    // Frames the input clock is set back by, after breaks in its time stamps.
    double clock_shift = 0;
    // After a gap was filled the pictures are placed at their own time up to
    // the next key picture: until then, after a damaged stretch, pictures may
    // be missing or come twice.
    bool regaining_step = false;
    // The audio output, whose time tells a gap in the pictures from a break in
    // their time stamps; null for an input without sound.
    const output_stream_state* sound = nullptr;
    // Turns pictures stored on their side before they are scaled; null for
    // pictures shown as stored.
    std::unique_ptr<upright_filter> upright;
    // Declared after what it works on, so it ends first.
    std::unique_ptr<scale_worker> scaling;  // null: pictures are scaled in line

    // audio
    audio_converter converter;
    audio_fifo_ptr sample_fifo;
    frame_ptr audio_block;      // resampler output, at most AUDIO_WORK_SAMPLES per channel
    frame_ptr encoder_frame;    // one encoder frame taken from the FIFO
    frame_ptr silence;          // one encoder frame of silence, made when first needed
    int64_t samples_out = 0;    // samples given to the encoder, its frames' pts
    // Set when the input has no sound: the video output whose clock the
    // silence fed to this encoder follows.
    const output_stream_state* silence_clock = nullptr;
    // The first sound has been placed at its time: after silence when it
    // starts later than the output, cut when it starts earlier.
    bool sound_placed = false;

    packet_ptr encoded;  // each packet the encoder gives, on its way to the rings
};

// The largest resampler output per channel in one step, and the sample queue's
// room: 262144 bytes of 16-bit stereo.
constexpr int AUDIO_WORK_SAMPLES = 262144 / 4;

struct transcode_run {
    std::vector<input_file_state> input_files;
    std::vector<std::unique_ptr<input_stream_state>> input_streams;
    std::vector<std::unique_ptr<output_stream_state>> output_streams;
};

// The sync source's current_time in seconds from its clock_origin.
double get_input_sync_time(const output_stream_state& output);
// The same where its latest unit ends (its time and length).
double get_input_end_time(const output_stream_state& output);

// Whether open_input_slot moved this input to a requested start time, and
// where to (microseconds of the input's clock; AV_NOPTS_VALUE when not).
bool input_was_sought(const AVFormatContext* input);
int64_t sought_position(const AVFormatContext* input);

int run_transcode(std::vector<std::unique_ptr<output_file>>& outputs,
                  const std::vector<AVFormatContext*>& inputs);

// With packet == nullptr: drains the decoder (the loop then finishes the encoders).
int process_input_packet(transcode_run& run, int input_index, const AVPacket* packet);

// A decoder on threads holds the units of its last packets until more come:
// when they are wanted now (the sender waits for pictures that no later packet
// brings), they are drained out and the decoder is made ready for more
// packets. False when it holds none.
bool release_held_units(transcode_run& run, int input_index);

// The output context the stream belongs to.
AVFormatContext* output_context_of(const output_stream_state& output);
// The transcode stop event is set (or closed under the job by the program's end).
bool transcode_stop_requested();

void encode_audio_output(AVFormatContext* output, output_stream_state& stream,
                         const AVFrame* samples);
// The same for sound that starts at_us microseconds after the output's start
// (before it when negative): the first block is placed at its time, after
// silence or cut, and what lies wholly before the start is dropped.
void encode_timed_audio_output(AVFormatContext* output, output_stream_state& stream, const AVFrame* samples,
                               int64_t at_us);
// Feeds whole frames of silence until the audio reaches the end of the video
// encoded so far.
void encode_silence_output(AVFormatContext* output, output_stream_state& stream);
// Feeds whole frames of silence until the encoder has been given end samples.
// False when no silence can be made.
bool encode_silence_until(AVFormatContext* output, output_stream_state& stream, int64_t end);
void encode_video_output(AVFormatContext* output, output_stream_state& stream,
                         const AVFrame* picture);
// Encodes the picture that waits for the encoder while the next is scaled, if
// any; at the end of the input, before the encoder is drained.
void finish_video_output(AVFormatContext* output, output_stream_state& stream);
// Encodes the latest picture frames more times. False before the first picture.
bool repeat_video_output(AVFormatContext* output, output_stream_state& stream, int frames);
// Sends every packet the encoder has ready (or, with flush, all it still holds)
// to the rings.
void drain_encoder(AVFormatContext* output, output_stream_state& stream, bool flush);

// A writer whose ring is full while the sender waits for a packet of the other
// ring that is not written yet hands that ring to the breaker: it is to write
// to it (a picture again, silence), else the two would wait for each other
// until the sender gives up. False when it cannot.
using stall_breaker = std::function<bool(packet_ring starved)>;
// The breaker of one run, installed for the life of this object.
class stall_breaker_scope {
public:
    explicit stall_breaker_scope(stall_breaker breaker);
    ~stall_breaker_scope();
    stall_breaker_scope(const stall_breaker_scope&) = delete;
    stall_breaker_scope& operator=(const stall_breaker_scope&) = delete;
};

// The audio path's set-up for one stream pair; false when the resampler cannot be made.
bool open_audio_path(output_stream_state& stream, const AVCodecContext* decoder);
// The video path's set-up; false when a picture cannot be allocated.
bool open_video_path(output_stream_state& stream);

// How many frames one decoded picture stands for: d is how many frames the
// input clock is ahead of the output. The frames of a gap before a picture
// show the picture before it.
int video_frame_copies(double d);
int round_float(float x);
