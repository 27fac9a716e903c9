#pragma once
// The one way the stream server is shut down, for every exit path of the
// program and for the tests.

// Stops everything the server started, in this order: the server thread (no
// request is served after it), the running transcode (stopped, released and
// joined, however long its input holds its read), the enclosure downloads,
// then the stream events are closed, every input slot is closed and
// g_pMainDlg is cleared. Afterwards no thread uses the settings record, so
// its owner may destroy it. Call it once the record's messages are no longer
// needed from the workers; calling it again does no harm.
void ShutdownStreamServer();
