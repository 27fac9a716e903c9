#pragma once
// The launcher's forms are fixed-size windows: a title bar with a system menu,
// a minimise box and a close box, no maximise box, no resizing.

#include <Qt>

class QWidget;

constexpr Qt::WindowFlags FIXED_WINDOW_FLAGS = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                               Qt::WindowCloseButtonHint;

// Fixes the form at this width and the height its layout needs there (word
// wrapped labels included).
void FixSize(QWidget* form, int width);
