// Wave-in capture and the sound-card mixer API, with the old platform's names, records and codes,
// over the one virtual sound card of this process (VirtualCard.h). Calls come from the UI thread;
// the card's capture thread fills queued buffers and posts MM_WIM_DATA to the window given at open.
// Every call takes the card's own lock internally; callers hold no lock.
#pragma once

#include "platform/dsound/DSound.h"

#include <cstdint>

using UINT = uint32_t;
using DWORD_PTR = uintptr_t;
using UINT_PTR = uintptr_t;
using MMRESULT = uint32_t;
using LPSTR = char*;

struct HWAVEIN__;
using HWAVEIN = HWAVEIN__*;
struct HMIXER__;
using HMIXER = HMIXER__*;
// A mixer handle or, with MIXER_OBJECTF_MIXER, a device number, as the caller's flags say.
using HMIXEROBJ = uintptr_t;

// ---- Results ----
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;
constexpr MMRESULT MIXERR_INVALLINE = 1024;
constexpr MMRESULT MIXERR_INVALCONTROL = 1025;
constexpr MMRESULT MIXERR_INVALVALUE = 1026;

// ---- Messages (posted to CALLBACK_WINDOW windows: wParam the handle, lParam as noted) ----
constexpr UINT MM_WIM_OPEN = 0x3BE;
constexpr UINT MM_WIM_CLOSE = 0x3BF;
constexpr UINT MM_WIM_DATA = 0x3C0; // lParam: the WAVEHDR*
constexpr UINT MM_WOM_OPEN = 0x3BB;
constexpr UINT MM_WOM_CLOSE = 0x3BC;
constexpr UINT MM_WOM_DONE = 0x3BD;
constexpr UINT MM_MIXM_LINE_CHANGE = 0x3D0;    // lParam: line id
constexpr UINT MM_MIXM_CONTROL_CHANGE = 0x3D1; // lParam: control id
constexpr UINT WM_QUERYENDSESSION = 0x0011;

// ---- Open flags ----
constexpr DWORD CALLBACK_TYPEMASK = 0x00070000;
constexpr DWORD CALLBACK_NULL = 0x00000000;
constexpr DWORD CALLBACK_WINDOW = 0x00010000;
constexpr DWORD WAVE_FORMAT_QUERY = 0x0001;
constexpr DWORD WAVE_MAPPED = 0x0004;
constexpr UINT WAVE_MAPPER = 0xFFFFFFFFu;

// ---- Wave buffers ----
constexpr DWORD WHDR_DONE = 0x01;
constexpr DWORD WHDR_PREPARED = 0x02;
constexpr DWORD WHDR_INQUEUE = 0x10;

// The header of one capture buffer. Its size here is that of this platform's pointers; callers pass
// sizeof(WAVEHDR) as the header size.
struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

constexpr int MAXPNAMELEN = 32;
constexpr int MAXERRORLENGTH = 256;

struct WAVEINCAPSA {
    WORD wMid;
    WORD wPid;
    DWORD vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};

UINT waveInGetNumDevs();
// The sound output always has a device (the silent one at worst).
UINT waveOutGetNumDevs();
MMRESULT waveInGetDevCapsA(UINT_PTR deviceID, WAVEINCAPSA* caps, UINT size);
// `callback` is the THiddenWindow* (as a HWND) that receives MM_WIM_* with CALLBACK_WINDOW.
// Accepts PCM of 8 or 16 bits, 1 or 2 channels, 1000 … 192000 Hz; anything else is WAVERR_BADFORMAT.
MMRESULT waveInOpen(HWAVEIN* handle, UINT deviceID, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags);
// Fails with WAVERR_STILLPLAYING while buffers are queued. Joins the capture thread.
MMRESULT waveInClose(HWAVEIN handle);
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInStart(HWAVEIN handle);
// Hands back the buffer being filled if it holds anything; the others stay queued. What the sound
// output rendered before the call is in the capture.
MMRESULT waveInStop(HWAVEIN handle);
// Stops and hands back every queued buffer.
MMRESULT waveInReset(HWAVEIN handle);
MMRESULT waveInGetErrorTextA(MMRESULT error, char* text, UINT size);

// ---- Mixer ----
constexpr DWORD MIXER_OBJECTF_HANDLE = 0x80000000;
constexpr DWORD MIXER_OBJECTF_MIXER = 0x00000000;
constexpr DWORD MIXER_OBJECTF_HMIXER = MIXER_OBJECTF_HANDLE | MIXER_OBJECTF_MIXER;
constexpr DWORD MIXER_OBJECTF_WAVEIN = 0x20000000;
constexpr DWORD MIXER_OBJECTF_TYPEMASK = 0xF0000000;

constexpr DWORD MIXER_GETLINEINFOF_DESTINATION = 0x0;
constexpr DWORD MIXER_GETLINEINFOF_SOURCE = 0x1;
constexpr DWORD MIXER_GETLINEINFOF_LINEID = 0x2;
constexpr DWORD MIXER_GETLINEINFOF_COMPONENTTYPE = 0x3;
constexpr DWORD MIXER_GETLINEINFOF_QUERYMASK = 0xF;

constexpr DWORD MIXER_GETLINECONTROLSF_ALL = 0x0;
constexpr DWORD MIXER_GETLINECONTROLSF_ONEBYID = 0x1;
constexpr DWORD MIXER_GETLINECONTROLSF_ONEBYTYPE = 0x2;
constexpr DWORD MIXER_GETLINECONTROLSF_QUERYMASK = 0xF;

constexpr DWORD MIXER_GETCONTROLDETAILSF_VALUE = 0x0;
constexpr DWORD MIXER_GETCONTROLDETAILSF_LISTTEXT = 0x1;
constexpr DWORD MIXER_SETCONTROLDETAILSF_VALUE = 0x0;
constexpr DWORD MIXER_CONTROLDETAILSF_QUERYMASK = 0xF;

constexpr DWORD MIXERLINE_LINEF_ACTIVE = 0x1;
constexpr DWORD MIXERLINE_LINEF_SOURCE = 0x80000000;

constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_SPEAKERS = 4;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_DIGITAL = 0x1001;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER = 0x1004;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC = 0x1005;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE = 0x1006;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT = 0x1008;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY = 0x1009;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_ANALOG = 0x100A;

constexpr DWORD MIXERLINE_TARGETTYPE_UNDEFINED = 0;
constexpr DWORD MIXERLINE_TARGETTYPE_WAVEOUT = 1;
constexpr DWORD MIXERLINE_TARGETTYPE_WAVEIN = 2;

constexpr DWORD MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MIXER = 0x71010001;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001;
constexpr DWORD MIXERCONTROL_CONTROLF_UNIFORM = 0x1;
constexpr DWORD MIXERCONTROL_CONTROLF_MULTIPLE = 0x2;
constexpr DWORD MIXERCONTROL_CONTROLF_DISABLED = 0x80000000;

constexpr int MIXER_SHORT_NAME_CHARS = 16;
constexpr int MIXER_LONG_NAME_CHARS = 64;

struct MIXERCAPSA {
    WORD wMid;
    WORD wPid;
    DWORD vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD fdwSupport;
    DWORD cDestinations;
};
static_assert(sizeof(MIXERCAPSA) == 48);

// 168 bytes as the card's clients copy it; dwUser is kept at 32 bits for that size.
struct MIXERLINEA {
    DWORD cbStruct;
    DWORD dwDestination;
    DWORD dwSource;
    DWORD dwLineID;
    DWORD fdwLine;
    DWORD dwUser;
    DWORD dwComponentType;
    DWORD cChannels;
    DWORD cConnections;
    DWORD cControls;
    char szShortName[MIXER_SHORT_NAME_CHARS];
    char szName[MIXER_LONG_NAME_CHARS];
    struct {
        DWORD dwType;
        DWORD dwDeviceID;
        WORD wMid;
        WORD wPid;
        DWORD vDriverVersion;
        char szPname[MAXPNAMELEN];
    } Target;
};
static_assert(sizeof(MIXERLINEA) == 168);

struct MIXERCONTROLA {
    DWORD cbStruct;
    DWORD dwControlID;
    DWORD dwControlType;
    DWORD fdwControl;
    DWORD cMultipleItems;
    char szShortName[MIXER_SHORT_NAME_CHARS];
    char szName[MIXER_LONG_NAME_CHARS];
    union {
        struct {
            int32_t lMinimum;
            int32_t lMaximum;
        };
        struct {
            DWORD dwMinimum;
            DWORD dwMaximum;
        };
        DWORD dwReserved[6];
    } Bounds;
    union {
        DWORD cSteps;
        DWORD cbCustomData;
        DWORD dwReserved[6];
    } Metrics;
};
static_assert(sizeof(MIXERCONTROLA) == 148);

struct MIXERLINECONTROLSA {
    DWORD cbStruct;
    DWORD dwLineID;
    union {
        DWORD dwControlID;
        DWORD dwControlType;
    };
    DWORD cControls;
    DWORD cbmxctrl; // sizeof(MIXERCONTROLA)
    MIXERCONTROLA* pamxctrl;
};

struct MIXERCONTROLDETAILS {
    DWORD cbStruct;
    DWORD dwControlID;
    DWORD cChannels;
    union {
        HWND hwndOwner;
        DWORD cMultipleItems;
    };
    DWORD cbDetails; // 4 for values, sizeof(MIXERCONTROLDETAILS_LISTTEXTA) for list texts
    void* paDetails;
};

struct MIXERCONTROLDETAILS_LISTTEXTA {
    DWORD dwParam1;
    DWORD dwParam2;
    char szName[MIXER_LONG_NAME_CHARS];
};

using MIXERLINE = MIXERLINEA;
using MIXERCONTROL = MIXERCONTROLA;
using MIXERCAPS = MIXERCAPSA;
using MIXERLINECONTROLS = MIXERLINECONTROLSA;

UINT mixerGetNumDevs();
// `callback` is the THiddenWindow* (as a HWND) for MM_MIXM_* with CALLBACK_WINDOW.
MMRESULT mixerOpen(HMIXER* handle, UINT deviceID, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT mixerClose(HMIXER handle);
// `deviceID` is a device number, or an open HMIXER.
MMRESULT mixerGetDevCapsA(UINT_PTR deviceID, MIXERCAPSA* caps, UINT size);
MMRESULT mixerGetLineInfoA(HMIXEROBJ mixer, MIXERLINEA* line, DWORD flags);
MMRESULT mixerGetLineControlsA(HMIXEROBJ mixer, MIXERLINECONTROLSA* controls, DWORD flags);
// Values are 32-bit entries, channel-major: item i of channel c at c × items + i.
MMRESULT mixerGetControlDetailsA(HMIXEROBJ mixer, MIXERCONTROLDETAILS* details, DWORD flags);
MMRESULT mixerSetControlDetails(HMIXEROBJ mixer, MIXERCONTROLDETAILS* details, DWORD flags);

inline HMIXEROBJ MixerObj(HMIXER handle)
{
    return reinterpret_cast<HMIXEROBJ>(handle);
}
