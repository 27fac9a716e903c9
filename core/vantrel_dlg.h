#pragma once
// CVantrelDlg as the settings and status record. The window is put on top of
// it by the desktop application; this part needs no display.
//
// Threads: the settings, the texts and the feed list are guarded by Lock(),
// held only for short reads and writes. Counters and flags are atomics.

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ini_file.h"
#include "core/feed.h"
#include "platform/message_queue.h"

// User messages posted to the dialog.
constexpr unsigned WM_PROGRESS_UPDATE = platform::WM_USER + 1;
constexpr unsigned WM_SERVER_MESSAGE = platform::WM_USER + 2;
constexpr unsigned WM_SETTINGS_CHANGED = platform::WM_USER + 3;

constexpr int DEFAULT_SERVER_PORT = 3333;
// A damaged count in the INI file reads at most this many list entries.
constexpr int MAX_SETTINGS_LIST_ENTRIES = 256;

class CVantrelDlg {
public:
    // Construction as the program does it: program folder, INI path beside the
    // program, load when the section exists, validate, save.
    explicit CVantrelDlg(const std::string& programFolder);
    ~CVantrelDlg();
    CVantrelDlg(const CVantrelDlg&) = delete;
    CVantrelDlg& operator=(const CVantrelDlg&) = delete;

    // Each takes Lock() itself; callers must not hold it. LoadSettings and
    // SaveSettings touch the file outside the lock.
    void LoadSettings();
    void SaveSettings();
    void ValidateSettings();
    // The divider rule alone, as applied again after a client changed it.
    void ValidateFrameRateDivider();
    static bool IsValidFrameRateDivider(float divider);
    // The divider itself when valid, else the default 1.0.
    static float ValidFrameRateDivider(float divider);
    // The window's rules for the bit rates, in kbit/s: audio 32 to 256 in
    // steps of 32; movie positive and within what the encoder's bit rate (an
    // int of bit/s) holds.
    static bool IsValidAudioBitrate(int kbits);
    static bool IsValidMovieBitrate(int kbits);

    // The dialog's window: messages posted to it.
    void PostMessage(unsigned message, uintptr_t wParam = 0, std::unique_ptr<std::string> text = nullptr);
    platform::MessageQueue& Messages() { return m_messages; }

    std::mutex& Lock() const { return m_lock; }

    // ---- settings file
    std::string m_strSection = "StreamSettings";
    std::string m_strProgramFolder;
    CIniFile m_iniFile;

    // ---- status
    std::string m_strStreaming;                 // under Lock()
    std::atomic<int> m_nFrameCount{0};
    std::atomic<int> m_nTranscodeProgress{0};
    std::atomic<int> m_nSendProgress{0};
    std::atomic<uint8_t> m_bInTray{0};

    // ---- settings (under Lock())
    std::string m_strMovieBitrate = "600";
    std::string m_strAudioBitrate = "128";
    float m_fFrameRateDivider = 1.0f;
    int m_nServerPort = 0;
    std::vector<std::string> m_extensionList;
    std::list<CFeedPtr> m_feeds;
    std::vector<std::string> m_moviePaths;
    std::vector<std::string> m_infiniteStreams;
    uint8_t m_bShowNoAudioMovie = 1;

private:
    void ApplyDividerRuleLocked();

    mutable std::mutex m_lock;
    platform::MessageQueue m_messages;
};
