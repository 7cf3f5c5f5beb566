#include "record/AMixer.h"

#include <algorithm>
#include <string>

// ---- TPointerList ----

int TPointerList::Add(void* item)
{
    FItems.push_back(item);
    return Count() - 1;
}

void* TPointerList::Items(int index) const
{
    if (index < 0 || index >= Count())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return FItems[static_cast<size_t>(index)];
}

void TPointerList::Clear()
{
    if (OnFreeItem)
        for (void* item : FItems)
            OnFreeItem(item);
    FItems.clear();
}

// ---- Lines and controls ----

namespace {

HMIXEROBJ Obj(TAudioMixer* mixer)
{
    return MixerObj(mixer->Handle());
}

} // namespace

TMixerControls::TMixerControls(TAudioMixer* mixer, const MIXERLINE& line)
{
    if (line.cControls == 0)
        return;
    FBlock = std::make_unique<MIXERCONTROL[]>(line.cControls);
    MIXERLINECONTROLS lc{};
    lc.cbStruct = sizeof(lc);
    lc.dwLineID = line.dwLineID;
    lc.cControls = line.cControls;
    lc.cbmxctrl = sizeof(MIXERCONTROL);
    lc.pamxctrl = FBlock.get();
    if (mixerGetLineControlsA(Obj(mixer), &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ALL) != MMSYSERR_NOERROR)
        return;
    for (DWORD i = 0; i < line.cControls; ++i)
        FList.Add(&FBlock[i]);
}

TMixerConnection::TMixerConnection(TAudioMixer* mixer, const MIXERLINE& line)
    : Line(line), Mixer(mixer), Controls(mixer, Line)
{
}

TMixerConnections::TMixerConnections(TAudioMixer* mixer, const MIXERLINE& destination)
{
    FList.OnFreeItem = [](void* item) { delete static_cast<TMixerConnection*>(item); };
    for (DWORD s = 0; s < destination.cConnections; ++s) {
        MIXERLINE line{};
        line.cbStruct = sizeof(line);
        line.dwDestination = destination.dwDestination;
        line.dwSource = s;
        if (mixerGetLineInfoA(Obj(mixer), &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR)
            continue;
        FList.Add(new TMixerConnection(mixer, line));
    }
}

TMixerDestination::TMixerDestination(TAudioMixer* mixer, const MIXERLINE& line)
    : Line(line), Mixer(mixer), Connections(mixer, Line), Controls(mixer, Line)
{
}

TMixerDestinations::TMixerDestinations(TAudioMixer* mixer)
{
    FList.OnFreeItem = [](void* item) { delete static_cast<TMixerDestination*>(item); };
    for (DWORD d = 0; d < mixer->Caps().cDestinations; ++d) {
        MIXERLINE line{};
        line.cbStruct = sizeof(line);
        line.dwDestination = d;
        if (mixerGetLineInfoA(Obj(mixer), &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_DESTINATION) !=
            MMSYSERR_NOERROR)
            continue; // positions in the list can differ from destination numbers
        FList.Add(new TMixerDestination(mixer, line));
    }
}

// ---- TAudioMixer ----

TAudioMixer::TAudioMixer()
{
    FWndHandle = std::make_unique<THiddenWindow>(
        [this](UINT message, WPARAM wParam, LPARAM lParam) { MixerWndProc(message, wParam, lParam); });
    FDeviceCount = static_cast<int>(mixerGetNumDevs());
    FMixerID = -1;
    SetMixerID(0);
}

TAudioMixer::~TAudioMixer()
{
    CloseMixer();
}

void TAudioMixer::SetMixerID(int id)
{
    if (FDeviceCount == 0)
        return;
    if (id >= FDeviceCount)
        id = FDeviceCount - 1;
    CloseMixer();
    if (id < 0)
        return;
    if (mixerOpen(&FMixerHandle, static_cast<UINT>(id), reinterpret_cast<DWORD_PTR>(FWndHandle.get()), 0,
                  CALLBACK_WINDOW) != MMSYSERR_NOERROR) {
        FMixerHandle = nullptr;
        return;
    }
    FMixerID = id;
    mixerGetDevCapsA(static_cast<UINT_PTR>(id), &FCaps, sizeof(FCaps));
    FDestinations = std::make_unique<TMixerDestinations>(this);
}

void TAudioMixer::CloseMixer()
{
    if (FMixerID >= 0) {
        mixerClose(FMixerHandle);
        FMixerHandle = nullptr;
        FMixerID = -1;
    }
    FDestinations.reset();
}

intptr_t TAudioMixer::MixerWndProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == MM_MIXM_LINE_CHANGE) {
        if (OnLineChange)
            OnLineChange(this, static_cast<intptr_t>(wParam), lParam);
        return 0;
    }
    if (message == MM_MIXM_CONTROL_CHANGE) {
        if (OnControlChange)
            OnControlChange(this, static_cast<intptr_t>(wParam), lParam);
        return 0;
    }
    return 0; // the default window procedure of a hidden window does nothing
}

bool TAudioMixer::SetVolume(int destination, int connection, int left, int right, int mute)
{
    if (FMixerID < 0 || !FDestinations || destination < 0 || destination >= FDestinations->Count())
        return false;
    TMixerDestination* dest = FDestinations->Items(destination);
    const MIXERLINE* line = &dest->Line;
    const TMixerControls* controls = &dest->Controls;
    if (connection != -1) {
        if (connection < 0 || connection >= dest->Connections.Count())
            return false;
        TMixerConnection* c = dest->Connections.Items(connection);
        line = &c->Line;
        controls = &c->Controls;
    }
    const bool result = true;
    bool volumePending = left != -1;
    bool mutePending = mute != -1;
    bool muteDone = false;
    for (int i = 0; i < controls->Count() && (volumePending || mutePending); ++i) {
        const MIXERCONTROL* c = controls->Items(i);
        const bool volume = c->dwControlType == MIXERCONTROL_CONTROLTYPE_VOLUME;
        const bool muteControl = c->dwControlType == MIXERCONTROL_CONTROLTYPE_MUTE;
        if ((!volume && !muteControl) || (c->fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE))
            continue;
        if ((volume && !volumePending) || (muteControl && !mutePending))
            continue;
        MIXERCONTROLDETAILS d{};
        d.cbStruct = sizeof(d);
        d.dwControlID = c->dwControlID;
        d.cChannels = (c->fdwControl & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : std::max<DWORD>(1, line->cChannels);
        d.cMultipleItems = 0;
        d.cbDetails = 4;
        // Channels beyond the first two take the left value (volume) or the mute value.
        std::vector<int32_t> values(std::max<DWORD>(2, d.cChannels), volume ? left : mute);
        if (volume) {
            values[0] = left;
            values[1] = right == -1 ? left : right;
            volumePending = false;
        } else {
            mutePending = false;
            muteDone = true;
        }
        d.paDetails = values.data();
        mixerSetControlDetails(Obj(this), &d, MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
    }
    if (muteDone || connection == -1 || mute == -1)
        return result;

    // A source without a usable mute control: mute it through the destination's source selector.
    for (int i = 0; i < dest->Controls.Count(); ++i) {
        const MIXERCONTROL* c = dest->Controls.Items(i);
        const bool mux = c->dwControlType == MIXERCONTROL_CONTROLTYPE_MUX;
        if (!mux && c->dwControlType != MIXERCONTROL_CONTROLTYPE_MIXER)
            continue;
        MIXERCONTROLDETAILS d{};
        d.cbStruct = sizeof(d);
        d.dwControlID = c->dwControlID;
        d.cChannels = (c->fdwControl & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : std::max<DWORD>(1, dest->Line.cChannels);
        d.cMultipleItems = (c->fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) ? c->cMultipleItems : 0;
        d.cbDetails = 4;
        std::vector<int32_t> values(size_t(d.cChannels) * std::max<DWORD>(1, d.cMultipleItems), 0);
        d.paDetails = values.data();
        mixerGetControlDetailsA(Obj(this), &d, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
        if (mux)
            std::fill(values.begin(), values.end(), 0);
        if (static_cast<size_t>(connection) < values.size())
            values[static_cast<size_t>(connection)] = mute;
        mixerSetControlDetails(Obj(this), &d, MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
        break;
    }
    return result;
}

bool SelectRecordSource(int position)
{
    HMIXER mixer = nullptr;
    const UINT devices = mixerGetNumDevs();
    for (UINT i = 0; i < devices; ++i) {
        HMIXER h = nullptr;
        if (mixerOpen(&h, i, 0, 0, 0) == MMSYSERR_NOERROR) {
            if (mixer)
                mixerClose(mixer);
            mixer = h;
        }
    }
    if (!mixer)
        return true;
    const HMIXEROBJ obj = MixerObj(mixer);
    MIXERLINE line{};
    line.cbStruct = sizeof(line);
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    MIXERCONTROL control{};
    MIXERLINECONTROLS lc{};
    lc.cbStruct = sizeof(lc);
    lc.dwControlType = MIXERCONTROL_CONTROLTYPE_MUX;
    lc.cControls = 1;
    lc.cbmxctrl = sizeof(MIXERCONTROL);
    lc.pamxctrl = &control;
    // Each step needs the one before; a failing step leaves the rest undone.
    if (mixerGetLineInfoA(obj, &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR) {
        lc.dwLineID = line.dwLineID;
        if (mixerGetLineControlsA(obj, &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) ==
            MMSYSERR_NOERROR) {
            std::vector<int32_t> values(std::max<DWORD>(1, control.cMultipleItems));
            MIXERCONTROLDETAILS d{};
            d.cbStruct = sizeof(d);
            d.dwControlID = control.dwControlID;
            d.cChannels = 1;
            d.cMultipleItems = control.cMultipleItems;
            d.cbDetails = 4;
            d.paDetails = values.data();
            if (mixerGetControlDetailsA(obj, &d, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE) ==
                MMSYSERR_NOERROR) {
                std::fill(values.begin(), values.end(), 0);
                if (position >= 1 && static_cast<DWORD>(position) <= control.cMultipleItems)
                    values[static_cast<size_t>(position - 1)] = 1;
                mixerSetControlDetails(obj, &d, MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
            }
        }
    }
    mixerClose(mixer);
    return true;
}
