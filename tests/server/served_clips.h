#pragma once
// The stream server on loopback with one temporary media folder as its
// catalogue, for tests that play clips through the protocol and look at what
// the received packets rebuild.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "stream/stream_state.h"
#include "tests/support/counting_clip.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "transcoder/transcode_options.h"

class ServedClips : public ::testing::Test {
protected:
    void SetUp() override {
        saved_options_ = transcode_options;
        server_ = std::make_unique<test_support::TestServer>([&](CVantrelDlg& record) {
            record.m_moviePaths = {media_.path()};
            record.m_strMovieBitrate = "400";
        });
    }

    void TearDown() override {
        server_.reset();
        EXPECT_EQ(transcode_running.load(), 0);
        transcode_options = saved_options_;
    }

    // listdir, streamopen, stream2header and streampackets of a clip in the
    // media folder; at most max_packets (0: the whole stream).
    test_support::ReceivedStream stream(const std::string& name, const std::string& stime = "",
                                        size_t max_packets = 0) {
        return test_support::OpenAndReceiveStream(server_->port(), media_.path(), name, stime, max_packets);
    }

    // The received pictures as raw MPEG-4 and the sound as MP3, in the work folder.
    struct Rebuilt {
        std::string pictures;
        std::string sound;
    };
    Rebuilt rebuild(const test_support::ReceivedStream& received) {
        Rebuilt files{work_.file("received.m4v"), work_.file("received.mp3")};
        EXPECT_TRUE(test_support::WriteElementaryStreams(received, files.pictures, files.sound));
        return files;
    }

    test_support::TempDir media_{"vantrel-media"};
    test_support::TempDir work_{"vantrel-received"};
    std::unique_ptr<test_support::TestServer> server_;
    transcode_options_record saved_options_;
};
