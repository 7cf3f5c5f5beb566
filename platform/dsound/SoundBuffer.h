// A looping secondary buffer: the memory the caller fills through Lock/Unlock and the voice the
// engine mixes from it. API methods run on any thread (the caller serialises its own calls);
// Mix runs only on the render thread and reads the parameters through atomics, never a lock.
// The object is deleted by the engine once the render thread can no longer see it.
#pragma once

#include "platform/dsound/DSound.h"
#include "platform/dsound/DSoundBackend.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

struct SRC_STATE_tag;

namespace dsound {

// Scratch memory of the render thread, allocated once by the engine.
struct RenderScratch {
    static constexpr uint32_t MaxOutFrames = 1024; // at least one period at 100 kHz
    static constexpr uint32_t MaxInFrames = 4096;  // converter input per call
    std::vector<float> Voice = std::vector<float>(MaxOutFrames * 2);
    std::vector<float> Input = std::vector<float>(MaxInFrames * 2);
};

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

    // Render thread: adds `frames` frames of this buffer, converted to `out`'s rate and channel
    // count (1 or 2) with volume and pan applied, to `mix`; advances the play cursor by the frames
    // consumed. Does nothing while stopped. frames <= RenderScratch::MaxOutFrames.
    void Mix(float* mix, uint32_t frames, const OutputFormat& out, RenderScratch& scratch);

private:
    // The play cursor packed with a generation that every Stop and SetCurrentPosition bumps, so a
    // render that started before them cannot write its advance over theirs.
    static uint64_t Pack(uint32_t gen, uint32_t frame) { return (uint64_t(gen) << 32) | frame; }
    static uint32_t FrameOf(uint64_t v) { return static_cast<uint32_t>(v); }
    static uint32_t GenOf(uint64_t v) { return static_cast<uint32_t>(v >> 32); }
    void MoveCursor(uint32_t frame);
    uint32_t EffectiveRate() const;

    // Render thread helpers.
    void ToFloat(uint32_t pos, uint32_t frames, float* dst) const;
    uint32_t Resample(uint32_t pos, uint32_t frames, double ratio, float* dst, RenderScratch& scratch,
                      uint32_t& consumed);
    void Interpolate(uint32_t pos, uint32_t frames, double step, float* dst, uint32_t& consumed);

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
    std::atomic<LONG> FVolume{0};
    std::atomic<LONG> FPan{0};
    std::atomic<DWORD> FFrequency{0};
    std::atomic<uint64_t> FCursor{0};
    std::atomic<uint32_t> FPublished{0}; // bumped by Unlock (release), read by Mix (acquire)

    // Render thread only.
    SRC_STATE_tag* FSrc = nullptr;
    uint32_t FRenderGen = 0;
    enum class Path { Copy, Sinc, Linear };
    Path FPath = Path::Copy;
    double FPhase = 0; // linear path: position between the cursor's frame and the next
};

} // namespace dsound
