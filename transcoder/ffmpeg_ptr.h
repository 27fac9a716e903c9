#pragma once
// Owning pointers for the FFmpeg objects the transcoder makes, so every exit
// path of a set-up or a run frees them.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

struct codec_context_deleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct frame_deleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct packet_deleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct sws_deleter {
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
struct swr_deleter {
    void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};
struct audio_fifo_deleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
// An output context: closes its file (when it has one) and frees its streams.
struct output_context_deleter {
    void operator()(AVFormatContext* context) const {
        if (context->oformat && !(context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_deleter>;
using frame_ptr = std::unique_ptr<AVFrame, frame_deleter>;
using packet_ptr = std::unique_ptr<AVPacket, packet_deleter>;
using sws_ptr = std::unique_ptr<SwsContext, sws_deleter>;
using swr_ptr = std::unique_ptr<SwrContext, swr_deleter>;
using audio_fifo_ptr = std::unique_ptr<AVAudioFifo, audio_fifo_deleter>;
using output_context_ptr = std::unique_ptr<AVFormatContext, output_context_deleter>;
