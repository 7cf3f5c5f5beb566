// Test entry of the application layer: the program's own application object, so that its default
// error handler is the one under test; offscreen unless QT_QPA_PLATFORM says otherwise.
#include "app/Application.h"

#include <gtest/gtest.h>

#include "tests/support/TestEnvironment.h"

int main(int argc, char** argv)
{
    SetTestEnvironment();
    TApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
