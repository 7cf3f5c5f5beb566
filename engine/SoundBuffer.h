// A looping secondary buffer: the memory the caller fills through Lock/Unlock and the voice the
// engine mixes from it. API methods run on any thread (the caller serialises its own calls);
// Mix runs only on the render thread and reads the parameters through atomics, never a lock.
// The object is deleted by the engine once the render thread can no longer see it.
#pragma once

#include "engine/Controls.h"
#include "engine/Equalizer.h"
#include "platform/dsound/DSound.h"
#include "platform/output/Backend.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

struct SRC_STATE_tag;

namespace engine {

using output::OutputFormat;

class Engine;

// Scratch memory of the render thread, allocated once by the engine.
struct RenderScratch {
    static constexpr uint32_t MaxOutFrames = 1024; // at least one period at 100 kHz
    static constexpr uint32_t MaxInFrames = 4096;  // converter input per call
    std::vector<float> Voice = std::vector<float>(MaxOutFrames * 2);
    std::vector<float> Outgoing = std::vector<float>(MaxOutFrames * 2); // the voice faded out
    std::vector<float> Input = std::vector<float>(MaxInFrames * 2);
};

class KeylockVoice;

class SoundBuffer final : public IDirectSoundBuffer {
public:
    // `format` and `bytes` are validated by the caller. Throws std::bad_alloc.
    SoundBuffer(Engine& engine, const WAVEFORMATEX& format, DWORD bytes, DWORD flags);
    ~SoundBuffer() override;

    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) override;
    HRESULT GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) override;
    HRESULT GetVolume(LONG* volume) override;
    HRESULT GetPan(LONG* pan) override;
    HRESULT GetFrequency(DWORD* frequency) override;
    HRESULT GetStatus(DWORD* status) override;
    HRESULT Lock(DWORD offset, DWORD bytes, void** ptr1, DWORD* bytes1, void** ptr2, DWORD* bytes2,
                 DWORD flags) override;
    HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) override;
    HRESULT SetCurrentPosition(DWORD newPosition) override;
    HRESULT SetFormat(const WAVEFORMATEX* format) override;
    HRESULT SetVolume(LONG volume) override;
    HRESULT SetPan(LONG pan) override;
    HRESULT SetFrequency(DWORD frequency) override;
    HRESULT Stop() override;
    HRESULT Unlock(void* ptr1, DWORD bytes1, void* ptr2, DWORD bytes2) override;
    HRESULT Restore() override;

    // Beyond the old API (engine/Controls.h). With keylock on, the frequency changes the tempo
    // only and the song keeps its key (time-stretching instead of resampling); switching while
    // playing fades between the two within a few tens of milliseconds, without a jump in position.
    // With cue on, the buffer's sound, before its volume and pan, is also sent to the headphones.
    HRESULT SetKeylock(BOOL on);
    HRESULT GetKeylock(BOOL* on);
    HRESULT SetCue(BOOL on);
    HRESULT GetCue(BOOL* on);
    // Plays by `controls` (a deck's, kept across its songs) instead of the buffer's own. Once.
    HRESULT Attach(std::shared_ptr<VoiceControls> controls);
    // Makes the stretcher when keylock is wanted and there is none yet. API thread: it allocates.
    HRESULT PrepareKeylock();

    // Render thread: adds `frames` frames of this buffer, converted to `out`'s rate and channel
    // count (1 or 2) with volume and pan applied, to `mix`, and with cue on, as they are, to `cue`
    // (null: no cue mix wanted); advances the play cursor by the frames consumed. Does nothing while
    // stopped. frames <= RenderScratch::MaxOutFrames.
    void Mix(float* mix, float* cue, uint32_t frames, const OutputFormat& out, RenderScratch& scratch);
    // Any thread.
    bool Playing() const { return FPlaying.load(std::memory_order_relaxed); }

private:
    // The play cursor packed with a generation that every Stop and SetCurrentPosition bumps, so a
    // render that started before them cannot write its advance over theirs.
    static uint64_t Pack(uint32_t gen, uint32_t frame) { return (uint64_t(gen) << 32) | frame; }
    static uint32_t FrameOf(uint64_t v) { return static_cast<uint32_t>(v); }
    static uint32_t GenOf(uint64_t v) { return static_cast<uint32_t>(v >> 32); }
    void MoveCursor(uint32_t frame);
    // Waits for a render block that was mixing this buffer when the caller changed its state: after
    // this, no block reads what the caller is about to write. Never called by the render.
    void WaitForRender() const;
    VoiceControls& Controls() const { return *FControls.load(std::memory_order_acquire); }
    // The rate the song plays at, Hz: its own times the speed, within 100..100000.
    double PlayedRate() const;

    // Render thread helpers. Each voice reads the buffer from a feed position of its own, which
    // runs ahead of the play cursor by what its converter holds; the cursor itself advances by the
    // song's frames heard (output frames times the speed), so it always names what is heard.
    void ToFloat(uint32_t pos, uint32_t frames, float* dst) const;
    void RenderResampled(uint32_t pos, uint32_t frames, double rate, uint32_t outRate, float* dst,
                         RenderScratch& scratch);
    void RenderKeylocked(uint32_t pos, uint32_t frames, double rate, uint32_t outRate, float* dst);
    void StartSinc(uint32_t pos, double ratio, RenderScratch& scratch);
    uint32_t Resample(uint32_t frames, double ratio, float* dst, RenderScratch& scratch);
    void Interpolate(uint32_t frames, double step, float* dst);
    void KeepHistory(uint32_t pos, uint32_t next);
    // Adds `voice` to `mix` with the sides' gains moving from `from` to `to` across the block.
    struct Gains {
        float Left = 1, Right = 1;
        bool operator==(const Gains&) const = default;
    };
    static void AddVoice(float* mix, const float* voice, uint32_t frames, uint32_t ch, uint32_t outCh, Gains from,
                         Gains to);

    Engine& FEngine;
    std::atomic<ULONG> FRefs{1};
    const WAVEFORMATEX FFormat;
    const DWORD FFlags;
    const DWORD FSize;      // bytes
    const uint32_t FFrames; // FSize / block align
    // 16-bit words so that 16-bit samples are read as int16_t; Lock hands out bytes.
    std::unique_ptr<int16_t[]> FWords;
    uint8_t* FData;

    std::atomic<bool> FPlaying{false};
    std::atomic<bool> FLooping{false};
    VoiceControls FOwn;
    std::shared_ptr<VoiceControls> FAttached;
    std::atomic<VoiceControls*> FControls{&FOwn};
    std::atomic<uint32_t> FMixing{0}; // odd while a render block mixes this buffer
    std::atomic<uint64_t> FCursor{0};
    std::atomic<uint32_t> FPublished{0}; // bumped by Unlock (release), read by Mix (acquire)

    std::unique_ptr<KeylockVoice> FKeylockVoice; // made once, when keylock is first wanted
    std::atomic<KeylockVoice*> FKeylockReady{nullptr};
    std::atomic<uint32_t> FReadAhead{0}; // frames the render has read past the play cursor

    // Render thread only.
    SRC_STATE_tag* FSrc = nullptr;
    uint32_t FRenderGen = 0;
    enum class Path { None, Copy, Sinc, Linear };
    Path FPath = Path::None;  // the resampling voice; None: to be started at the cursor
    uint32_t FFeed = 0;       // where the resampling voice reads next
    double FSrcRatio = 0;     // the ratio the converter was last given
    uint32_t FDiscard = 0;    // converter output still to drop after priming
    double FPhase = 0;        // linear path: position between the feed's frame and the next
    bool FStretching = false; // the keylocked voice is the one heard
    bool FStretchStarted = false;
    uint32_t FStretchFeed = 0; // where the keylocked voice reads next
    uint32_t FFadeLeft = 0;    // output frames of a switch between the voices still to fade
    double FHeardFraction = 0; // the part of a frame heard beyond the cursor
    Equalizer FEq;
    Gains FRoomGains; // as the last block ended; each block ramps from them
    float FCueGain = 0;
    bool FRampFromHere = true; // the first block after a start or a move starts at its gains
    // The last frames heard, ending at FHistoryEnd, to prime the converter with when it starts
    // where the cursor is: without them it would start from silence and click.
    static constexpr uint32_t HistoryFrames = 64;
    float FHistory[HistoryFrames * 2] = {};
    uint32_t FHistoryEnd = 0;
    uint32_t FHistoryLength = 0;
};

} // namespace engine
