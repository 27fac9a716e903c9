#pragma once
// Form1: the start-up form, never shown. It carries the tray icon, the popup
// menu mTest with the switches of the link programs, and two hidden controls.

#include "platform/process.h"

#include <QWidget>

#include <string>
#include <vector>

class Launcher;
class QAction;
class QLineEdit;
class QMenu;
class QPushButton;
class QSystemTrayIcon;

// The tray icon's mouse messages, as the icon's event carries them.
constexpr int WM_LBUTTONUP = 0x0202;
constexpr int WM_LBUTTONDBLCLK = 0x0203;
constexpr int WM_RBUTTONUP = 0x0205;
constexpr int WM_MBUTTONUP = 0x0208;

class Form1 : public QWidget {
public:
    explicit Form1(Launcher& program);
    ~Form1() override;

    // The start-up sequence; false when it ended the program.
    bool Form1_Form_Load();
    void Form1_Form_Unload();
    void Form1_Form_Terminate();

    void Form1_SysTray1_MouseEvent(int message);
    void Form1_mAbout_Click();
    void Form1_mSettings_Click();
    void Form1_mOskel_Click();
    void Form1_mWifiControl_Click();
    void Form1_mUSB_Click();
    void Form1_mWifi_Click();
    void Form1_mExit_Click();
    void Form1_Command1_Click();

    // Removes the tray icon and runs the four tskill commands, each hidden,
    // whatever was started.
    void StopEverything();

    const std::string& SharedFolder() const { return shared_folder_; }
    // The shared folder as the link programs take it.
    std::string LinuxPath() const;

    // Controls.
    QSystemTrayIcon* SysTray1;
    QMenu* mTest;
    QAction* mAbout;
    QAction* mSettings;
    QAction* mOskel;
    QAction* mWifiControl;
    QAction* mUSB;
    QAction* mWifi;
    QAction* mExit;
    QLineEdit* txtLinuxPath;
    QPushButton* Command1;

private:
    struct SwitchTexts;
    void BuildMenu();
    void ConnectEvents();
    bool InstallationChecked();
    bool SettingsStoreRecovered();
    bool SharedFolderFound() const;
    void StartAtLoad(const std::string& command_line, int window_style, const char* image_name);
    platform::StartResult WriteBatchFile() const;
    void ShowTrayIcon();
    void SwitchProgram(QAction* item, const SwitchTexts& texts, const std::string& on_command);

    Launcher& program_;
    std::string shared_folder_;
    std::vector<std::string> started_at_load_;  // image names, in the order started
};
