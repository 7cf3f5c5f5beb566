// Conversions between 0x00BBGGRR colours and hue (0…239), saturation and lightness (0…240 each),
// the scales the skins' colour settings are written in. Pure functions; any thread (system colours
// excepted, see Graphics.h).
#pragma once

#include "widgets/Graphics.h"

// H in 0…239, S and L in 0…240, each rounded half to even. System colours are resolved first.
void RGBToHSL(TColor RGB, int& H, int& S, int& L);
// Components rounded half to even and held to 0…255, so lightness above 240 gives white rather
// than spilling into the neighbouring byte.
TColor HSLToRGB(int H, int S, int L);
