#pragma once
// Two complete, valid sets of settings that differ in every saved key (lists
// of different lengths too), for the settings crash-safety program and the
// saver it kills.

#include <string>
#include <vector>

#include "core/vantrel_dlg.h"

namespace robustness {

struct SettingsSet {
    std::vector<std::string> moviePaths;
    std::string movieBitrate;
    std::string audioBitrate;
    float frameRateDivider;
    int serverPort;
    std::vector<std::string> extensionList;
    std::vector<std::string> feedUrls;
    std::vector<std::string> infiniteStreams;
    uint8_t showNoAudioMovie;
};

inline const SettingsSet& SettingsSetA() {
    static const SettingsSet set{{"/media/a/one", "/media/a/two"},
                                 "600",
                                 "128",
                                 1.0f,
                                 3333,
                                 {"AVI", "MP4"},
                                 {"http://a.invalid/feed"},
                                 {"/media/a/live.avi"},
                                 1};
    return set;
}

inline const SettingsSet& SettingsSetB() {
    static const SettingsSet set{{"/media/b/one", "/media/b/two", "/media/b/three"},
                                 "768",
                                 "160",
                                 1.5f,
                                 4444,
                                 {"MKV", "MOV", "MP3"},
                                 {"http://b.invalid/one", "http://b.invalid/two", "http://b.invalid/three"},
                                 {},
                                 0};
    return set;
}

inline void ApplySettingsSet(CVantrelDlg& record, const SettingsSet& set) {
    std::lock_guard<std::mutex> guard(record.Lock());
    record.m_moviePaths = set.moviePaths;
    record.m_strMovieBitrate = set.movieBitrate;
    record.m_strAudioBitrate = set.audioBitrate;
    record.m_fFrameRateDivider = set.frameRateDivider;
    record.m_nServerPort = set.serverPort;
    record.m_extensionList = set.extensionList;
    record.m_feeds.clear();
    for (const std::string& url : set.feedUrls) {
        CFeedPtr feed = std::make_shared<CFeed>();
        feed->m_strUrl = url;
        record.m_feeds.push_back(feed);
    }
    record.m_infiniteStreams = set.infiniteStreams;
    record.m_bShowNoAudioMovie = set.showNoAudioMovie;
}

inline bool RecordHoldsSet(const CVantrelDlg& record, const SettingsSet& set) {
    std::lock_guard<std::mutex> guard(record.Lock());
    std::vector<std::string> feedUrls;
    for (const CFeedPtr& feed : record.m_feeds) feedUrls.push_back(feed->m_strUrl);
    return record.m_moviePaths == set.moviePaths && record.m_strMovieBitrate == set.movieBitrate &&
           record.m_strAudioBitrate == set.audioBitrate && record.m_fFrameRateDivider == set.frameRateDivider &&
           record.m_nServerPort == set.serverPort && record.m_extensionList == set.extensionList &&
           feedUrls == set.feedUrls && record.m_infiniteStreams == set.infiniteStreams &&
           record.m_bShowNoAudioMovie == set.showNoAudioMovie;
}

}  // namespace robustness
