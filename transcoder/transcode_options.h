#pragma once
// The transcoder's process-wide option record. The input open writes the
// input's picture and sound parameters into it; the job overwrites the output
// values before it encodes. Nothing locks it: the server thread touches it only
// while no transcode runs.

#include <cstdint>

struct AVOutputFormat;

struct transcode_options_record {
    // picture
    int frame_width = 0;
    int frame_height = 0;
    float frame_aspect_ratio = 0.0f;
    int frame_pix_fmt = -1;  // AV_PIX_FMT_NONE
    int frame_rate = 25;
    int frame_rate_base = 1;
    int frame_pad_top = 0;
    int frame_pad_bottom = 0;
    int frame_pad_left = 0;
    int frame_pad_right = 0;

    // bit rates, bit/s
    int video_bit_rate = 200000;
    int audio_bit_rate = 64000;

    // sound
    int audio_sample_rate = 44100;
    int audio_channels = 2;
    float audio_qscale = -99999.0f;

    int video_codec_id = 0;
    int audio_codec_id = 0;

    // encoder tuning every job uses
    int video_bit_rate_tolerance = 4000000;
    int video_gop_size = 12;
    int video_qmin = 2;
    int video_qmax = 31;
    int video_lmin = 2 * 118;
    int video_lmax = 31 * 118;
    int video_mb_lmin = 2 * 118;
    int video_mb_lmax = 31 * 118;
    int video_qdiff = 3;
    float video_qblur = 0.5f;
    float video_qcomp = 0.5f;
    const char* video_rc_eq = "tex^qComp";
    float video_rc_buffer_aggressivity = 1.0f;
    float video_i_qfactor = -0.8f;
    float video_b_qfactor = 1.25f;
    float video_i_qoffset = 0.0f;
    float video_b_qoffset = 1.25f;
    int video_intra_quant_bias = 999999;
    int video_inter_quant_bias = 999999;
    int video_me_method = 5;  // epzs
    int video_workaround_bugs = 1;
    int video_intra_dc_precision = 8;
    int video_me_penalty_compensation = 256;
    int codec_thread_count = 1;

    // input open
    int thread_count = 0;  // threads of the decoders (frame and slice) and the scaler; 0: as the machine has
    int workaround_bugs = 1;
    int64_t stream_start_time = 0;  // microseconds; set by "streamopen"
    bool stdin_in_use = false;
    const AVOutputFormat* output_format = nullptr;
};

extern transcode_options_record transcode_options;
