#pragma once
// The message-box function. Whoever owns the user interface installs a presenter
// that shows the box on the UI thread (marshalling calls from other threads);
// the default writes the box to stderr. Tests capture calls instead.

#include <functional>
#include <string>

namespace platform {

using MessageBoxPresenter = std::function<void(const std::string& text, const std::string& caption)>;

// Shows a modal box with an OK button; returns once it is dismissed.
void MessageBox(const std::string& text, const std::string& caption);

// Installs a presenter; an empty one restores the stderr default. Returns the previous one.
MessageBoxPresenter SetMessageBoxPresenter(MessageBoxPresenter presenter);

}  // namespace platform
