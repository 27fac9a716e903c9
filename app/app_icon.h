#pragma once
// The program's icon: window, icon button, About box, tray.

#include <QIcon>

QIcon AppIcon();
