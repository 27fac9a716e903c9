#include "launcher/Form1.h"

#include "launcher/Launcher.h"
#include "launcher/LinkPrograms.h"
#include "launcher/TarnwickIcon.h"
#include "launcher/basRegistry.h"

#include <QAction>
#include <QCursor>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>

#include <filesystem>
#include <system_error>

namespace {

// A start that failed inside a procedure without an error handler.
struct RunTimeError {
    std::string description;
};

const char* const OPTIONS[] = {"USB", "Wifi", "Oskel", "Control"};

const char* const STOP_COMMANDS[] = {"files\\tskill usbhostfs", "files\\tskill nethostfs",
                                     "files\\tskill sockettest", "files\\tskill vantrel"};

const char* const NOT_INSTALLED =
    "The application may not have been correctly installed.\r"
    "Please use the installer to install the program and try again.\r"
    "\r"
    "The application will now exit.";
const char* const GET_INSTALLER =
    "If the installer did not work, please download it again from another download site.\r"
    "Then run it to install the program and try again.\r"
    "\r"
    "The application will now exit.";
const char* const MOVED =
    "The application my have been installed but not to this directory.\r"
    "Either move it back to the original install location or re-install the application to the new location.\r"
    "\r"
    "The application will now exit.";

// Inside the load a failure goes to the load's one handler.
void ThrowIfFailed(const platform::StartResult& result) {
    if (!result.started) throw RunTimeError{result.description};
}

QString qs(const char* text) { return QString::fromUtf8(text); }

SettingValue OwnValue(const char* name) { return GetSettingValue(HKEY_CURRENT_USER, OWN_KEY, name); }

}  // namespace

struct Form1::SwitchTexts {
    const char* off_caption;
    const char* on_caption;
    const char* off_command;
    const char* on_message;
    const char* off_message;
};

Form1::Form1(Launcher& program) : program_(program) {
    setObjectName("Form1");
    setWindowTitle(qs(PROGRAM_TITLE));
    txtLinuxPath = new QLineEdit(this);
    txtLinuxPath->setObjectName("txtLinuxPath");
    Command1 = new QPushButton(qs("Command1"), this);
    Command1->setObjectName("Command1");
    SysTray1 = new QSystemTrayIcon(TarnwickIcon(true), this);
    SysTray1->setObjectName("SysTray1");
    SysTray1->setToolTip(qs("Tarnwick - Enabled"));
    BuildMenu();
    ConnectEvents();
}

Form1::~Form1() = default;

void Form1::BuildMenu() {
    mTest = new QMenu(qs("Test"), this);
    mTest->setObjectName("mTest");
    auto item = [this](const char* name, const char* caption) {
        QAction* action = mTest->addAction(qs(caption));
        action->setObjectName(name);
        return action;
    };
    auto separator = [this](const char* name) { mTest->addSeparator()->setObjectName(name); };
    mAbout = item("mAbout", "&About");
    separator("mSep1");
    mSettings = item("mSettings", "&Settings");
    separator("mSep2");
    mOskel = item("mOskel", "Run Vantrel");
    mWifiControl = item("mWifiControl", "Enable WifiController");
    separator("mSep4");
    mUSB = item("mUSB", "Enable &USB");
    mWifi = item("mWifi", "Enable &WiFi");
    separator("mSep3");
    mExit = item("mExit", "&Exit");
}

// The form's event table.
void Form1::ConnectEvents() {
    connect(mAbout, &QAction::triggered, this, [this] { Form1_mAbout_Click(); });
    connect(mSettings, &QAction::triggered, this, [this] { Form1_mSettings_Click(); });
    connect(mOskel, &QAction::triggered, this, [this] { Form1_mOskel_Click(); });
    connect(mWifiControl, &QAction::triggered, this, [this] { Form1_mWifiControl_Click(); });
    connect(mUSB, &QAction::triggered, this, [this] { Form1_mUSB_Click(); });
    connect(mWifi, &QAction::triggered, this, [this] { Form1_mWifi_Click(); });
    connect(mExit, &QAction::triggered, this, [this] { Form1_mExit_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { Form1_Command1_Click(); });
    connect(SysTray1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        switch (reason) {
        case QSystemTrayIcon::Context: Form1_SysTray1_MouseEvent(WM_RBUTTONUP); break;
        case QSystemTrayIcon::DoubleClick: Form1_SysTray1_MouseEvent(WM_LBUTTONDBLCLK); break;
        case QSystemTrayIcon::MiddleClick: Form1_SysTray1_MouseEvent(WM_MBUTTONUP); break;
        default: Form1_SysTray1_MouseEvent(WM_LBUTTONUP); break;
        }
    });
}

// ---- start-up ----------------------------------------------------------------

bool Form1::InstallationChecked() {
    const SettingValue install_dir = GetSettingValue(HKEY_LOCAL_MACHINE, OWN_KEY, "InstallDir");
    if (install_dir.IsEmptyText()) {
        program_.MsgBox(NOT_INSTALLED, MsgBoxIcon::Critical);
        program_.MsgBox(GET_INSTALLER, MsgBoxIcon::Critical);
        program_.End();
        return false;
    }
    if (install_dir.IsNumber() || install_dir.AsText() != program_.env().launcher_folder + "/") {
        program_.MsgBox(MOVED, MsgBoxIcon::Critical);
        program_.End();
        return false;
    }
    return true;
}

void Form1::StartAtLoad(const std::string& command_line, int window_style, const char* image_name) {
    ThrowIfFailed(program_.Shell(command_line, window_style));
    started_at_load_.push_back(image_name);
}

platform::StartResult Form1::WriteBatchFile() const {
    return WriteNethostfsBatch(shared_folder_, program_.env().launcher_folder);
}

void Form1::ShowTrayIcon() {
    if (program_.env().TrayHostAvailable && !program_.env().TrayHostAvailable())
        throw RunTimeError{"The notification area (system tray) is not available."};
    SysTray1->show();
}

std::string Form1::LinuxPath() const { return ConvertToCygwinPath(shared_folder_); }

// A settings store that cannot be read is set aside, so that what the user
// sets from now on is saved; the user is told once. True when it was damaged.
bool Form1::SettingsStoreRecovered() {
    const platform::DamagedStore store = platform::set_damaged_store_aside(HKEY_CURRENT_USER);
    if (!store.damaged) return false;
    if (store.kept_as.empty()) {
        program_.MsgBox("The settings file " + store.path + " cannot be read, and it cannot be set aside (" +
                            store.error + ").\rSettings you change now will not be saved.",
                        MsgBoxIcon::Critical);
    } else {
        program_.MsgBox("The settings file " + store.path + " cannot be read. It was kept as " + store.kept_as +
                            ", and a new one is written.\r\rPlease check your settings.",
                        MsgBoxIcon::Critical);
    }
    return true;
}

// The host-file-system servers only ever serve the folder the user chose.
bool Form1::SharedFolderFound() const {
    std::error_code error;
    if (std::filesystem::is_directory(shared_folder_, error)) return true;
    program_.MsgBox("Path not found: " + shared_folder_ + "\r\rChoose another shared folder in Settings.",
                    MsgBoxIcon::Critical);
    return false;
}

bool Form1::Form1_Form_Load() {
    if (!InstallationChecked()) return false;
    // Values that could not be read are no first run: the autostart entry stays.
    const bool store_recovered = SettingsStoreRecovered();
    // The session may have ended while the box was up.
    if (program_.ended()) return false;
    try {
        for (const char* option : OPTIONS)
            if (OwnValue(option).IsEmptyText()) SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, option, 0);
        const bool oskel = OwnValue("Oskel").Is(1);
        const bool control = OwnValue("Control").Is(1);
        if (oskel) StartAtLoad("files\\Vantrel.exe", vbMinimizedFocus, "vantrel");
        if (control) {
            StartAtLoad("files\\sockettest.exe", vbHide, "sockettest");
            mWifiControl->setText(qs("Disable WifiController"));
        }
        const SettingValue run_count = OwnValue("RunCount");
        if (run_count.Is(0) || run_count.IsEmptyText()) {
            SaveSettingValue(HKEY_CURRENT_USER, OWN_KEY, "RunCount", 1);
            if (!store_recovered) DeleteValue(HKEY_CURRENT_USER, RUN_KEY, PROGRAM_TITLE);
        }
        shared_folder_ = OwnValue("VirtualHost").AsText();
        if (shared_folder_.empty()) {
            SaveSettingText(HKEY_CURRENT_USER, OWN_KEY, "VirtualHost", program_.env().launcher_folder);
            shared_folder_ = OwnValue("VirtualHost").AsText();
        }
        bool usb = OwnValue("USB").Is(1);
        bool wifi = OwnValue("Wifi").Is(1);
        // A folder that is gone leaves both servers off, and the tray icon comes
        // up, so that another folder can be chosen in Settings.
        if ((usb || wifi) && !SharedFolderFound()) {
            usb = wifi = false;
            if (program_.ended()) return false;
        }
        const std::string linux_path = LinuxPath();
        if (usb) {
            StartAtLoad("files\\usbhostfs " + linux_path, vbHide, "usbhostfs");
            mUSB->setText(qs("Disable &USB"));
        }
        if (wifi) {
            ThrowIfFailed(WriteBatchFile());
            StartAtLoad("nethostfs.bat " + linux_path, vbHide, "nethostfs");
            mWifi->setText(qs("Disable &WiFi"));
        }
        ShowTrayIcon();
        txtLinuxPath->setText(QString::fromStdString(linux_path));
        return true;
    } catch (const RunTimeError& error) {
        program_.MsgBox(error.description, MsgBoxIcon::Critical);
        // Nothing this load started is left running without its launcher.
        for (const std::string& image_name : started_at_load_) program_.Shell("files\\tskill " + image_name, vbHide);
        program_.End();
        return false;
    }
}

// ---- tray icon and shutdown ----------------------------------------------------

void Form1::Form1_SysTray1_MouseEvent(int /*message*/) { mTest->popup(QCursor::pos()); }

void Form1::StopEverything() {
    SysTray1->hide();
    for (const char* command : STOP_COMMANDS) program_.Shell(command, vbHide);
}

void Form1::Form1_mExit_Click() {
    StopEverything();
    program_.End();
}

void Form1::Form1_Form_Unload() { StopEverything(); }

void Form1::Form1_Form_Terminate() {
    StopEverything();
    program_.End();
}

void Form1::Form1_mAbout_Click() { program_.ShowAbout(); }

void Form1::Form1_mSettings_Click() { program_.ShowSettings(); }

// ---- the link programs --------------------------------------------------------

void Form1::SwitchProgram(QAction* item, const SwitchTexts& texts, const std::string& on_command) {
    const QString caption = item->text();
    const bool switching_on = caption == qs(texts.off_caption);
    if (!switching_on && caption != qs(texts.on_caption)) return;
    platform::StartResult result{true, ""};
    if (switching_on && item == mWifi) result = WriteBatchFile();
    if (result.started) result = program_.Shell(switching_on ? on_command : texts.off_command, vbHide);
    if (!result.started) {
        program_.MsgBox(result.description, MsgBoxIcon::Critical);
        return;
    }
    item->setText(qs(switching_on ? texts.on_caption : texts.off_caption));
    program_.MsgBox(switching_on ? texts.on_message : texts.off_message, MsgBoxIcon::Information);
}

void Form1::Form1_mUSB_Click() {
    static const SwitchTexts texts{"Enable &USB", "Disable &USB", "files\\tskill usbhostfs", "USB Mode enabled.",
                                   "USB Mode disabled."};
    SwitchProgram(mUSB, texts, "files\\usbhostfs.exe " + LinuxPath());
}

void Form1::Form1_mWifi_Click() {
    static const SwitchTexts texts{"Enable &WiFi", "Disable &WiFi", "files\\tskill nethostfs", "WiFi Mode enabled.",
                                   "WiFi Mode Disabled."};
    SwitchProgram(mWifi, texts, "nethostfs.bat " + LinuxPath());
}

void Form1::Form1_mWifiControl_Click() {
    static const SwitchTexts texts{"Enable WifiController", "Disable WifiController", "files\\tskill sockettest",
                                   "WifiController enabled", "WifiController disabled."};
    SwitchProgram(mWifiControl, texts, "files\\SocketTest.exe");
}

void Form1::Form1_mOskel_Click() {
    const platform::StartResult result = program_.Shell("files\\vantrel.exe", vbNormalFocus);
    if (!result.started) program_.UnhandledError(result.description);
}

void Form1::Form1_Command1_Click() {
    const platform::StartResult written = WriteBatchFile();
    if (!written.started) program_.UnhandledError(written.description);
}
