#include "launcher/MsgBox.h"

#include <QMessageBox>
#include <QString>

namespace {

// Calls line(from, to) for each line of the text; CR LF, CR and LF end a line.
template <typename LineHandler>
void for_each_line(const std::string& text, LineHandler line) {
    size_t start = 0;
    for (size_t pos = 0; pos < text.size(); ++pos) {
        if (text[pos] != '\r' && text[pos] != '\n') continue;
        line(start, pos, true);
        if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
        start = pos + 1;
    }
    line(start, text.size(), false);
}

std::string joined_lines(const std::string& text, const std::string& separator) {
    std::string joined;
    for_each_line(text, [&](size_t from, size_t to, bool more) {
        joined += text.substr(from, to - from);
        if (more) joined += separator;
    });
    return joined;
}

}  // namespace

std::string MessageBoxLogLine(const std::string& text, const std::string& title) {
    return title + ": " + joined_lines(text, "\\n");
}

void ShowMessageBox(const std::string& text, MsgBoxIcon icon, const std::string& title) {
    QMessageBox box(icon == MsgBoxIcon::Critical ? QMessageBox::Critical : QMessageBox::Information,
                    QString::fromStdString(title), QString::fromStdString(joined_lines(text, "\n")),
                    QMessageBox::Ok);
    box.exec();
}
