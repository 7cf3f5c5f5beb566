// The virtual card's mixer: layout, control values and the mixer* functions.
#include "platform/mmsystem/CardState.h"
#include "platform/mmsystem/VirtualCard.h"
#include "platform/ui/HiddenWindow.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace mmsystem {

namespace {

void CopyName(char* dst, size_t size, const std::string& src)
{
    std::memset(dst, 0, size);
    std::memcpy(dst, src.data(), std::min(size - 1, src.size()));
}

CardLine Line(const char* name, DWORD type, std::vector<CardControl> controls)
{
    CardLine line;
    line.Name = name;
    line.ComponentType = type;
    line.Controls = std::move(controls);
    return line;
}

std::vector<CardControl> VolumeAndMute()
{
    return {CardControl{MIXERCONTROL_CONTROLTYPE_VOLUME, 0, {}, "Volume"},
            CardControl{MIXERCONTROL_CONTROLTYPE_MUTE, MIXERCONTROL_CONTROLF_UNIFORM, {}, "Mute"}};
}

} // namespace

CardLayout DefaultLayout()
{
    CardLayout layout;
    CardDestination speakers;
    speakers.Line = Line("Speakers", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, VolumeAndMute());
    speakers.Sources.push_back(Line("Wave", MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, VolumeAndMute()));
    layout.Destinations.push_back(std::move(speakers));

    CardDestination recording;
    const std::pair<const char*, DWORD> inputs[] = {
        {"CD Audio", MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC}, {"Microphone", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE},
        {"Line In", MIXERLINE_COMPONENTTYPE_SRC_LINE},         {"Auxiliary", MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY},
        {"Video", MIXERLINE_COMPONENTTYPE_SRC_ANALOG},         {"Phone Line", MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE},
        {StereoMixName, MIXERLINE_COMPONENTTYPE_SRC_ANALOG},
    };
    CardControl mux{
        MIXERCONTROL_CONTROLTYPE_MUX, MIXERCONTROL_CONTROLF_UNIFORM | MIXERCONTROL_CONTROLF_MULTIPLE, {}, "Mux"};
    for (const auto& [name, type] : inputs) {
        mux.Items.push_back(name);
        recording.Sources.push_back(Line(name, type, VolumeAndMute()));
    }
    recording.Line = Line("Recording Control", MIXERLINE_COMPONENTTYPE_DST_WAVEIN, {mux});
    layout.Destinations.push_back(std::move(recording));
    return layout;
}

// ---------------------------------------------------------------------------------------------
// Card state

Card& Card::Instance()
{
    static Card* card = [] {
        auto* c = new Card;
        c->InstallLocked(DefaultLayout(), 1);
        return c;
    }();
    return *card;
}

static void BuildLine(LineState& state, const CardLine& def, DWORD lineID, DWORD& nextControl)
{
    state.Def = def;
    state.LineID = lineID;
    for (const CardControl& c : def.Controls) {
        ControlState cs;
        cs.Def = c;
        cs.ID = nextControl++;
        const bool list = c.Type == MIXERCONTROL_CONTROLTYPE_MUX || c.Type == MIXERCONTROL_CONTROLTYPE_MIXER;
        if (list)
            cs.Def.Flags |= MIXERCONTROL_CONTROLF_MULTIPLE;
        cs.Channels = (cs.Def.Flags & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : std::max<DWORD>(1, def.Channels);
        cs.Items = list ? static_cast<DWORD>(c.Items.size()) : 0;
        cs.Values.assign(cs.Channels * std::max<DWORD>(1, cs.Items), 0);
        if (c.Type == MIXERCONTROL_CONTROLTYPE_VOLUME)
            std::fill(cs.Values.begin(), cs.Values.end(), 65535);
        if (list && cs.Items > 0) {
            auto it = std::find(c.Items.begin(), c.Items.end(), std::string(StereoMixName));
            const size_t pick = it == c.Items.end() ? 0 : static_cast<size_t>(it - c.Items.begin());
            for (DWORD ch = 0; ch < cs.Channels; ++ch)
                cs.Values[ch * cs.Items + pick] = 1;
        }
        state.Controls.push_back(std::move(cs));
    }
}

void Card::InstallLocked(const CardLayout& layout, int devices)
{
    Devices.clear();
    Writes = 0;
    for (int d = 0; d < devices; ++d) {
        DeviceState dev;
        dev.Name = devices > 1 ? layout.Name + " " + std::to_string(d + 1) : layout.Name;
        DWORD nextControl = 1;
        for (size_t i = 0; i < layout.Destinations.size(); ++i) {
            DestinationState ds;
            BuildLine(ds.Line, layout.Destinations[i].Line, static_cast<DWORD>(i), nextControl);
            for (size_t s = 0; s < layout.Destinations[i].Sources.size(); ++s) {
                LineState src;
                BuildLine(src, layout.Destinations[i].Sources[s], static_cast<DWORD>(((s + 1) << 16) | i), nextControl);
                ds.Sources.push_back(std::move(src));
            }
            dev.Destinations.push_back(std::move(ds));
        }
        Devices.push_back(std::move(dev));
    }
}

void InstallLayout(const CardLayout& layout, int devices)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    card.InstallLocked(layout, devices);
}

void ResetCard()
{
    InstallLayout(DefaultLayout(), 1);
    SetWaveInDevices(1);
}

std::vector<int32_t> ControlValues(int device, int destination, int source, int control)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    if (device < 0 || device >= static_cast<int>(card.Devices.size()))
        return {};
    auto& dests = card.Devices[device].Destinations;
    if (destination < 0 || destination >= static_cast<int>(dests.size()))
        return {};
    LineState* line = &dests[destination].Line;
    if (source >= 0) {
        if (source >= static_cast<int>(dests[destination].Sources.size()))
            return {};
        line = &dests[destination].Sources[source];
    }
    if (control < 0 || control >= static_cast<int>(line->Controls.size()))
        return {};
    return line->Controls[control].Values;
}

int ControlWrites()
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    return card.Writes;
}

InputGain Card::RecordingGain()
{
    std::lock_guard lock(Lock);
    InputGain gain;
    if (Devices.empty())
        return gain;
    for (DestinationState& d : Devices[0].Destinations) {
        if (d.Line.Def.ComponentType != MIXERLINE_COMPONENTTYPE_DST_WAVEIN)
            continue;
        for (ControlState& c : d.Line.Controls) {
            if (c.Def.Type != MIXERCONTROL_CONTROLTYPE_MUX && c.Def.Type != MIXERCONTROL_CONTROLTYPE_MIXER)
                continue;
            for (DWORD item = 0; item < c.Items; ++item) {
                if (c.Values[item] == 0 || item >= d.Sources.size() || c.Def.Items[item] != StereoMixName)
                    continue;
                // The selected "Stereo Mix": its own volume and mute.
                gain.Mix = true;
                for (ControlState& sc : d.Sources[item].Controls) {
                    if (sc.Def.Type == MIXERCONTROL_CONTROLTYPE_VOLUME) {
                        const auto level = [](int32_t v) { return std::clamp(v, 0, 65535) / 65535.0f; };
                        gain.Left = level(sc.Values[0]);
                        gain.Right = level(sc.Values[sc.Values.size() > 1 ? 1 : 0]);
                        break;
                    }
                }
                for (ControlState& sc : d.Sources[item].Controls)
                    if (sc.Def.Type == MIXERCONTROL_CONTROLTYPE_MUTE && sc.Values[0] != 0) {
                        gain.Left = gain.Right = 0.0f;
                        break;
                    }
                return gain;
            }
            return gain; // the first selector decides
        }
    }
    return gain;
}

// ---------------------------------------------------------------------------------------------
// Handles and lookups (card lock held)

namespace {

struct MixerHandle {
    int Device;
    THiddenWindow* Window;
};

std::vector<std::unique_ptr<MixerHandle>>& Handles()
{
    static auto* handles = new std::vector<std::unique_ptr<MixerHandle>>;
    return *handles;
}

MixerHandle* FindHandle(uintptr_t value)
{
    for (auto& h : Handles())
        if (reinterpret_cast<uintptr_t>(h.get()) == value)
            return h.get();
    return nullptr;
}

// The device a handle or number names, or -1.
int ResolveDevice(const Card& card, uintptr_t obj, DWORD flags)
{
    if (MixerHandle* h = FindHandle(obj))
        return h->Device;
    if (flags & MIXER_OBJECTF_HANDLE)
        return -1;
    if ((flags & MIXER_OBJECTF_TYPEMASK) == MIXER_OBJECTF_WAVEIN)
        return obj == 0 && !card.Devices.empty() ? 0 : -1;
    return obj < card.Devices.size() ? static_cast<int>(obj) : -1;
}

void FillLine(const DeviceState& dev, int d, int s, MIXERLINEA& out)
{
    const DestinationState& dest = dev.Destinations[d];
    const LineState& line = s < 0 ? dest.Line : dest.Sources[s];
    const DWORD size = out.cbStruct;
    std::memset(&out, 0, sizeof(out));
    out.cbStruct = size;
    out.dwDestination = static_cast<DWORD>(d);
    out.dwSource = s < 0 ? 0 : static_cast<DWORD>(s);
    out.dwLineID = line.LineID;
    out.fdwLine = MIXERLINE_LINEF_ACTIVE | (s < 0 ? 0 : MIXERLINE_LINEF_SOURCE);
    out.dwComponentType = line.Def.ComponentType;
    out.cChannels = line.Def.Channels;
    out.cConnections = s < 0 ? static_cast<DWORD>(dest.Sources.size()) : 0;
    out.cControls = static_cast<DWORD>(line.Controls.size());
    CopyName(out.szShortName, sizeof(out.szShortName), line.Def.Name);
    CopyName(out.szName, sizeof(out.szName), line.Def.Name);
    out.Target.dwType = line.Def.ComponentType == MIXERLINE_COMPONENTTYPE_DST_WAVEIN ? MIXERLINE_TARGETTYPE_WAVEIN
                        : line.Def.ComponentType == MIXERLINE_COMPONENTTYPE_DST_SPEAKERS
                            ? MIXERLINE_TARGETTYPE_WAVEOUT
                            : MIXERLINE_TARGETTYPE_UNDEFINED;
    CopyName(out.Target.szPname, sizeof(out.Target.szPname), dev.Name);
}

void FillControl(const ControlState& c, MIXERCONTROLA& out)
{
    std::memset(&out, 0, sizeof(out));
    out.cbStruct = sizeof(MIXERCONTROLA);
    out.dwControlID = c.ID;
    out.dwControlType = c.Def.Type;
    out.fdwControl = c.Def.Flags;
    out.cMultipleItems = c.Items;
    CopyName(out.szShortName, sizeof(out.szShortName), c.Def.Name);
    CopyName(out.szName, sizeof(out.szName), c.Def.Name);
    out.Bounds.dwMinimum = 0;
    out.Bounds.dwMaximum = c.Def.Type == MIXERCONTROL_CONTROLTYPE_VOLUME ? 65535 : 1;
    out.Metrics.cSteps = c.Def.Type == MIXERCONTROL_CONTROLTYPE_VOLUME ? 65536 : 0;
}

// Line by id: destination position and source position (-1 for the destination).
bool FindLine(const DeviceState& dev, DWORD lineID, int& d, int& s)
{
    for (size_t i = 0; i < dev.Destinations.size(); ++i) {
        if (dev.Destinations[i].Line.LineID == lineID) {
            d = static_cast<int>(i), s = -1;
            return true;
        }
        for (size_t j = 0; j < dev.Destinations[i].Sources.size(); ++j)
            if (dev.Destinations[i].Sources[j].LineID == lineID) {
                d = static_cast<int>(i), s = static_cast<int>(j);
                return true;
            }
    }
    return false;
}

ControlState* FindControl(DeviceState& dev, DWORD id)
{
    auto search = [id](LineState& line) -> ControlState* {
        for (ControlState& c : line.Controls)
            if (c.ID == id)
                return &c;
        return nullptr;
    };
    for (DestinationState& d : dev.Destinations) {
        if (ControlState* c = search(d.Line))
            return c;
        for (LineState& s : d.Sources)
            if (ControlState* c = search(s))
                return c;
    }
    return nullptr;
}

} // namespace

} // namespace mmsystem

using namespace mmsystem;

UINT mixerGetNumDevs()
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    return static_cast<UINT>(card.Devices.size());
}

MMRESULT mixerOpen(HMIXER* handle, UINT deviceID, DWORD_PTR callback, DWORD_PTR, DWORD flags)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    if (!handle)
        return MMSYSERR_INVALPARAM;
    const int device = ResolveDevice(card, deviceID, flags & MIXER_OBJECTF_TYPEMASK);
    if (device < 0)
        return MMSYSERR_BADDEVICEID;
    const DWORD kind = flags & CALLBACK_TYPEMASK;
    if (kind != CALLBACK_NULL && kind != CALLBACK_WINDOW)
        return MMSYSERR_INVALFLAG;
    auto h = std::make_unique<MixerHandle>();
    h->Device = device;
    h->Window = kind == CALLBACK_WINDOW ? reinterpret_cast<THiddenWindow*>(callback) : nullptr;
    *handle = reinterpret_cast<HMIXER>(h.get());
    Handles().push_back(std::move(h));
    return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER handle)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    auto& handles = Handles();
    auto it = std::find_if(handles.begin(), handles.end(),
                           [&](const auto& h) { return reinterpret_cast<HMIXER>(h.get()) == handle; });
    if (it == handles.end())
        return MMSYSERR_INVALHANDLE;
    handles.erase(it);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetDevCapsA(UINT_PTR deviceID, MIXERCAPSA* caps, UINT size)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    const int device = ResolveDevice(card, deviceID, 0);
    if (device < 0)
        return MMSYSERR_BADDEVICEID;
    if (!caps || size < sizeof(MIXERCAPSA))
        return MMSYSERR_INVALPARAM;
    std::memset(caps, 0, sizeof(*caps));
    caps->wMid = 1;
    caps->wPid = 1;
    caps->vDriverVersion = 0x0100;
    CopyName(caps->szPname, sizeof(caps->szPname), card.Devices[device].Name);
    caps->cDestinations = static_cast<DWORD>(card.Devices[device].Destinations.size());
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ mixer, MIXERLINEA* line, DWORD flags)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    const int device = ResolveDevice(card, mixer, flags & MIXER_OBJECTF_TYPEMASK);
    if (device < 0)
        return MMSYSERR_INVALHANDLE;
    if (!line || line->cbStruct < sizeof(MIXERLINEA))
        return MMSYSERR_INVALPARAM;
    const DeviceState& dev = card.Devices[device];
    switch (flags & MIXER_GETLINEINFOF_QUERYMASK) {
    case MIXER_GETLINEINFOF_DESTINATION:
        if (line->dwDestination >= dev.Destinations.size())
            return MIXERR_INVALLINE;
        FillLine(dev, static_cast<int>(line->dwDestination), -1, *line);
        return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_SOURCE:
        if (line->dwDestination >= dev.Destinations.size() ||
            line->dwSource >= dev.Destinations[line->dwDestination].Sources.size())
            return MIXERR_INVALLINE;
        FillLine(dev, static_cast<int>(line->dwDestination), static_cast<int>(line->dwSource), *line);
        return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_LINEID: {
        int d, s;
        if (!FindLine(dev, line->dwLineID, d, s))
            return MIXERR_INVALLINE;
        FillLine(dev, d, s, *line);
        return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINEINFOF_COMPONENTTYPE:
        for (size_t d = 0; d < dev.Destinations.size(); ++d) {
            if (dev.Destinations[d].Line.Def.ComponentType == line->dwComponentType) {
                FillLine(dev, static_cast<int>(d), -1, *line);
                return MMSYSERR_NOERROR;
            }
            for (size_t s = 0; s < dev.Destinations[d].Sources.size(); ++s)
                if (dev.Destinations[d].Sources[s].Def.ComponentType == line->dwComponentType) {
                    FillLine(dev, static_cast<int>(d), static_cast<int>(s), *line);
                    return MMSYSERR_NOERROR;
                }
        }
        return MIXERR_INVALLINE;
    default:
        return MMSYSERR_INVALFLAG;
    }
}

MMRESULT mixerGetLineControlsA(HMIXEROBJ mixer, MIXERLINECONTROLSA* controls, DWORD flags)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    const int device = ResolveDevice(card, mixer, flags & MIXER_OBJECTF_TYPEMASK);
    if (device < 0)
        return MMSYSERR_INVALHANDLE;
    if (!controls || controls->cbStruct < sizeof(MIXERLINECONTROLSA) || !controls->pamxctrl ||
        controls->cbmxctrl < sizeof(MIXERCONTROLA))
        return MMSYSERR_INVALPARAM;
    DeviceState& dev = card.Devices[device];
    const DWORD query = flags & MIXER_GETLINECONTROLSF_QUERYMASK;
    if (query == MIXER_GETLINECONTROLSF_ONEBYID) {
        ControlState* c = FindControl(dev, controls->dwControlID);
        if (!c)
            return MIXERR_INVALCONTROL;
        FillControl(*c, *controls->pamxctrl);
        return MMSYSERR_NOERROR;
    }
    int d, s;
    if (!FindLine(dev, controls->dwLineID, d, s))
        return MIXERR_INVALLINE;
    LineState& line = s < 0 ? dev.Destinations[d].Line : dev.Destinations[d].Sources[s];
    if (query == MIXER_GETLINECONTROLSF_ONEBYTYPE) {
        for (ControlState& c : line.Controls)
            if (c.Def.Type == controls->dwControlType) {
                FillControl(c, *controls->pamxctrl);
                return MMSYSERR_NOERROR;
            }
        return MIXERR_INVALCONTROL;
    }
    if (query != MIXER_GETLINECONTROLSF_ALL)
        return MMSYSERR_INVALFLAG;
    if (controls->cControls != line.Controls.size())
        return MMSYSERR_INVALPARAM;
    auto* out = reinterpret_cast<uint8_t*>(controls->pamxctrl);
    for (const ControlState& c : line.Controls) {
        FillControl(c, *reinterpret_cast<MIXERCONTROLA*>(out));
        out += controls->cbmxctrl;
    }
    return MMSYSERR_NOERROR;
}

// The entries a details record addresses: channels × items values, or NULL when it does not fit.
static MMRESULT CheckDetails(const ControlState& c, const MIXERCONTROLDETAILS* details, size_t& entries)
{
    if (!details || details->cbStruct < sizeof(MIXERCONTROLDETAILS) || !details->paDetails)
        return MMSYSERR_INVALPARAM;
    if (details->cChannels != 1 && details->cChannels != c.Channels)
        return MMSYSERR_INVALPARAM;
    const DWORD items = (c.Def.Flags & MIXERCONTROL_CONTROLF_MULTIPLE) ? details->cMultipleItems : 0;
    if (items != c.Items)
        return MMSYSERR_INVALPARAM;
    entries = size_t(details->cChannels) * std::max<DWORD>(1, items);
    return MMSYSERR_NOERROR;
}

// The device and control that a details call names, checked against the details record
// (card lock held).
static MMRESULT FindDetails(Card& card, HMIXEROBJ mixer, const MIXERCONTROLDETAILS* details, DWORD flags, int& device,
                            ControlState*& c, size_t& entries)
{
    device = ResolveDevice(card, mixer, flags & MIXER_OBJECTF_TYPEMASK);
    if (device < 0)
        return MMSYSERR_INVALHANDLE;
    if (!details)
        return MMSYSERR_INVALPARAM;
    c = FindControl(card.Devices[device], details->dwControlID);
    if (!c)
        return MIXERR_INVALCONTROL;
    return CheckDetails(*c, details, entries);
}

MMRESULT mixerGetControlDetailsA(HMIXEROBJ mixer, MIXERCONTROLDETAILS* details, DWORD flags)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    int device = -1;
    ControlState* c = nullptr;
    size_t entries = 0;
    if (MMRESULT r = FindDetails(card, mixer, details, flags, device, c, entries))
        return r;
    const DWORD query = flags & MIXER_CONTROLDETAILSF_QUERYMASK;
    if (query == MIXER_GETCONTROLDETAILSF_LISTTEXT) {
        if (c->Items == 0 || details->cbDetails < sizeof(MIXERCONTROLDETAILS_LISTTEXTA))
            return MMSYSERR_INVALPARAM;
        auto* out = static_cast<uint8_t*>(details->paDetails);
        for (DWORD i = 0; i < c->Items; ++i, out += details->cbDetails) {
            auto* t = reinterpret_cast<MIXERCONTROLDETAILS_LISTTEXTA*>(out);
            t->dwParam1 = t->dwParam2 = 0;
            CopyName(t->szName, sizeof(t->szName), c->Def.Items[i]);
        }
        return MMSYSERR_NOERROR;
    }
    if (query != MIXER_GETCONTROLDETAILSF_VALUE)
        return MMSYSERR_INVALFLAG;
    if (details->cbDetails != 4)
        return MMSYSERR_INVALPARAM;
    std::memcpy(details->paDetails, c->Values.data(), entries * 4);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerSetControlDetails(HMIXEROBJ mixer, MIXERCONTROLDETAILS* details, DWORD flags)
{
    Card& card = Card::Instance();
    std::lock_guard lock(card.Lock);
    int device = -1;
    ControlState* c = nullptr;
    size_t entries = 0;
    if (MMRESULT r = FindDetails(card, mixer, details, flags, device, c, entries))
        return r;
    if ((flags & MIXER_CONTROLDETAILSF_QUERYMASK) != MIXER_SETCONTROLDETAILSF_VALUE)
        return MMSYSERR_INVALFLAG;
    if (details->cbDetails != 4)
        return MMSYSERR_INVALPARAM;
    const auto* in = static_cast<const int32_t*>(details->paDetails);
    const size_t perChannel = std::max<DWORD>(1, c->Items);
    if (details->cChannels == 1 && c->Channels > 1) {
        // One entry set for every channel alike.
        for (DWORD ch = 0; ch < c->Channels; ++ch)
            std::copy(in, in + perChannel, c->Values.begin() + ch * perChannel);
    } else {
        std::copy(in, in + entries, c->Values.begin());
    }
    ++card.Writes;
    for (auto& h : Handles())
        if (h->Device == device && h->Window)
            h->Window->PostMessage(MM_MIXM_CONTROL_CHANGE, reinterpret_cast<WPARAM>(h.get()), c->ID);
    return MMSYSERR_NOERROR;
}
