#pragma once
// The job's output: the option record turned into one output context whose
// streams carry the encoder settings. Nothing is ever muxed into it; the
// encoders' packets go to the rings.

#include <memory>
#include <string>
#include <vector>

#include "transcoder/ffmpeg_ptr.h"

// One output context and the encoders of its streams (encoders[i] feeds stream i).
struct output_file {
    output_context_ptr context;
    std::vector<codec_context_ptr> encoders;
};

// The job's outputs (at most one) and inputs (one: the input the job holds).
extern std::vector<std::unique_ptr<output_file>> output_file_table;
extern std::vector<AVFormatContext*> input_file_table;

// The encoder a codec id is encoded with here: "mp3" is LAME, "mpeg4" the native one.
const AVCodec* find_output_encoder(AVCodecID id);

// Parses "480x272" into frame_width and frame_height; messages on failure.
void set_frame_size(const char* text);

// Stores the id of the first registered codec of that name and type. False
// (after "Unknown codec '%s'\n") when there is none: a fatal set-up error.
bool select_codec(int* codec_id, AVMediaType type, const char* name);

void check_input_streams(int* has_video, int* has_audio);
void add_video_stream(output_file& output);
void add_audio_stream(output_file& output);

// Builds the output context for name and appends it to output_file_table.
// False (after its message) only for the fatal case of no output format. The
// file of that name is created or truncated where it can be, never written,
// and not needed: without it the stream goes on.
bool open_output_file(const char* name);

// The tuning applied to every video encoder, as the AVOption names of today's
// encoder. Exposed for tests.
struct encoder_option {
    const char* name;
    std::string value;
};
std::vector<encoder_option> video_tuning_options();
