#pragma once
// CAboutDlg: the About box, run modally from the main dialog's system menu
// item and from its icon button.

#include <QDialog>
#include <string>

class QPlainTextEdit;
class QPushButton;

extern const char PROJECT_WEB_PAGE[];

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // Modal run; Esc and the close box end it.
    int DoModal();
    void OnGoToWebSite();

    std::string m_strDonateText;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateControls();
    void DoDataExchange();

    QPlainTextEdit* m_editText = nullptr;
    QPushButton* m_btnWebSite = nullptr;
};
