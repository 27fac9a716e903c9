#pragma once
// CSystemTray: one icon in the notification area. Its mouse events become the
// pop-up menu (right button released) and the menu's default command
// (double-click) for the application's main window.
//
// Qt reports the icon's events as activation reasons; EventForActivation turns
// them into the window-system events OnTrayNotify is written against, so its
// logic runs (and is tested) without a tray host.

#include <QDateTime>
#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class QPoint;

// The application's main window as the tray icon's menu commands reach it.
class CMainWindowTarget {
public:
    virtual ~CMainWindowTarget() = default;
    virtual void SendCommand(unsigned commandId) = 0;
    virtual void SetForegroundWindow() = 0;
};

CMainWindowTarget* AfxGetMainWnd();
void AfxSetMainWnd(CMainWindowTarget* window);

class CSystemTray : public QObject {
public:
    // Opens the pop-up at a point and returns the item chosen, null for none.
    using MenuTracker = std::function<QAction*(QMenu& popup, const QPoint& at)>;

    CSystemTray();
    ~CSystemTray() override;
    CSystemTray(const CSystemTray&) = delete;
    CSystemTray& operator=(const CSystemTray&) = delete;

    // Adds the icon. False, with nothing created, where there is no notification area.
    bool CreateTrayIcon(QObject* pParent, unsigned uCallbackMessage, const QString& szTip, const QIcon& hIcon,
                        unsigned uID);
    virtual long OnTrayNotify(unsigned uID, unsigned lEvent);

    // The icon animation (nothing in the program starts one).
    bool AdvanceIconFrame();
    bool StopIconAnimation();
    void OnTimer(int nIDEvent);

    static unsigned EventForActivation(QSystemTrayIcon::ActivationReason reason);
    // The icon's pop-up menu: resource IDR_TRAY_MENU; null for any other id.
    static std::unique_ptr<QMenu> LoadMenu(unsigned uID);
    // Whether the system has a notification area; tests put a tray host in.
    static bool IsTrayAvailable();
    static void SetTrayAvailableForTest(std::function<bool()> available);
    // Tests choose menu items instead of a user.
    static void SetMenuTrackerForTest(MenuTracker tracker);

    bool m_bIconAdded = false;
    unsigned m_uID = 0;
    unsigned m_uCallbackMessage = 0;
    QString m_strTip;
    QIcon m_hIcon;
    std::vector<QIcon> m_animationIcons;
    int m_nTimerId = 0;
    int m_nIconFrame = 0;
    QDateTime m_animationStart;
    int m_nAnimationSeconds = 0;
    QIcon m_hIconBeforeAnimation;
    unsigned m_nDefaultItem = 0;
    bool m_bDefaultItemByPosition = true;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    long ShowPopupMenu(unsigned uID, CMainWindowTarget* target);
    long SendDefaultCommand(unsigned uID, CMainWindowTarget* target);

    std::unique_ptr<QSystemTrayIcon> m_icon;
};
