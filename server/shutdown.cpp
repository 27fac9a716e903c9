#include "server/shutdown.h"

#include "feeds/enclosure_download.h"
#include "server/server_thread.h"
#include "stream/stream_state.h"
#include "transcoder/transcoder.h"

void ShutdownStreamServer() {
    // Marked before the stop event is set: a "streampackets" that is just
    // restarting the transcoder resets the event, then sees the mark.
    BeginStopServerThread();
    // Ends the server's own waits on the rings (a pre-roll, a sender) at once.
    transcode_stop_event.set();
    // No request can start a job or a download after this.
    StopStreamServer();
    end_transcode_job();
    // Downloads write into feed items and post to the record.
    StopEnclosureDownloads();
    CloseStreamEvents();
    close_all_input_slots();
    g_pMainDlg = nullptr;
}
