#pragma once
// The program's message boxes. Each box is written to stderr as one line
// "CAPTION: TEXT" before it shows; it shows modally on the UI thread. A worker
// thread that raises one waits until it is dismissed or until the program
// releases it on the way out, so a stopping program never waits on a box.

#include <QPointer>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/message_box.h"

class QObject;
class QWidget;

class CUiMessageBoxes {
public:
    // Shows one box on the UI thread; tests replace it.
    using Shower = std::function<void(const std::string& text, const std::string& caption, QWidget* owner)>;

    // Installs itself as the presenter of platform::MessageBox; must be made on
    // the UI thread while a QApplication exists.
    explicit CUiMessageBoxes(Shower shower = ShowQtBox);
    ~CUiMessageBoxes();
    CUiMessageBoxes(const CUiMessageBoxes&) = delete;
    CUiMessageBoxes& operator=(const CUiMessageBoxes&) = delete;

    // Boxes raised on the UI thread are owned by this window.
    void SetOwner(QWidget* owner);
    // From now on no box shows; workers waiting for one go on at once.
    void ReleaseWaiters();
    // The same for the presenter installed now, if it is one of these.
    static void ReleaseCurrentWaiters();

    // "CAPTION: TEXT" with each line break written as the two characters \n.
    static std::string StderrLine(const std::string& text, const std::string& caption);
    static void ShowQtBox(const std::string& text, const std::string& caption, QWidget* owner);

private:
    void Present(const std::string& text, const std::string& caption);
    void PresentFromWorker(const std::string& text, const std::string& caption);
    bool Released();

    Shower m_shower;
    // Context of the queued calls: when it goes, calls still queued are dropped.
    std::unique_ptr<QObject> m_context;
    QPointer<QWidget> m_owner;
    std::mutex m_mutex;
    std::condition_variable m_dismissed;
    bool m_bReleased = false;
    platform::MessageBoxPresenter m_previous;
};
