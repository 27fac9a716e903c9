#include "launcher/BrowseFolders.h"

#include <QFileDialog>
#include <QString>

std::string BrowseForFolder(QWidget* owner, const std::string& prompt) {
    const QString folder = QFileDialog::getExistingDirectory(owner, QString::fromStdString(prompt), QString(),
                                                             QFileDialog::ShowDirsOnly);
    return folder.toStdString();
}
