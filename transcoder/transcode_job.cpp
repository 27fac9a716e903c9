// The transcode job: fixed output parameters, bit rates and frame rate from
// the server's state, the output set-up, the loop, and the end of the job that
// waits for the server's release before it closes every input.

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/parseutils.h>
}

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

// A kbit/s text read by the atoi rules, in bit/s.
int bit_rate_of(const std::string& kbits) {
    long long value = std::strtoll(kbits.c_str(), nullptr, 10) * 1000;
    return int(value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value);
}

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

void take_frame_rate() {
    char text[FRAME_RATE_TEXT_SIZE];
    std::memcpy(text, frame_rate_text, sizeof text);
    text[sizeof text - 1] = '\0';
    AVRational rate{0, 1};
    if (av_parse_video_rate(&rate, text) < 0) {
        post_transcoder_message("Incorrect frame rate '%s' \n", text);
        return;
    }
    transcode_options.frame_rate = rate.num;
    transcode_options.frame_rate_base = rate.den;
}

// Set-up and the loop. False after a fatal set-up error.
bool run_job(int slot) {
    transcode_options_record& o = transcode_options;
    input_file_table.clear();
    if (slot >= 0 && slot < INPUT_SLOT_COUNT && input_slot_table[slot])
        input_file_table.push_back(input_slot_table[slot].get());

    dialog_settings settings = read_dialog_settings();
    o.video_bit_rate = bit_rate_of(settings.movie_bitrate);
    set_frame_size(OUTPUT_FRAME_SIZE);
    if (!select_codec(&o.audio_codec_id, AVMEDIA_TYPE_AUDIO, "mp3") ||
        !select_codec(&o.video_codec_id, AVMEDIA_TYPE_VIDEO, "mpeg4"))
        return false;
    if (!audio_only_mode)
        o.audio_bit_rate = bit_rate_of(settings.audio_bitrate);
    o.audio_sample_rate = OUTPUT_SAMPLE_RATE;
    o.audio_channels = OUTPUT_CHANNELS;
    take_frame_rate();

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

void finish_job() {
    output_file_table.clear();
    // The stop event does not end this wait: only the server's release does.
    while (!stream_drained)
        std::this_thread::sleep_for(DRAIN_POLL);
    report_progress_reset();
    input_file_table.clear();
    close_all_input_slots();
}

}  // namespace

void transcode_thread_proc(void* arg) {
    int slot = static_cast<std::atomic<int>*>(arg)->load();
    stream_drained = 0;
    transcode_running = 1;
    if (run_job(slot))
        finish_job();
    // Last step: the server may start the next job once this is 0.
    transcode_running = 0;
}
