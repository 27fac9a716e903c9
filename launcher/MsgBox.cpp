#include "launcher/MsgBox.h"

#include <QMessageBox>
#include <QString>

namespace {

// The text's lines joined by separator; CR LF, CR and LF each end a line.
std::string joined_lines(const std::string& text, const std::string& separator) {
    std::string joined;
    for (size_t pos = 0; pos < text.size(); ++pos) {
        if (text[pos] != '\r' && text[pos] != '\n') {
            joined += text[pos];
            continue;
        }
        joined += separator;
        if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
    }
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
