#include "launcher/frmAbout.h"

#include "launcher/FixedWindow.h"
#include "launcher/Launcher.h"
#include "launcher/TarnwickIcon.h"

#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int FORM_WIDTH = 400;

QString qs(const char* text) { return QString::fromUtf8(text); }

QLabel* label(const char* name, const QString& text = QString()) {
    auto* control = new QLabel(text);
    control->setObjectName(name);
    return control;
}

QFrame* separator() {
    auto* line = new QFrame;
    line->setObjectName("Line1");
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

}  // namespace

frmAbout::frmAbout() : QWidget(nullptr) {
    setObjectName("frmAbout");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(FIXED_WINDOW_FLAGS);
    setWindowIcon(TarnwickIcon(true));
    picIcon = label("picIcon");
    picIcon->setPixmap(TarnwickIcon(true).pixmap(48, 48));
    picIcon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    lblTitle = label("lblTitle");
    QFont title_font = lblTitle->font();
    title_font.setPointSizeF(title_font.pointSizeF() * 1.6);
    title_font.setBold(true);
    lblTitle->setFont(title_font);
    lblVersion = label("lblVersion");
    lblDescription = label(
        "lblDescription",
        qs("This small application allows you to use your PC Hard Drive as a virtual Memory Stick for your PSP. "
           "You can use this to stream ISO Images to play with Devhook over USB or stream movies over WiFi to "
           "IRShell."));
    lblDescription->setWordWrap(true);
    Label1 = label("Label1", qs("Written by quennick."));
    Label2 = label("Label2", qs("Please report problems and send your suggestions by e-mail."));
    Line1[0] = separator();
    Line1[1] = separator();
    cmdOK = new QPushButton(qs("&OK"));
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);

    auto* heading = new QVBoxLayout;
    heading->addWidget(lblTitle);
    heading->addWidget(lblVersion);
    heading->addWidget(lblDescription);
    auto* top = new QHBoxLayout;
    top->addWidget(picIcon, 0, Qt::AlignTop);
    top->addLayout(heading, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(Line1[0]);
    layout->addWidget(Label1);
    layout->addWidget(Label2);
    layout->addWidget(Line1[1]);
    layout->addLayout(buttons);

    connect(cmdOK, &QPushButton::clicked, this, [this] { frmAbout_cmdOK_Click(); });
}

void frmAbout::frmAbout_Form_Load() {
    setWindowTitle(qs("About ") + qs(PROGRAM_TITLE));
    lblVersion->setText(QString("Version %1.%2.%3").arg(VERSION_MAJOR).arg(VERSION_MINOR).arg(VERSION_REVISION));
    lblTitle->setText(qs(PROGRAM_TITLE));
    FixSize(this, FORM_WIDTH);  // with the texts in place
}

void frmAbout::frmAbout_cmdOK_Click() { close(); }
