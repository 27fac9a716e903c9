#include "core/ini_file.h"

#include "platform/profile.h"

namespace {

// Buffer sizes of the settings code: a section's key names are only counted,
// so a short buffer does; a value keeps at most 254 characters.
constexpr int SECTION_BUFFER_SIZE = 90;
constexpr int VALUE_BUFFER_SIZE = 255;

}  // namespace

bool CIniFile::SectionExists(const std::string& section) {
    std::string keyNames;
    m_nLastResult = platform::GetPrivateProfileString(section.c_str(), nullptr, "", keyNames,
                                                      SECTION_BUFFER_SIZE, m_strFileName);
    return m_nLastResult > 0;
}

std::string CIniFile::GetString(const std::string& key, const std::string& section) {
    std::string value;
    m_nLastResult = platform::GetPrivateProfileString(section.c_str(), key.c_str(), "", value,
                                                      VALUE_BUFFER_SIZE, m_strFileName);
    return value;
}

int CIniFile::WriteString(const std::string& value, const std::string& key, const std::string& section) {
    m_nLastResult = platform::WritePrivateProfileString(section.c_str(), key.c_str(), value.c_str(),
                                                        m_strFileName);
    return m_nLastResult;
}
