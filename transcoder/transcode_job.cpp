// The transcode job: fixed output parameters, bit rates and frame rate from
// the server's state, the output set-up, the loop, and the end of the job that
// waits for the server's release before it closes every input.

#include <malloc.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

extern "C" {
#include <libavutil/parseutils.h>
}

#include "core/text_to_number.h"
#include "core/vantrel_dlg.h"
#include "platform/paths.h"
#include "stream/stream_state.h"
#include "stream/transcoder_message.h"
#include "transcoder/output_setup.h"
#include "transcoder/run_records.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"

namespace {

constexpr const char* OUTPUT_FRAME_SIZE = "480x272";
constexpr int OUTPUT_SAMPLE_RATE = 44100;
constexpr int OUTPUT_CHANNELS = 2;
constexpr auto DRAIN_POLL = std::chrono::milliseconds(2);
// Blocks from this size up (pictures: a 4K one is 12 to 25 MB) are mapped on
// their own, so they go back to the system as they are freed. Left to itself
// the C library raises both limits to the largest block freed, and from the
// second stream on a job's pictures stay in its threads' heaps after it.
constexpr int HEAP_MMAP_THRESHOLD = 1 << 20;
// The C library's own default: free memory above this at a heap's top is
// given back at once.
constexpr int HEAP_TRIM_THRESHOLD = 128 << 10;

struct dialog_settings {
    std::string movie_bitrate;
    std::string audio_bitrate;
    std::string program_folder;
};

dialog_settings read_dialog_settings() {
    dialog_settings settings;
    if (!g_pMainDlg)
        return settings;
    std::lock_guard<std::mutex> lock(g_pMainDlg->Lock());
    settings.movie_bitrate = g_pMainDlg->m_strMovieBitrate;
    settings.audio_bitrate = g_pMainDlg->m_strAudioBitrate;
    settings.program_folder = g_pMainDlg->m_strProgramFolder;
    return settings;
}

// What the job takes from the server as it starts.
struct transcode_job_inputs {
    input_slot input;
    std::string frame_rate;
};

// The job's thread; joined before the next job starts and at the program's end.
std::mutex job_thread_mutex;
std::thread job_thread;

void take_frame_rate(const std::string& text) {
    AVRational rate{0, 1};
    if (av_parse_video_rate(&rate, text.c_str()) < 0) {
        post_transcoder_message("Incorrect frame rate '%s' \n", text.c_str());
        return;
    }
    transcode_options.frame_rate = rate.num;
    transcode_options.frame_rate_base = rate.den;
}

// Set at every job, so that what ran before it (an input's probe decodes
// pictures too) cannot have moved the limits.
void keep_pictures_out_of_the_heap() {
    mallopt(M_MMAP_THRESHOLD, HEAP_MMAP_THRESHOLD);
    mallopt(M_TRIM_THRESHOLD, HEAP_TRIM_THRESHOLD);
}

// What the job's decoders, scaler and encoders freed stays in the heaps of
// the threads that used it until given back: an idle server would otherwise
// keep the memory of its last stream. Once per job, a few milliseconds.
void give_freed_heap_back() {
    malloc_trim(0);
}

// Set-up and the loop. False after a fatal set-up error.
bool run_job(const transcode_job_inputs& job) {
    keep_pictures_out_of_the_heap();
    transcode_options_record& o = transcode_options;
    input_file_table.clear();
    input_file_table.push_back(job.input->context.get());

    dialog_settings settings = read_dialog_settings();
    o.video_bit_rate = KbitTextToBits(settings.movie_bitrate);
    set_frame_size(OUTPUT_FRAME_SIZE);
    if (!select_codec(&o.audio_codec_id, AVMEDIA_TYPE_AUDIO, "mp3") ||
        !select_codec(&o.video_codec_id, AVMEDIA_TYPE_VIDEO, "mpeg4"))
        return false;
    if (!audio_only_mode)
        o.audio_bit_rate = KbitTextToBits(settings.audio_bitrate);
    o.audio_sample_rate = OUTPUT_SAMPLE_RATE;
    o.audio_channels = OUTPUT_CHANNELS;
    take_frame_rate(job.frame_rate);

    std::string name = platform::join_path(settings.program_folder, "output.avi");
    if (!open_output_file(name.c_str()))
        return false;
    run_transcode(output_file_table, input_file_table);
    return true;
}

void report_progress_reset() {
    if (!g_pMainDlg)
        return;
    g_pMainDlg->m_nTranscodeProgress = 0;
    g_pMainDlg->m_nSendProgress = 0;
    g_pMainDlg->PostMessage(WM_PROGRESS_UPDATE);
}

// The server's release closes the input slots; the job lets go of its own
// reference to its input as it ends.
void finish_job() {
    output_file_table.clear();
    // Before the wait: a server whose client has finished is idle from here.
    give_freed_heap_back();
    // The stop event does not end this wait: only the server's release does.
    while (!stream_drained)
        std::this_thread::sleep_for(DRAIN_POLL);
    report_progress_reset();
}

void transcode_thread_proc(std::unique_ptr<transcode_job_inputs> job) {
    const bool ran = run_job(*job);
    // Everything the stream gets is in the rings: the sender ends with the last packet.
    transcode_output_ended_event.set();
    if (ran)
        finish_job();
    input_file_table.clear();
    job.reset();
    // Last step: the server may start the next job once this is 0.
    transcode_running = 0;
}

void join_job_thread() {
    std::lock_guard<std::mutex> lock(job_thread_mutex);
    if (job_thread.joinable())
        job_thread.join();
}

}  // namespace

bool start_transcode_job(int slot) {
    if (slot < 0 || slot >= INPUT_SLOT_COUNT || !input_slot_table[slot])
        return false;
    auto job = std::make_unique<transcode_job_inputs>();
    job->input = input_slot_table[slot];
    job->frame_rate.assign(frame_rate_text, strnlen(frame_rate_text, sizeof frame_rate_text));
    // The previous job has ended (its flag is down); its thread only returns.
    join_job_thread();
    std::lock_guard<std::mutex> lock(job_thread_mutex);
    stream_drained = 0;
    transcode_output_ended_event.reset();
    transcode_running = 1;
    try {
        job_thread = std::thread(transcode_thread_proc, std::move(job));
    } catch (const std::system_error&) {
        transcode_running = 0;
        return false;
    }
    return true;
}

void end_transcode_job() {
    std::lock_guard<std::mutex> lock(job_thread_mutex);
    if (!job_thread.joinable())
        return;
    transcode_stop_event.set();
    stream_drained = 1;
    job_thread.join();
}
