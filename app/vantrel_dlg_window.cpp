#include "app/vantrel_dlg_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <array>
#include <cstdio>

#include "app/about_dlg.h"
#include "app/app_icon.h"
#include "app/dialog_template.h"
#include "app/feed_tree_widget.h"
#include "app/message_pump.h"
#include "app/resource_ids.h"
#include "app/ui_message_box.h"
#include "core/text_to_number.h"
#include "core/vantrel_dlg.h"
#include "feeds/enclosure_download.h"
#include "platform/message_box.h"
#include "server/server_thread.h"
#include "server/shutdown.h"

namespace {

constexpr int PROGRESS_RANGE = 400;
constexpr int FEED_TREE_INDENT = 10;
constexpr int AUDIO_BITRATE_READ_LIMIT = 9;
// The number RegisterWindowMessage("Vantrel") stands for: the first of the registered range.
constexpr unsigned TRAY_CALLBACK_MESSAGE = 0xC000;

std::string PickFolderWithQt(const std::string& title) {
    return QFileDialog::getExistingDirectory(nullptr, QString::fromStdString(title)).toStdString();
}

QPushButton* MakeButton(QWidget* parent, CDialogLayout& layout, const char* name, int id, const char* caption,
                        QRect dlu) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    SetControlId(button, name, id);
    layout.Add(button, dlu, false);
    button->setAutoDefault(false);  // no default button; Enter on a focused button is handled by the dialog
    return button;
}

QLineEdit* MakeEdit(QWidget* parent, CDialogLayout& layout, const char* name, int id, QRect dlu) {
    auto* edit = new QLineEdit(parent);
    SetControlId(edit, name, id);
    layout.Add(edit, dlu, false);
    return edit;
}

QRadioButton* MakeRadio(QWidget* parent, CDialogLayout& layout, const char* name, int id, const char* caption,
                        QRect dlu) {
    auto* radio = new QRadioButton(QString::fromLatin1(caption), parent);
    SetControlId(radio, name, id);
    layout.Add(radio, dlu, true);
    radio->setFocusPolicy(Qt::ClickFocus);  // no tab stop in the template
    return radio;
}

QLabel* MakeStatic(QWidget* parent, CDialogLayout& layout, const char* caption, QRect dlu) {
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    SetControlId(label, "IDC_STATIC", -1);
    label->setTextFormat(Qt::PlainText);
    layout.Add(label, dlu, true);
    return label;
}

QProgressBar* MakeProgress(QWidget* parent, CDialogLayout& layout, const char* name, int id, QRect dlu) {
    auto* bar = new QProgressBar(parent);
    SetControlId(bar, name, id);
    layout.Add(bar, dlu, false);
    bar->setTextVisible(false);
    bar->setValue(0);  // a new bar stands at 0, not "reset"
    return bar;
}

// A multi-line button breaks its caption at blanks when it does not fit.
void WrapCaption(QPushButton* button) {
    const QFontMetrics metrics(button->font());
    const QString caption = button->text();
    if (metrics.horizontalAdvance(caption) + 8 > button->width()) {
        button->setText(QString(caption).replace(QLatin1Char(' '), QLatin1Char('\n')));
    }
}

// Into the control, with its notifications suppressed.
void ShowText(QLineEdit* edit, QString& exchanged, const std::string& member) {
    const QString shown = QString::fromStdString(member);
    if (edit->text() != shown) {
        const bool blocked = edit->blockSignals(true);
        edit->setText(shown);
        edit->blockSignals(blocked);
    }
    exchanged = shown;
}

// Into the record, only when the user changed the text since the last
// exchange: an untouched edit still shows an older value than the one a
// worker may just have written.
void TakeText(const QLineEdit* edit, QString& exchanged, std::string& member) {
    if (edit->text() == exchanged) return;
    exchanged = edit->text();
    member = exchanged.toStdString();
}

}  // namespace

CVantrelDlgWindow::CVantrelDlgWindow(CVantrelDlg& record, int nCmdShow)
    : QDialog(nullptr),
      m_record(record),
      m_nCmdShow(nCmdShow),
      m_uTrayMessage(TRAY_CALLBACK_MESSAGE),
      m_folderPicker(PickFolderWithQt) {
    setWindowTitle(QString::fromLatin1(MAIN_DIALOG_CAPTION));
    // Template 102 is a top-level window with a caption, a system menu and a
    // minimise box, no maximise box, at a fixed size (CDialogLayout::Apply).
    // Not typed as a dialog: window managers offer no minimise for dialogs,
    // and a minimise is the only way to the tray.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    CreateControls();
    ConnectMessageMap();
    m_pump = std::make_unique<CMessagePump>(m_record.Messages(), this,
                                            [this](platform::PostedMessage& message) { DispatchMessage(message); });
}

CVantrelDlgWindow::~CVantrelDlgWindow() {
    DestroyWindow();
}

// Template 102, in template order (which is the Tab order).
void CVantrelDlgWindow::CreateControls() {
    CDialogLayout units(font());
    m_btnBrowse = MakeButton(this, units, "IDC_BROWSE", IDC_BROWSE, "Browse", QRect(287, 7, 35, 13));
    m_editMovieBitrate = MakeEdit(this, units, "IDC_MOVIE_BITRATE", IDC_MOVIE_BITRATE, QRect(58, 94, 40, 14));
    m_editAudioBitrate = MakeEdit(this, units, "IDC_AUDIO_BITRATE", IDC_AUDIO_BITRATE, QRect(147, 94, 40, 14));
    m_btnDonate = MakeButton(this, units, "IDC_DONATE", IDC_DONATE, "", QRect(150, 214, 29, 20));
    m_radioOriginal =
        MakeRadio(this, units, "IDC_FRAMERATE_ORIGINAL", IDC_FRAMERATE_ORIGINAL, "Original", QRect(9, 112, 40, 10));
    m_radio125 =
        MakeRadio(this, units, "IDC_FRAMERATE_125", IDC_FRAMERATE_125, "Framerate/1.25", QRect(54, 112, 67, 10));
    m_radio150 =
        MakeRadio(this, units, "IDC_FRAMERATE_150", IDC_FRAMERATE_150, "Framerate/1.5", QRect(126, 112, 62, 10));
    m_radio175 =
        MakeRadio(this, units, "IDC_FRAMERATE_175", IDC_FRAMERATE_175, "Framerate/1.75", QRect(193, 112, 67, 10));
    m_radio200 = MakeRadio(this, units, "IDC_FRAMERATE_200", IDC_FRAMERATE_200, "Framerate/2", QRect(265, 112, 55, 10));
    MakeStatic(this, units, "Media Path(s)", QRect(7, 9, 45, 8));
    MakeStatic(this, units, "Streaming", QRect(7, 52, 38, 8));
    m_editStreaming = MakeEdit(this, units, "IDC_STREAMING", IDC_STREAMING, QRect(53, 51, 269, 12));
    m_editStreaming->setReadOnly(true);
    m_editStreaming->setFocusPolicy(Qt::ClickFocus);
    MakeStatic(this, units, "Movie bitrate", QRect(14, 96, 44, 8));
    MakeStatic(this, units, "Audio bitrate", QRect(103, 96, 42, 8));
    m_progressPsp = MakeProgress(this, units, "IDC_PROGRESS_PSP", IDC_PROGRESS_PSP, QRect(53, 74, 269, 7));
    auto* options = new QGroupBox(QStringLiteral("ffmpeg options"), this);
    SetControlId(options, "IDC_STATIC", -1);
    units.Add(options, QRect(7, 83, 315, 41), false);
    options->lower();  // a frame behind the controls it surrounds, as on the system's dialogs
    m_progressPc = MakeProgress(this, units, "IDC_PROGRESS_PC", IDC_PROGRESS_PC, QRect(53, 66, 269, 7));
    MakeStatic(this, units, "PSP", QRect(7, 73, 14, 8));
    MakeStatic(this, units, "PC", QRect(7, 65, 14, 8));
    m_treeFeeds = new CFeedTreeWidget(this);
    SetControlId(m_treeFeeds, "IDC_FEED_TREE", IDC_FEED_TREE);
    units.Add(m_treeFeeds, QRect(7, 136, 315, 72), false);
    MakeStatic(this, units, "OskelCasts: just drop RSS/XML urls here", QRect(101, 126, 127, 8));
    m_listMediaPaths = new QListWidget(this);
    SetControlId(m_listMediaPaths, "IDC_MEDIA_PATHS", IDC_MEDIA_PATHS);
    units.Add(m_listMediaPaths, QRect(53, 7, 227, 41), false);
    m_btnRemoveSelected = MakeButton(this, units, "IDC_REMOVE_SELECTED", IDC_REMOVE_SELECTED, "Remove Selected",
                                     QRect(287, 23, 35, 23));
    units.Apply(this, 329, 242);
    WrapCaption(m_btnRemoveSelected);

    SetTabOrder({m_btnBrowse, m_editMovieBitrate, m_editAudioBitrate, m_btnDonate, m_treeFeeds, m_listMediaPaths,
                 m_btnRemoveSelected});

    // The system menu's extra item lives in the window's context menu here.
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

// The message map: one place that ties the controls' notifications to the handlers.
void CVantrelDlgWindow::ConnectMessageMap() {
    connect(m_editMovieBitrate, &QLineEdit::textChanged, this, [this] { OnChangeMovieBitrate(); });
    m_editAudioBitrate->installEventFilter(this);  // EN_KILLFOCUS
    for (const DividerRadio& entry : DividerRadios()) {
        const float divider = entry.divider;
        connect(entry.radio, &QRadioButton::clicked, this, [this, divider] { SetFrameRateDivider(divider); });
    }
    connect(m_btnDonate, &QPushButton::clicked, this, [this] { OnDonate(); });
    connect(m_btnBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    m_treeFeeds->m_onKeyDown = [this](int key) { OnFeedTreeKeyDown(key); };
    connect(m_btnRemoveSelected, &QPushButton::clicked, this, [this] { OnRemoveSelected(); });
}

void CVantrelDlgWindow::DispatchMessage(platform::PostedMessage& message) {
    switch (message.message) {
    case WM_PROGRESS_UPDATE:
        OnProgressUpdate();
        break;
    case WM_SERVER_MESSAGE:
        OnServerMessage(message.text.get(), message.wParam);
        break;
    case WM_SETTINGS_CHANGED:
        OnSettingsChanged();
        break;
    default:
        break;
    }
}

void CVantrelDlgWindow::SendCommand(unsigned commandId) {
    switch (commandId) {
    case IDOK:
        OnOkCommand();
        break;
    case IDCANCEL:
        OnCancel();
        break;
    case ID_TRAY_RESTORE:
        OnTrayRestore();
        break;
    case ID_TRAY_EXIT:
        OnTrayExit();
        break;
    default:
        break;
    }
}

void CVantrelDlgWindow::SetForegroundWindow() {
    raise();
    activateWindow();
}

int CVantrelDlgWindow::DoModal() {
    OnInitDialog();
    // Started minimised, the window is never shown normal first: the posted
    // SC_MINIMIZE takes it to the tray before it was on the screen (or shows it
    // minimised). Shown and hidden at once, a window manager may not have
    // taken it yet and leave it on the screen, undecorated.
    if (!StartsMinimised()) {
        show();
        activateWindow();
    }
    m_btnBrowse->setFocus(Qt::OtherFocusReason);
    // Not QDialog::exec(): hiding the window in the tray would end that run.
    QEventLoop run;
    connect(this, &QDialog::finished, &run, &QEventLoop::quit);
    if (!m_bDestroyed) run.exec();
    return result() == QDialog::Accepted ? IDOK : IDCANCEL;
}

bool CVantrelDlgWindow::OnInitDialog() {
    UpdateData(false);
    m_pXmlHttp = CreateXmlHttp();
    m_pFeedHost = std::make_unique<CFeedHost>(CFeedHost{m_record, m_pXmlHttp.get(), *m_treeFeeds});
    m_treeFeeds->setIndentation(FEED_TREE_INDENT);
    m_pDropTarget = std::make_unique<CFeedDropTarget>(*m_pFeedHost);
    m_treeFeeds->m_onDrop = [this](const CDataObject& data) { OnFeedDrop(data); };
    {
        std::lock_guard<std::mutex> guard(m_record.Lock());
        for (const std::string& path : m_record.m_moviePaths) AddMediaPathLine(path);
    }
    // Every stored feed, in order, before the window shows and before the server starts.
    LoadStoredFeeds(*m_pFeedHost);
    m_btnDonate->setIcon(AppIcon());
    m_btnDonate->setIconSize(m_btnDonate->size() - QSize(8, 6));
    m_progressPc->setRange(0, PROGRESS_RANGE);
    m_progressPsp->setRange(0, PROGRESS_RANGE);
    CheckDividerRadio();
    StartStreamServer(&m_record);

    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    m_aboutItem = new QAction(QString::fromLatin1(ABOUT_ITEM_TEXT), this);
    m_aboutItem->setData(IDM_ABOUTBOX);
    connect(m_aboutItem, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    addAction(m_aboutItem);

    setWindowIcon(AppIcon());
    if (StartsMinimised()) {
        QMetaObject::invokeMethod(this, [this] { OnSysCommand(SC_MINIMIZE); }, Qt::QueuedConnection);
    }
    return true;
}

void CVantrelDlgWindow::OnFeedDrop(const CDataObject& data) {
    if (m_pDropTarget) m_pDropTarget->Drop(data);
}

// The tree's key-down; the feed code looks at the Delete key only.
void CVantrelDlgWindow::OnFeedTreeKeyDown(int key) {
    if (m_pFeedHost) ::OnFeedTreeKeyDown(*m_pFeedHost, key == Qt::Key_Delete ? VK_DELETE : 0);
}

// The list box sorts its lines itself, without regard to case; a line goes after its equals.
void CVantrelDlgWindow::AddMediaPathLine(const std::string& path) {
    const QString line = QString::fromStdString(path);
    int at = 0;
    while (at < m_listMediaPaths->count() &&
           QString::compare(m_listMediaPaths->item(at)->text(), line, Qt::CaseInsensitive) <= 0) {
        ++at;
    }
    m_listMediaPaths->insertItem(at, line);
}

// Moves the texts between the record and the edits: streaming name, movie and
// audio bit rate.
void CVantrelDlgWindow::UpdateData(bool bSaveAndValidate) {
    std::lock_guard<std::mutex> guard(m_record.Lock());
    if (bSaveAndValidate) {
        TakeText(m_editStreaming, m_exchangedStreaming, m_record.m_strStreaming);
        TakeText(m_editMovieBitrate, m_exchangedMovieBitrate, m_record.m_strMovieBitrate);
        TakeText(m_editAudioBitrate, m_exchangedAudioBitrate, m_record.m_strAudioBitrate);
    } else {
        ShowText(m_editStreaming, m_exchangedStreaming, m_record.m_strStreaming);
        ShowText(m_editMovieBitrate, m_exchangedMovieBitrate, m_record.m_strMovieBitrate);
        ShowText(m_editAudioBitrate, m_exchangedAudioBitrate, m_record.m_strAudioBitrate);
    }
}

bool CVantrelDlgWindow::IsInTray() const {
    return m_record.m_bInTray.load() != 0;
}

void CVantrelDlgWindow::OnSysCommand(unsigned nID) {
    const bool wasInTray = IsInTray();
    // Without a notification area a minimise stays a plain minimise: there
    // would be no icon to bring the window back.
    if (nID == SC_MINIMIZE && CSystemTray::IsTrayAvailable()) m_record.m_bInTray = 1;
    if (nID == SC_RESTORE) m_record.m_bInTray = 0;
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        RunAboutBox();
        return;
    }
    m_bInSysCommand = true;
    if (nID == SC_MINIMIZE) {
        KeepNormalPlace();
        // On the way to the tray the window is only hidden (below): a window the
        // program minimises itself keeps X11's "start iconic" hint, and shown
        // again it could come back minimised, and so straight back to the tray.
        if (!IsInTray() || wasInTray) showMinimized();
    } else if (nID == SC_RESTORE) {
        PutBackNormalPlace();
        showNormal();
        activateWindow();  // SW_RESTORE activates the window it shows
        PutBackEditSelection();
    } else if (nID == SC_CLOSE) {
        close();
    }
    m_bInSysCommand = false;
    if (IsInTray() != wasInTray) {
        UpdateTrayIcon();
        if (IsInTray()) {
            hide();
        } else {
            show();
        }
    }
}

// SC_MINIMIZE's share of the window's default processing: the place and the
// focus the restore puts back.
void CVantrelDlgWindow::KeepNormalPlace() {
    m_normalPlace = NormalPlace();
    m_normalPlace.kept = true;
    // A window never on the screen yet places itself when it first shows.
    m_normalPlace.placed = isVisible();
    m_normalPlace.geometry = geometry();
    m_normalPlace.focus = focusWidget();
    if (const auto* edit = qobject_cast<const QLineEdit*>(focusWidget())) {
        m_normalPlace.cursor = edit->cursorPosition();
        m_normalPlace.selectionStart = edit->selectionStart();
        m_normalPlace.selectionLength = edit->selectedText().size();
    }
}

// SC_RESTORE's: the window where it was, the focus where it was. Hidden in the
// tray, the window may have been activated all the same, and the focus then
// went on from its control to the next one; a dialog shown again would place
// itself anew.
void CVantrelDlgWindow::PutBackNormalPlace() {
    if (!m_normalPlace.kept) return;
    if (m_normalPlace.placed) setGeometry(m_normalPlace.geometry);
    if (m_normalPlace.focus) m_normalPlace.focus->setFocus(Qt::OtherFocusReason);
}

// A shown window hands its focus control a Tab's focus, which selects an edit's
// whole text: the edit gets back its own cursor and selection.
void CVantrelDlgWindow::PutBackEditSelection() {
    if (!m_normalPlace.kept) return;
    m_normalPlace.kept = false;
    auto* edit = qobject_cast<QLineEdit*>(m_normalPlace.focus.data());
    if (!edit) return;
    if (m_normalPlace.selectionStart >= 0) {
        edit->setSelection(m_normalPlace.selectionStart, m_normalPlace.selectionLength);
    } else {
        edit->setCursorPosition(m_normalPlace.cursor);
    }
}

void CVantrelDlgWindow::UpdateTrayIcon() {
    if (IsInTray() && !m_pTray) {
        m_pTray = std::make_unique<CSystemTray>();
        m_pTray->CreateTrayIcon(nullptr, m_uTrayMessage, QString::fromLatin1(PRODUCT_CAPTION), AppIcon(),
                                IDR_TRAY_MENU);
    } else if (m_pTray) {
        // A restore can come from the tray's own menu or double click, still on
        // the tray's stack: the object goes once that has returned, and with the
        // window at the latest.
        CSystemTray* leaving = m_pTray.release();
        leaving->setParent(this);
        leaving->deleteLater();
    }
}

// The tray menu's "Vantrel" is the system menu's Restore.
void CVantrelDlgWindow::OnTrayRestore() {
    OnSysCommand(SC_RESTORE);
}

void CVantrelDlgWindow::OnTrayExit() {
    OnCancel();
}

void CVantrelDlgWindow::OnOkCommand() {
    OnOK();
}

// Enter moves on to the next control; it never ends the dialog.
void CVantrelDlgWindow::OnOK() {
    focusNextChild();
}

void CVantrelDlgWindow::OnCancel() {
    reject();
}

long CVantrelDlgWindow::OnProgressUpdate() {
    m_progressPsp->setValue(m_record.m_nSendProgress.load());
    m_progressPc->setValue(m_record.m_nTranscodeProgress.load());
    m_progressPsp->update();
    m_progressPc->update();
    return 1;
}

long CVantrelDlgWindow::OnServerMessage(const std::string* text, uintptr_t wParam) {
    UpdateData(false);
    if (text) platform::MessageBox(*text, "Error");
    // A download's box is gone: its next failure may show again.
    if (wParam != 0) EnclosureFailureDismissed(wParam);
    return 1;
}

long CVantrelDlgWindow::OnSettingsChanged() {
    m_record.ValidateFrameRateDivider();
    CheckDividerRadio();
    UpdateData(false);
    m_record.SaveSettings();
    update();
    return 1;
}

void CVantrelDlgWindow::OnChangeMovieBitrate() {
    UpdateData(true);
    m_record.SaveSettings();
}

void CVantrelDlgWindow::OnKillFocusAudioBitrate() {
    if (m_bCheckingAudioBitrate) return;
    m_bCheckingAudioBitrate = true;
    const int bitrate = TextToInt(m_editAudioBitrate->text().left(AUDIO_BITRATE_READ_LIMIT).toStdString());
    if (CVantrelDlg::IsValidAudioBitrate(bitrate)) {
        UpdateData(true);
        m_record.SaveSettings();
    } else {
        platform::MessageBox("Illegal audio bit rate", PRODUCT_CAPTION);
        UpdateData(false);
    }
    m_bCheckingAudioBitrate = false;
}

void CVantrelDlgWindow::SetFrameRateDivider(float divider) {
    {
        std::lock_guard<std::mutex> guard(m_record.Lock());
        m_record.m_fFrameRateDivider = divider;
    }
    m_record.SaveSettings();
}

// The five radios and the divider each one stands for.
std::array<CVantrelDlgWindow::DividerRadio, 5> CVantrelDlgWindow::DividerRadios() const {
    return {{{1.0f, m_radioOriginal}, {1.25f, m_radio125}, {1.5f, m_radio150}, {1.75f, m_radio175}, {2.0f, m_radio200}}};
}

// Unchecks all five, then checks the one of the divider (none for another value).
void CVantrelDlgWindow::CheckDividerRadio() {
    float divider = 0.0f;
    {
        std::lock_guard<std::mutex> guard(m_record.Lock());
        divider = m_record.m_fFrameRateDivider;
    }
    for (const DividerRadio& entry : DividerRadios()) {
        entry.radio->setAutoExclusive(false);
        entry.radio->setChecked(entry.divider == divider);
        entry.radio->setAutoExclusive(true);
    }
}

void CVantrelDlgWindow::OnDonate() {
    RunAboutBox();
}

void CVantrelDlgWindow::RunAboutBox() {
    CAboutDlg about(this);
    about.DoModal();
}

void CVantrelDlgWindow::OnBrowse() {
    const std::string path = m_folderPicker("Choose movie path");
    if (!path.empty()) {
        std::printf("Selected Folder: %s\n", path.c_str());
        std::fflush(stdout);
        {
            std::lock_guard<std::mutex> guard(m_record.Lock());
            m_record.m_moviePaths.push_back(path);
        }
        AddMediaPathLine(path);
    }
    UpdateData(false);
    m_record.SaveSettings();
}

void CVantrelDlgWindow::OnRemoveSelected() {
    const QList<QListWidgetItem*> selected = m_listMediaPaths->selectedItems();
    if (!selected.isEmpty()) {
        const std::string text = selected.front()->text().toStdString();
        delete selected.front();
        // LB_DELETESTRING leaves no selection; the view would move it to the next line.
        m_listMediaPaths->setCurrentRow(-1);
        m_listMediaPaths->clearSelection();
        std::lock_guard<std::mutex> guard(m_record.Lock());
        std::vector<std::string>& paths = m_record.m_moviePaths;
        const auto last = std::find(paths.rbegin(), paths.rend(), text);
        if (last != paths.rend()) paths.erase(std::next(last).base());
    }
    m_record.SaveSettings();
}

// Close box, Alt+F4, SIGTERM: the workers stop before the feeds go.
void CVantrelDlgWindow::OnClose() {
    DestroyWindow();
    m_treeFeeds->m_onDrop = nullptr;
    m_treeFeeds->setAcceptDrops(false);
    m_pDropTarget.reset();
    {
        std::lock_guard<std::mutex> guard(m_record.Lock());
        m_record.m_feeds.clear();
    }
    m_pFeedHost.reset();
    m_pXmlHttp.reset();
}

// Every end of the modal run comes here (and the destructor): the tray icon
// goes, and the server thread, a transcode and the downloads stop, so nothing
// runs on into the record once the run is over.
void CVantrelDlgWindow::DestroyWindow() {
    if (m_bDestroyed) return;
    m_bDestroyed = true;
    m_record.m_bInTray = 0;
    UpdateTrayIcon();
    CUiMessageBoxes::ReleaseCurrentWaiters();
    ShutdownStreamServer();
    m_pump->Stop();
    SaveChangesStillQueued();
}

// A client's change that came in just before the end is still saved: one
// save covers every change made before it.
void CVantrelDlgWindow::SaveChangesStillQueued() {
    const std::vector<platform::PostedMessage> left = m_record.Messages().drain();
    const bool changed = std::any_of(left.begin(), left.end(), [](const platform::PostedMessage& message) {
        return message.message == WM_SETTINGS_CHANGED;
    });
    if (!changed) return;
    m_record.ValidateFrameRateDivider();
    m_record.SaveSettings();
}

void CVantrelDlgWindow::done(int result) {
    DestroyWindow();
    QDialog::done(result);
}

void CVantrelDlgWindow::keyPressEvent(QKeyEvent* event) {
    if (ClickFocusedButtonOnEnter(this, *event)) return;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        OnOkCommand();
        break;
    case Qt::Key_Escape:
        OnCancel();
        break;
    default:
        QDialog::keyPressEvent(event);
        break;
    }
}

void CVantrelDlgWindow::closeEvent(QCloseEvent* event) {
    OnClose();
    event->accept();
    reject();  // also when the window is hidden in the tray
}

void CVantrelDlgWindow::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // A minimise by the window manager is the system menu's Minimize.
    if (event->type() == QEvent::WindowStateChange && !m_bInSysCommand && isMinimized() && !IsInTray()) {
        OnSysCommand(SC_MINIMIZE);
    }
}

// EN_KILLFOCUS of the audio edit: the focus went to another control, another
// window or another program. A pop-up menu (the edit's own context menu) only
// borrows the keyboard and gives it back to the edit, as on the system, where
// the edit keeps the focus while its menu is open.
bool CVantrelDlgWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_editAudioBitrate && event->type() == QEvent::FocusOut && !m_bDestroyed &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
        OnKillFocusAudioBitrate();
    }
    return QDialog::eventFilter(watched, event);
}
