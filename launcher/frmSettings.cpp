#include "launcher/frmSettings.h"

#include "launcher/Form1.h"
#include "launcher/FixedWindow.h"
#include "launcher/Launcher.h"
#include "launcher/TarnwickIcon.h"
#include "launcher/basRegistry.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int FORM_WIDTH = 440;

QString qs(const char* text) { return QString::fromUtf8(text); }

template <typename Control>
Control* named(Control* control, const char* name) {
    control->setObjectName(name);
    return control;
}

QLabel* guidance(const char* name, const char* text) {
    QLabel* label = named(new QLabel(qs(text)), name);
    label->setWordWrap(true);
    return label;
}

}  // namespace

frmSettings::frmSettings(Launcher& program) : QWidget(nullptr), program_(program) {
    setObjectName("frmSettings");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(qs("Tarnwick Settings"));
    setWindowIcon(TarnwickIcon(true));
    setWindowFlags(FIXED_WINDOW_FLAGS);
    BuildControls();
    ConnectEvents();
}

void frmSettings::BuildControls() {
    Frame1 = named(new QGroupBox(qs("Server Settings")), "Frame1");
    Label1 = named(new QLabel(qs("Directory to share over USB/Wifi")), "Label1");
    txtpath = named(new QLineEdit, "txtpath");
    cmdBrowse = named(new QPushButton(qs("&Browse...")), "cmdBrowse");
    Label2 = guidance("Label2",
                      "You must select a folder to host your files and it must be an exact replica of your actual "
                      "memory stick. Do not select the actual ISO folder if your using this for devhook, you must "
                      "select a folder that contains the ISO folder");
    auto* path_row = new QHBoxLayout;
    path_row->addWidget(txtpath, 1);
    path_row->addWidget(cmdBrowse);
    auto* frame1_layout = new QVBoxLayout(Frame1);
    frame1_layout->addWidget(Label1);
    frame1_layout->addLayout(path_row);
    frame1_layout->addWidget(Label2);

    Frame2 = named(new QGroupBox(qs("Program Options")), "Frame2");
    Check1 = named(new QCheckBox(qs("Run at &Windows Startup")), "Check1");
    Check2 = named(new QCheckBox(qs("Enable &USB at Program Start")), "Check2");
    Check3 = named(new QCheckBox(qs("Enable &WiFi at Program Start")), "Check3");
    Check4 = named(new QCheckBox(qs("Enable &Vantrel at Program Start")), "Check4");
    Check5 = named(new QCheckBox(qs("Enable &WiFi Controller at Program Start")), "Check5");
    auto* frame2_layout = new QVBoxLayout(Frame2);
    for (QCheckBox* box : {Check1, Check2, Check3, Check4, Check5}) frame2_layout->addWidget(box);

    Frame3 = named(new QGroupBox(qs("WiFi Controller Test")), "Frame3");
    Command1 = named(new QPushButton(qs("Test WiFi Controller")), "Command1");
    Label3 = guidance("Label3",
                      "This allows you to test Wifi Controller. Click the button above and if the WiFi Controller "
                      "Host opens as normal WiFi Controller will work through the system tray icon as normal. If it "
                      "opens and then closes straight away, you still have some configuration to do to allow WiFi "
                      "Controller to work.");
    auto* frame3_layout = new QVBoxLayout(Frame3);
    frame3_layout->addWidget(Command1, 0, Qt::AlignLeft);
    frame3_layout->addWidget(Label3);

    cmdOK = named(new QPushButton(qs("&OK")), "cmdOK");
    auto* button_row = new QHBoxLayout;
    button_row->addStretch(1);
    button_row->addWidget(cmdOK);

    auto* form_layout = new QVBoxLayout(this);
    form_layout->addWidget(Frame1);
    form_layout->addWidget(Frame2);
    form_layout->addWidget(Frame3);
    form_layout->addLayout(button_row);
    FixSize(this, FORM_WIDTH);
}

// The form's event table: clicks by the user only, so filling the form saves nothing.
void frmSettings::ConnectEvents() {
    connect(Check1, &QCheckBox::clicked, this, [this] { frmSettings_Check1_Click(); });
    connect(Check2, &QCheckBox::clicked, this, [this] { frmSettings_Check2_Click(); });
    connect(Check3, &QCheckBox::clicked, this, [this] { frmSettings_Check3_Click(); });
    connect(Check4, &QCheckBox::clicked, this, [this] { frmSettings_Check4_Click(); });
    connect(Check5, &QCheckBox::clicked, this, [this] { frmSettings_Check5_Click(); });
    connect(cmdBrowse, &QPushButton::clicked, this, [this] { frmSettings_cmdBrowse_Click(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { frmSettings_cmdOK_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { frmSettings_Command1_Click(); });
}

std::string frmSettings::AutostartText() const {
    return "\"" + program_.env().launcher_folder + "/" + program_.env().exe_name + "\"";
}

void frmSettings::frmSettings_Form_Load() {
    shared_folder_ = GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost").AsText();
    ShowFolder();
    const SettingValue autostart = GetSettingValue(HKEY_CURRENT_USER, RUN_KEY, PROGRAM_TITLE);
    if (!autostart.IsNumber() && autostart.AsText() == AutostartText()) Check1->setChecked(true);
    const std::pair<QCheckBox*, const char*> options[] = {
        {Check2, "USB"}, {Check3, "Wifi"}, {Check4, "Oskel"}, {Check5, "Control"}};
    for (const auto& [box, name] : options)
        if (GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, name).Is(1)) box->setChecked(true);
}

void frmSettings::frmSettings_Check1_Click() {
    if (Check1->isChecked()) {
        SaveSettingValue(HKEY_CURRENT_USER, RUN_KEY, PROGRAM_TITLE, AutostartText());
    } else {
        DeleteValue(HKEY_CURRENT_USER, RUN_KEY, PROGRAM_TITLE);
    }
}

void frmSettings::SaveOption(QCheckBox* box, const char* name) {
    SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, name, box->isChecked() ? 1 : 0);
}

void frmSettings::frmSettings_Check2_Click() { SaveOption(Check2, "USB"); }
void frmSettings::frmSettings_Check3_Click() { SaveOption(Check3, "Wifi"); }
void frmSettings::frmSettings_Check4_Click() { SaveOption(Check4, "Oskel"); }
void frmSettings::frmSettings_Check5_Click() { SaveOption(Check5, "Control"); }

void frmSettings::frmSettings_cmdBrowse_Click() {
    const std::string chosen =
        program_.env().BrowseForFolder(this, "Select the folder to use as the root of your virtual Memory Stick.");
    if (!chosen.empty()) shared_folder_ = chosen;
    ApplyVirtualHost();
}

void frmSettings::ShowFolder() {
    txtpath->setText(QString::fromStdString(shared_folder_));
    txtpath->setCursorPosition(0);  // the start of a long path is the telling part
}

void frmSettings::ApplyVirtualHost() {
    ShowFolder();
    SaveSettingText(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost", shared_folder_);
    program_.UnloadForm1();
    program_.LoadForm1();
}

void frmSettings::frmSettings_cmdOK_Click() {
    hide();
    close();
}

void frmSettings::frmSettings_Command1_Click() {
    const platform::StartResult result = program_.Shell("files\\sockettest.exe", vbNormalFocus);
    if (!result.started) program_.UnhandledError(result.description);
}
