#pragma once
// The transcoder as the rest of the program sees it.

#include <cstdint>

struct AVFormatContext;
struct AVPacket;

// Opens path into input_slot_table[slot] (0..49) and seeks to the requested
// start; on failure the slot stays empty. Server thread only.
void open_input_slot(int slot, const char* path);

// audio_bit_rate := atoi(text) x 1000.
void set_audio_bitrate(const char* text);

// The transcoder's only output: one encoded packet into the next ring slot.
int write_packet_to_rings(AVFormatContext* output, const AVPacket* packet);

// Starts the transcode thread on the input in input_slot_table[slot]. The job
// takes its own reference to the input and a copy of frame_rate_text, so
// nothing the server does later changes or frees them under it.
// transcode_running is raised (and stream_drained cleared) before the thread
// starts, so a stop right after the start is not lost. False, with nothing
// started, when the slot holds no input. Server thread only, and only while no
// job runs.
bool start_transcode_job(int slot);

// Stops and releases the running job, if any, and waits for its thread to end,
// however long its input takes to give its read back. For the program's end.
void end_transcode_job();
