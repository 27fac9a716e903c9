#include "launcher/frmAbout.h"
#include "tests/launcher/forms/launcher_fixture.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace launcher_test {
namespace {

class AboutFormTest : public LauncherTest {
protected:
    void SetUp() override {
        installation.install();
        ASSERT_TRUE(Load());
    }
};

TEST_F(AboutFormTest, ShowsTitleVersionAndDescription) {
    form().mAbout->trigger();
    frmAbout* about = launcher().about();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->windowTitle().toStdString(), "About Tarnwick");
    EXPECT_EQ(about->lblTitle->text().toStdString(), "Tarnwick");
    EXPECT_EQ(about->lblVersion->text().toStdString(), "Version 1.3.0");
    EXPECT_EQ(about->lblDescription->text().toStdString(),
              "This small application allows you to use your PC Hard Drive as a virtual Memory Stick for your PSP. "
              "You can use this to stream ISO Images to play with Devhook over USB or stream movies over WiFi to "
              "IRShell.");
    EXPECT_FALSE(about->picIcon->pixmap().isNull());
    EXPECT_EQ(about->cmdOK->text().toStdString(), "&OK");
    SaveScreenshot(about, "tarnwick_about");
    QTest::mouseClick(about->cmdOK, Qt::LeftButton);
    ProcessDeletes();
    EXPECT_EQ(launcher().about(), nullptr);
    form().mAbout->trigger();
    EXPECT_NE(launcher().about(), nullptr) << "opens afresh after OK";
}

}  // namespace
}  // namespace launcher_test
