#pragma once
// The length of an opened input as a stream of it plays: FFmpeg's duration,
// mended where a container's own figures mislead it.

#include <cstdint>

struct AVFormatContext;

// Microseconds from the input's first time stamp to its end; AV_NOPTS_VALUE
// when unknown. Reads the start of the file again (through a context of its
// own) when the duration came from the first and last time stamps.
int64_t input_playing_length(const AVFormatContext& input);
