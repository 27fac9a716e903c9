#pragma once
// CVantrelApp: the application object. InitInstance prepares the process, runs
// the main dialog modally for the whole working life of the program and then
// lets the process end.

class CVantrelApp {
public:
    CVantrelApp();

    // Always false: the program has no message loop outside the modal dialog.
    bool InitInstance();

    // The show command the process was started with (STARTUP_SHOW_WINDOW; 1 when unset).
    int m_nCmdShow;
};

// Reads a show command: a number, else SW_SHOWNORMAL.
int ShowCommandFromText(const char* text);
