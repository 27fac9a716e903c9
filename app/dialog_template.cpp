#include "app/dialog_template.h"

#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPushButton>
#include <QVariant>
#include <QWidget>

namespace {

const char CONTROL_ID_PROPERTY[] = "controlId";

int Scale(int units, double pixelsPerBase, int base) {
    return static_cast<int>(units * pixelsPerBase / base + 0.5);
}

}  // namespace

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // Like the system's dialog base unit: the mean width of the Latin letters.
    m_fCharWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0;
    m_fCharHeight = metrics.height();
}

QRect CDialogUnits::ToPixels(int x, int y, int width, int height) const {
    return QRect(Scale(x, m_fCharWidth, 4), Scale(y, m_fCharHeight, 8), Scale(width, m_fCharWidth, 4),
                 Scale(height, m_fCharHeight, 8));
}

QSize CDialogUnits::ToPixels(int width, int height) const {
    return QSize(Scale(width, m_fCharWidth, 4), Scale(height, m_fCharHeight, 8));
}

void CDialogUnits::WidenToFit(int pixelsNeeded, int dluWidth) {
    if (dluWidth > 0 && pixelsNeeded * 4.0 / dluWidth > m_fCharWidth) m_fCharWidth = pixelsNeeded * 4.0 / dluWidth;
}

void CDialogLayout::Add(QWidget* control, QRect dlu, bool fitCaption) {
    m_controls.push_back({control, dlu});
    if (fitCaption) m_units.WidenToFit(control->sizeHint().width(), dlu.width());
}

void CDialogLayout::Apply(QWidget* dialog, int dluWidth, int dluHeight) {
    for (const Placed& placed : m_controls) {
        placed.control->setGeometry(
            m_units.ToPixels(placed.dlu.x(), placed.dlu.y(), placed.dlu.width(), placed.dlu.height()));
    }
    dialog->setFixedSize(m_units.ToPixels(dluWidth, dluHeight));
}

void SetControlId(QWidget* widget, const char* name, int id) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setProperty(CONTROL_ID_PROPERTY, id);
}

void SetTabOrder(std::initializer_list<QWidget*> controls) {
    QWidget* previous = nullptr;
    for (QWidget* control : controls) {
        if (!control) continue;
        if (previous) QWidget::setTabOrder(previous, control);
        previous = control;
    }
}

bool ClickFocusedButtonOnEnter(QWidget* dialog, const QKeyEvent& event) {
    if (event.key() != Qt::Key_Return && event.key() != Qt::Key_Enter) return false;
    auto* button = qobject_cast<QPushButton*>(dialog->focusWidget());
    if (!button) return false;
    button->click();
    return true;
}
