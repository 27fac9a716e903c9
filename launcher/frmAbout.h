#pragma once
// frmAbout: the program's title, version and what it is for.

#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;

constexpr int VERSION_MAJOR = 1;
constexpr int VERSION_MINOR = 3;
constexpr int VERSION_REVISION = 0;

class frmAbout : public QWidget {
public:
    frmAbout();

    void frmAbout_Form_Load();
    void frmAbout_cmdOK_Click();

    // Controls.
    QLabel* picIcon;
    QLabel* lblTitle;
    QLabel* lblVersion;
    QLabel* lblDescription;
    QLabel* Label1;
    QLabel* Label2;
    QFrame* Line1[2];
    QPushButton* cmdOK;
};
