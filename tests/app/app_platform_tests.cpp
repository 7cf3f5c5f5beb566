// The window-system platform the program asks Qt for at start.
#include "app/Application.h"

#include <gtest/gtest.h>

TEST(Platform, XcbIsChosenOnlyOnAWaylandSessionWithXWaylandAndNoChoiceOfTheUser)
{
    EXPECT_EQ(PlatformToChoose(nullptr, "wayland-0", ":0"), "xcb");
    EXPECT_EQ(PlatformToChoose("", "wayland-0", ":0"), "xcb");
    EXPECT_EQ(PlatformToChoose(nullptr, "wayland-0", nullptr), ""); // no XWayland: Qt's choice
    EXPECT_EQ(PlatformToChoose(nullptr, "wayland-0", ""), "");
    EXPECT_EQ(PlatformToChoose("wayland", "wayland-0", ":0"), ""); // the user's choice stands
    EXPECT_EQ(PlatformToChoose("offscreen", "wayland-0", ":0"), "");
    EXPECT_EQ(PlatformToChoose(nullptr, nullptr, ":0"), ""); // plain X11
    EXPECT_EQ(PlatformToChoose(nullptr, "", ":0"), "");
}
