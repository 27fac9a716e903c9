#include "app/app_icon.h"

QIcon AppIcon() {
    return QIcon(QStringLiteral(":/vantrel_icon.png"));
}
