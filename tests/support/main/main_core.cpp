// Test entry for layers without windows: a QCoreApplication exists so that queued messages to
// hidden windows can be delivered by pumping events on the test thread (the "UI thread").
#include <QCoreApplication>
#include <gtest/gtest.h>

#include "tests/support/TestEnvironment.h"

int main(int argc, char** argv)
{
    SetTestEnvironment();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
