// What a server that has streamed large pictures keeps once it is idle: the
// job's decoders free pictures of many megabytes on many threads, and the
// C library must give that memory back to the system rather than keep it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "tests/support/wait.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VANTREL_HEAP_REPLACED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VANTREL_HEAP_REPLACED 1
#endif
#endif

namespace {

// Under three pictures of the clip below (3840 x 2160 x 1.5 bytes each): an
// idle server may keep the pages its rings and the codecs' tables touched,
// its threads' cached stacks and small allocations, but not pictures, which
// come to several times this.
constexpr long KEPT_LIMIT_KB = 32 * 1024;
constexpr int STREAMS = 3;  // the C library's limits move after the first
constexpr int IDLE_WAIT_S = 10;
// Fewer pictures than the pre-roll's 21 packets: the stream starts once the job's
// output ends, however long a busy machine takes to decode them. Eight 4K
// pictures on the job's threads are still many times the limit above.
constexpr const char* PICTURES = "8";
constexpr size_t PACKETS = 7;

// Resident anonymous memory of this process (the heaps, the threads' stacks).
long resident_anonymous_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("RssAnon:", 0) == 0)
            return std::atol(line.c_str() + std::strlen("RssAnon:"));
    return -1;
}

TEST(HeapAfterJob, AnIdleServerGivesBackTheMemoryOfLargePictures) {
#ifdef VANTREL_HEAP_REPLACED
    GTEST_SKIP() << "the sanitizer's allocator replaces the C library's heap, whose memory this checks";
#endif
    test_support::TempDir media("vantrel-media");
    ASSERT_TRUE(test_support::make_clip({"-f", "lavfi", "-i", "testsrc2=size=3840x2160:rate=25", "-frames:v", PICTURES,
                                         "-c:v", "mpeg4", "-q:v", "10", "-an"},
                                        media.file("large.avi")));
    test_support::TestServer server([&](CVantrelDlg& record) { record.m_moviePaths = {media.path()}; });
    const long before = resident_anonymous_kb();
    ASSERT_GT(before, 0);
    for (int stream = 1; stream <= STREAMS; ++stream) {
        SCOPED_TRACE("stream " + std::to_string(stream));
        test_support::ReceivedStream received =
            test_support::OpenAndReceiveStream(server.port(), media.path(), "large.avi");
        ASSERT_EQ(received.packets.size(), PACKETS);
        // The client has all it asked for; the job ends and the server idles.
        long kept = 0;
        EXPECT_TRUE(test_support::eventually(
            [&] {
                kept = resident_anonymous_kb() - before;
                return kept <= KEPT_LIMIT_KB;
            },
            IDLE_WAIT_S))
            << kept / 1024 << " MB kept after the stream";
    }
}

}  // namespace
