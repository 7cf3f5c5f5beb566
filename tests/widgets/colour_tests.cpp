#include "widgets/FlatUtilitys.h"
#include "widgets/HSLUtils.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QApplication>
#include <QPalette>
#include <gtest/gtest.h>

namespace {
struct Known {
    TColor rgb;
    int h, s, l;
    TColor back; // HSLToRGB(h, s, l): the 239-step hue scale does not always return the start
};
} // namespace

TEST(HSL, KnownColoursBothWays)
{
    const Known table[] = {
        {clBlack, 0, 0, 0, clBlack},
        {clWhite, 0, 0, 240, clWhite},
        {clRed, 0, 240, 120, clRed},
        {clLime, 80, 240, 120, 0x02FF00},
        {clBlue, 159, 240, 120, 0xFF0200},
        {clYellow, 40, 240, 120, 0x00FFFE},
        {clGray, 0, 0, 120, clGray},
        {clOlive, 40, 240, 60, 0x00807F},
        {clTeal, 120, 240, 60, 0x807E00},
        {RGB(255, 128, 0), 20, 240, 120, RGB(255, 128, 0)}, // the playlist boxes' border colour
        {0x8396A0, 26, 32, 137, 0x8396A0},                  // the list box's default border colour
    };
    for (const Known& k : table) {
        int h = -1, s = -1, l = -1;
        RGBToHSL(k.rgb, h, s, l);
        EXPECT_EQ(h, k.h) << std::hex << k.rgb;
        EXPECT_EQ(s, k.s) << std::hex << k.rgb;
        EXPECT_EQ(l, k.l) << std::hex << k.rgb;
        EXPECT_EQ(HSLToRGB(k.h, k.s, k.l), k.back) << std::hex << k.rgb;
    }
}

TEST(HSL, HalvesRoundToEven)
{
    // Grey components are 255 * L / 240: 8.5, 25.5 and 127.5 exactly.
    EXPECT_EQ(HSLToRGB(0, 0, 8), 0x080808u);
    EXPECT_EQ(HSLToRGB(0, 0, 24), 0x1A1A1Au);
    EXPECT_EQ(HSLToRGB(0, 0, 120), 0x808080u);
}

TEST(AdvancedColor, DarkensTheLightnessStepAndFallsBackAtZero)
{
    EXPECT_EQ(AdvancedColor(clYellow, clRed, 0, true), clRed);
    // The playlist boxes' own colours darkened by the default amount 40.
    EXPECT_EQ(AdvancedColor(clYellow, clRed, 40, true), 0x00BFBEu);
    EXPECT_EQ(AdvancedColor(RGB(255, 128, 0), clRed, 40, true), 0x0060BFu);
    EXPECT_EQ(AdvancedColor(clGray, clRed, 200, true), clBlack);
    // Lightness past the scale gives white rather than spilling into the next component.
    EXPECT_EQ(AdvancedColor(clWhite, clRed, 1, true), clWhite);
    EXPECT_EQ(HSLToRGB(40, 240, 300), clWhite);
    // System colours are resolved through the application palette first.
    const TColor face = ColorFromQColor(QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(ColorToRGB(clBtnFace), face);
    EXPECT_EQ(AdvancedColor(clBtnFace, clRed, 40, true), AdvancedColor(face, clRed, 40, true));
}

TEST(AdvancedColor, ListBoxDerivesItsBorderFromTheParentsColour)
{
    QWidget parent;
    QPalette pal = parent.palette();
    pal.setColor(QPalette::Window, QColor(255, 255, 0));
    parent.setPalette(pal);
    TFlatListBox box(&parent);
    box.SetColorBorder(clRed);
    EXPECT_EQ(box.ColorBorder(), clRed);

    box.SetUseAdvColors(true);
    EXPECT_TRUE(box.ParentColor());
    EXPECT_EQ(box.Color(), clYellow);
    EXPECT_EQ(box.ColorBorder(), 0x00BFBEu);

    pal.setColor(QPalette::Window, QColor(255, 128, 0));
    parent.setPalette(pal);
    EXPECT_EQ(box.Color(), RGB(255, 128, 0));
    EXPECT_EQ(box.ColorBorder(), 0x0060BFu);

    box.SetAdvColorBorder(0); // amount 0 keeps the border as it is
    EXPECT_EQ(box.ColorBorder(), 0x0060BFu);
    box.SetColor(clLime); // an own colour ends the parent's
    EXPECT_FALSE(box.ParentColor());
}
