#pragma once
// "streamopen": the clock that picks the slot to evict when all 50 are in use,
// and the replies besides a handle.

#include <cstddef>
#include <ctime>

constexpr int STREAM_OPEN_FAILED = 0;
constexpr int STREAM_OPEN_NO_PMP = -1;
// The longest resolved path, as the path buffer (520 bytes) holds it.
constexpr size_t STREAM_OPEN_MAX_PATH = 519;

using StreamOpenClock = std::time_t (*)();
// Replaces the clock (tests fix the second of the minute); nullptr restores time().
void SetStreamOpenClock(StreamOpenClock clock);
