#pragma once
// An input for the transcoder whose reads can be held, as a stalled network
// share or FUSE folder holds them: the bytes of a clip behind a custom byte
// reader that, once the gate is closed, blocks every read until it opens.
// FFmpeg's interrupt callback does not reach such a read.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "stream/stream_state.h"

struct AVIOContext;

namespace test_support {

class GatedInput {
public:
    explicit GatedInput(std::string bytes);
    // Opens the gate first, so no read stays held. Destroy only once the
    // input made by open() is closed.
    ~GatedInput();
    GatedInput(const GatedInput&) = delete;
    GatedInput& operator=(const GatedInput&) = delete;

    // The opened and probed input, named name; nullptr when FFmpeg refuses it.
    input_slot open(const std::string& name);

    void close_gate();
    void open_gate();
    // Every later read fails with an I/O error, as a disk that gives up does.
    void fail_reads();
    // True once a read is held at the closed gate (waits at most timeout_ms).
    bool wait_for_held_read(int timeout_ms);

private:
    static int read(void* opaque, unsigned char* buffer, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);

    std::string bytes_;
    size_t position_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool gate_closed_ = false;
    bool read_held_ = false;
    bool reads_fail_ = false;
    AVIOContext* io_ = nullptr;
};

}  // namespace test_support
