// The scaler's own thread: one picture at a time, handed over under a lock.

#include "transcoder/scale_worker.h"

#include "transcoder/upright.h"

bool scale_picture(SwsContext* scaler, AVFrame* target, const AVFrame* source) {
    return av_frame_make_writable(target) >= 0 && sws_scale_frame(scaler, target, source) >= 0;
}

bool stretch_picture(SwsContext* scaler, AVFrame* target, const AVFrame* source, upright_filter* upright) {
    return upright ? upright->stretch(scaler, target, source) : scale_picture(scaler, target, source);
}

scale_worker::scale_worker() : thread_(&scale_worker::run, this) {}

scale_worker::~scale_worker() {
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return !busy_; });
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void scale_worker::start(SwsContext* scaler, AVFrame* target, const AVFrame* source, upright_filter* upright) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        scaler_ = scaler;
        target_ = target;
        source_ = source;
        upright_ = upright;
        busy_ = true;
    }
    changed_.notify_all();
}

bool scale_worker::finish() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return !busy_; });
    return scaled_;
}

void scale_worker::run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return busy_ || quit_; });
        if (quit_)
            return;
        SwsContext* scaler = scaler_;
        AVFrame* target = target_;
        const AVFrame* source = source_;
        upright_filter* upright = upright_;
        hold.unlock();
        bool scaled = stretch_picture(scaler, target, source, upright);
        hold.lock();
        scaled_ = scaled;
        busy_ = false;
        changed_.notify_all();
    }
}
