#include "platform/dsound/SoundBuffer.h"

#include "platform/dsound/DSoundEngine.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace dsound {

namespace {

// libsamplerate refuses ratios beyond this factor either way; rates further apart (below about
// 172 Hz against a 44.1 kHz output) are interpolated linearly.
constexpr double MaxRatio = 256.0;

float DbToGain(LONG hundredthsDb)
{
    return hundredthsDb == 0 ? 1.0f : static_cast<float>(std::pow(10.0, hundredthsDb / 2000.0));
}

} // namespace

SoundBuffer::SoundBuffer(Engine& engine, const WAVEFORMATEX& format, DWORD bytes, DWORD flags)
    : FEngine(engine), FFormat(format), FFlags(flags), FSize(bytes), FFrames(bytes / format.nBlockAlign),
      FWords(new int16_t[(bytes + 1) / 2])
{
    FData = reinterpret_cast<uint8_t*>(FWords.get());
    std::memset(FData, format.wBitsPerSample == 8 ? 0x80 : 0, bytes);
    int error = 0;
    FSrc = src_new(SRC_SINC_FASTEST, format.nChannels, &error);
    if (!FSrc)
        throw std::bad_alloc();
}

SoundBuffer::~SoundBuffer()
{
    src_delete(FSrc);
}

ULONG SoundBuffer::AddRef()
{
    return FRefs.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG SoundBuffer::Release()
{
    const ULONG left = FRefs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
        FEngine.RemoveBuffer(this);
    return left;
}

uint32_t SoundBuffer::EffectiveRate() const
{
    const DWORD f = FFrequency.load(std::memory_order_acquire);
    return f ? f : FFormat.nSamplesPerSec;
}

HRESULT SoundBuffer::GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor)
{
    const uint32_t align = FFormat.nBlockAlign;
    const DWORD play = FrameOf(FCursor.load(std::memory_order_acquire)) * align;
    if (playCursor)
        *playCursor = play;
    if (writeCursor) {
        // The backend's largest render in this buffer's frames, rounded up.
        const uint64_t outRate = FEngine.OutputRate();
        const uint64_t ahead = (uint64_t(FEngine.LeadFrames()) * EffectiveRate() + outRate - 1) / outRate;
        *writeCursor = static_cast<DWORD>((play + ahead * align) % FSize);
    }
    return DS_OK;
}

HRESULT SoundBuffer::GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten)
{
    if (!format) {
        if (!sizeWritten)
            return DSERR_INVALIDPARAM;
        *sizeWritten = sizeof(WAVEFORMATEX);
        return DS_OK;
    }
    if (sizeAllocated < sizeof(WAVEFORMATEX))
        return DSERR_INVALIDPARAM;
    *format = FFormat;
    format->cbSize = 0;
    if (sizeWritten)
        *sizeWritten = sizeof(WAVEFORMATEX);
    return DS_OK;
}

HRESULT SoundBuffer::GetVolume(LONG* volume)
{
    if (!volume)
        return DSERR_INVALIDPARAM;
    *volume = FVolume.load(std::memory_order_relaxed);
    return DS_OK;
}

HRESULT SoundBuffer::GetPan(LONG* pan)
{
    if (!pan)
        return DSERR_INVALIDPARAM;
    *pan = FPan.load(std::memory_order_relaxed);
    return DS_OK;
}

HRESULT SoundBuffer::GetFrequency(DWORD* frequency)
{
    if (!frequency)
        return DSERR_INVALIDPARAM;
    *frequency = EffectiveRate();
    return DS_OK;
}

HRESULT SoundBuffer::GetStatus(DWORD* status)
{
    if (!status)
        return DSERR_INVALIDPARAM;
    *status = 0;
    if (FPlaying.load(std::memory_order_acquire))
        *status = DSBSTATUS_PLAYING | (FLooping.load(std::memory_order_relaxed) ? DSBSTATUS_LOOPING : 0);
    return DS_OK;
}

HRESULT SoundBuffer::Lock(DWORD offset, DWORD bytes, void** ptr1, DWORD* bytes1, void** ptr2, DWORD* bytes2,
                          DWORD flags)
{
    if (!ptr1 || !bytes1)
        return DSERR_INVALIDPARAM;
    if (flags & DSBLOCK_FROMWRITECURSOR)
        GetCurrentPosition(nullptr, &offset);
    if (flags & DSBLOCK_ENTIREBUFFER)
        bytes = FSize;
    if (bytes == 0 || bytes > FSize || offset >= FSize)
        return DSERR_INVALIDPARAM;
    *ptr1 = FData + offset;
    const DWORD first = std::min(bytes, FSize - offset);
    *bytes1 = first;
    const bool second = first < bytes && ptr2;
    if (ptr2)
        *ptr2 = second ? FData : nullptr;
    if (bytes2)
        *bytes2 = second ? bytes - first : 0;
    return DS_OK;
}

HRESULT SoundBuffer::Unlock(void* ptr1, DWORD bytes1, void* ptr2, DWORD bytes2)
{
    auto inside = [this](void* p, DWORD n) {
        const auto* b = static_cast<uint8_t*>(p);
        return b >= FData && n <= FSize && b + n <= FData + FSize;
    };
    if (!ptr1 || !inside(ptr1, bytes1) || (ptr2 && !inside(ptr2, bytes2)))
        return DSERR_INVALIDPARAM;
    // Makes what the caller wrote visible to the render thread, which acquires this counter.
    FPublished.fetch_add(1, std::memory_order_release);
    return DS_OK;
}

HRESULT SoundBuffer::Play(DWORD reserved, DWORD /*priority*/, DWORD flags)
{
    if (reserved != 0)
        return DSERR_INVALIDPARAM;
    FLooping.store((flags & DSBPLAY_LOOPING) != 0, std::memory_order_relaxed);
    FPlaying.store(true, std::memory_order_release);
    return DS_OK;
}

HRESULT SoundBuffer::Stop()
{
    FPlaying.store(false, std::memory_order_release);
    // A new generation: an advance computed by a render already under way is discarded, so the
    // cursor read after Stop is where it stays.
    FCursor.fetch_add(uint64_t(1) << 32, std::memory_order_acq_rel);
    return DS_OK;
}

void SoundBuffer::MoveCursor(uint32_t frame)
{
    uint64_t v = FCursor.load(std::memory_order_acquire);
    while (!FCursor.compare_exchange_weak(v, Pack(GenOf(v) + 1, frame), std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
    }
}

HRESULT SoundBuffer::SetCurrentPosition(DWORD newPosition)
{
    if (newPosition >= FSize)
        return DSERR_INVALIDPARAM;
    MoveCursor(newPosition / FFormat.nBlockAlign);
    return DS_OK;
}

HRESULT SoundBuffer::SetFormat(const WAVEFORMATEX*)
{
    return DSERR_INVALIDCALL; // only the primary buffer has a settable format
}

HRESULT SoundBuffer::SetVolume(LONG volume)
{
    if (!(FFlags & DSBCAPS_CTRLVOLUME))
        return DSERR_CONTROLUNAVAIL;
    if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX)
        return DSERR_INVALIDPARAM;
    FVolume.store(volume, std::memory_order_release);
    return DS_OK;
}

HRESULT SoundBuffer::SetPan(LONG pan)
{
    if (!(FFlags & DSBCAPS_CTRLPAN))
        return DSERR_CONTROLUNAVAIL;
    if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT)
        return DSERR_INVALIDPARAM;
    FPan.store(pan, std::memory_order_release);
    return DS_OK;
}

HRESULT SoundBuffer::SetFrequency(DWORD frequency)
{
    if (!(FFlags & DSBCAPS_CTRLFREQUENCY))
        return DSERR_CONTROLUNAVAIL;
    if (frequency != DSBFREQUENCY_ORIGINAL && (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX))
        return DSERR_INVALIDPARAM;
    FFrequency.store(frequency, std::memory_order_release);
    return DS_OK;
}

HRESULT SoundBuffer::Restore()
{
    return DS_OK; // memory is never lost here
}

void SoundBuffer::ToFloat(uint32_t pos, uint32_t frames, float* dst) const
{
    const uint32_t ch = FFormat.nChannels;
    while (frames > 0) {
        const uint32_t n = std::min(frames, FFrames - pos);
        if (FFormat.wBitsPerSample == 16) {
            const int16_t* src = FWords.get() + size_t(pos) * ch;
            for (uint32_t i = 0; i < n * ch; ++i)
                dst[i] = src[i] * (1.0f / 32768.0f);
        } else {
            const uint8_t* src = FData + size_t(pos) * ch;
            for (uint32_t i = 0; i < n * ch; ++i)
                dst[i] = (int(src[i]) - 128) * (1.0f / 128.0f);
        }
        dst += size_t(n) * ch;
        frames -= n;
        pos = 0;
    }
}

uint32_t SoundBuffer::Resample(uint32_t pos, uint32_t frames, double ratio, float* dst, RenderScratch& scratch,
                               uint32_t& consumed)
{
    const uint32_t ch = FFormat.nChannels;
    uint32_t produced = 0;
    int idle = 0;
    consumed = 0;
    for (int round = 0; produced < frames && idle < 3 && round < 64; ++round) {
        // No more input than the output still wanted needs: the converter keeps whatever it is
        // given, so any surplus would pile up inside it and run the cursor ahead of the sound.
        const double want = std::floor((frames - produced) / ratio);
        const uint32_t in = static_cast<uint32_t>(std::clamp(want, 1.0, double(RenderScratch::MaxInFrames)));
        ToFloat((pos + consumed) % FFrames, in, scratch.Input.data());
        SRC_DATA data{};
        data.data_in = scratch.Input.data();
        data.data_out = dst + size_t(produced) * ch;
        data.input_frames = in;
        data.output_frames = frames - produced;
        data.src_ratio = ratio;
        if (src_process(FSrc, &data) != 0)
            break;
        consumed += static_cast<uint32_t>(data.input_frames_used);
        produced += static_cast<uint32_t>(data.output_frames_gen);
        idle = (data.input_frames_used == 0 && data.output_frames_gen == 0) ? idle + 1 : 0;
    }
    return produced;
}

void SoundBuffer::Interpolate(uint32_t pos, uint32_t frames, double step, float* dst, uint32_t& consumed)
{
    const uint32_t ch = FFormat.nChannels;
    float a[2] = {0, 0}, b[2] = {0, 0};
    ToFloat(pos, 1, a);
    ToFloat((pos + 1) % FFrames, 1, b);
    consumed = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        const float t = static_cast<float>(FPhase);
        for (uint32_t c = 0; c < ch; ++c)
            dst[i * ch + c] = a[c] + (b[c] - a[c]) * t;
        FPhase += step;
        while (FPhase >= 1.0) {
            FPhase -= 1.0;
            ++consumed;
            a[0] = b[0];
            a[1] = b[1];
            ToFloat((pos + consumed + 1) % FFrames, 1, b);
        }
    }
}

void SoundBuffer::Mix(float* mix, uint32_t frames, const OutputFormat& out, RenderScratch& scratch)
{
    if (!FPlaying.load(std::memory_order_acquire))
        return;
    FPublished.load(std::memory_order_acquire); // pairs with Unlock: the caller's writes are visible
    uint64_t cursor = FCursor.load(std::memory_order_acquire);
    const uint32_t gen = GenOf(cursor);
    const uint32_t pos = FrameOf(cursor);
    if (gen != FRenderGen) {
        // Moved or stopped since the last block: the converter's history belongs elsewhere.
        FRenderGen = gen;
        FPath = Path::Copy;
    }

    const uint32_t ch = FFormat.nChannels;
    float* voice = scratch.Voice.data();
    const uint32_t rate = EffectiveRate();
    const double ratio = double(out.Rate) / rate;
    uint32_t consumed = frames;
    if (rate == out.Rate) {
        ToFloat(pos, frames, voice);
        FPath = Path::Copy;
    } else if (ratio <= MaxRatio && ratio >= 1.0 / MaxRatio) {
        if (FPath != Path::Sinc) {
            src_reset(FSrc);
            FPath = Path::Sinc;
        }
        const uint32_t produced = Resample(pos, frames, ratio, voice, scratch, consumed);
        std::fill(voice + size_t(produced) * ch, voice + size_t(frames) * ch, 0.0f);
    } else {
        if (FPath != Path::Linear) {
            FPhase = 0;
            FPath = Path::Linear;
        }
        Interpolate(pos, frames, 1.0 / ratio, voice, consumed);
    }

    const float gain = DbToGain(FVolume.load(std::memory_order_acquire));
    const LONG pan = FPan.load(std::memory_order_acquire);
    const float left = gain * (pan > 0 ? DbToGain(-pan) : 1.0f);
    const float right = gain * (pan < 0 ? DbToGain(pan) : 1.0f);
    if (out.Channels == 2) {
        if (ch == 2) {
            for (uint32_t i = 0; i < frames; ++i) {
                mix[2 * i] += voice[2 * i] * left;
                mix[2 * i + 1] += voice[2 * i + 1] * right;
            }
        } else {
            for (uint32_t i = 0; i < frames; ++i) {
                mix[2 * i] += voice[i] * left;
                mix[2 * i + 1] += voice[i] * right;
            }
        }
    } else {
        if (ch == 2) {
            for (uint32_t i = 0; i < frames; ++i)
                mix[i] += (voice[2 * i] * left + voice[2 * i + 1] * right) * 0.5f;
        } else {
            for (uint32_t i = 0; i < frames; ++i)
                mix[i] += voice[i] * (left + right) * 0.5f;
        }
    }

    const uint32_t next = static_cast<uint32_t>((uint64_t(pos) + consumed) % FFrames);
    // Fails when Stop or SetCurrentPosition came in meanwhile; theirs wins.
    FCursor.compare_exchange_strong(cursor, Pack(gen, next), std::memory_order_acq_rel, std::memory_order_relaxed);
}

} // namespace dsound
