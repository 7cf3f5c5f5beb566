#include "engine/Controls.h"

#include "engine/Engine.h"
#include "engine/SoundBuffer.h"

#include <cmath>

namespace engine {

namespace {

SoundBuffer* Secondary(IDirectSoundBuffer* buffer)
{
    return dynamic_cast<SoundBuffer*>(buffer);
}

} // namespace

HRESULT VoiceControls::SetVolume(LONG volume)
{
    if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX)
        return DSERR_INVALIDPARAM;
    FVolume.store(volume, std::memory_order_release);
    return DS_OK;
}

HRESULT VoiceControls::SetPan(LONG pan)
{
    if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT)
        return DSERR_INVALIDPARAM;
    FPan.store(pan, std::memory_order_release);
    return DS_OK;
}

HRESULT VoiceControls::SetSpeed(double speed)
{
    if (!(speed > 0 && speed <= 1000))
        return DSERR_INVALIDPARAM;
    FSpeed.store(speed, std::memory_order_release);
    return DS_OK;
}

HRESULT VoiceControls::SetBand(Band band, float gain)
{
    if (band < Low || band >= Bands || !(gain >= 0 && gain <= 2))
        return DSERR_INVALIDPARAM;
    FBand[band].store(gain, std::memory_order_release);
    return DS_OK;
}

HRESULT VoiceControls::SetTrim(float db)
{
    if (!(db >= -12 && db <= 12))
        return DSERR_INVALIDPARAM;
    FTrimDb.store(db, std::memory_order_release);
    return DS_OK;
}

float VoiceControls::TrimFactor() const
{
    const float db = Trim() + FMatchDb.load(std::memory_order_acquire);
    return db == 0 ? 1.0f : static_cast<float>(std::pow(10.0, db / 20.0));
}

HRESULT VoiceControls::SetFader(float gain)
{
    if (!(gain >= 0 && gain <= 1))
        return DSERR_INVALIDPARAM;
    FFader.store(gain, std::memory_order_release);
    return DS_OK;
}

HRESULT Attach(IDirectSoundBuffer* buffer, std::shared_ptr<VoiceControls> controls)
{
    SoundBuffer* b = Secondary(buffer);
    return b && controls ? b->Attach(std::move(controls)) : DSERR_CONTROLUNAVAIL;
}

HRESULT PrepareKeylock(IDirectSoundBuffer* buffer)
{
    SoundBuffer* b = Secondary(buffer);
    return b ? b->PrepareKeylock() : DSERR_CONTROLUNAVAIL;
}

void SetLimiter(bool on)
{
    Engine::Instance().SetLimiter(on);
}

float LimiterGain()
{
    return Engine::Instance().LimiterGain();
}

void ChooseHeadphones(const output::CueTarget& target)
{
    Engine::Instance().Headphones().Choose(target);
}

output::CueTarget ChosenHeadphones()
{
    return Engine::Instance().Headphones().Chosen();
}

void SetHeadphonesMix(float blend, float level)
{
    output::CueOutput& cue = Engine::Instance().Headphones();
    cue.SetBlend(blend);
    cue.SetLevel(level);
}

std::vector<output::CueTarget> HeadphonesChoices()
{
    bool sinks = false;
    const std::vector<output::DeviceInfo> devices = Engine::Instance().Devices(&sinks);
    std::vector<output::CueTarget> choices;
    for (const output::DeviceInfo& d : devices) {
        // The room plays on the server's default sink, listed first: the cue must not go there.
        if (sinks && &d == &devices.front())
            continue;
        output::CueTarget t;
        t.Description = d.Name;
        if (sinks) {
            t.What = output::CueTarget::Kind::Sink;
            t.Sink = d.Id;
        } else {
            t.What = output::CueTarget::Kind::PortAudio;
            t.Device = d.Guid;
        }
        choices.push_back(t);
    }
    return choices;
}

} // namespace engine
