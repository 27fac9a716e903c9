#pragma once
// Test hook of the program, on only when VANTREL_TEST_CONSOLE is "1": lines on
// standard input drive the running dialog for a test that runs the program as
// a child process with no display.
//   key NAME    presses a key (Escape, Return, Tab) on the focused control
//   bars        prints "bars PSP PC", the two progress bars' positions
//   focus       prints "focus NAME" for the control with the keyboard focus
//               ("-" for none), with " selected TEXT" when an edit has text selected
//   grab PATH   saves a picture of the window as PNG, prints "grabbed"

#include <memory>
#include <string>

class QSocketNotifier;
class QWidget;

class CTestConsole {
public:
    explicit CTestConsole(QWidget* dialog);
    ~CTestConsole();

    static bool Enabled();

private:
    void ReadLines();
    void RunCommand(const std::string& line);

    QWidget* m_dialog;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::string m_pending;
};
