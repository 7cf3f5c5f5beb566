#include "mixer/MxDSMixerChannel.h"

#include "engine/Controls.h"
#include "engine/KeylockVoice.h"
#include "decode/MxAudioFileRead.h"
#include "mixer/MxDSMixer.h"
#include "platform/kernel/Exceptions.h"
#include "platform/ui/ErrorDisplay.h"
#include "platform/ui/HiddenWindow.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace {

// The update thread gives up a refill when the channel is busy that long; it tries again at its next
// wake-up.
constexpr DWORD kUpdateWaitMs = 250;
constexpr UINT kMsgPlayEnd = WM_USER + 1;
constexpr UINT kMsgFadeEnd = WM_USER + 2;
// Not in the original message set: tells the UI thread why the update thread gave up.
constexpr UINT kMsgUpdateFailed = WM_USER + 3;

} // namespace

// ---- TPositionTimes ----

void TPositionTimes::AddPosTime(int32_t bufStart, int32_t bufEnd, int64_t timeStart, int64_t timeEnd,
                                int64_t frameStart)
{
    Assert(timeEnd >= timeStart, "Internal Error: Time Start higher then Time End");
    Assert(bufEnd > bufStart, "Internal Error: Position Start not inferior to Position End");
    FEntries[FIndex] = {bufStart, bufEnd, timeStart, timeEnd, frameStart};
    FIndex = (FIndex + 1) % kEntries;
}

const TPositionTimes::Entry* TPositionTimes::Find(int32_t pos) const
{
    int i = FIndex;
    for (int n = 0; n < kEntries - 1; ++n) {
        i = i == 0 ? kEntries - 1 : i - 1;
        const Entry& e = FEntries[i];
        if (e.bufStart <= pos && pos < e.bufEnd)
            return &e;
    }
    return nullptr;
}

bool TPositionTimes::TryGetPosTime(int32_t pos, int32_t& ms) const
{
    const Entry* e = Find(pos);
    if (!e)
        return false;
    const double ratio = double(pos - e->bufStart) / double(e->bufEnd - e->bufStart);
    const int64_t time = e->timeStart + static_cast<int64_t>(std::trunc(ratio * double(e->timeEnd - e->timeStart)));
    ms = static_cast<int32_t>(time / 10000);
    return true;
}

bool TPositionTimes::TryGetPosFrame(int32_t pos, uint32_t align, int64_t& frame) const
{
    const Entry* e = Find(pos);
    if (!e || e->frameStart < 0 || align == 0)
        return false;
    frame = e->frameStart + (pos - e->bufStart) / int32_t(align);
    return true;
}

int32_t TPositionTimes::GetPosTime(int32_t pos) const
{
    int32_t ms = 0;
    Assert(TryGetPosTime(pos, ms), "Internal Error: unable to GetPosTime");
    return ms;
}

// ---- TMxUpdateChannelThread ----

TMxUpdateChannelThread::TMxUpdateChannelThread(TMxDSMixerChannel* channel, const std::string& mutexName)
    : TThread(true), FChannel(channel)
{
    FWakeEvent = CreateEventA(nullptr, 0, 0, nullptr);
    FMutex = OpenMutexA(MUTEX_ALL_ACCESS, 0, mutexName.c_str());
    Start();
}

TMxUpdateChannelThread::~TMxUpdateChannelThread()
{
    Shutdown();
    CloseHandle(FMutex);
    CloseHandle(FWakeEvent);
}

void TMxUpdateChannelThread::Shutdown()
{
    Terminate();
    SetEvent(FWakeEvent);
    TerminateAndWait();
}

void TMxUpdateChannelThread::SetActive(bool value)
{
    if (FActive.load() == value)
        return;
    FActive.store(value, std::memory_order_release);
    if (value)
        SetEvent(FWakeEvent);
}

void TMxUpdateChannelThread::Execute()
{
    while (!Terminated()) {
        if (!Active()) {
            WaitForSingleObject(FWakeEvent, INFINITE);
            continue;
        }
        if (WaitForSingleObject(FWakeEvent, Period()) != WAIT_TIMEOUT)
            continue;
        if (WaitForSingleObject(FMutex, kUpdateWaitMs) == WAIT_TIMEOUT)
            continue;
        try {
            if (Active() && !Terminated())
                FChannel->UpdateChannel();
        } catch (const std::exception& e) {
            // The channel gets no further updates; the buffer keeps looping what it holds.
            FChannel->ReportUpdateFailure(e.what());
            ReleaseMutex(FMutex);
            return;
        } catch (...) {
            FChannel->ReportUpdateFailure("Unknown error while refilling the sound buffer.");
            ReleaseMutex(FMutex);
            return;
        }
        ReleaseMutex(FMutex);
    }
}

// ---- TMxDSMixerChannel ----

TMxDSMixerChannel::Guard::Guard(HANDLE mutex, DWORD ms) : FMutex(mutex)
{
    const DWORD r = WaitForSingleObject(mutex, ms);
    FHeld = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

TMxDSMixerChannel::Guard::Guard(HANDLE mutex) : Guard(mutex, INFINITE)
{
    // An operation that waited without end and still has no mutex would be lost without a word.
    if (!FHeld)
        throw Exception("The channel's lock is lost.");
}

TMxDSMixerChannel::Guard::~Guard()
{
    if (FHeld)
        ReleaseMutex(FMutex);
}

TMxDSMixerChannel::TMxDSMixerChannel(TMxDSMixer* mixer) : FMixer(mixer)
{
    FWindow = std::make_unique<THiddenWindow>([this](UINT m, WPARAM, LPARAM) { HandleMessage(m); });
    // Every channel of the process ends up with the mutex of n = 0: one lock for all channels.
    std::string name;
    for (int n = 0;; ++n) {
        name = "MxDSMCUpd" + std::to_string(n);
        FMutex = CreateMutexA(nullptr, 0, name.c_str());
        if (FMutex)
            break;
    }
    FThread = std::make_unique<TMxUpdateChannelThread>(this, name);
    FThread->SetActive(false);
    FBufferTime = 4000;
    FThread->SetPeriod(FBufferTime / 10);
    FMixer->AddChannel(this);
}

TMxDSMixerChannel::~TMxDSMixerChannel()
{
    FMixer->RemoveChannel(this);
    // The thread goes first, so that no update can touch the buffer or the reader being released.
    FThread->SetActive(false);
    FThread->Shutdown(); // while FThread still points at it: the body may be reading it
    FThread.reset();
    {
        Guard lock(FMutex);
        DoReleaseBuffer();
        CloseFile();
    }
    CloseHandle(FMutex);
    FWindow.reset();
}

void TMxDSMixerChannel::HandleMessage(uint32_t message)
{
    if (message == kMsgPlayEnd) {
        if (OnPlayEnd)
            OnPlayEnd(this);
    } else if (message == kMsgFadeEnd) {
        if (OnFadeEnd)
            OnFadeEnd(this);
    } else if (message == kMsgUpdateFailed) {
        std::string text;
        {
            Guard lock(FMutex);
            text = FUpdateFailure;
        }
        ReportError(text);
    }
}

void TMxDSMixerChannel::ReportUpdateFailure(const std::string& message)
{
    FUpdateFailure = message; // mutex held by the update thread
    FWindow->PostMessage(kMsgUpdateFailed);
}

// ---- song ----

void TMxDSMixerChannel::SetFileName(const std::string& name)
{
    Guard lock(FMutex);
    if (!lock)
        return;
    DoReleaseBuffer();
    CloseFile();
    if (!name.empty()) {
        // The reader mixes down, narrows and divides the rate to what a sound buffer takes.
        FReader = std::make_unique<TMxAudioFileReader>(name, TMxReaderOutput::Playable);
        FDuration = static_cast<int32_t>(FReader->Duration() / 10000);
        if (FDuration == 0)
            throw Exception("Audio file is empty.");
        const auto& f = FReader->Format();
        if (f.nChannels != 1 && f.nChannels != 2)
            throw Exception("Invalid number of channels.");
        if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16)
            throw Exception("Invalid number of bits per sample.");
        FSamplesPerSec = f.nSamplesPerSec;
        FChannels = f.nChannels;
        FBitsPerSample = f.wBitsPerSample;
        FBlockAlign = f.nBlockAlign;
        FFrames = FReader->Frames();
        FFormat = WAVEFORMATEX{
            f.wFormatTag, f.nChannels, f.nSamplesPerSec, f.nAvgBytesPerSec, f.nBlockAlign, f.wBitsPerSample, 0};
    }
    SetPlayFrom(static_cast<uint32_t>(FPlayFrom));
    SetPlayTo(static_cast<uint32_t>(FPlayTo));
    FFileName = name;
}

void TMxDSMixerChannel::CloseFile()
{
    FReader.reset();
    FVolume = 0;
    FFrequency = 44100;
    FPan = 0;
    FLoop = false;
    FPlayFrom = 0;
    FPlayTo = 0;
    FFileName.clear();
    FFrames = 0;
    FLoopStart = FLoopEnd = -1;
    FTailLeft = 0;
    // A new song plays at 0 dB, centred, at its own rate and unmatched until its loudness is known;
    // keylock, cue, the bands, the trim and the crossfader's share stay.
    FControls->SetVolume(0);
    FControls->SetPan(0);
    FControls->SetSpeed(1.0);
    FControls->SetLoudnessMatch(0);
}

// ---- buffer ----

void TMxDSMixerChannel::CreateBuffer()
{
    if (FBuffer)
        return;
    if (!FReader || FFileName.empty())
        throw Exception("No file opened");
    const uint64_t avg = FFormat.nAvgBytesPerSec;
    FBufferSize = static_cast<uint32_t>(avg * FBufferTime / 1000);
    FEndThreshold = static_cast<uint32_t>(uint64_t(FBufferSize) * 40 / 100);
    FSilenceChunk = static_cast<uint32_t>(avg * 2 * 400 / 1000);
    FCopyBuffer.assign(FBufferSize, 0);
    FTail.assign(size_t(kDeclickFrames) * FBlockAlign, 0);

    DSBUFFERDESC desc{};
    desc.dwSize = sizeof(DSBUFFERDESC);
    desc.dwFlags = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME | DSBCAPS_GLOBALFOCUS |
                   DSBCAPS_GETCURRENTPOSITION2;
    desc.dwBufferBytes = FBufferSize;
    desc.lpwfxFormat = &FFormat;
    ComPtr<IDirectSound> device = FMixer->GetDirectSound();
    DXCheck(device->CreateSoundBuffer(&desc, FBuffer.Put(), nullptr));
    DXCheck(engine::Attach(FBuffer.Get(), FControls));
}

void TMxDSMixerChannel::ReleaseBuffer()
{
    Guard lock(FMutex);
    DoReleaseBuffer();
}

void TMxDSMixerChannel::DoReleaseBuffer()
{
    if (FBuffer) {
        DoStop();
        FBuffer.Reset();
    }
    FCopyBuffer.clear();
    FCopyBuffer.shrink_to_fit();
    FEndThreshold = 0;
    FSilenceChunk = 0;
    FState = csStopped;
    FWritePos = 0;
    FPrepared = false;
    FEndMarker = -1;
    FEndNear = false;
    FDataLent = false;
    FFading = false;
}

void TMxDSMixerChannel::Prefill()
{
    if (!FPrepared)
        Refill();
}

uint32_t TMxDSMixerChannel::PlayCursor()
{
    Assert(static_cast<bool>(FBuffer), "Assertion failure");
    DWORD cursor = 0;
    DXCheck(FBuffer->GetCurrentPosition(&cursor, nullptr));
    return cursor;
}

void TMxDSMixerChannel::Refill()
{
    CreateBuffer();
    if (!FPrepared) {
        FillFromFile(0, FBufferSize);
        if (FBuffer)
            FPrepared = true;
        return;
    }
    const uint32_t cursor = PlayCursor();
    if (!FDataLent) {
        if (FWritePos > cursor) {
            FillFromFile(FWritePos, FBufferSize - FWritePos);
            if (!FBuffer)
                return;
            FillFromFile(0, cursor);
        } else {
            FillFromFile(FWritePos, cursor - FWritePos);
        }
        if (FBuffer)
            FWritePos = cursor;
        return;
    }
    // The copy buffer is lent: write silence ahead instead of song data, keeping some margin.
    int64_t ahead = int64_t(FWritePos) - cursor;
    if (ahead <= 0)
        ahead += FBufferSize;
    if (ahead >= FSilenceChunk)
        return;
    if (FWritePos + FSilenceChunk > FBufferSize) {
        FillSilence(FWritePos, FBufferSize - FWritePos);
        if (!FBuffer)
            return;
        FillSilence(0, FSilenceChunk - (FBufferSize - FWritePos));
    } else {
        FillSilence(FWritePos, FSilenceChunk);
    }
    if (!FBuffer)
        return;
    FWritePos += FSilenceChunk;
    if (FWritePos >= FBufferSize)
        FWritePos -= FBufferSize;
}

void TMxDSMixerChannel::SilenceBytes(uint8_t* dst, uint32_t size) const
{
    std::memset(dst, FBitsPerSample == 8 ? 128 : 0, size);
}

void TMxDSMixerChannel::FillFromFile(uint32_t offset, uint32_t size)
{
    if (size == 0)
        return;
    uint32_t at = offset;
    uint32_t remaining = size;
    bool rewound = false;
    while (remaining > 0) {
        uint8_t* dst = FCopyBuffer.data() + at;
        if (FEndMarker != -1) {
            SilenceBytes(dst, remaining);
            const int64_t end = FReader->SampleEnd();
            FPositions.AddPosTime(int32_t(at), int32_t(at + remaining), end, end);
            break;
        }
        uint32_t want = remaining;
        const bool atLoopEnd = CapAtLoopEnd(want);
        const int64_t frame = FReader->Frame();
        const uint32_t n = want > 0 ? FReader->Read(dst, want) : 0;
        if (n > 0) {
            FPositions.AddPosTime(int32_t(at), int32_t(at + n), FReader->SampleStart(), FReader->SampleEnd(), frame);
            Declick(dst, n / FBlockAlign);
            remaining -= n;
            at += n;
        }
        if (atLoopEnd && n == want) {
            WrapLoop();
            continue;
        }
        if (n < want) {
            // A short read: the song or its range is over. A looping range that yields nothing
            // even right after the rewind would spin here for ever, so it ends like a plain one.
            if (!FLoop || (rewound && n == 0))
                FEndMarker = static_cast<int32_t>(at);
            FReader->Seek(0); // lands on the range start
            rewound = true;
        }
    }
    void* region = nullptr;
    if (!LockRegion(offset, size, region))
        return;
    std::memcpy(region, FCopyBuffer.data() + offset, size);
    FBuffer->Unlock(region, size, nullptr, 0);
}

void TMxDSMixerChannel::FillRing(uint32_t offset, uint32_t size)
{
    const uint32_t first = std::min(size, FBufferSize - offset);
    FillFromFile(offset, first);
    if (FBuffer && size > first)
        FillFromFile(0, size - first);
}

bool TMxDSMixerChannel::CapAtLoopEnd(uint32_t& want) const
{
    if (FLoopStart < 0)
        return false;
    const int64_t frame = FReader->Frame();
    if (frame > FLoopEnd)
        return false;
    const int64_t left = (FLoopEnd - frame) * FBlockAlign;
    if (left > want)
        return false;
    want = static_cast<uint32_t>(left);
    return true;
}

void TMxDSMixerChannel::WrapLoop()
{
    // What follows the loop's end fades out under its start.
    const auto bytes = static_cast<uint32_t>(FTail.size());
    const uint32_t got = FReader->Read(FTail.data(), bytes);
    SilenceBytes(FTail.data() + got, bytes - got);
    FReader->SeekFrame(FLoopStart);
    FTailLeft = kDeclickFrames;
}

void TMxDSMixerChannel::Declick(uint8_t* dst, uint32_t frames)
{
    const uint32_t n = std::min(frames, FTailLeft);
    const uint32_t samples = n * FChannels;
    const uint32_t from = (kDeclickFrames - FTailLeft) * FChannels;
    for (uint32_t i = 0; i < samples; ++i) {
        const uint32_t k = from + i;
        // The new sound's weight rises from 1/64 to 1 across the fade.
        const float w = float(k / FChannels + 1) / float(kDeclickFrames);
        if (FBitsPerSample == 16) {
            int16_t a, b;
            std::memcpy(&a, dst + size_t(i) * 2, 2);
            std::memcpy(&b, FTail.data() + size_t(k) * 2, 2);
            const auto v = static_cast<int16_t>(std::lround(a * w + b * (1 - w)));
            std::memcpy(dst + size_t(i) * 2, &v, 2);
        } else {
            dst[i] = static_cast<uint8_t>(std::lround(dst[i] * w + FTail[k] * (1 - w)));
        }
    }
    FTailLeft -= n;
}

int64_t TMxDSMixerChannel::IntoLoop(int64_t frame) const
{
    if (FLoopStart < 0 || frame < FLoopEnd)
        return frame;
    return FLoopStart + (frame - FLoopStart) % (FLoopEnd - FLoopStart);
}

void TMxDSMixerChannel::Splice(int64_t frame, bool declick)
{
    DWORD play = 0, write = 0;
    DXCheck(FBuffer->GetCurrentPosition(&play, &write));
    const uint32_t align = FBlockAlign;
    // Past what the next render may read too: a keylocked voice takes its input in large pieces.
    uint32_t margin = FSamplesPerSec * kSpliceMarginMs / 1000;
    if (FKeylock)
        margin += engine::KeylockVoice::MaxInFrames;
    const uint32_t ringFrames = FBufferSize / align;
    const uint32_t at = (write / align + margin) % ringFrames * align;
    if (frame < 0) {
        // On from what is there, moved into the loop when that is past its end.
        int64_t there = 0;
        if (!FPositions.TryGetPosFrame(static_cast<int32_t>(at), align, there))
            return; // the song's end is already written there
        frame = IntoLoop(there);
        declick = frame != there;
    }
    if (declick) {
        // The old sound at the splice, as the ring holds it, fades out under the new.
        const uint32_t first = std::min<uint32_t>(static_cast<uint32_t>(FTail.size()), FBufferSize - at);
        std::memcpy(FTail.data(), FCopyBuffer.data() + at, first);
        std::memcpy(FTail.data() + first, FCopyBuffer.data(), FTail.size() - first);
    }
    FTailLeft = declick ? kDeclickFrames : 0;
    FReader->SeekFrame(frame);
    FEndMarker = -1;
    FEndNear = false;
    // The render plays on meanwhile: a short first stretch meets it in time, the rest of the lap
    // up to the play cursor follows.
    const uint32_t lap = (play + FBufferSize - at) % FBufferSize;
    const uint32_t first = std::min(lap, FFormat.nAvgBytesPerSec / 1000 * kSpliceFirstMs / align * align);
    FillRing(at, first);
    if (FBuffer)
        FillRing((at + first) % FBufferSize, lap - first);
    FWritePos = play;
}

void TMxDSMixerChannel::FillSilence(uint32_t offset, uint32_t size)
{
    void* region = nullptr;
    if (!LockRegion(offset, size, region))
        return;
    SilenceBytes(static_cast<uint8_t*>(region), size);
    FBuffer->Unlock(region, size, nullptr, 0);
    const int64_t end = FReader->SampleEnd();
    FPositions.AddPosTime(int32_t(offset), int32_t(offset + size), end, end);
}

bool TMxDSMixerChannel::LockRegion(uint32_t offset, uint32_t size, void*& region)
{
    void* p2 = nullptr;
    DWORD size1 = 0, size2 = 0;
    const HRESULT hr = FBuffer->Lock(offset, size, &region, &size1, &p2, &size2, 0);
    if (hr == DSERR_BUFFERLOST) {
        HandleBufferLost();
        return false;
    }
    DXCheck(hr);
    if (size1 != size) {
        FBuffer->Unlock(region, size1, p2, size2);
        throw EAssertionFailed("Locked different size from requested");
    }
    return true;
}

void TMxDSMixerChannel::HandleBufferLost()
{
    DoReleaseBuffer();
    if (OnBufferLost)
        OnBufferLost(this);
}

// ---- positions and range ----

int64_t TMxDSMixerChannel::PositionFrame()
{
    Guard lock(FMutex);
    if (!lock || !FReader)
        return 0;
    if (!FPrepared)
        return FReader->Frame();
    int64_t frame = 0;
    if (FPositions.TryGetPosFrame(static_cast<int32_t>(PlayCursor()), FBlockAlign, frame))
        return frame;
    return FFrames; // the silence after the end
}

void TMxDSMixerChannel::JumpTo(int64_t frame)
{
    Guard lock(FMutex);
    if (!lock || !FReader)
        return;
    frame = std::clamp<int64_t>(frame, 0, std::max<int64_t>(FFrames - 1, 0));
    if (State() == csPlaying && FBuffer && FPrepared) {
        Splice(frame, true);
        return;
    }
    DoStop();
    FReader->SeekFrame(frame);
}

bool TMxDSMixerChannel::SetFrameLoop(int64_t start, int64_t end)
{
    Guard lock(FMutex);
    if (!lock || !FReader)
        return false;
    end = std::min(end, FFrames);
    if (start < 0 || end - start < int64_t(FSamplesPerSec) * kMinLoopMs / 1000)
        return false;
    FLoopStart = start;
    FLoopEnd = end;
    if (FBuffer && FPrepared)
        Splice(-1, false);
    else if (const int64_t frame = FReader->Frame(); IntoLoop(frame) != frame)
        FReader->SeekFrame(IntoLoop(frame));
    return true;
}

void TMxDSMixerChannel::ClearFrameLoop()
{
    Guard lock(FMutex);
    if (!lock || FLoopStart < 0)
        return;
    FLoopStart = FLoopEnd = -1;
    if (FBuffer && FPrepared)
        Splice(-1, false);
}

int32_t TMxDSMixerChannel::Position()
{
    Guard lock(FMutex);
    if (!lock)
        return 0;
    if (FPrepared) {
        int32_t ms = 0;
        // A very short looping range can leave the cursor in no entry: keep the last mapped position.
        if (FPositions.TryGetPosTime(static_cast<int32_t>(PlayCursor()), ms))
            FLastPosition = ms;
        return FLastPosition;
    }
    if (FReader)
        return static_cast<int32_t>(FReader->Position() / 10000);
    return 0;
}

void TMxDSMixerChannel::SetPosition(uint32_t ms)
{
    Guard lock(FMutex);
    if (!lock || !FReader)
        return;
    DoStop();
    FReader->Seek(int64_t(ms) * 10000);
}

void TMxDSMixerChannel::SetPlayFrom(uint32_t ms)
{
    Guard lock(FMutex);
    if (!lock)
        return;
    if (!FReader) {
        FPlayFrom = static_cast<int32_t>(ms);
        return;
    }
    const int64_t t = int64_t(ms) * 10000;
    if (t != FReader->Start()) {
        FReader->SetStart(t);
        FPlayFrom = static_cast<int32_t>(t / 10000);
        SetPlayTo(static_cast<uint32_t>(FPlayTo));
    }
}

void TMxDSMixerChannel::SetPlayTo(uint32_t ms)
{
    Guard lock(FMutex);
    if (!lock)
        return;
    if (!FReader) {
        FPlayTo = static_cast<int32_t>(ms);
        return;
    }
    const int64_t len = int64_t(ms) * 10000 - FReader->Start();
    if (len != FReader->Length()) {
        FReader->SetLength(len);
        FPlayTo = static_cast<int32_t>(FPlayFrom + len / 10000);
    }
}

// ---- transport ----

void TMxDSMixerChannel::Play()
{
    Guard lock(FMutex);
    if (!lock || State() == csPlaying)
        return;
    CreateBuffer();
    Prefill();
    if (!FBuffer)
        return; // lost while filling
    const HRESULT hr = FBuffer->Play(0, 0, DSBPLAY_LOOPING);
    if (hr == DSERR_BUFFERLOST) {
        HandleBufferLost();
        return;
    }
    DXCheck(hr);
    FState = csPlaying;
    FThread->SetActive(true);
}

void TMxDSMixerChannel::Pause()
{
    Guard lock(FMutex);
    if (!lock)
        return;
    CreateBuffer();
    if (State() != csPlaying)
        return;
    FThread->SetActive(false);
    DXCheck(FBuffer->Stop());
    FState = csPaused;
    EndFade();
}

void TMxDSMixerChannel::Stop()
{
    Guard lock(FMutex);
    if (lock)
        DoStop();
}

void TMxDSMixerChannel::DoStop()
{
    if (!FBuffer)
        return;
    if (FThread) // gone already while the channel is destroyed
        FThread->SetActive(false);
    DXCheck(FBuffer->Stop());
    FState = csStopped;
    EndFade();
    DXCheck(FBuffer->SetCurrentPosition(0));
    FWritePos = 0;
    if (FReader)
        FReader->Seek(0);
    FPrepared = false;
    FEndMarker = -1;
    FEndNear = false;
    FTailLeft = 0;
}

int32_t TMxDSMixerChannel::BytesToEnd()
{
    int32_t d = FEndMarker - static_cast<int32_t>(PlayCursor());
    if (d <= 0)
        d += static_cast<int32_t>(FBufferSize);
    return d;
}

// ---- update (update thread, mutex held) ----

void TMxDSMixerChannel::UpdateChannel()
{
    if (FEndNear && BytesToEnd() > static_cast<int32_t>(FEndThreshold)) {
        DoStop();
        FWindow->PostMessage(kMsgPlayEnd);
        return;
    }
    if (FKeylock && FBuffer)
        DXCheck(engine::PrepareKeylock(FBuffer.Get()));
    uint32_t now = GetTickCount();
    if (now - FLastRefillTick >= FThread->Period()) {
        FLastRefillTick = now;
        if (FEndMarker != -1 && BytesToEnd() <= static_cast<int32_t>(FEndThreshold))
            FEndNear = true;
        Refill();
    }
    if (FFading && State() == csPlaying && FBuffer) {
        now = GetTickCount();
        if (static_cast<int32_t>(now - FFadeEndTick) < 0) {
            const int32_t span = static_cast<int32_t>(FFadeEndTick - FFadeStartTick);
            const int32_t done = static_cast<int32_t>(now - FFadeStartTick);
            SetVolume(FFadeStartVolume + (FFadeEndVolume - FFadeStartVolume) * done / span);
        } else {
            FFading = false;
            SetVolume(FFadeEndVolume);
            FWindow->PostMessage(kMsgFadeEnd);
        }
    }
}

// ---- controls ----

// The controls below take effect at the next render block, from any thread, without the channel's
// mutex: none of them can be held up or lost behind a refill.

void TMxDSMixerChannel::SetVolume(int32_t value)
{
    FVolume = value;
    DXCheck(FControls->SetVolume(value));
}

void TMxDSMixerChannel::SetPan(int32_t value)
{
    FPan = value;
    DXCheck(FControls->SetPan(value));
}

void TMxDSMixerChannel::SetFrequency(uint32_t value)
{
    FFrequency = value;
    if (value != DSBFREQUENCY_ORIGINAL && (value < DSBFREQUENCY_MIN || value > DSBFREQUENCY_MAX))
        DXCheck(DSERR_INVALIDPARAM);
    const uint32_t own = FSamplesPerSec;
    DXCheck(FControls->SetSpeed(value == DSBFREQUENCY_ORIGINAL || own == 0 ? 1.0 : double(value) / own));
}

void TMxDSMixerChannel::SetSpeed(double speed)
{
    DXCheck(FControls->SetSpeed(speed));
    FFrequency = static_cast<uint32_t>(std::lround(speed * FSamplesPerSec));
}

void TMxDSMixerChannel::SetKeylock(bool on)
{
    FKeylock = on;
    FControls->SetKeylock(on);
    // The stretcher is made now when the channel is free, else by the next update; the song is
    // heard resampled until then.
    if (on && WaitForSingleObject(FMutex, 0) == WAIT_OBJECT_0) {
        const HRESULT hr = FBuffer ? engine::PrepareKeylock(FBuffer.Get()) : DS_OK;
        ReleaseMutex(FMutex);
        DXCheck(hr);
    }
}

void TMxDSMixerChannel::SetCue(bool on)
{
    FCue = on;
    FControls->SetCue(on);
}

void TMxDSMixerChannel::Fade(uint32_t timeMs, int32_t endVolume)
{
    Guard lock(FMutex);
    if (!lock)
        return;
    if (endVolume > 0 || endVolume < -10000)
        throw Exception("Fade error: EndVolume out of range");
    if (timeMs > 60000)
        throw Exception("Fade error: Too long fade time");
    if (State() != csPlaying)
        return;
    FFadeStartTick = GetTickCount();
    FFadeEndTick = FFadeStartTick + timeMs;
    FFadeStartVolume = FVolume;
    FFadeEndVolume = endVolume;
    FFading = true;
}

// ---- lending ----

void TMxDSMixerChannel::LockPlayData(uint32_t offset, uint32_t size, void*& ptr1, uint32_t& size1, void*& ptr2,
                                     uint32_t& size2)
{
    ptr1 = ptr2 = nullptr;
    size1 = size2 = 0;
    Guard lock(FMutex);
    if (!lock)
        return;
    FDataLent = false;
    if (!FPrepared)
        return;
    const uint32_t cursor = PlayCursor();
    const uint32_t written = FWritePos >= cursor ? FWritePos - cursor : FWritePos + FBufferSize - cursor;
    const int64_t avail = int64_t(written) - offset;
    if (avail <= 0)
        return;
    size = static_cast<uint32_t>(std::min<int64_t>(size, avail));
    uint32_t start = cursor + offset;
    if (start >= FBufferSize)
        start -= FBufferSize;
    ptr1 = FCopyBuffer.data() + start;
    size1 = FBufferSize - start;
    if (size > size1) {
        ptr2 = FCopyBuffer.data();
        size2 = size - size1;
    } else {
        size1 = size;
    }
    FDataLent = true;
}

void TMxDSMixerChannel::UnlockPlayData()
{
    Guard lock(FMutex);
    if (lock)
        FDataLent = false;
}
