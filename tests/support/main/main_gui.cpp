// Test entry for widget and window tests: a QApplication on the platform of QT_QPA_PLATFORM
// (offscreen in ctest, xcb under Xvfb). Without a display and without a choice, offscreen: test
// discovery at build time runs this too.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
