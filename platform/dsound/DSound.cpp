// The parts of DSound.h that need no engine: GUID text and the desktop window token. The entry
// points themselves are the engine's (engine/DirectSound.cpp).
#include "platform/dsound/DSound.h"

#include <cctype>
#include <cstdio>

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

HWND GetDesktopWindow()
{
    static int token;
    return &token;
}

void GuidToString(const GUID& g, char out[39])
{
    std::snprintf(out, 39, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3, g.Data4[0],
                  g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

bool StringToGuid(const char* text, GUID& guid)
{
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters, dashes at fixed places.
    if (!text)
        return false;
    static constexpr int Dashes[] = {9, 14, 19, 24};
    uint8_t bytes[16];
    int n = 0;
    for (int i = 0; i < 38; ++i) {
        const char c = text[i];
        if (c == '\0')
            return false;
        if (i == 0) {
            if (c != '{')
                return false;
        } else if (i == 37) {
            if (c != '}')
                return false;
        } else if (i == Dashes[0] || i == Dashes[1] || i == Dashes[2] || i == Dashes[3]) {
            if (c != '-')
                return false;
        } else {
            const int hi = HexValue(c), lo = HexValue(text[i + 1]);
            if (hi < 0 || lo < 0)
                return false;
            bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
            ++i;
        }
    }
    if (text[38] != '\0')
        return false;
    guid.Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    guid.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = bytes[8 + i];
    return true;
}
