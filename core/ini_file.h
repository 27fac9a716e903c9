#pragma once
// One INI file, read and written key by key through the profile functions.
// No cache: every call goes to the file.

#include <string>

class CIniFile {
public:
    CIniFile() = default;

    void SetFileName(const std::string& fileName) { m_strFileName = fileName; }
    const std::string& GetFileName() const { return m_strFileName; }

    // True when the section holds at least one key.
    bool SectionExists(const std::string& section);
    // The key's value, at most 254 characters; "" for anything missing.
    std::string GetString(const std::string& key, const std::string& section);
    // Nonzero on success.
    int WriteString(const std::string& value, const std::string& key, const std::string& section);

private:
    std::string m_strFileName;
    int m_nLastResult = 0;
};
