// The main dialog against its real widgets, offscreen: template, keys, the
// bit-rate edits, the divider radios, the client's changes, folders, the tray
// hand-over and the About box.

#include <gtest/gtest.h>

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/about_dlg.h"
#include "app/feed_tree_widget.h"
#include "app/resource_ids.h"
#include "feeds/enclosure_download.h"
#include "platform/message_box.h"
#include "platform/tcp.h"
#include "tests/app/dialog_fixture.h"
#include "tests/support/http_server.h"
#include "tests/support/media_clips.h"
#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"
#include "tests/support/temp_dir.h"

namespace {

using gui_test::DialogTest;
using gui_test::WaitForFocusWidget;
using gui_test::WaitUntil;

const char* const TAB_STOPS[] = {"IDC_BROWSE",    "IDC_MOVIE_BITRATE", "IDC_AUDIO_BITRATE",  "IDC_DONATE",
                                 "IDC_FEED_TREE", "IDC_MEDIA_PATHS",   "IDC_REMOVE_SELECTED"};

TEST_F(DialogTest, TemplateControlsCaptionAndNoDefaultButton) {
    OpenDialog();
    EXPECT_EQ(window_->windowTitle(), "Vantrel 0.65");
    const struct {
        const char* name;
        const char* caption;
    } controls[] = {{"IDC_BROWSE", "Browse"},           {"IDC_FRAMERATE_ORIGINAL", "Original"},
                    {"IDC_FRAMERATE_125", "Framerate/1.25"}, {"IDC_FRAMERATE_150", "Framerate/1.5"},
                    {"IDC_FRAMERATE_175", "Framerate/1.75"}, {"IDC_FRAMERATE_200", "Framerate/2"}};
    for (const auto& control : controls) {
        auto* button = Control<QAbstractButton>(control.name);
        ASSERT_NE(button, nullptr) << control.name;
        EXPECT_EQ(button->text(), control.caption) << control.name;
    }
    for (const char* name : {"IDC_STREAMING", "IDC_MOVIE_BITRATE", "IDC_AUDIO_BITRATE", "IDC_PROGRESS_PSP",
                             "IDC_PROGRESS_PC", "IDC_FEED_TREE", "IDC_MEDIA_PATHS", "IDC_REMOVE_SELECTED",
                             "IDC_DONATE"}) {
        EXPECT_NE(Control<QWidget>(name), nullptr) << name;
    }
    EXPECT_TRUE(Control<QLineEdit>("IDC_STREAMING")->isReadOnly());
    EXPECT_FALSE(Control<QPushButton>("IDC_DONATE")->icon().isNull());
    for (QPushButton* button : window_->findChildren<QPushButton*>()) {
        EXPECT_FALSE(button->isDefault()) << button->objectName().toStdString();
    }
    EXPECT_EQ(Control<QProgressBar>("IDC_PROGRESS_PC")->maximum(), 400);
    EXPECT_EQ(Control<QProgressBar>("IDC_PROGRESS_PSP")->maximum(), 400);
    // Every control inside the window, none cut off by its edge.
    for (QWidget* child : window_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(window_->rect().contains(child->geometry())) << child->objectName().toStdString();
    }
}

TEST_F(DialogTest, TabOrderFollowsTheTemplateFromBrowse) {
    OpenDialog();
    ASSERT_EQ(QApplication::focusWidget(), Control<QWidget>("IDC_BROWSE"));
    for (size_t i = 1; i <= std::size(TAB_STOPS); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        const char* expected = TAB_STOPS[i % std::size(TAB_STOPS)];
        ASSERT_NE(QApplication::focusWidget(), nullptr);
        EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), expected) << "after Tab " << i;
    }
}

TEST_F(DialogTest, EnterMovesTheFocusAndNeverCloses) {
    OpenDialog();
    bool finished = false;
    QObject::connect(window_.get(), &QDialog::finished, [&] { finished = true; });
    Control<QLineEdit>("IDC_MOVIE_BITRATE")->setFocus();
    QTest::keyClick(Control<QLineEdit>("IDC_MOVIE_BITRATE"), Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), Control<QWidget>("IDC_AUDIO_BITRATE"));
    QTest::keyClick(Control<QLineEdit>("IDC_AUDIO_BITRATE"), Qt::Key_Enter);
    EXPECT_EQ(QApplication::focusWidget(), Control<QWidget>("IDC_DONATE"));
    Control<QWidget>("IDC_FEED_TREE")->setFocus();
    QTest::keyClick(Control<QWidget>("IDC_FEED_TREE"), Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), Control<QWidget>("IDC_MEDIA_PATHS"));
    // On a focused push button Enter is its click, and the dialog stays.
    int picked = 0;
    window_->SetFolderPicker([&](const std::string&) {
        ++picked;
        return std::string();
    });
    Control<QWidget>("IDC_BROWSE")->setFocus();
    QTest::keyClick(Control<QWidget>("IDC_BROWSE"), Qt::Key_Return);
    EXPECT_EQ(picked, 1);
    EXPECT_FALSE(finished);
    EXPECT_TRUE(window_->isVisible());
}

TEST_F(DialogTest, EscEndsTheModalRunWithFirstFocusOnBrowse) {
    MakeDialog();
    std::string focused;
    QTimer::singleShot(0, [&] {  // inside the modal run; the keyboard comes once the window is active
        QWidget* focus = WaitForFocusWidget();
        if (focus) focused = focus->objectName().toStdString();
        QTest::keyClick(focus ? focus : window_.get(), Qt::Key_Escape);
    });
    EXPECT_EQ(window_->DoModal(), static_cast<int>(IDCANCEL));
    EXPECT_EQ(focused, "IDC_BROWSE");
    EXPECT_FALSE(window_->isVisible());
}

TEST_F(DialogTest, EachKeystrokeInTheMovieBitrateRewritesTheIniFile) {
    OpenDialog();
    auto* edit = Control<QLineEdit>("IDC_MOVIE_BITRATE");
    EXPECT_EQ(edit->text(), "600");
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ(IniValue("movieBitrate"), "");
    std::string typed;
    for (char key : std::string("75x")) {
        QTest::keyClick(edit, key);
        typed += key;
        EXPECT_EQ(IniValue("movieBitrate"), typed);  // not validated
    }
    std::lock_guard<std::mutex> guard(record_->Lock());
    EXPECT_EQ(record_->m_strMovieBitrate, "75x");
}

TEST_F(DialogTest, AudioBitrateIsCheckedWhenTheEditIsLeft) {
    const struct {
        const char* typed;
        bool refused;
        const char* shown;  // the edit's text afterwards, and the stored value
    } cases[] = {
        {"128", false, "128"}, {"100", true, "96"},     {"0", true, "96"},
        {"288", true, "96"},   {"abc", true, "96"},     {"64kbit", false, "64kbit"},
        {"  32", false, "  32"}, {"256000000", true, "96"}, {"-64", true, "96"},
    };
    WriteIni("audioBitrate=96\n");
    OpenDialog();
    auto* edit = Control<QLineEdit>("IDC_AUDIO_BITRATE");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        {
            std::lock_guard<std::mutex> guard(record_->Lock());
            record_->m_strAudioBitrate = "96";
        }
        record_->SaveSettings();
        window_->UpdateData(false);
        boxes_.clear();
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, c.typed);
        QTest::keyClick(edit, Qt::Key_Tab);
        EXPECT_EQ(edit->text().toStdString(), c.shown);
        EXPECT_EQ(IniValue("audioBitrate"), c.shown);
        const std::vector<gui_test::CapturedBox> refusal{{"Illegal audio bit rate", "Vantrel"}};
        EXPECT_EQ(boxes_, c.refused ? refusal : std::vector<gui_test::CapturedBox>{});
    }
}

// EN_KILLFOCUS: only a real loss of the focus checks the audio bit rate. The
// edit's own context menu takes the keyboard for a while (a focus-out for a
// pop-up) and gives it back: no check, the typed text stays.
TEST_F(DialogTest, AudioBitrateIsNotCheckedWhileItsContextMenuIsOpen) {
    const struct {
        const char* name;
        std::function<void(QWidget* edit, QWidget* other)> leave;
        bool checked;
    } cases[] = {
        {"context menu", [](QWidget* edit, QWidget*) {
             QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(5, 5), edit->mapToGlobal(QPoint(5, 5)));
             QApplication::sendEvent(edit, &menu);
         }, false},
        {"Tab", [](QWidget* edit, QWidget*) { QTest::keyClick(edit, Qt::Key_Tab); }, true},
        {"Shift+Tab", [](QWidget* edit, QWidget*) { QTest::keyClick(edit, Qt::Key_Backtab, Qt::ShiftModifier); }, true},
        {"click on the movie edit", [](QWidget*, QWidget* other) { QTest::mouseClick(other, Qt::LeftButton); }, true},
        // Another window (or program) taking the keyboard is a loss of focus, as on the system.
        {"another window activated", [](QWidget* edit, QWidget*) {
             QWidget another;
             another.show();
             another.activateWindow();
             WaitUntil([&] { return another.isActiveWindow(); });
             edit->window()->activateWindow();
             WaitUntil([&] { return edit->window()->isActiveWindow(); });
         }, true},
    };
    WriteIni("audioBitrate=96\n");
    OpenDialog();
    auto* edit = Control<QLineEdit>("IDC_AUDIO_BITRATE");
    auto* movie = Control<QLineEdit>("IDC_MOVIE_BITRATE");
    const std::vector<gui_test::CapturedBox> refusal{{"Illegal audio bit rate", "Vantrel"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes_.clear();
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, "100");
        c.leave(edit, movie);
        QApplication::processEvents();
        EXPECT_EQ(boxes_, c.checked ? refusal : std::vector<gui_test::CapturedBox>{});
        EXPECT_EQ(edit->text().toStdString(), c.checked ? "96" : "100");
        if (!c.checked) {
            // The menu is open and the user has not left the edit.
            QWidget* popup = QApplication::activePopupWidget();
            ASSERT_NE(popup, nullptr);
            popup->close();
            QApplication::processEvents();
            EXPECT_EQ(QApplication::focusWidget(), edit);
            // Leaving it now is a real loss of focus: checked then.
            QTest::keyClick(edit, Qt::Key_Tab);
            EXPECT_EQ(boxes_, refusal);
            EXPECT_EQ(edit->text().toStdString(), "96");
        }
        EXPECT_EQ(IniValue("audioBitrate"), "96");
    }
}

TEST_F(DialogTest, DividerRadiosStoreAndSave) {
    OpenDialog();
    const struct {
        const char* radio;
        const char* stored;
    } cases[] = {{"IDC_FRAMERATE_125", "1.250000"}, {"IDC_FRAMERATE_150", "1.500000"},
                 {"IDC_FRAMERATE_175", "1.750000"}, {"IDC_FRAMERATE_200", "2.000000"},
                 {"IDC_FRAMERATE_ORIGINAL", "1.000000"}};
    for (const auto& c : cases) {
        QTest::mouseClick(Control<QRadioButton>(c.radio), Qt::LeftButton);
        EXPECT_TRUE(Control<QRadioButton>(c.radio)->isChecked()) << c.radio;
        EXPECT_EQ(IniValue("frameRateDivider"), c.stored) << c.radio;
    }
}

TEST_F(DialogTest, StoredDividerChecksItsRadio) {
    WriteIni("frameRateDivider=1.75\n");
    OpenDialog();
    EXPECT_TRUE(Control<QRadioButton>("IDC_FRAMERATE_175")->isChecked());
    EXPECT_FALSE(Control<QRadioButton>("IDC_FRAMERATE_ORIGINAL")->isChecked());
}

TEST_F(DialogTest, ClientDivider13IsPutBackToOriginalAndSaved) {
    WriteIni("frameRateDivider=1.5\nmovieBitrate=600\n");
    OpenDialog();
    ASSERT_TRUE(Control<QRadioButton>("IDC_FRAMERATE_150")->isChecked());
    const uint16_t port = ServerPort();
    ASSERT_NE(port, 0);
    // A listing without settings rewrites the file too.
    record_->m_iniFile.WriteString("stale", "movieBitrate", "StreamSettings");
    ASSERT_TRUE(test_support::ListDir(port, test_support::ListDirRequest("", 4096)).well_formed);
    ASSERT_TRUE(WaitUntil([&] { return IniValue("movieBitrate") == "600"; }));
    const test_support::ListDirReply reply =
        test_support::ListDir(port, test_support::ListDirRequest("", 4096, "&framediv=1.3&vbitrate=450"));
    ASSERT_TRUE(reply.well_formed);
    ASSERT_TRUE(WaitUntil([&] { return IniValue("frameRateDivider") == "1.000000"; }));
    EXPECT_TRUE(Control<QRadioButton>("IDC_FRAMERATE_ORIGINAL")->isChecked());
    EXPECT_FALSE(Control<QRadioButton>("IDC_FRAMERATE_150")->isChecked());
    EXPECT_EQ(Control<QLineEdit>("IDC_MOVIE_BITRATE")->text(), "450");
    EXPECT_EQ(IniValue("movieBitrate"), "450");
}

// Bit rates the window would refuse leave those in force, in the edits and in
// the file that the listing's save rewrites.
TEST_F(DialogTest, ClientBitRatesTheWindowWouldRefuseLeaveThoseInForce) {
    const char* const refused[] = {"&abitrate=33", "&abitrate=0&vbitrate=0", "&abitrate=1024&vbitrate=-600",
                                   "&abitrate=-2147483648&vbitrate=2147483648"};
    WriteIni("movieBitrate=450\naudioBitrate=96\n");
    OpenDialog();
    const uint16_t port = ServerPort();
    ASSERT_NE(port, 0);
    for (const char* keys : refused) {
        SCOPED_TRACE(keys);
        record_->m_iniFile.WriteString("stale", "audioBitrate", "StreamSettings");
        const test_support::ListDirReply reply = test_support::ListDir(port, test_support::ListDirRequest("", 4096, keys));
        ASSERT_TRUE(reply.well_formed);
        EXPECT_EQ(reply.lines.back(), "config:framedivider=1.00&videobitrate=450&audiobitrate=96.pmp");
        ASSERT_TRUE(WaitUntil([&] { return IniValue("audioBitrate") != "stale"; }));
        EXPECT_EQ(IniValue("audioBitrate"), "96");
        EXPECT_EQ(IniValue("movieBitrate"), "450");
        EXPECT_EQ(Control<QLineEdit>("IDC_AUDIO_BITRATE")->text(), "96");
        EXPECT_EQ(Control<QLineEdit>("IDC_MOVIE_BITRATE")->text(), "450");
    }
    gui_test::SaveScreenshot(window_.get(), "main_dialog_refused_client_bitrates");
}

TEST_F(DialogTest, PostedMessageWhileTypingPutsTheLastAcceptedAudioValueBack) {
    const unsigned messages[] = {WM_SERVER_MESSAGE, WM_SETTINGS_CHANGED};
    OpenDialog();
    auto* edit = Control<QLineEdit>("IDC_AUDIO_BITRATE");
    for (unsigned message : messages) {
        SCOPED_TRACE(message);
        boxes_.clear();
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, "99");
        {
            std::lock_guard<std::mutex> guard(record_->Lock());
            record_->m_strStreaming = "clip.avi";
        }
        record_->PostMessage(message, 0,
                             message == WM_SERVER_MESSAGE ? std::make_unique<std::string>("could not open codec")
                                                          : nullptr);
        ASSERT_TRUE(WaitUntil([&] { return edit->text() == "128"; }));
        EXPECT_EQ(Control<QLineEdit>("IDC_STREAMING")->text(), "clip.avi");
        EXPECT_EQ(QApplication::focusWidget(), edit);
        const std::vector<gui_test::CapturedBox> error{{"could not open codec", "Error"}};
        EXPECT_EQ(boxes_, message == WM_SERVER_MESSAGE ? error : std::vector<gui_test::CapturedBox>{});
    }
}

// The server thread writes the streaming name and a client's bit rates into the
// record before the dialog hears of it: an edit the user changes meanwhile
// takes its own text only, not the stale texts of the other edits.
TEST_F(DialogTest, ATypedChangeTakesOnlyItsOwnEditNotWhatAWorkerJustSet) {
    const struct {
        const char* edit;
        const char* typed;
        const char* ownKey;
        const char* otherKey;
        std::string CVantrelDlg::*other;
        const char* clientValue;
    } cases[] = {
        {"IDC_MOVIE_BITRATE", "7", "movieBitrate", "audioBitrate", &CVantrelDlg::m_strAudioBitrate, "64"},
        {"IDC_AUDIO_BITRATE", "192", "audioBitrate", "movieBitrate", &CVantrelDlg::m_strMovieBitrate, "450"},
    };
    OpenDialog();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.edit);
        auto* edit = Control<QLineEdit>(c.edit);
        edit->setFocus();
        edit->selectAll();
        {
            std::lock_guard<std::mutex> guard(record_->Lock());
            record_->m_strStreaming = std::string("new-") + c.edit + ".avi";
            (*record_).*c.other = c.clientValue;
        }
        QTest::keyClicks(edit, c.typed);
        QTest::keyClick(edit, Qt::Key_Tab);
        EXPECT_EQ(IniValue(c.ownKey), c.typed);
        EXPECT_EQ(IniValue(c.otherKey), c.clientValue);
        std::lock_guard<std::mutex> guard(record_->Lock());
        EXPECT_EQ((*record_).*c.other, c.clientValue);
        EXPECT_EQ(record_->m_strStreaming, std::string("new-") + c.edit + ".avi");
        EXPECT_EQ(edit->text().toStdString(), c.typed);
    }
}

TEST_F(DialogTest, ProgressUpdateMovesBothBars) {
    OpenDialog();
    record_->m_nSendProgress = 120;
    record_->m_nTranscodeProgress = 300;
    record_->PostMessage(WM_PROGRESS_UPDATE);
    ASSERT_TRUE(WaitUntil([&] { return Control<QProgressBar>("IDC_PROGRESS_PC")->value() == 300; }));
    EXPECT_EQ(Control<QProgressBar>("IDC_PROGRESS_PSP")->value(), 120);
}

TEST_F(DialogTest, BrowseAddsEvenAnEqualFolderAndAlwaysSaves) {
    WriteIni("nmoviepaths=1\nmoviepath_1=/media/b\nmovieBitrate=600\n");
    OpenDialog();
    std::vector<std::string> picks = {"/media/a", "/media/a", ""};
    std::vector<std::string> titles;
    window_->SetFolderPicker([&](const std::string& title) {
        titles.push_back(title);
        std::string pick = picks.front();
        picks.erase(picks.begin());
        return pick;
    });
    auto* list = Control<QListWidget>("IDC_MEDIA_PATHS");
    testing::internal::CaptureStdout();
    QTest::mouseClick(Control<QPushButton>("IDC_BROWSE"), Qt::LeftButton);
    QTest::mouseClick(Control<QPushButton>("IDC_BROWSE"), Qt::LeftButton);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Selected Folder: /media/a\nSelected Folder: /media/a\n");
    EXPECT_EQ(titles, std::vector<std::string>(2, "Choose movie path"));
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(0)->text(), "/media/a");  // the list sorts itself
    EXPECT_EQ(list->item(2)->text(), "/media/b");
    EXPECT_EQ(IniValue("nmoviepaths"), "3");
    EXPECT_EQ(IniValue("moviepath_3"), "/media/a");

    // A cancelled picker adds nothing but still saves.
    record_->m_iniFile.WriteString("stale", "movieBitrate", "StreamSettings");
    QTest::mouseClick(Control<QPushButton>("IDC_BROWSE"), Qt::LeftButton);
    EXPECT_EQ(list->count(), 3);
    EXPECT_EQ(IniValue("movieBitrate"), "600");
}

TEST_F(DialogTest, RemoveSelectedTakesTheLastEqualEntryAndAlwaysSaves) {
    WriteIni("nmoviepaths=3\nmoviepath_1=/m/x\nmoviepath_2=/m/y\nmoviepath_3=/m/x\nmovieBitrate=600\n");
    OpenDialog();
    auto* list = Control<QListWidget>("IDC_MEDIA_PATHS");
    ASSERT_EQ(list->count(), 3);
    // No selection: nothing removed, saved all the same.
    record_->m_iniFile.WriteString("stale", "movieBitrate", "StreamSettings");
    QTest::mouseClick(Control<QPushButton>("IDC_REMOVE_SELECTED"), Qt::LeftButton);
    EXPECT_EQ(list->count(), 3);
    EXPECT_EQ(IniValue("movieBitrate"), "600");

    list->setCurrentRow(0);  // "/m/x", first in the sorted list
    QTest::mouseClick(Control<QPushButton>("IDC_REMOVE_SELECTED"), Qt::LeftButton);
    EXPECT_EQ(list->count(), 2);
    {
        std::lock_guard<std::mutex> guard(record_->Lock());
        EXPECT_EQ(record_->m_moviePaths, (std::vector<std::string>{"/m/x", "/m/y"}));
    }
    EXPECT_EQ(IniValue("nmoviepaths"), "2");
    EXPECT_EQ(IniValue("moviepath_3"), "/m/x");  // left behind above the count
}

// After a remove nothing is selected: a second click must not take out a
// folder the user never picked.
TEST_F(DialogTest, RemoveSelectedLeavesNothingSelected) {
    const struct {
        const char* name;
        int row;  // the line picked, in the sorted list
        std::vector<std::string> left;
    } cases[] = {
        {"first line", 0, {"/m/b", "/m/c"}},
        {"middle line", 1, {"/m/a", "/m/c"}},
        {"last line", 2, {"/m/a", "/m/b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteIni("nmoviepaths=3\nmoviepath_1=/m/a\nmoviepath_2=/m/b\nmoviepath_3=/m/c\n");
        OpenDialog();
        auto* list = Control<QListWidget>("IDC_MEDIA_PATHS");
        auto* remove = Control<QPushButton>("IDC_REMOVE_SELECTED");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                          list->visualItemRect(list->item(c.row)).center());
        ASSERT_EQ(list->selectedItems().size(), 1);
        QTest::mouseClick(remove, Qt::LeftButton);
        EXPECT_EQ(list->count(), 2);
        EXPECT_TRUE(list->selectedItems().isEmpty());
        EXPECT_EQ(list->currentRow(), -1);
        // The second click finds no selection: nothing goes, the file is saved all the same.
        record_->m_iniFile.WriteString("stale", "nmoviepaths", "StreamSettings");
        QTest::mouseClick(remove, Qt::LeftButton);
        EXPECT_EQ(list->count(), 2);
        EXPECT_EQ(IniValue("nmoviepaths"), "2");
        {
            std::lock_guard<std::mutex> guard(record_->Lock());
            EXPECT_EQ(record_->m_moviePaths, c.left);
        }
        // Not under the lock: the window's end joins the server thread, which may still take it.
        window_.reset();
    }
}

TEST_F(DialogTest, StartedMinimisedGoesToTheTrayOnlyWithANotificationArea) {
    const struct {
        int nCmdShow;
        bool trayHost;
        bool inTray;
        bool visible;
        bool minimised;  // in the tray the window is hidden, not minimised (see OnSysCommand)
    } cases[] = {
        {SW_SHOWMINNOACTIVE, true, true, false, false},  {SW_SHOWNORMAL, true, false, true, false},
        {SW_SHOWMINNOACTIVE, false, false, true, true},  {2, true, true, false, false},
        {9, true, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "show command " << c.nCmdShow << " tray " << c.trayHost);
        CSystemTray::SetTrayAvailableForTest([&] { return c.trayHost; });
        OpenDialog(c.nCmdShow);
        QApplication::processEvents();
        EXPECT_EQ(window_->IsInTray(), c.inTray);
        EXPECT_EQ(window_->Tray() != nullptr, c.inTray);
        EXPECT_EQ(window_->isVisible(), c.visible);
        EXPECT_EQ(window_->isMinimized(), c.minimised);
        window_.reset();
        record_.reset();
    }
}

// Template 102: caption, system menu, minimise box, no maximise box, fixed
// size. A top-level window, not a dialog: window managers give dialogs no
// minimise box, and the minimise is the way to the tray (see
// window_manager_test.cpp for the window under a real window manager).
TEST_F(DialogTest, TheWindowHasAMinimiseBoxNoMaximiseBoxAndAFixedSize) {
    OpenDialog();
    EXPECT_EQ(window_->windowType(), Qt::Window);
    const Qt::WindowFlags flags = window_->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_EQ(window_->minimumSize(), window_->size());
    EXPECT_EQ(window_->maximumSize(), window_->size());
}

// Back from the tray, the focus is where it was when the window went there
// ("Browse" when it went at once, started with show command 7), an edit's
// text as it was, not selected for the next key to replace; and the window
// stands where it stood.
TEST_F(DialogTest, BackFromTheTrayTheFocusAndThePlaceAreAsTheyWere) {
    CSystemTray::SetTrayAvailableForTest([] { return true; });
    const struct {
        const char* name;
        int nCmdShow;
        const char* focus;  // where the user leaves the focus before the minimise; null: started in the tray
        int cursor;
    } cases[] = {
        {"started in the tray", SW_SHOWMINNOACTIVE, nullptr, 0},
        {"typing in the movie bit rate", SW_SHOWNORMAL, "IDC_MOVIE_BITRATE", 2},
        {"on Remove Selected", SW_SHOWNORMAL, "IDC_REMOVE_SELECTED", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteIni("movieBitrate=600\naudioBitrate=128\n");
        MakeDialog(c.nCmdShow);
        std::string focused = "<none>", selected = "<none>";
        int cursor = -1;
        QPoint before, after;
        QRect placed, screenArea;
        QTimer::singleShot(50, [&] {  // a timer: the modal run's posted events come first
            if (c.focus) {
                WaitUntil([&] { return window_->isActiveWindow(); });
                window_->move(window_->pos() + QPoint(30, 20));  // the user moved it
                Control<QWidget>(c.focus)->setFocus(Qt::MouseFocusReason);
                if (auto* edit = Control<QLineEdit>(c.focus)) edit->setCursorPosition(c.cursor);
                window_->setWindowState(Qt::WindowMinimized);  // the minimise box
            }
            const bool inTray = WaitUntil([&] { return window_->IsInTray() && window_->Tray(); });
            EXPECT_TRUE(inTray);
            before = window_->pos();
            // Whatever the hidden window went through in the tray.
            WaitUntil([] { return false; }, 100);
            if (inTray) window_->Tray()->OnTrayNotify(IDR_TRAY_MENU, WM_LBUTTONDBLCLK);
            // The window's own focus control, which has the keyboard once the
            // window is active (here the stand-in icon's window may keep that).
            WaitUntil([] { return false; }, 100);
            after = window_->pos();
            placed = window_->frameGeometry();
            screenArea = window_->screen()->availableGeometry();
            if (QWidget* focus = window_->focusWidget()) focused = focus->objectName().toStdString();
            if (auto* edit = qobject_cast<QLineEdit*>(window_->focusWidget())) {
                selected = edit->selectedText().toStdString();
                cursor = edit->cursorPosition();
            }
            QTest::keyClick(window_.get(), Qt::Key_Escape);
        });
        window_->DoModal();
        EXPECT_EQ(focused, c.focus ? c.focus : "IDC_BROWSE");
        if (c.focus && std::string(c.focus) == "IDC_MOVIE_BITRATE") {
            EXPECT_EQ(selected, "");
            EXPECT_EQ(cursor, c.cursor);
        }
        if (c.focus) {
            EXPECT_EQ(after, before);
        } else {
            // Never on the screen before, it places itself there when it first shows.
            EXPECT_TRUE(screenArea.contains(placed)) << placed.x() << "," << placed.y();
        }
        EXPECT_EQ(IniValue("movieBitrate"), "600");
        window_.reset();
        record_.reset();
    }
}

TEST_F(DialogTest, TrayNotifications) {
    CSystemTray::SetTrayAvailableForTest([] { return true; });
    std::vector<std::string> menuTexts;
    std::string defaultItem;
    const char* choose = nullptr;
    CSystemTray::SetMenuTrackerForTest([&](QMenu& popup, const QPoint&) -> QAction* {
        menuTexts.clear();
        for (QAction* item : popup.actions()) menuTexts.push_back(item->text().toStdString());
        defaultItem = popup.defaultAction() ? popup.defaultAction()->text().toStdString() : "";
        for (QAction* item : popup.actions()) {
            if (choose && item->text() == choose) return item;
        }
        return nullptr;
    });
    const struct {
        const char* name;
        unsigned id;
        unsigned event;
        const char* choose;
        long result;
        bool inTrayAfter;
    } cases[] = {
        {"right button, nothing chosen", IDR_TRAY_MENU, WM_RBUTTONUP, nullptr, 1, true},
        {"left click", IDR_TRAY_MENU, WM_LBUTTONUP, nullptr, 1, true},
        {"mouse move", IDR_TRAY_MENU, WM_MOUSEMOVE, nullptr, 1, true},
        {"foreign id", 5, WM_LBUTTONDBLCLK, nullptr, 0, true},
        {"right button, Vantrel", IDR_TRAY_MENU, WM_RBUTTONUP, "Vantrel", 1, false},
        {"double-click", IDR_TRAY_MENU, WM_LBUTTONDBLCLK, nullptr, 1, false},
    };
    OpenDialog();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!window_->IsInTray()) window_->OnSysCommand(SC_MINIMIZE);
        ASSERT_TRUE(window_->IsInTray());
        ASSERT_FALSE(window_->isVisible());
        choose = c.choose;
        menuTexts.clear();
        const QPointer<CSystemTray> tray(window_->Tray());
        EXPECT_EQ(tray->OnTrayNotify(c.id, c.event), c.result);
        EXPECT_EQ(window_->IsInTray(), c.inTrayAfter);
        EXPECT_EQ(window_->isVisible(), !c.inTrayAfter);
        EXPECT_EQ(window_->Tray() != nullptr, c.inTrayAfter);
        // The icon's object outlives its own notification and goes right after.
        EXPECT_FALSE(tray.isNull());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(tray.isNull(), !c.inTrayAfter);
        if (c.event == WM_RBUTTONUP) {
            EXPECT_EQ(menuTexts, (std::vector<std::string>{"Vantrel", "Exit"}));
            EXPECT_EQ(defaultItem, "Vantrel");
        }
    }
    // "Exit" ends the dialog.
    bool finished = false;
    QObject::connect(window_.get(), &QDialog::finished, [&] { finished = true; });
    window_->OnSysCommand(SC_MINIMIZE);
    choose = "Exit";
    EXPECT_EQ(window_->Tray()->OnTrayNotify(IDR_TRAY_MENU, WM_RBUTTONUP), 1);
    EXPECT_TRUE(finished);
    EXPECT_FALSE(window_->IsInTray());
    EXPECT_EQ(window_->Tray(), nullptr);
}

TEST_F(DialogTest, MinimiseByTheWindowManagerGoesToTheTrayAndTheMenuBringsItBack) {
    CSystemTray::SetTrayAvailableForTest([] { return true; });
    CSystemTray::SetMenuTrackerForTest([](QMenu& popup, const QPoint&) { return popup.actions().front(); });
    OpenDialog();
    window_->setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(WaitUntil([&] { return window_->IsInTray(); }));
    EXPECT_FALSE(window_->isVisible());
    ASSERT_NE(window_->Tray(), nullptr);
    EXPECT_EQ(window_->Tray()->OnTrayNotify(IDR_TRAY_MENU, WM_RBUTTONUP), 1);
    EXPECT_FALSE(window_->IsInTray());
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(window_->isMinimized());
}

TEST_F(DialogTest, MinimiseWithoutANotificationAreaStaysAPlainMinimise) {
    CSystemTray::SetTrayAvailableForTest([] { return false; });
    OpenDialog();
    window_->OnSysCommand(SC_MINIMIZE);
    EXPECT_FALSE(window_->IsInTray());
    EXPECT_EQ(window_->Tray(), nullptr);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(window_->isMinimized());
    window_->OnSysCommand(SC_RESTORE);
    EXPECT_FALSE(window_->isMinimized());
}

TEST_F(DialogTest, AboutBoxFromTheSystemMenuItemAndTheIconButton) {
    OpenDialog();
    ASSERT_NE(window_->AboutMenuItem(), nullptr);
    EXPECT_EQ(window_->AboutMenuItem()->text(), "&About Vantrel...");
    EXPECT_TRUE(window_->actions().at(window_->actions().size() - 2)->isSeparator());
    const std::function<void()> openers[] = {
        [&] { window_->AboutMenuItem()->trigger(); },
        [&] { QTest::mouseClick(Control<QPushButton>("IDC_DONATE"), Qt::LeftButton); },
    };
    for (const auto& open : openers) {
        std::string title;
        bool isAbout = false;
        EXPECT_TRUE(gui_test::WithModalWindow(open, [&](QWidget* modal) {
            title = modal->windowTitle().toStdString();
            isAbout = dynamic_cast<CAboutDlg*>(modal) != nullptr;
        }));
        EXPECT_EQ(title, "About Vantrel");
        EXPECT_TRUE(isAbout);
        EXPECT_TRUE(window_->isVisible());  // the main dialog runs on
    }
}

TEST_F(DialogTest, EveryExitPathStopsTheServerThread) {
    const std::function<void(CVantrelDlgWindow&)> exits[] = {
        [](CVantrelDlgWindow& window) { QTest::keyClick(&window, Qt::Key_Escape); },
        [](CVantrelDlgWindow& window) { window.SendCommand(ID_TRAY_EXIT); },
        [](CVantrelDlgWindow& window) { window.close(); },
    };
    for (size_t i = 0; i < std::size(exits); ++i) {
        SCOPED_TRACE(i);
        OpenDialog();
        const uint16_t port = ServerPort();
        ASSERT_NE(port, 0);
        bool finished = false;
        QObject::connect(window_.get(), &QDialog::finished, [&] { finished = true; });
        exits[i](*window_);
        EXPECT_TRUE(finished);
        // The listener is gone the moment the run ends.
        EXPECT_FALSE(test_support::ProtocolConnection(port).connected());
        window_.reset();
        record_.reset();
    }
}

// A client's change whose message the UI thread had not handled yet when the
// run ended is saved.
TEST_F(DialogTest, AClientChangeInFlightAtTheEndIsStillSaved) {
    const std::function<void(CVantrelDlgWindow&)> exits[] = {
        [](CVantrelDlgWindow& window) { window.close(); },
        [](CVantrelDlgWindow& window) { QTest::keyClick(&window, Qt::Key_Escape); },
        [](CVantrelDlgWindow& window) { window.SendCommand(ID_TRAY_EXIT); },
    };
    for (size_t i = 0; i < std::size(exits); ++i) {
        SCOPED_TRACE(i);
        WriteIni("frameRateDivider=1.0\nmovieBitrate=600\n");
        OpenDialog();
        const uint16_t port = ServerPort();
        ASSERT_NE(port, 0);
        // No UI events are handled from here on until the window is gone.
        const test_support::ListDirReply reply =
            test_support::ListDir(port, test_support::ListDirRequest("", 4096, "&framediv=1.75&vbitrate=450"));
        ASSERT_TRUE(reply.well_formed);
        ASSERT_EQ(record_->Messages().size(), 1u);
        exits[i](*window_);
        window_.reset();
        EXPECT_EQ(IniValue("frameRateDivider"), "1.750000");
        EXPECT_EQ(IniValue("movieBitrate"), "450");
        record_.reset();
    }
}

TEST_F(DialogTest, CloseBoxFreesTheFeedsAfterTheWorkersStopped) {
    OpenDialog();
    {
        std::lock_guard<std::mutex> guard(record_->Lock());
        record_->m_feeds.push_back(std::make_shared<CFeed>());
    }
    window_->close();
    std::lock_guard<std::mutex> guard(record_->Lock());
    EXPECT_TRUE(record_->m_feeds.empty());
}

// Two feeds loaded and a real stream running from a client thread while the window is pictured.
TEST_F(DialogTest, ScreenshotWhileStreaming) {
    test_support::TempDir media("vantrel-dialog-media");
    std::filesystem::copy_file(test_support::test_clip(test_support::clip_kind::mpeg4_mp3_avi),
                               media.file("holiday-2026.avi"));
    test_support::HttpServer http;
    const std::string items =
        "<item><enclosure url=\"http://h/e/episode-12.mp3\"/><itunes:duration>45:10</itunes:duration></item>"
        "<item><enclosure url=\"http://h/e/episode-11.mp3\"/><itunes:duration>41:02</itunes:duration></item>";
    const std::string rss = "<rss xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\"><channel><title>";
    http.Serve("/tech.xml", gui_test::Page(rss + "Tech Weekly</title>" + items + "</channel></rss>"));
    http.Serve("/nature.xml", gui_test::Page(rss + "Nature Sounds</title></channel></rss>"));
    WriteIni("nmoviepaths=2\nmoviepath_1=" + media.path() +
             "\nmoviepath_2=/srv/media/Podcasts\nmovieBitrate=600\naudioBitrate=128\nnrssfeeds=2\nrssfeed_1=" +
             http.Url("/tech.xml") + "\nrssfeed_2=" + http.Url("/nature.xml") + "\n");
    OpenDialog();
    window_->FeedTree()->expandAll();
    ASSERT_EQ(window_->FeedTree()->topLevelItemCount(), 2);

    const uint16_t port = ServerPort();
    ASSERT_NE(port, 0);
    std::atomic<size_t> received{0};
    std::atomic<bool> pictured{false};
    std::thread client([&] {
        test_support::ListDir(port, test_support::ListDirRequest(media.path(), 65536));
        const std::optional<int32_t> handle =
            test_support::StreamOpen(port, "streamopen filename=holiday-2026.avi.pmp");
        if (!handle || *handle < 1) return;
        const test_support::RawReply header = test_support::Stream2Header(port, *handle);
        test_support::ReceiveStream(port, *handle, header.bytes, 2000, [&](size_t packets) {
            received = packets;
            // Holds the stream in the middle until the picture is taken (bounded).
            for (int i = 0; packets == 60 && !pictured && i < 1000; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    });
    auto* pc = Control<QProgressBar>("IDC_PROGRESS_PC");
    auto* psp = Control<QProgressBar>("IDC_PROGRESS_PSP");
    const bool midStream = WaitUntil(
        [&] { return received >= 60 && psp->value() > 0 && pc->value() > 0; }, 30000);
    EXPECT_TRUE(midStream);
    EXPECT_EQ(Control<QLineEdit>("IDC_STREAMING")->text(), "holiday-2026.avi");
    gui_test::SaveScreenshot(window_.get(), "main_dialog");
    pictured = true;
    // Esc in the middle of the stream ends the run; the client sees the end.
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    client.join();
    EXPECT_LT(received.load(), 250u);
}

// The PSP asks again for an item whose download failed while that failure's
// box is still up: the window, which goes on handling messages under a modal
// box, stacks no second box on it; once it is dismissed, the next failure shows.
TEST_F(DialogTest, RetriesOfAFailingDownloadStackNoBoxOnTheOneShown) {
    test_support::HttpServer http;
    test_support::HttpResponse not_found;
    not_found.status = 404;
    http.Serve("/gone.wav", not_found);
    // Each retry asks the host again: no delay between them here.
    SetEnclosureRetryDelay(std::chrono::milliseconds(0));
    struct RestoreRetryDelay {
        ~RestoreRetryDelay() { SetEnclosureRetryDelay(ENCLOSURE_RETRY_DELAY); }
    } restore;
    OpenDialog();
    const std::string feedUrl = "http://feeds.example/show";
    auto item = std::make_shared<CFeedItem>();
    item->m_strTitle = "Gone";
    item->m_strEnclosureUrl = http.Url("/gone.wav");
    item->m_strType = "audio/wav";
    auto feed = std::make_shared<CFeed>();
    feed->m_strUrl = feedUrl;
    feed->m_items.push_back(item);
    {
        std::lock_guard<std::mutex> guard(record_->Lock());
        record_->m_feeds.push_back(feed);
    }
    const uint16_t port = ServerPort();
    ASSERT_TRUE(test_support::ListDir(port, test_support::ListDirRequest("\\" + feedUrl, 4096)).well_formed);
    const auto retry = [&] {
        EXPECT_EQ(51, test_support::StreamOpen(port, "streamopen filename=Gone.pmp").value_or(-99));
        EXPECT_TRUE(WaitForEnclosureDownloads(20000));
    };
    constexpr int RETRIES_UNDER_THE_BOX = 7;
    const std::string last = "the last message posted";
    int downloadBoxes = 0;
    bool lastShown = false;
    platform::SetMessageBoxPresenter([&](const std::string& text, const std::string& caption) {
        EXPECT_EQ("Error", caption);
        if (text == last) {
            lastShown = true;
            return;
        }
        if (++downloadBoxes > 1) return;
        for (int i = 0; i < RETRIES_UNDER_THE_BOX; ++i) retry();
        // Messages are handled in order: once this one shows, every earlier one was handled.
        record_->PostMessage(WM_SERVER_MESSAGE, 0, std::make_unique<std::string>(last));
        EXPECT_TRUE(WaitUntil([&] { return lastShown; }));
    });
    retry();
    ASSERT_TRUE(WaitUntil([&] { return lastShown; }));
    EXPECT_EQ(1, downloadBoxes);
    EXPECT_EQ(1 + RETRIES_UNDER_THE_BOX, http.RequestCount("/gone.wav"));

    retry();
    EXPECT_TRUE(WaitUntil([&] { return downloadBoxes == 2; }));
    EXPECT_EQ(2, downloadBoxes);
    gui_test::SaveScreenshot(window_.get(), "main_dialog_after_download_failures");
}

}  // namespace
