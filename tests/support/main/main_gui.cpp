// Test entry for widget and window tests: a QApplication on the platform of QT_QPA_PLATFORM
// (offscreen in ctest, xcb under Xvfb).
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
