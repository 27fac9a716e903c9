#include "tests/support/counting_clip.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

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

}  // namespace

bool MakeCountingClip(const CountingClip& clip, const std::string& path) {
    const bool same_length = clip.audio_seconds < 0;
    const double audio_seconds = same_length ? clip.video_seconds : clip.audio_seconds;
    std::vector<std::string> args = {
        "-f", "lavfi", "-i", picture_source(clip),
        "-f", "lavfi", "-i",
        "aevalsrc=sin(2*PI*440*t)*gte(mod(t\\,2)\\,1)*0.5:s=44100:d=" + std::to_string(audio_seconds),
        "-c:v", "mpeg4", "-q:v", "3", "-g", "15", "-c:a", "libmp3lame", "-ac", "2"};
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

}  // namespace test_support
