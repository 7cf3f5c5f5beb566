#include "widgets/HSLUtils.h"

#include <algorithm>
#include <cmath>

namespace {

// std::nearbyint rounds in the current mode, which is to nearest with halves to even.
int RoundEven(double x)
{
    return int(std::nearbyint(x));
}

int Component(double x)
{
    return std::clamp(RoundEven(x * 255), 0, 255);
}

double HueToValue(double m1, double m2, double x)
{
    if (x < 0)
        x += 1;
    else if (x > 1)
        x -= 1;
    if (6 * x < 1)
        return m1 + (m2 - m1) * 6 * x;
    if (2 * x < 1)
        return m2;
    if (3 * x < 2)
        return m1 + (m2 - m1) * (2.0 / 3 - x) * 6;
    return m1;
}

} // namespace

void RGBToHSL(TColor RGB, int& H, int& S, int& L)
{
    const TColor c = ColorToRGB(RGB);
    const double r = GetRValue(c) / 255.0, g = GetGValue(c) / 255.0, b = GetBValue(c) / 255.0;
    const double mx = std::max({r, g, b}), mn = std::min({r, g, b});
    const double l = (mx + mn) / 2;
    double h = 0, s = 0;
    if (mx != mn) {
        const double d = mx - mn;
        s = l < 0.5 ? d / (mx + mn) : d / (2 - mx - mn);
        if (mx == r)
            h = (g - b) / d;
        else if (mx != g)
            h = (r - g) / d + 4;
        else
            h = (b - r) / d + 2;
        h /= 6;
        if (h < 0)
            h += 1;
    }
    H = RoundEven(239 * h);
    S = RoundEven(240 * s);
    L = RoundEven(240 * l);
}

TColor HSLToRGB(int H, int S, int L)
{
    const double h = H / 239.0, s = S / 240.0, l = L / 240.0;
    if (s == 0) {
        const int v = Component(l);
        return RGB(v, v, v);
    }
    const double m2 = l <= 0.5 ? l * (1 + s) : l + s - l * s;
    const double m1 = 2 * l - m2;
    return RGB(Component(HueToValue(m1, m2, h + 1.0 / 3)), Component(HueToValue(m1, m2, h)),
               Component(HueToValue(m1, m2, h - 1.0 / 3)));
}
