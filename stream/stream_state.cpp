#include "stream/stream_state.h"

#include <chrono>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "stream/picture_rate.h"

CVantrelDlg* g_pMainDlg = nullptr;

void input_closer::operator()(AVFormatContext* input) const {
    avformat_close_input(&input);
}

namespace {

// With several video streams the last one's rate counts.
input_facts facts_of(const AVFormatContext& input) {
    input_facts facts;
    facts.file_name = input.url != nullptr ? input.url : "";
    facts.duration = input.duration;
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVStream& stream = *input.streams[i];
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            facts.has_video = true;
            const AVRational rate = stream_picture_rate(stream);
            facts.video_rate_num = rate.num;
            facts.video_rate_den = rate.den;
        } else if (stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            facts.has_audio = true;
        }
    }
    return facts;
}

}  // namespace

opened_input::opened_input(input_ptr opened) : context(std::move(opened)) {
    if (context) {
        facts = facts_of(*context);
    }
}

input_slot input_slot_table[INPUT_SLOT_COUNT];

void close_all_input_slots() {
    for (input_slot& slot : input_slot_table) {
        slot.reset();
    }
}

std::atomic<int> current_slot{0};

uint8_t audio_packet_ring[AUDIO_RING_SLOTS][AUDIO_SLOT_SIZE];
uint8_t video_packet_ring[VIDEO_RING_SLOTS][VIDEO_SLOT_SIZE];

platform::Event audio_slot_free_events[AUDIO_RING_SLOTS];
platform::Event audio_slot_filled_events[AUDIO_RING_SLOTS];
platform::Event video_slot_free_events[VIDEO_RING_SLOTS];
platform::Event video_slot_filled_events[VIDEO_RING_SLOTS];
platform::Event transcode_stop_event;
platform::Event transcode_output_ended_event;

std::atomic<uint8_t> transcode_running{0};
std::atomic<uint8_t> stream_drained{0};
std::atomic<uint8_t> audio_only_mode{0};

std::atomic<int> video_packets_written{0};
std::atomic<int> audio_packets_written{0};
std::atomic<int> frames_sent{0};
std::atomic<int> audio_read_index{0};
std::atomic<int64_t> video_clock{0};
std::atomic<int64_t> audio_clock{0};

std::atomic<int64_t> video_frame_duration{0};
std::atomic<int64_t> audio_frame_duration{AUDIO_FRAME_DURATION_US};
std::atomic<int64_t> stream_start_offset{0};

std::atomic<int> sender_awaited_audio{-1};
std::atomic<int> sender_awaited_video{-1};
platform::Event sender_waiting_event;

char current_folder[CURRENT_FOLDER_SIZE];
char frame_rate_text[FRAME_RATE_TEXT_SIZE];

std::atomic<int> stop_poll_interval_ms{STOP_POLL_INTERVAL_MS};
std::atomic<int> stop_poll_limit{STOP_POLL_LIMIT};
std::atomic<int64_t> slot_filled_wait_ms{SLOT_FILLED_WAIT_MS};
std::atomic<int64_t> slot_free_wait_ms{SLOT_FREE_WAIT_MS};
std::atomic<uint8_t> packet_sender_present{0};

namespace {

void create_ring_events(platform::Event* free_events, platform::Event* filled_events, int count) {
    for (int i = 0; i < count; ++i) {
        free_events[i] = platform::Event::create(platform::EventReset::Auto);
        filled_events[i] = platform::Event::create(platform::EventReset::Auto);
    }
}

void close_ring_events(platform::Event* free_events, platform::Event* filled_events, int count) {
    for (int i = 0; i < count; ++i) {
        free_events[i].close();
        filled_events[i].close();
    }
}

platform::Event& free_event(packet_ring ring, int slot) {
    return ring == packet_ring::audio ? audio_slot_free_events[slot] : video_slot_free_events[slot];
}

platform::Event& filled_event(packet_ring ring, int slot) {
    return ring == packet_ring::audio ? audio_slot_filled_events[slot] : video_slot_filled_events[slot];
}

// The slot's event stands first: once the stop event is set, a slot that is
// ready still wins the wait. A third event (the sender's wait for a writer, the
// end of the job's output for the sender) comes last and gives also_result.
slot_wait wait_slot(const platform::Event& slot_event, int64_t timeout_ms, const platform::Event* also = nullptr,
                    slot_wait also_result = slot_wait::failed) {
    const platform::Event* events[] = {&slot_event, &transcode_stop_event, also};
    switch (platform::wait_for_any(events, also ? 3 : 2, timeout_ms)) {
    case 0:
        return slot_wait::ready;
    case 1:
        return slot_wait::stopped;
    case 2:
        return also_result;
    case platform::WAIT_TIMED_OUT:
        return slot_wait::timed_out;
    default:
        return slot_wait::failed;
    }
}

}  // namespace

void CreateStreamEvents() {
    create_ring_events(audio_slot_free_events, audio_slot_filled_events, AUDIO_RING_SLOTS);
    create_ring_events(video_slot_free_events, video_slot_filled_events, VIDEO_RING_SLOTS);
    transcode_stop_event = platform::Event::create(platform::EventReset::Manual);
    transcode_output_ended_event = platform::Event::create(platform::EventReset::Manual);
    sender_waiting_event = platform::Event::create(platform::EventReset::Auto);
}

void CloseStreamEvents() {
    close_ring_events(audio_slot_free_events, audio_slot_filled_events, AUDIO_RING_SLOTS);
    close_ring_events(video_slot_free_events, video_slot_filled_events, VIDEO_RING_SLOTS);
    transcode_stop_event.close();
    transcode_output_ended_event.close();
    sender_waiting_event.close();
}

bool StopRunningTranscode(bool release) {
    if (transcode_running.load() == 0) {
        return true;
    }
    // Released before and still running: it did not stop within the limit
    // then, and waiting for it again would only hold the server once more.
    const bool released_before = stream_drained.load() != 0;
    transcode_stop_event.set();
    if (release) {
        stream_drained.store(1);
    }
    const int limit = released_before ? 0 : stop_poll_limit.load();
    bool stopped = false;
    for (int polls = 0;; ++polls) {
        if (transcode_running.load() == 0) {
            stopped = true;
            break;
        }
        if (polls >= limit) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(stop_poll_interval_ms.load()));
    }
    if (release) {
        close_all_input_slots();
    }
    return stopped;
}

slot_wait wait_slot_free(packet_ring ring, int slot) {
    return wait_slot(free_event(ring, slot), slot_free_wait_ms.load());
}

slot_wait wait_slot_free_or_sender(packet_ring ring, int slot, int64_t timeout_ms) {
    return wait_slot(free_event(ring, slot), timeout_ms, &sender_waiting_event, slot_wait::sender_waiting);
}

bool sender_starved(packet_ring ring) {
    const int awaited = (ring == packet_ring::audio ? sender_awaited_audio : sender_awaited_video).load();
    const int written = (ring == packet_ring::audio ? audio_packets_written : video_packets_written).load();
    return awaited >= 0 && written <= awaited;
}

void signal_slot_filled(packet_ring ring, int slot) {
    filled_event(ring, slot).set();
}

slot_wait wait_slot_filled(packet_ring ring, int slot) {
    return wait_slot(filled_event(ring, slot), slot_filled_wait_ms.load(), &transcode_output_ended_event,
                     slot_wait::ended);
}

void announce_sender_wait(packet_ring ring, int number) {
    (ring == packet_ring::audio ? sender_awaited_audio : sender_awaited_video).store(number);
    if (number >= 0)
        sender_waiting_event.set();
}

slot_wait await_slot_filled(packet_ring ring, int slot, int number) {
    const slot_wait at_once =
        wait_slot(filled_event(ring, slot), 0, &transcode_output_ended_event, slot_wait::ended);
    if (at_once != slot_wait::timed_out)
        return at_once;
    announce_sender_wait(ring, number);
    const slot_wait result = wait_slot_filled(ring, slot);
    announce_sender_wait(ring, -1);
    return result;
}

void signal_slot_free(packet_ring ring, int slot) {
    free_event(ring, slot).set();
}

void reset_slot_events() {
    for (int i = 0; i < AUDIO_RING_SLOTS; ++i) {
        audio_slot_free_events[i].set();
        audio_slot_filled_events[i].reset();
    }
    for (int i = 0; i < VIDEO_RING_SLOTS; ++i) {
        video_slot_free_events[i].set();
        video_slot_filled_events[i].reset();
    }
}
