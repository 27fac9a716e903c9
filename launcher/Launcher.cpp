#include "launcher/Launcher.h"

#include "launcher/BrowseFolders.h"
#include "launcher/Form1.h"
#include "launcher/frmAbout.h"
#include "launcher/frmSettings.h"
#include "platform/paths.h"

#include <QCoreApplication>
#include <QSystemTrayIcon>

#include <cstdio>

LauncherEnvironment ProgramEnvironment() {
    LauncherEnvironment environment;
    environment.launcher_folder = platform::program_folder();
    environment.exe_name = platform::program_file_name();
    if (environment.exe_name.empty()) environment.exe_name = "tarnwick";
    environment.Shell = ShellFrom(environment.launcher_folder);
    environment.MsgBox = ShowMessageBox;
    environment.BrowseForFolder = BrowseForFolder;
    environment.TrayHostAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    environment.EndProgram = [] { QCoreApplication::exit(0); };
    return environment;
}

Launcher::Launcher(LauncherEnvironment environment) : env_(std::move(environment)) {}

Launcher::~Launcher() {
    // The forms go without their events, as at the end of the program.
    delete settings_.data();
    delete about_.data();
}

bool Launcher::LoadForm1() {
    if (ended_) return false;
    form1_ = std::make_unique<Form1>(*this);
    return form1_->Form1_Form_Load() && !ended_;
}

void Launcher::UnloadForm1() {
    if (!form1_) return;
    form1_->Form1_Form_Unload();
    form1_.reset();
}

void Launcher::EndSession() {
    if (form1_ && !ended_) {
        // The form stays until the program object goes: its own code may be
        // on the stack under a message box when the request comes.
        form1_->Form1_Form_Unload();
        form1_->Form1_Form_Terminate();
    }
    End();
}

frmSettings* Launcher::settings() const { return settings_.data(); }

frmAbout* Launcher::about() const { return about_.data(); }

void Launcher::ShowSettings() {
    if (!settings_) {
        settings_ = new frmSettings(*this);  // deletes itself when closed
        settings_->frmSettings_Form_Load();
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

void Launcher::ShowAbout() {
    if (!about_) {
        about_ = new frmAbout();  // deletes itself when closed
        about_->frmAbout_Form_Load();
    }
    about_->show();
    about_->raise();
    about_->activateWindow();
}

void Launcher::MsgBox(const std::string& text, MsgBoxIcon icon) const {
    std::fprintf(stderr, "%s\n", MessageBoxLogLine(text, PROGRAM_TITLE).c_str());
    if (env_.MsgBox) env_.MsgBox(text, icon, PROGRAM_TITLE);
}

platform::StartResult Launcher::Shell(const std::string& command_line, int window_style) const {
    platform::StartResult result = env_.Shell(command_line, window_style);
    if (!result.started)
        std::fprintf(stderr, "tarnwick: cannot start %s: %s\n", command_line.c_str(), result.description.c_str());
    return result;
}

void Launcher::UnhandledError(const std::string& description) {
    MsgBox(description, MsgBoxIcon::Critical);
    if (form1_) form1_->StopEverything();
    End();
}

void Launcher::End() {
    if (ended_) return;
    ended_ = true;
    if (env_.EndProgram) env_.EndProgram();
}
