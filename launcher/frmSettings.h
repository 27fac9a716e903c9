#pragma once
// frmSettings: the shared folder, the five start options and the WiFi
// controller test. Every check box saves its value on its own click.

#include <QWidget>

#include <string>

class Launcher;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class frmSettings : public QWidget {
public:
    explicit frmSettings(Launcher& program);

    void frmSettings_Form_Load();
    void frmSettings_Check1_Click();
    void frmSettings_Check2_Click();
    void frmSettings_Check3_Click();
    void frmSettings_Check4_Click();
    void frmSettings_Check5_Click();
    void frmSettings_cmdBrowse_Click();
    void ApplyVirtualHost();
    void frmSettings_cmdOK_Click();
    void frmSettings_Command1_Click();

    // The autostart text: the launcher's path in double quotes.
    std::string AutostartText() const;

    // Controls.
    QGroupBox* Frame1;
    QLabel* Label1;
    QLineEdit* txtpath;
    QPushButton* cmdBrowse;
    QLabel* Label2;
    QGroupBox* Frame2;
    QCheckBox* Check1;
    QCheckBox* Check2;
    QCheckBox* Check3;
    QCheckBox* Check4;
    QCheckBox* Check5;
    QGroupBox* Frame3;
    QPushButton* Command1;
    QLabel* Label3;
    QPushButton* cmdOK;

private:
    void BuildControls();
    void ConnectEvents();
    void SaveOption(QCheckBox* box, const char* name);
    void ShowFolder();

    Launcher& program_;
    std::string shared_folder_;
};
