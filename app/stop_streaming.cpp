#include "app/stop_streaming.h"

#include "feeds/enclosure_download.h"
#include "server/server_thread.h"
#include "stream/stream_state.h"

void StopStreamingThreads() {
    StopStreamServer();
    StopRunningTranscode(true);
    // Downloads write into feed items and post to the record: end them before it goes.
    StopEnclosureDownloads();
    CloseStreamEvents();
}
