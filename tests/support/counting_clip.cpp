#include "tests/support/counting_clip.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"

namespace test_support {

namespace {

constexpr size_t GREY_PICTURE_SIZE = 480 * 272;

std::string picture_source(const CountingClip& clip) {
    std::string source = "color=c=black:size=160x90:rate=" + clip.rate +
                         ":duration=" + std::to_string(clip.video_seconds) +
                         ",geq=lum='if(bitand(N+" + std::to_string(clip.first_number) +
                         "\\,pow(2\\,floor(X*10/W)))\\,235\\,16)':cb=128:cr=128,"
                         "scale=320:180:flags=neighbor";
    if (!clip.keep.empty())
        source += ",select='" + clip.keep + "'";
    return source;
}

// The sound's expression of its own time t; T is the input's time.
std::string sound_expression(const CountingClipFormat& format) {
    const std::string input_time = "(t+" + std::to_string(format.audio_start_s) + ")";
    if (!format.beeps)
        return "sin(2*PI*440*t)*gte(mod(t\\,2)\\,1)*0.5";
    return "0.5*sin(2*PI*(" + std::to_string(BEEP_BASE_HZ) + "+" + std::to_string(BEEP_STEP_HZ) + "*floor(" +
           input_time + "))*t)*lt(mod(" + input_time + "\\,1)\\," + std::to_string(BEEP_SECONDS) + ")";
}

std::vector<std::string> default_encoding() {
    return {"-c:v", "mpeg4", "-q:v", "3", "-g", "15", "-c:a", "libmp3lame"};
}

}  // namespace

bool MakeCountingClip(const CountingClip& clip, const std::string& path, const CountingClipFormat& format) {
    const bool same_length = clip.audio_seconds < 0 && format.audio_start_s == 0;
    const double audio_seconds =
        clip.audio_seconds >= 0 ? clip.audio_seconds : clip.video_seconds - format.audio_start_s;
    std::vector<std::string> args = {"-f", "lavfi", "-i", picture_source(clip)};
    if (format.audio_start_s != 0)
        args.insert(args.end(), {"-itsoffset", std::to_string(format.audio_start_s)});
    args.insert(args.end(), {"-f", "lavfi", "-i",
                             "aevalsrc=" + sound_expression(format) + ":s=44100:d=" + std::to_string(audio_seconds)});
    const std::vector<std::string> encoding = format.encoding.empty() ? default_encoding() : format.encoding;
    args.insert(args.end(), encoding.begin(), encoding.end());
    args.insert(args.end(), {"-ac", "2"});
    if (same_length)
        args.push_back("-shortest");
    if (!clip.keep.empty()) {
        args.push_back("-fps_mode");
        args.push_back("vfr");
    }
    return make_clip(args, path);
}

std::vector<int> PictureNumbers(const std::string& path) {
    std::string bytes = RunCommand("ffmpeg -nostdin -v quiet -i '" + path +
                                   "' -fps_mode passthrough -vf scale=480:272 -f rawvideo -pix_fmt gray -");
    std::vector<int> numbers;
    for (size_t at = 0; at + GREY_PICTURE_SIZE <= bytes.size(); at += GREY_PICTURE_SIZE) {
        int number = 0;
        for (int bit = 0; bit < 10; ++bit) {
            int x = (2 * bit + 1) * 480 / 20;
            long sum = 0;
            int count = 0;
            for (int y = 100; y < 172; y += 8)
                for (int dx = -8; dx <= 8; dx += 4, ++count)
                    sum += uint8_t(bytes[at + size_t(y) * 480 + size_t(x + dx)]);
            if (sum / count > 128)
                number |= 1 << bit;
        }
        numbers.push_back(number);
    }
    return numbers;
}

int CountFramesOutOfStep(const std::vector<int>& numbers, double fps, const std::function<int(double)>& shown_at) {
    int out_of_step = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        const double t = double(i) / fps;
        const bool in_step = numbers[i] == shown_at(t) || numbers[i] == shown_at(t - 1 / fps) ||
                             numbers[i] == shown_at(t + 1 / fps);
        if (!in_step && out_of_step++ < 3)
            ADD_FAILURE() << "frame " << i << " at " << t << " s shows picture " << numbers[i] << ", expected "
                          << shown_at(t);
    }
    return out_of_step;
}

std::vector<bool> ToneByTenths(const std::string& path) {
    std::string bytes = RunCommand("ffmpeg -nostdin -v quiet -i '" + path + "' -map 0:a -ac 1 -f s16le -");
    const size_t step = size_t(44100 * LOUDNESS_STEP_S) * 2;
    std::vector<bool> tone;
    for (size_t at = 0; at + step <= bytes.size(); at += step) {
        int loudest = 0;
        for (size_t i = at; i < at + step; i += 2)
            loudest = std::max(loudest, std::abs(int(int16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8))));
        tone.push_back(loudest > 3000);
    }
    return tone;
}

ToneAt ExpectedTone(double input_s) {
    double into_second = input_s - std::floor(input_s);
    if (into_second < 0.2 || into_second > 0.8)
        return ToneAt::unclear;
    return int(std::floor(input_s)) % 2 == 1 ? ToneAt::tone : ToneAt::silence;
}

namespace {

std::string decoded_mono_sound(const std::string& path) {
    return RunCommand("ffmpeg -nostdin -v quiet -i '" + path + "' -map 0:a -ac 1 -ar 44100 -f s16le -");
}

int16_t sample_at(const std::string& bytes, size_t i) {
    return int16_t(uint8_t(bytes[2 * i]) | uint8_t(bytes[2 * i + 1]) << 8);
}

// The pitch of the sound from sample first on, for length samples, from its
// sign changes.
double pitch_hz(const std::string& bytes, size_t first, size_t length) {
    int changes = 0;
    for (size_t i = first + 1; i < first + length; ++i)
        if ((sample_at(bytes, i - 1) < 0) != (sample_at(bytes, i) < 0))
            ++changes;
    return changes / (2.0 * double(length) / 44100);
}

}  // namespace

std::vector<BeepHeard> BeepsHeard(const std::string& path) {
    constexpr int LOUD = 5000;  // a beep's peak is about 16000
    constexpr double RATE = 44100;
    const std::string bytes = decoded_mono_sound(path);
    const size_t samples = bytes.size() / 2;
    const size_t quiet_before = size_t(0.4 * RATE);
    const size_t margin = size_t(0.02 * RATE);
    const size_t measured = size_t((BEEP_SECONDS - 0.04) * RATE);
    std::vector<BeepHeard> beeps;
    size_t last_loud = 0;
    bool any_loud = false;
    for (size_t i = 0; i < samples; ++i) {
        if (std::abs(int(sample_at(bytes, i))) <= LOUD)
            continue;
        const bool starts = !any_loud || i - last_loud > quiet_before;
        any_loud = true;
        last_loud = i;
        if (!starts || i + margin + measured > samples)
            continue;
        const double hz = pitch_hz(bytes, i + margin, measured);
        beeps.push_back({int(std::lround((hz - BEEP_BASE_HZ) / BEEP_STEP_HZ)), double(i) / RATE});
    }
    return beeps;
}

bool WriteElementaryStreams(const ReceivedStream& stream, const std::string& video_path,
                            const std::string& audio_path) {
    std::ofstream video(video_path, std::ios::binary | std::ios::trunc);
    std::ofstream audio(audio_path, std::ios::binary | std::ios::trunc);
    for (const PmpPacket& packet : stream.packets) {
        video.write(packet.video.data(), std::streamsize(packet.video.size()));
        for (const std::string& frame : packet.audio_frames)
            audio.write(frame.data(), std::streamsize(frame.size()));
    }
    return bool(video) && bool(audio);
}

std::vector<double> SoundAfterPicturesMs(const std::vector<int>& numbers, double frame_s, double picture_rate,
                                         const std::vector<BeepHeard>& beeps) {
    std::vector<double> offsets;
    if (numbers.empty())
        return offsets;
    for (const BeepHeard& beep : beeps) {
        const int picture = int(std::lround(beep.second * picture_rate));
        if (picture < numbers.front())
            continue;
        auto seen = std::find_if(numbers.begin(), numbers.end(), [&](int n) { return n >= picture; });
        if (seen == numbers.end())
            continue;
        offsets.push_back((beep.at_s - double(seen - numbers.begin()) * frame_s) * 1000);
    }
    return offsets;
}

}  // namespace test_support
