#include "tests/support/gated_input.h"

#include <algorithm>
#include <chrono>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

namespace test_support {

namespace {
constexpr int IO_BUFFER_SIZE = 4096;
}

GatedInput::GatedInput(std::string bytes) : bytes_(std::move(bytes)) {}

GatedInput::~GatedInput() {
    open_gate();
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
}

input_slot GatedInput::open(const std::string& name) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(IO_BUFFER_SIZE));
    io_ = avio_alloc_context(buffer, IO_BUFFER_SIZE, 0, this, &GatedInput::read, nullptr,
                             &GatedInput::seek);
    AVFormatContext* context = avformat_alloc_context();
    if (io_ == nullptr || context == nullptr) {
        avformat_free_context(context);
        return nullptr;
    }
    context->pb = io_;
    if (avformat_open_input(&context, name.c_str(), nullptr, nullptr) < 0) return nullptr;
    input_ptr input(context);
    if (avformat_find_stream_info(context, nullptr) < 0) return nullptr;
    return std::make_shared<opened_input>(std::move(input));
}

void GatedInput::close_gate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_closed_ = true;
}

void GatedInput::open_gate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_closed_ = false;
    changed_.notify_all();
}

void GatedInput::fail_reads() {
    std::lock_guard<std::mutex> lock(mutex_);
    reads_fail_ = true;
}

bool GatedInput::wait_for_held_read(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return read_held_; });
}

int GatedInput::read(void* opaque, unsigned char* buffer, int size) {
    auto* self = static_cast<GatedInput*>(opaque);
    std::unique_lock<std::mutex> lock(self->mutex_);
    if (self->gate_closed_) {
        self->read_held_ = true;
        self->changed_.notify_all();
        self->changed_.wait(lock, [self] { return !self->gate_closed_; });
    }
    if (self->reads_fail_) return AVERROR(EIO);
    if (self->position_ >= self->bytes_.size()) return AVERROR_EOF;
    const size_t count = std::min(self->bytes_.size() - self->position_, static_cast<size_t>(size));
    std::memcpy(buffer, self->bytes_.data() + self->position_, count);
    self->position_ += count;
    return static_cast<int>(count);
}

int64_t GatedInput::seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<GatedInput*>(opaque);
    std::lock_guard<std::mutex> lock(self->mutex_);
    const int64_t size = static_cast<int64_t>(self->bytes_.size());
    int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return size;
    case SEEK_SET:
        target = offset;
        break;
    case SEEK_CUR:
        target = static_cast<int64_t>(self->position_) + offset;
        break;
    case SEEK_END:
        target = size + offset;
        break;
    default:
        return -1;
    }
    if (target < 0 || target > size) return -1;
    self->position_ = static_cast<size_t>(target);
    return target;
}

}  // namespace test_support
