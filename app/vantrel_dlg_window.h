#pragma once
// The window of CVantrelDlg: dialog template 102 on top of the settings and
// status record, with its data exchange, initialisation and message handlers.
// The record stays headless in core/; this class owns only widgets, the tray
// object and the path by which posted messages reach the UI thread.

#include <QDialog>
#include <QPointer>
#include <QRect>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/system_tray.h"
#include "feeds/feed_drop_target.h"
#include "feeds/rss_reader.h"
#include "feeds/xml_http.h"

class CFeedTreeWidget;
class CMessagePump;
class CVantrelDlg;
class QAction;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
namespace platform {
struct PostedMessage;
}

class CVantrelDlgWindow : public QDialog, public CMainWindowTarget {
public:
    // Shows the folder picker; an empty text when nothing usable was picked.
    using FolderPicker = std::function<std::string(const std::string& title)>;

    CVantrelDlgWindow(CVantrelDlg& record, int nCmdShow);
    ~CVantrelDlgWindow() override;

    // Initialises, shows and runs the dialog until it ends; returns IDOK or IDCANCEL.
    int DoModal();
    bool OnInitDialog();
    void UpdateData(bool bSaveAndValidate);

    // The message map's handlers.
    void OnSysCommand(unsigned nID);
    void OnOkCommand();
    void OnOK();
    void OnCancel();
    long OnProgressUpdate();
    long OnServerMessage(const std::string* text, uintptr_t wParam);
    long OnSettingsChanged();
    void OnChangeMovieBitrate();
    void OnKillFocusAudioBitrate();
    void OnDonate();
    void OnBrowse();
    void OnRemoveSelected();
    void OnFeedTreeKeyDown(int key);
    void OnFeedDrop(const CDataObject& data);
    void OnTrayRestore();
    void OnTrayExit();
    void OnClose();
    void DestroyWindow();
    void UpdateTrayIcon();

    // A posted message, on the UI thread.
    void DispatchMessage(platform::PostedMessage& message);

    // CMainWindowTarget: WM_COMMAND from the tray menu.
    void SendCommand(unsigned commandId) override;
    void SetForegroundWindow() override;

    void SetFolderPicker(FolderPicker picker) { m_folderPicker = std::move(picker); }
    bool IsInTray() const;
    // The start-up show command asks for a minimised window (step 14 of
    // OnInitDialog: a bit test of 2 or 4, so 2, 3, 6, 7 ... but not 1 or 9).
    bool StartsMinimised() const { return (m_nCmdShow & 6) != 0; }
    CSystemTray* Tray() const { return m_pTray.get(); }
    CFeedTreeWidget* FeedTree() const { return m_treeFeeds; }
    QAction* AboutMenuItem() const { return m_aboutItem; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void done(int result) override;

private:
    void CreateControls();
    void ConnectMessageMap();
    // A divider radio's click stores its divider.
    struct DividerRadio {
        float divider;
        QRadioButton* radio;
    };
    std::array<DividerRadio, 5> DividerRadios() const;
    void SetFrameRateDivider(float divider);
    void CheckDividerRadio();
    void RunAboutBox();
    void AddMediaPathLine(const std::string& path);
    void KeepNormalPlace();
    void PutBackNormalPlace();
    void PutBackEditSelection();
    void SaveChangesStillQueued();

    CVantrelDlg& m_record;
    int m_nCmdShow;
    unsigned m_uTrayMessage;
    std::unique_ptr<CSystemTray> m_pTray;
    std::unique_ptr<CMessagePump> m_pump;
    // The feeds' request object, the feed code's view of this dialog, the drop target.
    std::unique_ptr<CXmlHttpRequest> m_pXmlHttp;
    std::unique_ptr<CFeedHost> m_pFeedHost;
    std::unique_ptr<CFeedDropTarget> m_pDropTarget;
    FolderPicker m_folderPicker;
    // What the system keeps of a minimised window for its restore: its place
    // and the control that had the focus (an edit with its cursor and selection).
    struct NormalPlace {
        bool kept = false;
        bool placed = false;
        QRect geometry;
        QPointer<QWidget> focus;
        int cursor = 0;
        int selectionStart = -1;
        int selectionLength = 0;
    };
    NormalPlace m_normalPlace;
    bool m_bInSysCommand = false;
    bool m_bCheckingAudioBitrate = false;
    bool m_bDestroyed = false;

    // Controls (DDX_Control), by template order.
    QPushButton* m_btnBrowse = nullptr;
    QLineEdit* m_editMovieBitrate = nullptr;
    QLineEdit* m_editAudioBitrate = nullptr;
    QPushButton* m_btnDonate = nullptr;
    QRadioButton* m_radioOriginal = nullptr;
    QRadioButton* m_radio125 = nullptr;
    QRadioButton* m_radio150 = nullptr;
    QRadioButton* m_radio175 = nullptr;
    QRadioButton* m_radio200 = nullptr;
    QLineEdit* m_editStreaming = nullptr;
    QProgressBar* m_progressPsp = nullptr;
    QProgressBar* m_progressPc = nullptr;
    CFeedTreeWidget* m_treeFeeds = nullptr;
    QListWidget* m_listMediaPaths = nullptr;
    QPushButton* m_btnRemoveSelected = nullptr;
    QAction* m_aboutItem = nullptr;
    // Each edit's text as the last exchange with the record left it.
    QString m_exchangedStreaming;
    QString m_exchangedMovieBitrate;
    QString m_exchangedAudioBitrate;
};
