#include "core/vantrel_dlg.h"

#include <cmath>
#include <cstdlib>

#include "core/text_to_number.h"
#include "platform/paths.h"

namespace {

const char* const DEFAULT_EXTENSIONS[] = {"AVI", "M4V", "VOB", "MP4", "MPG", "MPEG",
                                          "MP3", "WMA", "WAV", "WMV", "ASF", "MOV"};

const float VALID_DIVIDERS[] = {1.0f, 1.25f, 1.5f, 1.75f, 2.0f};

}  // namespace

CVantrelDlg::CVantrelDlg(const std::string& programFolder) : m_strProgramFolder(programFolder) {
    m_iniFile.SetFileName(m_strProgramFolder + "/Vantrel.ini");
    if (m_iniFile.SectionExists(m_strSection)) {
        LoadSettings();
    }
    ValidateSettings();
    SaveSettings();
}

// The feeds are the record's; nothing is saved at the end.
CVantrelDlg::~CVantrelDlg() = default;

void CVantrelDlg::ValidateSettings() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_moviePaths.empty()) {
        m_moviePaths.push_back(platform::home_folder());
    }
    if (m_nServerPort < 1 || m_nServerPort > 65535) {
        m_nServerPort = DEFAULT_SERVER_PORT;
    }
    if (TextToInt(m_strAudioBitrate) % 32 != 0) {
        m_strAudioBitrate = "128";
    }
    ApplyDividerRuleLocked();
    if (m_extensionList.empty()) {
        m_extensionList.assign(std::begin(DEFAULT_EXTENSIONS), std::end(DEFAULT_EXTENSIONS));
    }
}

void CVantrelDlg::ValidateFrameRateDivider() {
    std::lock_guard<std::mutex> guard(m_lock);
    ApplyDividerRuleLocked();
}

bool CVantrelDlg::IsValidFrameRateDivider(float divider) {
    for (float valid : VALID_DIVIDERS) {
        if (divider == valid) return true;  // exact: every valid value is a float exactly
    }
    return false;
}

void CVantrelDlg::ApplyDividerRuleLocked() {
    if (!IsValidFrameRateDivider(m_fFrameRateDivider)) {
        m_fFrameRateDivider = 1.0f;
    }
}

void CVantrelDlg::PostMessage(unsigned message, uintptr_t wParam, std::unique_ptr<std::string> text) {
    m_messages.post(message, wParam, std::move(text));
}
