#pragma once
// The launcher program: what its forms share (the launcher's folder, starting
// programs, message boxes, the folder dialog, the tray host) and the forms
// themselves: Form1 loaded and unloaded, one settings form and one About form
// at a time, and the End statement.

#include "launcher/LinkPrograms.h"
#include "launcher/MsgBox.h"

#include <QPointer>

#include <functional>
#include <memory>
#include <string>

class QWidget;
class Form1;
class frmSettings;
class frmAbout;

constexpr const char* PROGRAM_TITLE = "Tarnwick";

struct LauncherEnvironment {
    std::string launcher_folder;  // the folder of the launcher's executable, no trailing "/"
    std::string exe_name;         // the executable's file name
    ShellFunction Shell;
    MessageBoxFunction MsgBox;
    std::function<std::string(QWidget* owner, const std::string& prompt)> BrowseForFolder;
    std::function<bool()> TrayHostAvailable;
    std::function<void()> EndProgram;  // leaves the event loop
};

// The environment of the installed program: the folder of /proc/self/exe,
// the launcher's folder as base of relative command lines, Qt boxes and dialogs.
LauncherEnvironment ProgramEnvironment();

class Launcher {
public:
    explicit Launcher(LauncherEnvironment environment);
    ~Launcher();
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    const LauncherEnvironment& env() const { return env_; }

    // Load Form1: runs its start-up; false when the program ended during it.
    bool LoadForm1();
    // Unload Form1: its unload event, then the form and its controls go.
    void UnloadForm1();
    // The session ends (log-off, shut-down, a termination signal): unload, then terminate.
    void EndSession();
    Form1* form1() const { return form1_.get(); }

    void ShowSettings();
    void ShowAbout();
    frmSettings* settings() const;
    frmAbout* about() const;

    // A box with the program title; also written to stderr.
    void MsgBox(const std::string& text, MsgBoxIcon icon) const;
    platform::StartResult Shell(const std::string& command_line, int window_style) const;
    // The report of a run-time error nobody handles: the box with the error's
    // description, every program stopped so none is left without its launcher,
    // then the end.
    void UnhandledError(const std::string& description);
    // Ends the program at once; no further form event runs.
    void End();
    bool ended() const { return ended_; }

private:
    LauncherEnvironment env_;
    std::unique_ptr<Form1> form1_;
    QPointer<frmSettings> settings_;
    QPointer<frmAbout> about_;
    bool ended_ = false;
};
