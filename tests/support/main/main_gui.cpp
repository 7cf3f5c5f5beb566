// Test entry for widget and window tests: a QApplication on the platform of QT_QPA_PLATFORM,
// offscreen unless another is asked for.
#include <QApplication>
#include <gtest/gtest.h>

#include "tests/support/TestEnvironment.h"

int main(int argc, char** argv)
{
    SetTestEnvironment();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
