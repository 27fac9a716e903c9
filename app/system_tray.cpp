#include "app/system_tray.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QTimerEvent>

#include "app/resource_ids.h"

namespace {

CMainWindowTarget* g_pMainWnd = nullptr;

std::function<bool()>& TrayAvailableOverride() {
    static std::function<bool()> available;
    return available;
}

CSystemTray::MenuTracker& MenuTrackerOverride() {
    static CSystemTray::MenuTracker tracker;
    return tracker;
}

QAction* TrackPopupMenu(QMenu& popup, const QPoint& at) {
    if (MenuTrackerOverride()) return MenuTrackerOverride()(popup, at);
    return popup.exec(at);
}

QAction* AddMenuItem(QMenu& popup, const char* text, unsigned commandId) {
    QAction* item = popup.addAction(QString::fromLatin1(text));
    item->setData(commandId);
    return item;
}

}  // namespace

CMainWindowTarget* AfxGetMainWnd() {
    return g_pMainWnd;
}

void AfxSetMainWnd(CMainWindowTarget* window) {
    g_pMainWnd = window;
}

CSystemTray::CSystemTray() = default;

CSystemTray::~CSystemTray() {
    if (m_bIconAdded) {
        m_icon->hide();
        m_bIconAdded = false;
    }
    m_animationIcons.clear();
}

bool CSystemTray::IsTrayAvailable() {
    if (TrayAvailableOverride()) return TrayAvailableOverride()();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CSystemTray::SetTrayAvailableForTest(std::function<bool()> available) {
    TrayAvailableOverride() = std::move(available);
}

void CSystemTray::SetMenuTrackerForTest(MenuTracker tracker) {
    MenuTrackerOverride() = std::move(tracker);
}

bool CSystemTray::CreateTrayIcon(QObject* pParent, unsigned uCallbackMessage, const QString& szTip,
                                 const QIcon& hIcon, unsigned uID) {
    if (!IsTrayAvailable()) {
        m_bIconAdded = false;
        return false;
    }
    // The notifications come to this object whatever the parent.
    (void)pParent;
    m_uID = uID;
    m_uCallbackMessage = uCallbackMessage;
    m_hIcon = hIcon;
    m_strTip = szTip;
    m_icon = std::make_unique<QSystemTrayIcon>(hIcon);
    m_icon->setToolTip(szTip);
    connect(m_icon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { OnTrayNotify(m_uID, EventForActivation(reason)); });
    m_icon->show();
    m_bIconAdded = true;
    return true;
}

unsigned CSystemTray::EventForActivation(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Context:
        return WM_RBUTTONUP;
    case QSystemTrayIcon::DoubleClick:
        return WM_LBUTTONDBLCLK;
    case QSystemTrayIcon::Trigger:
        return WM_LBUTTONUP;
    case QSystemTrayIcon::MiddleClick:
        return WM_MBUTTONUP;
    default:
        return WM_MOUSEMOVE;
    }
}

std::unique_ptr<QMenu> CSystemTray::LoadMenu(unsigned uID) {
    if (uID != IDR_TRAY_MENU) return nullptr;
    auto popup = std::make_unique<QMenu>(QStringLiteral("POPUP"));
    AddMenuItem(*popup, "Vantrel", ID_TRAY_RESTORE);
    AddMenuItem(*popup, "Exit", ID_TRAY_EXIT);
    return popup;
}

long CSystemTray::OnTrayNotify(unsigned uID, unsigned lEvent) {
    if (uID != m_uID) return 0;
    CMainWindowTarget* target = AfxGetMainWnd();
    switch (lEvent & 0xFFFF) {
    case WM_RBUTTONUP:
        return ShowPopupMenu(uID, target);
    case WM_LBUTTONDBLCLK:
        return SendDefaultCommand(uID, target);
    default:
        return 1;
    }
}

long CSystemTray::ShowPopupMenu(unsigned uID, CMainWindowTarget* target) {
    std::unique_ptr<QMenu> popup = LoadMenu(uID);
    if (!popup) return 0;
    const QList<QAction*> items = popup->actions();
    if (m_bDefaultItemByPosition && m_nDefaultItem < static_cast<unsigned>(items.size())) {
        popup->setDefaultAction(items[static_cast<int>(m_nDefaultItem)]);
    }
    const QPoint at = QCursor::pos();
    if (target) target->SetForegroundWindow();
    QAction* chosen = TrackPopupMenu(*popup, at);
    if (chosen && target) target->SendCommand(chosen->data().toUInt());
    return 1;
}

long CSystemTray::SendDefaultCommand(unsigned uID, CMainWindowTarget* target) {
    if (target) target->SetForegroundWindow();
    unsigned command = m_nDefaultItem;
    if (m_bDefaultItemByPosition) {
        std::unique_ptr<QMenu> popup = LoadMenu(uID);
        if (!popup) return 0;
        const QList<QAction*> items = popup->actions();
        command = m_nDefaultItem < static_cast<unsigned>(items.size())
                      ? items[static_cast<int>(m_nDefaultItem)]->data().toUInt()
                      : 0;
    }
    if (target) target->SendCommand(command);
    return 1;
}

bool CSystemTray::AdvanceIconFrame() {
    if (m_animationIcons.empty()) return false;
    m_nIconFrame = (m_nIconFrame + 1) % static_cast<int>(m_animationIcons.size());
    if (!m_bIconAdded) return false;
    m_icon->setIcon(m_animationIcons[static_cast<size_t>(m_nIconFrame)]);
    return true;
}

bool CSystemTray::StopIconAnimation() {
    bool stopped = false;
    if (m_nTimerId != 0) {
        killTimer(m_nTimerId);
        stopped = true;
    }
    m_nTimerId = 0;
    if (!m_hIconBeforeAnimation.isNull() && m_bIconAdded) m_icon->setIcon(m_hIconBeforeAnimation);
    m_hIconBeforeAnimation = QIcon();
    return stopped;
}

void CSystemTray::OnTimer(int) {
    const QDateTime now = QDateTime::currentDateTime();
    const double days = static_cast<double>(m_animationStart.secsTo(now)) / 86400.0;
    const double half = 0.5 / 86400.0;
    const long elapsed = static_cast<long>((days >= 0 ? days + half : days - half) * 86400.0);
    if (m_nAnimationSeconds > 0 && elapsed > m_nAnimationSeconds) {
        StopIconAnimation();
    } else {
        AdvanceIconFrame();
    }
}

void CSystemTray::timerEvent(QTimerEvent* event) {
    OnTimer(event->timerId());
}
