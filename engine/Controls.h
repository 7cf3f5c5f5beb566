// The engine's controls beyond the old sound API: what mixer/ calls besides DSound.h. Any thread.
#pragma once

#include "platform/dsound/DSound.h"
#include "platform/output/CueOutput.h"

#include <atomic>
#include <memory>
#include <vector>

namespace engine {

// A deck's voice as the render reads it. Any thread changes it through atomics, so a change is
// never lost or held up behind another thread; it takes effect at the next block (gains ramp
// across that block). Every buffer attached to it plays by it, so it outlasts the deck's songs.
class VoiceControls {
public:
    // Hundredths of a dB, -10000..0; -10000 (left only) .. 10000 (right only). DSERR_INVALIDPARAM
    // and no change outside.
    HRESULT SetVolume(LONG volume);
    HRESULT SetPan(LONG pan);
    // The speed as a ratio to the song's own rate (1: as recorded); the played rate is held within
    // 100..100000 Hz. DSERR_INVALIDPARAM and no change unless 0 < speed <= 1000.
    HRESULT SetSpeed(double speed);
    // With keylock on, the speed changes the tempo only and the song keeps its key. The buffer's
    // stretcher must be made on an API thread (PrepareKeylock) before it is heard.
    void SetKeylock(bool on) { FKeylock.store(on, std::memory_order_release); }
    // With cue on, the voice, before its volume and pan, is also sent to the headphones.
    void SetCue(bool on) { FCue.store(on, std::memory_order_release); }

    // The isolator's bands (before the volume, the crossfader and the cue send): a linear gain from
    // 0 (cut) to 2 (+6 dB), and a kill that cuts the band whatever its gain. DSERR_INVALIDPARAM and
    // no change outside.
    enum Band { Low, Mid, High, Bands };
    HRESULT SetBand(Band band, float gain);
    void SetKill(Band band, bool on) { FKill[band].store(on, std::memory_order_release); }
    float BandGain(Band band) const { return FBand[band].load(std::memory_order_acquire); }
    bool Killed(Band band) const { return FKill[band].load(std::memory_order_acquire); }
    // What the band plays at: its gain, or 0 while killed.
    float Heard(Band band) const { return Killed(band) ? 0.0f : BandGain(band); }
    // The trim, -12..+12 dB, and the song's loudness match, dB; they add, before the bands.
    HRESULT SetTrim(float db);
    void SetLoudnessMatch(float db) { FMatchDb.store(db, std::memory_order_release); }
    float Trim() const { return FTrimDb.load(std::memory_order_acquire); }
    float TrimFactor() const;
    // The crossfader's share of the voice in the room, 0..1; the headphones hear it whatever this is.
    HRESULT SetFader(float gain);
    float Fader() const { return FFader.load(std::memory_order_acquire); }

    LONG Volume() const { return FVolume.load(std::memory_order_acquire); }
    LONG Pan() const { return FPan.load(std::memory_order_acquire); }
    double Speed() const { return FSpeed.load(std::memory_order_acquire); }
    bool Keylock() const { return FKeylock.load(std::memory_order_acquire); }
    bool Cue() const { return FCue.load(std::memory_order_acquire); }

private:
    std::atomic<LONG> FVolume{0};
    std::atomic<LONG> FPan{0};
    std::atomic<double> FSpeed{1.0};
    std::atomic<bool> FKeylock{false};
    std::atomic<bool> FCue{false};
    std::atomic<float> FBand[Bands] = {1.0f, 1.0f, 1.0f};
    std::atomic<bool> FKill[Bands] = {false, false, false};
    std::atomic<float> FTrimDb{0};
    std::atomic<float> FMatchDb{0};
    std::atomic<float> FFader{1};
};

// Makes `buffer` (a secondary buffer of the engine) play by `controls` from now on, and makes its
// stretcher when keylock is on. Once per buffer; DSERR_CONTROLUNAVAIL for any other buffer.
HRESULT Attach(IDirectSoundBuffer* buffer, std::shared_ptr<VoiceControls> controls);
// Makes the buffer's stretcher when its controls want keylock and it has none yet. It allocates:
// an API thread, never the render's.
HRESULT PrepareKeylock(IDirectSoundBuffer* buffer);

// The master limiter (off until turned on): no sample of the room's mix or the recording above
// -0.3 dBFS. LimiterGain: its lowest gain in the last block (1: not limiting).
void SetLimiter(bool on);
float LimiterGain();

// The headphones: where they play, the cue/room blend (0 = the cue only .. 1 = the room only) and
// their level (0..1).
void ChooseHeadphones(const output::CueTarget& target);
output::CueTarget ChosenHeadphones();
void SetHeadphonesMix(float blend, float level);
// Where the headphones can play: the sound server's sinks while the room plays through the server,
// else the PortAudio devices; the room's own device left out.
std::vector<output::CueTarget> HeadphonesChoices();

} // namespace engine
