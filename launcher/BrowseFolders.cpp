#include "launcher/BrowseFolders.h"

#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QString>
#include <QVBoxLayout>

namespace {

constexpr const char* DIALOG_TITLE = "Browse for Folder";

}  // namespace

// The prompt is a whole sentence: it stands as a label inside the dialog, where
// it wraps, rather than in a title bar that cuts it off.
std::string BrowseForFolder(QWidget* owner, const std::string& prompt) {
    QDialog dialog(owner);
    dialog.setObjectName("BrowseForFolder");
    dialog.setWindowTitle(QString::fromUtf8(DIALOG_TITLE));
    auto* label = new QLabel(QString::fromStdString(prompt), &dialog);
    label->setObjectName("prompt");
    label->setWordWrap(true);
    auto* chooser = new QFileDialog(&dialog);
    chooser->setObjectName("chooser");
    chooser->setWindowFlags(Qt::Widget);
    chooser->setOption(QFileDialog::DontUseNativeDialog);
    chooser->setOption(QFileDialog::ShowDirsOnly);
    chooser->setFileMode(QFileDialog::Directory);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(label);
    layout->addWidget(chooser, 1);
    QObject::connect(chooser, &QFileDialog::finished, &dialog, &QDialog::done);
    if (dialog.exec() != QDialog::Accepted) return "";
    const QStringList chosen = chooser->selectedFiles();
    return chosen.isEmpty() ? std::string() : chosen.first().toStdString();
}
