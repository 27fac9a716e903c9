#pragma once
// Dialog templates on Qt widgets: a control table in template order, sized in
// dialog units and turned into pixels from the dialog font, each widget named
// by its control id.

#include <QRect>
#include <QSize>

class QFont;
class QWidget;

// Converts dialog units to pixels from the font's average character size
// (x * width / 4, y * height / 8), so the layout keeps its proportions.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);
    QRect ToPixels(int x, int y, int width, int height) const;
    QSize ToPixels(int width, int height) const;

private:
    int m_nCharWidth;
    int m_nCharHeight;
};

// Names a widget after its control id, the way the dialog's code refers to it.
void SetControlId(QWidget* widget, const char* name, int id);
// The id SetControlId gave the widget; 0 when none.
int ControlIdOf(const QWidget* widget);

// Keeps the given order as the Tab order; null entries are skipped.
void SetTabOrder(std::initializer_list<QWidget*> controls);
