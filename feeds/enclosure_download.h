#pragma once
// The download of a feed item's enclosure into the MOVIES folder beside the
// program. "streamopen" sets the item's state to 1 and starts it; the thread
// ends with the local path set and state 2, or, when anything failed, with a
// message, no file and state 3: the item then answers 0 until the retry delay
// has passed. Only a whole body with a success status that is not a web page
// is kept: the length the host announces, or where it announces none, no
// shorter than the feed's length.

#include <chrono>
#include <cstdint>

#include "core/feed.h"

// Blocks of the copy; the limits after which a stalled transfer is given up.
constexpr long ENCLOSURE_BLOCK_SIZE = 20000;
constexpr long ENCLOSURE_CONNECT_TIMEOUT_S = 30;
constexpr long ENCLOSURE_STALL_TIMEOUT_S = 60;

// After a failed download the item answers 0, and its host is asked again
// only once this long has passed since the failure.
constexpr std::chrono::milliseconds ENCLOSURE_RETRY_DELAY{60000};
void SetEnclosureRetryDelay(std::chrono::milliseconds delay);

// A failure posts WM_SERVER_MESSAGE with a nonzero wParam naming its box.
// Until the dialog hands that wParam back here (the box was dismissed),
// further failures of the same download post nothing.
void EnclosureFailureDismissed(uintptr_t box);

// What "streamopen" makes of an item with no file on disk, under the record
// lock: a download starts (the state is now 1), one runs already, or the last
// one failed less than the retry delay ago.
enum class EnclosureClaim { started, running, failed };
EnclosureClaim ClaimEnclosureDownload(CFeedItem& item);

// Thread procedure: copies the item's enclosure and records the result in it.
void DownloadEnclosureThread(CFeedItemPtr item);

// Starts DownloadEnclosureThread detached. The item's state must already be 1.
void StartEnclosureDownload(CFeedItemPtr item);

// Asks every running download to give up and waits until all have ended, so
// the dialog (and what they reach through it) can go. Later downloads run normally.
void StopEnclosureDownloads();

// Waits at most timeout_ms for every running download to end; true when none runs.
bool WaitForEnclosureDownloads(int64_t timeout_ms);
