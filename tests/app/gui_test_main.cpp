// One QApplication for every test, offscreen, with the C number format the
// program itself uses.

#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // ctest hands a discovered test only the first of several environment
    // settings, so the build folder's places are set here as well.
    setenv("VANTREL_SCREENSHOTS", VANTREL_SCREENSHOT_DIR, 0);
    setenv("VANTREL_TEST_TMP", VANTREL_TEST_TMP_DIR, 0);
    QApplication application(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    application.setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
