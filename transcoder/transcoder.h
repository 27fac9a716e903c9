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

// The transcode thread. arg points to current_slot.
void transcode_thread_proc(void* arg);
