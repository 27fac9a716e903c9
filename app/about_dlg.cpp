#include "app/about_dlg.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QUrl>

#include "app/app_icon.h"
#include "app/dialog_template.h"
#include "app/resource_ids.h"

const char PROJECT_WEB_PAGE[] = "https://vantrel.example.org/";

namespace {

const char DONATE_TEXT[] =
    "Donations make the author happy and keep Vantrel going.\r\n"
    "\r\n"
    "Please donate only if you are really pleased with Vantrel.\r\n"
    "If you do not like it, please say so and tell what to make better.\r\n"
    "All donations and all feedback are welcome!";

QLabel* AddStatic(QWidget* parent, CDialogLayout& units, const QString& text, int x, int y, int w, int h) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    units.Add(label, QRect(x, y, w, h), !text.isEmpty());
    return label;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), m_strDonateText(DONATE_TEXT) {
    setWindowTitle(QStringLiteral("About Vantrel"));
    setWindowIcon(AppIcon());
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    CreateControls();
    DoDataExchange();
}

void CAboutDlg::CreateControls() {
    CDialogLayout units(font());
    AddStatic(this, units, QStringLiteral("Vantrel Version 0.65"), 40, 10, 119, 8);
    AddStatic(this, units, QStringLiteral("Written by the Vantrel developers"), 40, 25, 168, 8);
    QLabel* icon = AddStatic(this, units, QString(), 11, 14, 20, 20);

    m_btnWebSite = new QPushButton(QStringLiteral("Go To ") + QString::fromLatin1(PROJECT_WEB_PAGE), this);
    SetControlId(m_btnWebSite, "IDC_DONATE", IDC_DONATE);
    units.Add(m_btnWebSite, QRect(7, 111, 221, 14), true);
    m_btnWebSite->setAutoDefault(false);

    m_editText = new QPlainTextEdit(this);
    SetControlId(m_editText, "IDC_ABOUT_TEXT", IDC_ABOUT_TEXT);
    units.Add(m_editText, QRect(7, 40, 221, 65), false);
    m_editText->setReadOnly(true);
    m_editText->setFrameShape(QFrame::NoFrame);
    m_editText->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_editText->document()->setDocumentMargin(2);
    // The edit has no scroll bars; it scrolls with the keys and the mouse.
    m_editText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_editText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_editText->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    AddStatic(this, units, QStringLiteral("SPECIAL THANKS TO"), 7, 129, 213, 11);
    AddStatic(this, units, QStringLiteral("LAME MP3 https://lame.sourceforge.io/"), 7, 147, 213, 11);
    AddStatic(this, units, QStringLiteral("FFMPEG https://ffmpeg.org/"), 7, 159, 213, 11);
    units.Apply(this, 235, 177);
    icon->setPixmap(AppIcon().pixmap(icon->size()));

    // Template order is the Tab order: the button, then the text.
    SetTabOrder({m_btnWebSite, m_editText});
    connect(m_btnWebSite, &QPushButton::clicked, this, [this] { OnGoToWebSite(); });
}

// The text goes into the edit; it is read-only, so nothing comes back.
void CAboutDlg::DoDataExchange() {
    QString text = QString::fromStdString(m_strDonateText);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    m_editText->setPlainText(text);
}

int CAboutDlg::DoModal() {
    return exec();
}

// Enter on the focused "Go To" is its click, as in the main dialog.
void CAboutDlg::keyPressEvent(QKeyEvent* event) {
    if (ClickFocusedButtonOnEnter(this, *event)) return;
    QDialog::keyPressEvent(event);
}

// The box stays open.
void CAboutDlg::OnGoToWebSite() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(PROJECT_WEB_PAGE)));
}
