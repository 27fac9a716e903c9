// A stream over a real socket from a server whose program folder has no room
// for the side file (as an install owned by another user has none): the
// stream plays whole all the same.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace {

TEST(SideFileStream, AStreamPlaysWholeWhenTheSideFileCannotBeMade) {
    test_support::TempDir media("vantrel-media");
    test_support::TempDir received_folder("vantrel-received");
    std::filesystem::copy_file(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi),
                               media.file("movie.avi"));
    test_support::TestServer server([&](CVantrelDlg& record) { record.m_moviePaths = {media.path()}; });
    // Tests run as root, whom a read-only folder does not stop: a folder of
    // that name stops anyone.
    ASSERT_TRUE(std::filesystem::create_directory(server.program_folder().file("output.avi")));

    test_support::ReceivedStream received =
        test_support::OpenAndReceiveStream(server.port(), media.path(), "movie.avi");
    const uint32_t frames = test_support::PmpHeaderFrameCount(received.header);
    ASSERT_GE(frames, 250u) << "10 s at 25 frames a second";
    EXPECT_EQ(received.packets.size(), frames - 1) << "every packet";
    EXPECT_TRUE(received.ended);
    const std::string path = received_folder.file("received.pmp");
    ASSERT_TRUE(test_support::WritePmpFile(path, received));
    EXPECT_EQ(test_support::ProbeFile(path).errors, "");
    for (auto& message : server.record().Messages().drain())
        EXPECT_FALSE(message.text) << "no transcoder message: " << *message.text;
    EXPECT_TRUE(std::filesystem::is_directory(server.program_folder().file("output.avi")));
}

}  // namespace
