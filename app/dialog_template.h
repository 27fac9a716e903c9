#pragma once
// Dialog templates on Qt widgets: a control table in template order, sized in
// dialog units and turned into pixels from the dialog font, each widget named
// by its control id.

#include <QRect>
#include <QSize>
#include <initializer_list>
#include <vector>

class QFont;
class QKeyEvent;
class QWidget;

// Converts dialog units to pixels from the font's average character size
// (x * width / 4, y * height / 8), so the layout keeps its proportions.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);
    QRect ToPixels(int x, int y, int width, int height) const;
    QSize ToPixels(int width, int height) const;
    // Widens the unit so that a control of dluWidth holds pixelsNeeded: a font
    // wider than the template's must not cut captions off.
    void WidenToFit(int pixelsNeeded, int dluWidth);

private:
    double m_fCharWidth;
    double m_fCharHeight;
};

// The controls of one template with their rectangles in dialog units; placed
// once all exist, with the unit widened so that every caption fits.
class CDialogLayout {
public:
    explicit CDialogLayout(const QFont& font) : m_units(font) {}
    // Keeps the control's rectangle; fitCaption: its caption must fit the width.
    void Add(QWidget* control, QRect dlu, bool fitCaption);
    // Sets every control's geometry and the dialog's fixed size.
    void Apply(QWidget* dialog, int dluWidth, int dluHeight);

private:
    struct Placed {
        QWidget* control;
        QRect dlu;
    };
    CDialogUnits m_units;
    std::vector<Placed> m_controls;
};

// Names a widget after its control id, the way the dialog's code refers to it.
void SetControlId(QWidget* widget, const char* name, int id);

// Keeps the given order as the Tab order; null entries are skipped.
void SetTabOrder(std::initializer_list<QWidget*> controls);

// The dialog manager's Enter on a push button: the focused button is the
// default one while it has the focus, so Enter (either key) clicks it. True
// when the key was taken that way; the dialog handles every other key itself.
bool ClickFocusedButtonOnEnter(QWidget* dialog, const QKeyEvent& event);
