#pragma once
// The stream state: the process-wide variables through which the server
// thread's command handlers, the transcode thread and the dialog cooperate.
// Byte flags, counters and clocks are atomics; the ring slots are ordered by
// their free/filled events.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"

struct AVFormatContext;
class CVantrelDlg;

// ---- sizes -------------------------------------------------------------------
constexpr int INPUT_SLOT_COUNT = 50;
constexpr int DOWNLOADING_HANDLE = 51;  // slot index 50: an enclosure being downloaded

constexpr int AUDIO_RING_SLOTS = 600;
constexpr int AUDIO_SLOT_SIZE = 2048;
constexpr int MAX_AUDIO_PAYLOAD = 2045;
constexpr int VIDEO_RING_SLOTS = 80;
constexpr int VIDEO_SLOT_SIZE = 128000;
constexpr int MAX_VIDEO_PAYLOAD = 127995;

constexpr int64_t AUDIO_FRAME_DURATION_US = 26122;  // 1152 samples at 44100 Hz, truncated

// The fewest pictures a second a stream is sent with. A slower input has each
// picture sent several times: the sender waits for 21 frames before it starts
// and the audio ring holds about 15.7 s, so one picture a second could never
// start.
constexpr double MIN_PICTURE_RATE = 5.0;

// How long each side of the slot hand-off waits. A writer whose wait passes
// keeps its packet while a sender serves the stream (packet_sender_present).
constexpr int64_t SLOT_FREE_WAIT_MS = 100000;
constexpr int64_t SLOT_FILLED_WAIT_MS = 10000;

// StopRunningTranscode polls the running flag this often, at most this many times.
constexpr int STOP_POLL_INTERVAL_MS = 100;
constexpr int STOP_POLL_LIMIT = 600;
// The values StopRunningTranscode uses; tests shorten them.
extern std::atomic<int> stop_poll_interval_ms;
extern std::atomic<int> stop_poll_limit;
// The sender's wait for a slot to be filled (SLOT_FILLED_WAIT_MS); tests lengthen it.
extern std::atomic<int64_t> slot_filled_wait_ms;
// The writer's wait for a free slot (SLOT_FREE_WAIT_MS); tests shorten it.
extern std::atomic<int64_t> slot_free_wait_ms;

constexpr int CURRENT_FOLDER_SIZE = 260;
constexpr int FRAME_RATE_TEXT_SIZE = 20;

// ---- dialog pointer ----------------------------------------------------------
extern CVantrelDlg* g_pMainDlg;

// ---- input-slot table --------------------------------------------------------
struct input_closer {
    void operator()(AVFormatContext* input) const;
};
using input_ptr = std::unique_ptr<AVFormatContext, input_closer>;

// What "stream2header" needs of an input, read once when it is opened: the job
// that plays the input demuxes the context itself, and a demuxer may add
// streams while it reads.
struct input_facts {
    std::string file_name;             // the name the input was opened with
    int64_t duration = INT64_MIN;      // microseconds; AV_NOPTS_VALUE when unknown
    bool has_video = false;
    bool has_audio = false;
    int video_rate_num = 0;            // the real frame rate of the last video stream
    int video_rate_den = 0;
};

// An opened input. The slot table and the job that plays it each hold a
// reference, so neither frees it under the other.
struct opened_input {
    explicit opened_input(input_ptr opened);
    input_ptr context;
    input_facts facts;
    // Where a requested start time moved the input, in microseconds of its
    // own clock; the context's opaque points here then.
    int64_t sought_position = 0;
};
using input_slot = std::shared_ptr<opened_input>;

extern input_slot input_slot_table[INPUT_SLOT_COUNT];
void close_all_input_slots();

// Slot index named by the last header or packets request; may be negative or 50.
extern std::atomic<int> current_slot;

// ---- packet rings and their events ------------------------------------------
extern uint8_t audio_packet_ring[AUDIO_RING_SLOTS][AUDIO_SLOT_SIZE];
extern uint8_t video_packet_ring[VIDEO_RING_SLOTS][VIDEO_SLOT_SIZE];

extern platform::Event audio_slot_free_events[AUDIO_RING_SLOTS];
extern platform::Event audio_slot_filled_events[AUDIO_RING_SLOTS];
extern platform::Event video_slot_free_events[VIDEO_RING_SLOTS];
extern platform::Event video_slot_filled_events[VIDEO_RING_SLOTS];
extern platform::Event transcode_stop_event;
// Set by the job once it will write no more packets (its input ended, or its
// run did), so a packet the sender waits for then is known never to come; a
// slot filled before it still counts. Reset as a job starts.
extern platform::Event transcode_output_ended_event;

// ---- byte flags --------------------------------------------------------------
extern std::atomic<uint8_t> transcode_running;
extern std::atomic<uint8_t> stream_drained;
extern std::atomic<uint8_t> audio_only_mode;

// ---- counters and clocks of the stream being served -------------------------
extern std::atomic<int> video_packets_written;
extern std::atomic<int> audio_packets_written;
extern std::atomic<int> frames_sent;
extern std::atomic<int> audio_read_index;
extern std::atomic<int64_t> video_clock;
extern std::atomic<int64_t> audio_clock;

extern std::atomic<int64_t> video_frame_duration;
extern std::atomic<int64_t> audio_frame_duration;
extern std::atomic<int64_t> stream_start_offset;

// ---- the sender's waits -------------------------------------------------------
// While the sender waits for a packet that is not there yet, it names the
// packet (its number in its ring's order, counted like *_packets_written) and
// sets sender_waiting_event. A writer whose own ring is full then knows that
// the two would wait for each other unless the other ring gets that packet.
extern std::atomic<int> sender_awaited_audio;  // -1: not waiting for audio
extern std::atomic<int> sender_awaited_video;  // -1: not waiting for video
extern platform::Event sender_waiting_event;    // auto-reset

// ---- the sender's presence ---------------------------------------------------
// Raised while "streampackets" serves a stream. Its client may pause for as
// long as it likes (the sender waits for its acknowledgement while the
// connection lives), so while it is raised the writer keeps a packet until its
// slot is free: a dropped packet would leave its slot to the packet a whole
// ring later, which the sender would take for this one.
extern std::atomic<uint8_t> packet_sender_present;

// Raises packet_sender_present for its lifetime.
class sender_presence {
public:
    sender_presence() { packet_sender_present = 1; }
    ~sender_presence() { packet_sender_present = 0; }
    sender_presence(const sender_presence&) = delete;
    sender_presence& operator=(const sender_presence&) = delete;
};

// ---- texts -------------------------------------------------------------------
extern char current_folder[CURRENT_FOLDER_SIZE];
extern char frame_rate_text[FRAME_RATE_TEXT_SIZE];

// ---- operations --------------------------------------------------------------
// Creates the ring events and the stop event.
void CreateStreamEvents();
// Closes every event (threads still waiting on them fail their waits).
void CloseStreamEvents();
// True when no transcode is running on return. Waits at most 600 x 100 ms,
// and not at all for a job that was released before and still runs. With
// release, every input slot is closed afterwards, as the end of a job did; a
// job that is still running keeps its own reference to its input.
bool StopRunningTranscode(bool release);

// ---- slot hand-off -----------------------------------------------------------
enum class packet_ring { audio, video };
// failed: a dead event; timed_out: the wait's limit passed; sender_waiting:
// the sender began waiting for a packet (see sender_waiting_event), the slot is
// not free yet; ended: the slot is not filled and the job writes nothing more.
enum class slot_wait { ready, stopped, failed, timed_out, sender_waiting, ended };

// Writer side: wait for the slot to be free (or the stop event), at most
// slot_free_wait_ms, then signal it filled.
slot_wait wait_slot_free(packet_ring ring, int slot);
// The same for at most timeout_ms, also ended when the sender begins a wait.
slot_wait wait_slot_free_or_sender(packet_ring ring, int slot, int64_t timeout_ms);
// Whether the sender waits for a packet of this ring that is not written yet.
bool sender_starved(packet_ring ring);
void signal_slot_filled(packet_ring ring, int slot);
// Reader side: wait for the slot to be filled (or the stop event, or the end
// of the job's output), then signal it free.
slot_wait wait_slot_filled(packet_ring ring, int slot);
// The same, and while it has to wait the packet numbered number (in the ring's
// order) is named as awaited.
slot_wait await_slot_filled(packet_ring ring, int slot, int number);
// Names the packet the sender waits for (-1: none) and wakes a waiting writer.
void announce_sender_wait(packet_ring ring, int number);
void signal_slot_free(packet_ring ring, int slot);
// Before a transcode: every free event set, every filled event reset.
void reset_slot_events();
