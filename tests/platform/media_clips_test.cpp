// The clip helper other tests stand on: each clip is what its kind promises.

#include "tests/support/media_clips.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace test_support;

namespace {

// ffprobe's key=value lines for the first video and audio streams and the format.
std::map<std::string, std::string> probe(const std::string& path, const char* stream) {
    const std::string command = std::string("ffprobe -v error -select_streams ") + stream +
                                ":0 -show_entries stream=codec_name,width,height,r_frame_rate,field_order,"
                                "sample_rate,channels:format=duration -of default=nw=1 '" + path + "'";
    std::map<std::string, std::string> values;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char line[512];
    while (pipe && fgets(line, sizeof line, pipe.get())) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        const size_t equals = text.find('=');
        if (equals != std::string::npos) values[text.substr(0, equals)] = text.substr(equals + 1);
    }
    return values;
}

std::string clip_test_name(const testing::TestParamInfo<clip_kind>& info) {
    return clip_kind_name(info.param);
}

}  // namespace

class MediaClip : public testing::TestWithParam<clip_kind> {};

TEST_P(MediaClip, MatchesItsDescription) {
    const clip_info& clip = test_clip_info(GetParam());
    ASSERT_TRUE(std::filesystem::exists(clip.path)) << clip.path;
    if (clip.truncated) {
        const auto whole = std::filesystem::file_size(test_clip(clip_kind::mpeg4_mp3_avi));
        EXPECT_LT(std::filesystem::file_size(clip.path), whole / 2);
        return;
    }
    if (!clip.video_codec.empty()) {
        auto video = probe(clip.path, "v");
        EXPECT_EQ(video["codec_name"], clip.video_codec);
        EXPECT_EQ(video["width"], std::to_string(clip.width));
        EXPECT_EQ(video["height"], std::to_string(clip.height));
        EXPECT_EQ(video["r_frame_rate"], std::to_string(clip.fps_num) + "/" + std::to_string(clip.fps_den));
        if (clip.interlaced) {
            EXPECT_EQ(video["field_order"], "tt");
        }
    } else {
        EXPECT_EQ(probe(clip.path, "v").count("codec_name"), 0u);
    }
    auto audio = probe(clip.path, "a");
    EXPECT_EQ(audio["codec_name"], clip.audio_codec);
    EXPECT_EQ(audio["sample_rate"], std::to_string(clip.sample_rate));
    EXPECT_EQ(audio["channels"], std::to_string(clip.channels));
    EXPECT_NEAR(std::atof(audio["duration"].c_str()), clip.duration_s, 0.3);
}

INSTANTIATE_TEST_SUITE_P(Kinds, MediaClip,
                         testing::Values(clip_kind::h264_aac_mp4, clip_kind::mpeg4_mp3_avi,
                                         clip_kind::ntsc_rate_mp4, clip_kind::pal_interlaced_mpg,
                                         clip_kind::mp3_audio, clip_kind::wav_audio,
                                         clip_kind::mono_22050_avi, clip_kind::truncated_avi),
                         clip_test_name);

TEST(MediaClips, ThreadsAskingAtOnceShareOneClip) {
    std::vector<std::thread> threads;
    std::vector<const std::string*> paths(4);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&paths, i] { paths[i] = &test_clip(clip_kind::wav_audio); });
    }
    for (auto& thread : threads) thread.join();
    for (const std::string* path : paths) EXPECT_EQ(path, paths[0]);
    // Nothing half-made by this process is left beside the clips (other test
    // processes may be making theirs right now).
    const std::string ours = "part-" + std::to_string(getpid()) + "-";
    for (const auto& entry : std::filesystem::directory_iterator(clip_folder())) {
        EXPECT_NE(entry.path().filename().string().rfind(ours, 0), 0u) << entry.path();
    }
}

TEST(MediaClips, MakeClipReportsFailure) {
    EXPECT_FALSE(make_clip({"-f", "lavfi", "-i", "no_such_filter"}, clip_folder() + "/never.mp4"));
    EXPECT_FALSE(std::filesystem::exists(clip_folder() + "/never.mp4"));
}
