#include "stream/transcoder_message.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/vantrel_dlg.h"
#include "stream/stream_state.h"

namespace {

// The dialog's message texts are at most this long, the terminator included.
constexpr size_t TRANSCODER_MESSAGE_SIZE = 2048;

void post_formatted(uintptr_t wParam, const char* format, va_list args) {
    char text[TRANSCODER_MESSAGE_SIZE] = {};
    // A longer text is cut rather than written past the buffer.
    std::vsnprintf(text, sizeof text, format, args);
    if (g_pMainDlg != nullptr) {
        g_pMainDlg->PostMessage(WM_SERVER_MESSAGE, wParam, std::make_unique<std::string>(text));
    }
}

}  // namespace

void post_server_message_with(uintptr_t wParam, const char* format, ...) {
    va_list args;
    va_start(args, format);
    post_formatted(wParam, format, args);
    va_end(args);
}

void post_transcoder_message(const char* format, ...) {
    va_list args;
    va_start(args, format);
    post_formatted(0, format, args);
    va_end(args);
    transcode_stop_event.set();
}
