#include "app/dialog_template.h"

#include <QFont>
#include <QFontMetrics>
#include <QVariant>
#include <QWidget>

namespace {

const char CONTROL_ID_PROPERTY[] = "controlId";

int Scale(int units, int pixelsPerBase, int base) {
    return (units * pixelsPerBase + base / 2) / base;
}

}  // namespace

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // Like the system's dialog base unit: the mean width of the Latin letters.
    m_nCharWidth = (metrics.horizontalAdvance(
                        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) + 26) / 52;
    m_nCharHeight = metrics.height();
}

QRect CDialogUnits::ToPixels(int x, int y, int width, int height) const {
    return QRect(Scale(x, m_nCharWidth, 4), Scale(y, m_nCharHeight, 8), Scale(width, m_nCharWidth, 4),
                 Scale(height, m_nCharHeight, 8));
}

QSize CDialogUnits::ToPixels(int width, int height) const {
    return QSize(Scale(width, m_nCharWidth, 4), Scale(height, m_nCharHeight, 8));
}

void SetControlId(QWidget* widget, const char* name, int id) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setProperty(CONTROL_ID_PROPERTY, id);
}

int ControlIdOf(const QWidget* widget) {
    return widget->property(CONTROL_ID_PROPERTY).toInt();
}

void SetTabOrder(std::initializer_list<QWidget*> controls) {
    QWidget* previous = nullptr;
    for (QWidget* control : controls) {
        if (!control) continue;
        if (previous) QWidget::setTabOrder(previous, control);
        previous = control;
    }
}
