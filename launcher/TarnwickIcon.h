#pragma once

#include <QIcon>

// The program icon, a Memory Stick; the second one is the greyed "disabled" icon.
QIcon TarnwickIcon(bool enabled);
