#include "core/vantrel_dlg.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/text_to_number.h"
#include "platform/paths.h"

namespace {

const char* const DEFAULT_EXTENSIONS[] = {"AVI", "M4V", "VOB", "MP4", "MPG", "MPEG",
                                          "MP3", "WMA", "WAV", "WMV", "ASF", "MOV"};

const float VALID_DIVIDERS[] = {1.0f, 1.25f, 1.5f, 1.75f, 2.0f};

constexpr int MAX_MOVIE_BITRATE_KBITS = std::numeric_limits<int>::max() / 1000;

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

bool CVantrelDlg::IsValidAudioBitrate(int kbits) {
    return kbits >= 32 && kbits <= 256 && kbits % 32 == 0;
}

bool CVantrelDlg::IsValidMovieBitrate(int kbits) {
    return kbits > 0 && kbits <= MAX_MOVIE_BITRATE_KBITS;
}

float CVantrelDlg::ValidFrameRateDivider(float divider) {
    return IsValidFrameRateDivider(divider) ? divider : 1.0f;
}

void CVantrelDlg::ApplyDividerRuleLocked() {
    m_fFrameRateDivider = ValidFrameRateDivider(m_fFrameRateDivider);
}

void CVantrelDlg::PostMessage(unsigned message, uintptr_t wParam, std::unique_ptr<std::string> text) {
    m_messages.post(message, wParam, std::move(text));
}
