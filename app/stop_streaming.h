#pragma once
// The one way the program stops its worker threads before the dialog record
// and the feeds go: the server thread, a running transcode and the enclosure
// downloads, then the ring events. Safe to call more than once.

void StopStreamingThreads();
