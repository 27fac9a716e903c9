#pragma once
// Scales decoded pictures on a thread of its own, one picture ahead of the
// encoder: while the transcode thread encodes one picture, the next is being
// scaled. It is the same scaler pass, only elsewhere, so the pictures are the
// same bytes as when scaled in line.

#include <condition_variable>
#include <mutex>
#include <thread>

#include "transcoder/ffmpeg_ptr.h"

class upright_filter;

// The whole source stretched into target (its buffer made writable first, as
// the encoder may still hold it). False when it cannot be done.
bool scale_picture(SwsContext* scaler, AVFrame* target, const AVFrame* source);
// The same, turned upright on the way when upright is set.
bool stretch_picture(SwsContext* scaler, AVFrame* target, const AVFrame* source, upright_filter* upright);

class scale_worker {
public:
    scale_worker();
    ~scale_worker();  // finishes the picture in hand, then ends the thread
    scale_worker(const scale_worker&) = delete;
    scale_worker& operator=(const scale_worker&) = delete;

    // Starts stretch_picture(scaler, target, source, upright). They stay
    // untouched by the caller until finish().
    void start(SwsContext* scaler, AVFrame* target, const AVFrame* source, upright_filter* upright);
    // Waits for the picture started last; its result (true when none is in hand).
    bool finish();

private:
    void run();

    std::mutex lock_;
    std::condition_variable changed_;
    SwsContext* scaler_ = nullptr;
    AVFrame* target_ = nullptr;
    const AVFrame* source_ = nullptr;
    upright_filter* upright_ = nullptr;
    bool busy_ = false;
    bool scaled_ = true;
    bool quit_ = false;
    std::thread thread_;
};
