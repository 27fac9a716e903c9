#pragma once
// The program's icon (resource IDI_APP_ICON): window, icon button, About box, tray.

#include <QIcon>

QIcon AppIcon();
