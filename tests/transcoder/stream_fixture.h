#pragma once
// A stream state to run the transcoder side against without the server
// thread: the ring events made fresh, a settings record in a temporary folder
// as g_pMainDlg, and the transcoder's globals put back afterwards.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/vantrel_dlg.h"
#include "stream/stream_state.h"
#include "tests/support/temp_dir.h"
#include "transcoder/transcode_options.h"
#include "transcoder/transcoder.h"

class StreamStateFixture : public ::testing::Test {
protected:
    void SetUp() override {
        saved_options_ = transcode_options;
        folder_ = std::make_unique<test_support::TempDir>("vantrel-stream");
        dialog_ = std::make_unique<CVantrelDlg>(folder_->path());
        g_pMainDlg = dialog_.get();
        CreateStreamEvents();
        reset_slot_events();
        transcode_stop_event.reset();
        for (auto* counter : {&video_packets_written, &audio_packets_written, &frames_sent, &audio_read_index})
            *counter = 0;
        video_clock = 0;
        audio_clock = 0;
        audio_only_mode = 0;
        stream_drained = 0;
    }

    void TearDown() override {
        end_transcode();
        close_all_input_slots();
        g_pMainDlg = nullptr;
        dialog_.reset();
        transcode_options = saved_options_;
    }

    // Releases a running transcode and joins its thread.
    static void end_transcode() {
        end_transcode_job();
        ASSERT_EQ(transcode_running.load(), 0) << "the transcode thread did not end";
    }

    static bool stop_set() { return platform::wait_for_one(transcode_stop_event, 0) == 0; }

    // The texts of every WM_SERVER_MESSAGE posted so far (the queue is drained).
    std::vector<std::string> posted_texts() {
        std::vector<std::string> texts;
        for (auto& message : dialog_->Messages().drain())
            if (message.message == WM_SERVER_MESSAGE && message.text)
                texts.push_back(*message.text);
        return texts;
    }

    std::unique_ptr<test_support::TempDir> folder_;
    std::unique_ptr<CVantrelDlg> dialog_;
    transcode_options_record saved_options_;
};
