#pragma once
// Resource, control and command ids of the program's dialogs and menus, and the
// window-system numbers the handlers are written against.

#include "platform/process.h"

// Menus.
constexpr unsigned IDR_TRAY_MENU = 4;

constexpr const char PRODUCT_CAPTION[] = "Vantrel";
constexpr const char MAIN_DIALOG_CAPTION[] = "Vantrel 0.65";
constexpr const char ABOUT_ITEM_TEXT[] = "&About Vantrel...";

// Controls of the main dialog (IDC_DONATE is the About box's web button too).
constexpr int IDC_STREAMING = 1006;
constexpr int IDC_MOVIE_BITRATE = 1008;
constexpr int IDC_ABOUT_TEXT = 1008;
constexpr int IDC_AUDIO_BITRATE = 1009;
constexpr int IDC_PROGRESS_PSP = 1010;
constexpr int IDC_PROGRESS_PC = 1011;
constexpr int IDC_FRAMERATE_200 = 1012;
constexpr int IDC_FRAMERATE_175 = 1013;
constexpr int IDC_FRAMERATE_ORIGINAL = 1014;
constexpr int IDC_FRAMERATE_150 = 1015;
constexpr int IDC_FRAMERATE_125 = 1016;
constexpr int IDC_DONATE = 1019;
constexpr int IDC_FEED_TREE = 1025;
constexpr int IDC_BROWSE = 1026;
constexpr int IDC_REMOVE_SELECTED = 1027;
constexpr int IDC_MEDIA_PATHS = 1030;

// Commands.
constexpr unsigned IDOK = 1;
constexpr unsigned IDCANCEL = 2;
constexpr unsigned IDM_ABOUTBOX = 0x10;
constexpr unsigned ID_TRAY_RESTORE = 32773;
constexpr unsigned ID_TRAY_EXIT = 32774;

// System commands.
constexpr unsigned SC_MINIMIZE = 0xF020;
constexpr unsigned SC_RESTORE = 0xF120;
constexpr unsigned SC_CLOSE = 0xF060;

// Mouse events of the notification-area icon.
constexpr unsigned WM_MOUSEMOVE = 0x200;
constexpr unsigned WM_LBUTTONUP = 0x202;
constexpr unsigned WM_LBUTTONDBLCLK = 0x203;
constexpr unsigned WM_RBUTTONUP = 0x205;
constexpr unsigned WM_MBUTTONUP = 0x208;

// Show commands a program receives at start (platform::SHOW_WINDOW_VARIABLE).
using platform::SW_SHOWNORMAL;
constexpr int SW_SHOWMINNOACTIVE = 7;
