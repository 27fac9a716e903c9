#pragma once
// Clips that tell their own time, and what a received stream shows of them.
// The pictures show their number: ten bars, bar b white when bit b of the
// number is set (up to 1023). The sound is a tone in the odd seconds of the
// input and silence in the even ones, or a beep at each whole second whose
// pitch gives the second.

#include <functional>
#include <string>
#include <vector>

namespace test_support {

struct ReceivedStream;

struct CountingClip {
    std::string rate = "25";    // pictures a second, as ffmpeg takes it ("30000/1001", "1/2")
    double video_seconds = 10;
    double audio_seconds = -1;  // below 0: as long as the video
    int first_number = 0;       // the number the first picture shows
    // A select expression over the picture number n: only those pictures are
    // kept, each at its own time (a picture rate that changes).
    std::string keep;
};

// How the clip is made beyond its pictures.
struct CountingClipFormat {
    // A beep at each whole second instead of the odd-second tone.
    bool beeps = false;
    // The sound's time stamps start this many seconds after the pictures'.
    double audio_start_s = 0;
    // Encoder and container options; empty: MPEG-4 (a key frame every 15
    // pictures) and MP3.
    std::vector<std::string> encoding;
};

// Makes the clip; true on success.
bool MakeCountingClip(const CountingClip& clip, const std::string& path, const CountingClipFormat& format = {});

// The number each picture of a file shows, in decoding order, every picture once.
std::vector<int> PictureNumbers(const std::string& path);

// Frame i of a stream at fps shows the picture number shown_at(i / fps) gives,
// or that of the frame before or after it. Reports the first three frames that
// do not as failures; returns how many do not.
int CountFramesOutOfStep(const std::vector<int>& numbers, double fps, const std::function<int(double)>& shown_at);

constexpr double LOUDNESS_STEP_S = 0.1;

// For each tenth of a second of a file's sound, whether the tone sounds in it.
std::vector<bool> ToneByTenths(const std::string& path);

// Whether the input's tone sounds at this time of the input (odd seconds),
// or nothing when the time is too near a change to tell.
enum class ToneAt { tone, silence, unclear };
ToneAt ExpectedTone(double input_s);

// The beep of second s sounds from s for BEEP_SECONDS at BEEP_BASE_HZ + s * BEEP_STEP_HZ.
constexpr double BEEP_SECONDS = 0.2;
constexpr double BEEP_BASE_HZ = 300;
constexpr double BEEP_STEP_HZ = 50;

struct BeepHeard {
    int second;   // by its pitch
    double at_s;  // where it starts in the file's sound
};
// Every beep of a file's sound, in order.
std::vector<BeepHeard> BeepsHeard(const std::string& path);

// The stream's MPEG-4 pictures and MP3 frames as two files of their own
// (raw MPEG-4 video, MP3), so a stream with packets that carry no sound
// can be decoded as well.
bool WriteElementaryStreams(const ReceivedStream& stream, const std::string& video_path,
                            const std::string& audio_path);

// For each beep heard in the rebuilt stream, how much later it is heard than
// its second is first seen (milliseconds): numbers are the pictures' numbers,
// one per frame of frame_s; the input has picture_rate pictures a second.
// Beeps of seconds before the first picture are left out.
std::vector<double> SoundAfterPicturesMs(const std::vector<int>& numbers, double frame_s, double picture_rate,
                                         const std::vector<BeepHeard>& beeps);

}  // namespace test_support
