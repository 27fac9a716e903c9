#pragma once
// Clips that tell their own time, and what a received stream shows of them.
// The pictures show their number: ten bars, bar b white when bit b of the
// number is set (up to 1023). The sound is a tone in the odd seconds of the
// input and silence in the even ones.

#include <string>
#include <vector>

namespace test_support {

struct CountingClip {
    std::string rate = "25";    // pictures a second, as ffmpeg takes it ("30000/1001", "1/2")
    double video_seconds = 10;
    double audio_seconds = -1;  // below 0: as long as the video
    int first_number = 0;       // the number the first picture shows
    // A select expression over the picture number n: only those pictures are
    // kept, each at its own time (a picture rate that changes).
    std::string keep;
};

// Makes the clip with MPEG-4 video and MP3 sound; true on success.
bool MakeCountingClip(const CountingClip& clip, const std::string& path);

// The number each picture of a file shows, in decoding order, every picture once.
std::vector<int> PictureNumbers(const std::string& path);

constexpr double LOUDNESS_STEP_S = 0.1;

// For each tenth of a second of a file's sound, whether the tone sounds in it.
std::vector<bool> ToneByTenths(const std::string& path);

// Whether the input's tone sounds at this time of the input (odd seconds),
// or nothing when the time is too near a change to tell.
enum class ToneAt { tone, silence, unclear };
ToneAt ExpectedTone(double input_s);

}  // namespace test_support
