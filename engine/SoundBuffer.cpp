#include "engine/SoundBuffer.h"

#include "engine/Engine.h"
#include "engine/KeylockVoice.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

namespace engine {

namespace {

// libsamplerate refuses ratios beyond this factor either way; rates further apart (below about
// 172 Hz against a 44.1 kHz output) are interpolated linearly.
constexpr double MaxRatio = 256.0;

// A switch between the resampled and the keylocked voice fades one into the other over this many
// output frames (about 23 ms at 44.1 kHz): long enough to hide the keylocked voice's start.
constexpr uint32_t SwitchFadeFrames = 1024;

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

double SoundBuffer::PlayedRate() const
{
    const double rate =
        std::clamp(FFormat.nSamplesPerSec * Controls().Speed(), double(DSBFREQUENCY_MIN), double(DSBFREQUENCY_MAX));
    // A speed set as Hz over the song's rate may miss that whole rate by a rounding step; at the
    // output's rate the song must still be copied exactly.
    const double whole = std::nearbyint(rate);
    return std::abs(rate - whole) < 1e-6 ? whole : rate;
}

void SoundBuffer::WaitForRender() const
{
    // Sequentially consistent with Mix: either that block saw the change, or it is seen here as
    // under way and waited for. A block takes a few milliseconds at most.
    const uint32_t mixing = FMixing.load(std::memory_order_seq_cst);
    if (mixing % 2 == 1)
        while (FMixing.load(std::memory_order_acquire) == mixing)
            std::this_thread::yield();
}

HRESULT SoundBuffer::GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor)
{
    const uint32_t align = FFormat.nBlockAlign;
    const DWORD play = FrameOf(FCursor.load(std::memory_order_acquire)) * align;
    if (playCursor)
        *playCursor = play;
    if (writeCursor) {
        // The backend's largest render in this buffer's frames, rounded up.
        const double outRate = FEngine.OutputRate();
        const uint64_t ahead = static_cast<uint64_t>(std::ceil(FEngine.LeadFrames() * PlayedRate() / outRate)) +
                               FReadAhead.load(std::memory_order_relaxed);
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
    *volume = Controls().Volume();
    return DS_OK;
}

HRESULT SoundBuffer::GetPan(LONG* pan)
{
    if (!pan)
        return DSERR_INVALIDPARAM;
    *pan = Controls().Pan();
    return DS_OK;
}

HRESULT SoundBuffer::GetFrequency(DWORD* frequency)
{
    if (!frequency)
        return DSERR_INVALIDPARAM;
    *frequency = static_cast<DWORD>(std::lround(PlayedRate()));
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
    FEngine.NotePlaying();
    return DS_OK;
}

HRESULT SoundBuffer::Stop()
{
    FPlaying.store(false, std::memory_order_seq_cst);
    // A new generation: an advance computed by a render already under way is discarded, so the
    // cursor read after Stop is where it stays.
    FCursor.fetch_add(uint64_t(1) << 32, std::memory_order_acq_rel);
    WaitForRender(); // the caller may now refill any part of the buffer
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
    WaitForRender();
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
    return Controls().SetVolume(volume);
}

HRESULT SoundBuffer::SetPan(LONG pan)
{
    if (!(FFlags & DSBCAPS_CTRLPAN))
        return DSERR_CONTROLUNAVAIL;
    return Controls().SetPan(pan);
}

HRESULT SoundBuffer::SetFrequency(DWORD frequency)
{
    if (!(FFlags & DSBCAPS_CTRLFREQUENCY))
        return DSERR_CONTROLUNAVAIL;
    if (frequency != DSBFREQUENCY_ORIGINAL && (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX))
        return DSERR_INVALIDPARAM;
    return Controls().SetSpeed(frequency == DSBFREQUENCY_ORIGINAL ? 1.0 : double(frequency) / FFormat.nSamplesPerSec);
}

HRESULT SoundBuffer::Restore()
{
    return DS_OK; // memory is never lost here
}

HRESULT SoundBuffer::SetKeylock(BOOL on)
{
    if (!(FFlags & DSBCAPS_CTRLFREQUENCY))
        return DSERR_CONTROLUNAVAIL;
    Controls().SetKeylock(on != 0);
    return PrepareKeylock();
}

HRESULT SoundBuffer::PrepareKeylock()
{
    // The stretcher is made here, off the render thread, the first time it is wanted; the render
    // thread sees it only once it is whole.
    if (!Controls().Keylock() || FKeylockVoice)
        return DS_OK;
    try {
        FKeylockVoice = std::make_unique<KeylockVoice>(FFormat.nSamplesPerSec, FFormat.nChannels);
    } catch (const std::exception&) {
        return DSERR_OUTOFMEMORY;
    }
    FKeylockReady.store(FKeylockVoice.get(), std::memory_order_release);
    return DS_OK;
}

HRESULT SoundBuffer::Attach(std::shared_ptr<VoiceControls> controls)
{
    if (FAttached)
        return DSERR_ALREADYINITIALIZED;
    FAttached = std::move(controls);
    FControls.store(FAttached.get(), std::memory_order_release);
    return PrepareKeylock();
}

HRESULT SoundBuffer::GetKeylock(BOOL* on)
{
    if (!on)
        return DSERR_INVALIDPARAM;
    *on = Controls().Keylock();
    return DS_OK;
}

HRESULT SoundBuffer::SetCue(BOOL on)
{
    Controls().SetCue(on != 0);
    return DS_OK;
}

HRESULT SoundBuffer::GetCue(BOOL* on)
{
    if (!on)
        return DSERR_INVALIDPARAM;
    *on = Controls().Cue();
    return DS_OK;
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

void SoundBuffer::StartSinc(uint32_t pos, double ratio, RenderScratch& scratch)
{
    src_reset(FSrc);
    src_set_ratio(FSrc, ratio);
    FSrcRatio = ratio;
    FFeed = pos;
    FDiscard = 0;
    // Primed with the frames heard last, so its first output continues them; what it makes of
    // them is dropped (it puts out input frame n at output n * ratio; rounded down, so its first
    // output lies less than a frame before the cursor, never beyond it).
    const uint32_t primed =
        std::min<uint32_t>(pos == FHistoryEnd ? FHistoryLength : 0,
                           static_cast<uint32_t>(RenderScratch::MaxOutFrames / std::max(ratio, 1.0)));
    if (primed == 0)
        return;
    const uint32_t ch = FFormat.nChannels;
    SRC_DATA data{};
    data.data_in = FHistory + size_t(HistoryFrames - primed) * ch;
    data.input_frames = primed;
    data.data_out = scratch.Outgoing.data();
    data.output_frames = RenderScratch::MaxOutFrames;
    data.src_ratio = ratio;
    const auto due = static_cast<uint32_t>(primed * ratio);
    if (src_process(FSrc, &data) == 0 && data.output_frames_gen < due)
        FDiscard = due - static_cast<uint32_t>(data.output_frames_gen);
}

uint32_t SoundBuffer::Resample(uint32_t frames, double ratio, float* dst, RenderScratch& scratch)
{
    const uint32_t ch = FFormat.nChannels;
    uint32_t produced = 0;
    int idle = 0;
    for (int round = 0; produced < frames && idle < 3 && round < 64; ++round) {
        // No more input than the output still wanted needs: the converter keeps whatever it is
        // given, so any surplus would pile up inside it.
        const double want = std::floor((frames - produced + FDiscard) / ratio);
        const uint32_t in = static_cast<uint32_t>(std::clamp(want, 1.0, double(RenderScratch::MaxInFrames)));
        ToFloat(FFeed, in, scratch.Input.data());
        SRC_DATA data{};
        data.data_in = scratch.Input.data();
        data.data_out = dst + size_t(produced) * ch;
        data.input_frames = in;
        data.output_frames = frames - produced;
        data.src_ratio = ratio;
        if (src_process(FSrc, &data) != 0)
            break;
        FFeed = static_cast<uint32_t>((uint64_t(FFeed) + data.input_frames_used) % FFrames);
        uint32_t made = static_cast<uint32_t>(data.output_frames_gen);
        const uint32_t dropped = std::min(made, FDiscard);
        if (dropped > 0) {
            std::memmove(data.data_out, data.data_out + size_t(dropped) * ch, size_t(made - dropped) * ch * 4);
            FDiscard -= dropped;
            made -= dropped;
        }
        produced += made;
        idle = (data.input_frames_used == 0 && data.output_frames_gen == 0) ? idle + 1 : 0;
    }
    return produced;
}

void SoundBuffer::Interpolate(uint32_t frames, double step, float* dst)
{
    const uint32_t ch = FFormat.nChannels;
    float a[2] = {0, 0}, b[2] = {0, 0};
    ToFloat(FFeed, 1, a);
    ToFloat((FFeed + 1) % FFrames, 1, b);
    for (uint32_t i = 0; i < frames; ++i) {
        const float t = static_cast<float>(FPhase);
        for (uint32_t c = 0; c < ch; ++c)
            dst[i * ch + c] = a[c] + (b[c] - a[c]) * t;
        FPhase += step;
        while (FPhase >= 1.0) {
            FPhase -= 1.0;
            FFeed = (FFeed + 1) % FFrames;
            a[0] = b[0];
            a[1] = b[1];
            ToFloat((FFeed + 1) % FFrames, 1, b);
        }
    }
}

// The resampling voice: the song's own frames where its rate is the output's, else converted.
void SoundBuffer::RenderResampled(uint32_t pos, uint32_t frames, double rate, uint32_t outRate, float* dst,
                                  RenderScratch& scratch)
{
    const uint32_t ch = FFormat.nChannels;
    const double ratio = outRate / rate;
    if (rate == outRate) {
        // Back at the song's own rate: on from what was heard, not from what the converter held.
        if (FPath != Path::Copy)
            FHeardFraction = 0;
        FPath = Path::Copy;
        FFeed = pos;
        ToFloat(FFeed, frames, dst);
        FFeed = static_cast<uint32_t>((uint64_t(FFeed) + frames) % FFrames);
    } else if (ratio <= MaxRatio && ratio >= 1.0 / MaxRatio) {
        if (FPath != Path::Sinc) {
            StartSinc(pos, ratio, scratch);
            FPath = Path::Sinc;
        } else if (ratio != FSrcRatio) {
            // A step, not libsamplerate's glide across the block, so that every output frame of
            // this block stands for 1 / ratio input frames, as the cursor counts them.
            src_set_ratio(FSrc, ratio);
            FSrcRatio = ratio;
        }
        const uint32_t produced = Resample(frames, ratio, dst, scratch);
        std::fill(dst + size_t(produced) * ch, dst + size_t(frames) * ch, 0.0f);
    } else {
        if (FPath != Path::Linear) {
            FFeed = pos;
            FPhase = 0;
            FPath = Path::Linear;
        }
        Interpolate(frames, 1.0 / ratio, dst);
    }
}

void SoundBuffer::RenderKeylocked(uint32_t pos, uint32_t frames, double rate, uint32_t outRate, float* dst)
{
    KeylockVoice& voice = *FKeylockReady.load(std::memory_order_acquire);
    const double speed = rate / FFormat.nSamplesPerSec;
    if (!FStretchStarted) {
        voice.Restart(speed, outRate);
        FStretchFeed = pos;
        FStretchStarted = true;
    }
    voice.Render(frames, speed, outRate, dst, [this](uint32_t n, float* input) {
        ToFloat(FStretchFeed, n, input);
        FStretchFeed = static_cast<uint32_t>((uint64_t(FStretchFeed) + n) % FFrames);
    });
}

// Keeps the frames heard up to `next` (all of them read this block, so still the song's).
void SoundBuffer::KeepHistory(uint32_t pos, uint32_t next)
{
    const uint32_t ch = FFormat.nChannels;
    const uint32_t heard = static_cast<uint32_t>((uint64_t(next) + FFrames - pos) % FFrames);
    const uint32_t kept =
        pos == FHistoryEnd ? std::min(FHistoryLength, HistoryFrames - std::min(heard, HistoryFrames)) : 0;
    const uint32_t fresh = std::min(heard, HistoryFrames);
    std::memmove(FHistory + size_t(HistoryFrames - kept - fresh) * ch, FHistory + size_t(HistoryFrames - kept) * ch,
                 size_t(kept) * ch * sizeof(float));
    ToFloat(static_cast<uint32_t>((uint64_t(next) + FFrames - fresh) % FFrames), fresh,
            FHistory + size_t(HistoryFrames - fresh) * ch);
    FHistoryLength = kept + fresh;
    FHistoryEnd = next;
}

// Adds `voice` (`ch` channels) to `mix` (`outCh` channels). Constant gains are applied as they
// are (a voice at unity stays bit-exact); changed ones move linearly across the block.
void SoundBuffer::AddVoice(float* mix, const float* voice, uint32_t frames, uint32_t ch, uint32_t outCh, Gains from,
                           Gains to)
{
    const bool ramp = !(from == to);
    const float stepLeft = ramp ? (to.Left - from.Left) / frames : 0.0f;
    const float stepRight = ramp ? (to.Right - from.Right) / frames : 0.0f;
    for (uint32_t i = 0; i < frames; ++i) {
        const float left = ramp ? from.Left + stepLeft * (i + 1) : to.Left;
        const float right = ramp ? from.Right + stepRight * (i + 1) : to.Right;
        const float l = voice[i * ch];
        const float r = ch == 2 ? voice[i * ch + 1] : l;
        if (outCh == 2) {
            mix[2 * i] += l * left;
            mix[2 * i + 1] += r * right;
        } else {
            mix[i] += ch == 2 ? (l * left + r * right) * 0.5f : l * (left + right) * 0.5f;
        }
    }
}

void SoundBuffer::Mix(float* mix, float* cue, uint32_t frames, const OutputFormat& out, RenderScratch& scratch)
{
    // Odd while this block reads the buffer: Stop and SetCurrentPosition wait for it to end.
    struct Mixing {
        std::atomic<uint32_t>& Count;
        explicit Mixing(std::atomic<uint32_t>& count) : Count(count) { Count.fetch_add(1, std::memory_order_seq_cst); }
        ~Mixing() { Count.fetch_add(1, std::memory_order_release); }
    } mixing(FMixing);
    if (!FPlaying.load(std::memory_order_seq_cst))
        return;
    FPublished.load(std::memory_order_acquire); // pairs with Unlock: the caller's writes are visible
    uint64_t cursor = FCursor.load(std::memory_order_acquire);
    const uint32_t gen = GenOf(cursor);
    const uint32_t pos = FrameOf(cursor);
    const VoiceControls& controls = Controls();
    const bool keylock = controls.Keylock() && FKeylockReady.load(std::memory_order_acquire) != nullptr;
    if (gen != FRenderGen) {
        // Moved or stopped since the last block: every voice starts again at the cursor.
        FRenderGen = gen;
        FRampFromHere = true;
        FEq.Restart();
        FPath = Path::None;
        FStretchStarted = false;
        FStretching = keylock;
        FFadeLeft = 0;
        FHeardFraction = 0;
    }
    if (keylock != FStretching) {
        // The voice heard until now fades out while the other one, started at the cursor, fades in.
        FStretching = keylock;
        FFadeLeft = SwitchFadeFrames;
        if (keylock)
            FStretchStarted = false;
        else
            FPath = Path::None;
    }

    const uint32_t ch = FFormat.nChannels;
    float* voice = scratch.Voice.data();
    const double rate = PlayedRate();
    if (FStretching)
        RenderKeylocked(pos, frames, rate, out.Rate, voice);
    else
        RenderResampled(pos, frames, rate, out.Rate, voice, scratch);
    if (FFadeLeft > 0) {
        float* outgoing = scratch.Outgoing.data();
        if (FStretching)
            RenderResampled(pos, frames, rate, out.Rate, outgoing, scratch);
        else
            RenderKeylocked(pos, frames, rate, out.Rate, outgoing);
        for (uint32_t i = 0; i < frames; ++i) {
            const float in = i < FFadeLeft ? 1.0f - float(FFadeLeft - i) / SwitchFadeFrames : 1.0f;
            for (uint32_t c = 0; c < ch; ++c)
                voice[i * ch + c] = voice[i * ch + c] * in + outgoing[i * ch + c] * (1.0f - in);
        }
        FFadeLeft -= std::min(FFadeLeft, frames);
        if (FFadeLeft == 0 && FStretching)
            FPath = Path::None;
        else if (FFadeLeft == 0)
            FStretchStarted = false;
    }

    FEq.Process(voice, frames, ch, out.Rate,
                {controls.Heard(VoiceControls::Low), controls.Heard(VoiceControls::Mid),
                 controls.Heard(VoiceControls::High), controls.TrimFactor()});
    const float gain = DbToGain(controls.Volume()) * controls.Fader();
    const LONG pan = controls.Pan();
    const Gains room{gain * (pan > 0 ? DbToGain(-pan) : 1.0f), gain * (pan < 0 ? DbToGain(pan) : 1.0f)};
    const float cueGain = controls.Cue() ? 1.0f : 0.0f;
    if (FRampFromHere) {
        FRoomGains = room;
        FCueGain = cueGain;
        FRampFromHere = false;
    }
    AddVoice(mix, voice, frames, ch, out.Channels, FRoomGains, room);
    if (cue && (cueGain > 0 || FCueGain > 0))
        AddVoice(cue, voice, frames, ch, out.Channels, {FCueGain, FCueGain}, {cueGain, cueGain});
    FRoomGains = room;
    FCueGain = cueGain;

    // The song's frames heard in this block: the output's frames at the buffer's speed.
    const double heard = frames * (rate / out.Rate) + FHeardFraction;
    const auto consumed = static_cast<uint32_t>(heard);
    FHeardFraction = heard - consumed;
    const uint32_t next = static_cast<uint32_t>((uint64_t(pos) + consumed) % FFrames);
    KeepHistory(pos, next);
    const uint32_t feed = FStretching ? FStretchFeed : FFeed;
    FReadAhead.store(static_cast<uint32_t>((uint64_t(feed) + FFrames - next) % FFrames), std::memory_order_relaxed);
    // Fails when Stop or SetCurrentPosition came in meanwhile; theirs wins.
    FCursor.compare_exchange_strong(cursor, Pack(gen, next), std::memory_order_acq_rel, std::memory_order_relaxed);
}

} // namespace engine
