#include "launcher/FixedWindow.h"

#include <QLayout>
#include <QWidget>

void FixSize(QWidget* form, int width) {
    // Sizes as shown: the style and font of the window in place first.
    form->ensurePolished();
    QLayout* layout = form->layout();
    int height = layout && layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : -1;
    if (height <= 0) height = form->sizeHint().height();
    form->setFixedSize(width, height);
}
