// A mixer channel: streams one song through a 4-second looping sound buffer of the output mixer,
// maps the play cursor back to song time, notices the end of the song, and runs fades.
// Threads: every public operation is called on the UI thread. Volume, pan, speed, keylock and cue
// go to the engine's controls of the channel at once, without a lock; the other operations take the
// shared channel mutex, under which the channel's update thread refills the buffer. OnPlayEnd and
// OnFadeEnd arrive on the UI thread, posted.
#pragma once

#include "engine/Controls.h"
#include "platform/dsound/DSound.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/Thread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TMxDSMixer;
class TMxDSMixerChannel;
class TMxAudioFileReader;
class THiddenWindow;

enum TChannelState { csStopped = 0, csPlaying = 1, csPaused = 2 };

using TChannelEvent = std::function<void(TMxDSMixerChannel* sender)>;

// Maps byte ranges of the sound buffer to song time: a ring of the 50 newest fills.
class TPositionTimes {
public:
    static constexpr int kEntries = 50;

    // [bufStart, bufEnd) holds song time [timeStart, timeEnd] (100 ns units), spread evenly, and
    // song frames from `frameStart` on, one per `align` bytes (frameStart < 0: silence after the end,
    // which stays at timeEnd).
    void AddPosTime(int32_t bufStart, int32_t bufEnd, int64_t timeStart, int64_t timeEnd, int64_t frameStart = -1);
    // The song frame at buffer offset `pos`; false when no entry covers it or it is silence.
    bool TryGetPosFrame(int32_t pos, uint32_t align, int64_t& frame) const;
    // Song time in ms of buffer offset `pos`, newest entry first. False when no entry covers it.
    bool TryGetPosTime(int32_t pos, int32_t& ms) const;
    // As TryGetPosTime; raises "Internal Error: unable to GetPosTime" when no entry covers `pos`.
    int32_t GetPosTime(int32_t pos) const;

private:
    struct Entry {
        int32_t bufStart = 0, bufEnd = 0;
        int64_t timeStart = 0, timeEnd = 0;
        int64_t frameStart = -1;
    };
    const Entry* Find(int32_t pos) const;
    Entry FEntries[kEntries];
    int FIndex = 0;
};

// Wakes every Period ms while Active and runs the channel's update under the channel mutex.
class TMxUpdateChannelThread : public TThread {
public:
    TMxUpdateChannelThread(TMxDSMixerChannel* channel, const std::string& mutexName);
    ~TMxUpdateChannelThread() override;
    // Ends the body: sets the terminate flag, wakes the thread and waits for it.
    void Shutdown();

    bool Active() const { return FActive.load(std::memory_order_acquire); }
    void SetActive(bool value);
    uint32_t Period() const { return FPeriod.load(); }
    void SetPeriod(uint32_t ms) { FPeriod.store(ms); }

protected:
    void Execute() override;

private:
    TMxDSMixerChannel* FChannel;
    HANDLE FWakeEvent = nullptr;
    HANDLE FMutex = nullptr;
    std::atomic<bool> FActive{false};
    std::atomic<uint32_t> FPeriod{400};
};

class TMxDSMixerChannel {
public:
    // Registers with the mixer; creates the notification window on the calling (UI) thread.
    explicit TMxDSMixerChannel(TMxDSMixer* mixer);
    ~TMxDSMixerChannel();
    TMxDSMixerChannel(const TMxDSMixerChannel&) = delete;
    TMxDSMixerChannel& operator=(const TMxDSMixerChannel&) = delete;

    // Closes the current song and opens `name` (empty: just close). Raises the reader's errors and
    // "Audio file is empty.", "Invalid number of channels.", "Invalid number of bits per sample.".
    void SetFileName(const std::string& name);
    std::string FileName() const { return FFileName; }

    void Play();
    void Pause();
    void Stop();

    // Song time in ms of what is being heard.
    int32_t Position();
    // Stops and moves the reader to `ms`; playback does not resume by itself.
    void SetPosition(uint32_t ms);

    int32_t Duration() const { return FDuration; }
    uint32_t SamplesPerSec() const { return FSamplesPerSec; }
    uint32_t Channels() const { return FChannels; }
    uint32_t BitsPerSample() const { return FBitsPerSample; }
    uint32_t BlockAlign() const { return FBlockAlign; }
    TChannelState State() const { return FState.load(std::memory_order_acquire); }

    int32_t PlayFrom() const { return FPlayFrom; }
    void SetPlayFrom(uint32_t ms);
    int32_t PlayTo() const { return FPlayTo; }
    void SetPlayTo(uint32_t ms);
    bool Loop() const { return FLoop.load(); }
    void SetLoop(bool value) { FLoop.store(value); }

    // Hundredths of a dB (-10000..0), pan units (-10000..10000), Hz (0 or 100..100000). Not clamped:
    // a refusal of the sound device raises EDirectXError and the value stays stored.
    int32_t Volume() const { return FVolume; }
    void SetVolume(int32_t value);
    int32_t Pan() const { return FPan; }
    void SetPan(int32_t value);
    uint32_t Frequency() const { return FFrequency; }
    void SetFrequency(uint32_t value);
    // The speed as a ratio to the song's own rate (1: as recorded), finer than a whole Hz;
    // Frequency then reads the nearest Hz. EDirectXError unless 0 < speed <= 1000.
    void SetSpeed(double speed);
    // With keylock on, the frequency changes the tempo only; the song keeps its key. Kept across
    // songs.
    bool Keylock() const { return FKeylock; }
    void SetKeylock(bool on);
    // With cue on, the channel is heard in the headphones before its volume. Kept across songs.
    bool Cue() const { return FCue; }
    void SetCue(bool on);
    // The channel's voice beyond the controls above: the isolator's bands and kills, the trim, the
    // loudness match, the crossfader's share. Kept across songs, except the loudness match.
    engine::VoiceControls& Voice() const { return *FControls; }
    // Moves the volume to `endVolume` over `timeMs`, one step per update period.
    void Fade(uint32_t timeMs, int32_t endVolume);

    // Lends up to `size` bytes about to be played, starting `offset` bytes after the play cursor,
    // as up to two regions of the channel's copy of the buffer. Valid until UnlockPlayData.
    void LockPlayData(uint32_t offset, uint32_t size, void*& ptr1, uint32_t& size1, void*& ptr2, uint32_t& size2);
    void UnlockPlayData();

    // ---- jumps and loops at exact song frames ----
    // Frames are those of the channel's format (SamplesPerSec). A jump or a loop's wrap is spliced
    // into what the refills write ahead of the play cursor, so it lands on its frame exactly whatever
    // the render's block size, and every voice (resampled or keylocked) reads on without a restart.
    // Each splice crossfades the old sound into the new over kDeclickFrames.
    static constexpr uint32_t kDeclickFrames = 64;
    // The song's length, and the frame heard now (the play cursor's; the reader's while stopped).
    int64_t Frames() const { return FFrames; }
    int64_t PositionFrame();
    // Continues the song at `frame`: while playing, heard once the output has played what it holds
    // (about its own latency plus kSpliceMarginMs); else the next Play starts there.
    void JumpTo(int64_t frame);
    // Room for the render that may start while the splice's first stretch (kSpliceFirstMs) decodes.
    static constexpr uint32_t kSpliceMarginMs = 8;
    static constexpr uint32_t kSpliceFirstMs = 30;
    // Plays [start, end) over and over once the song reaches it (a playhead already past `end`
    // moves into it at once, keeping its place in the loop's beat); false, and nothing changes, for
    // a loop outside the song or shorter than kMinLoopMs. ClearFrameLoop plays on from wherever the
    // loop is. Both take effect as a jump does.
    bool SetFrameLoop(int64_t start, int64_t end);
    // Each lap of a loop is one more fill in the position map, whose 50 entries must still span the
    // buffer's 4 seconds with its ten refills: 32 laps at most.
    static constexpr uint32_t kMinLoopMs = 125;
    void ClearFrameLoop();
    bool FrameLooping() const { return FLoopStart >= 0; }
    int64_t LoopStart() const { return FLoopStart; }
    int64_t LoopEnd() const { return FLoopEnd; }

    TChannelEvent OnPlayEnd;
    TChannelEvent OnBufferLost;
    TChannelEvent OnFadeEnd;

    // Releases the sound buffer (called by the mixer's Close). Waits for a running update to end.
    void ReleaseBuffer();

    // Sizes of the buffer in bytes, for the owner's display and for tests.
    uint32_t BufferTime() const { return FBufferTime; }
    uint32_t BufferSize() const { return FBufferSize; }
    uint32_t EndThreshold() const { return FEndThreshold; }
    uint32_t SilenceChunk() const { return FSilenceChunk; }

private:
    friend class TMxUpdateChannelThread;

    // Holds the channel mutex for one operation: without end (raising if it is still not had), or
    // for at most `ms` (false when it could not be had in time).
    class Guard {
    public:
        explicit Guard(HANDLE mutex);
        Guard(HANDLE mutex, DWORD ms);
        ~Guard();
        explicit operator bool() const { return FHeld; }

    private:
        HANDLE FMutex;
        bool FHeld;
    };

    void UpdateChannel();
    void ReportUpdateFailure(const std::string& message);
    void HandleMessage(uint32_t message);

    void DoReleaseBuffer();
    void CloseFile();
    void CreateBuffer();
    void Prefill();
    void Refill();
    void FillFromFile(uint32_t offset, uint32_t size);
    // FillFromFile over [offset, offset + size) of the ring, split where it wraps.
    void FillRing(uint32_t offset, uint32_t size);
    // Rewrites the ring from just ahead of what the render has read, with the reader at `frame`
    // (crossfaded from the old sound when `declick`); playing, mutex held.
    void Splice(int64_t frame, bool declick);
    // The read limit of a loop: `want` bytes cut to the loop's end; true when cut there.
    bool CapAtLoopEnd(uint32_t& want) const;
    void WrapLoop();
    // Crossfades the pending old sound (FTail) into `frames` new ones at `dst`.
    void Declick(uint8_t* dst, uint32_t frames);
    // Where the reader goes when a loop is set or left: a place past the loop's end moves in by
    // whole laps.
    int64_t IntoLoop(int64_t frame) const;
    void FillSilence(uint32_t offset, uint32_t size);
    // Locks [offset, offset + size) of the sound buffer; false when the buffer was lost (handled).
    bool LockRegion(uint32_t offset, uint32_t size, void*& region);
    void HandleBufferLost();
    uint32_t PlayCursor();
    int32_t BytesToEnd();
    void DoStop();
    void EndFade() { FFading = false; }
    void SilenceBytes(uint8_t* dst, uint32_t size) const;

    TMxDSMixer* FMixer;
    std::unique_ptr<TMxAudioFileReader> FReader;
    std::string FFileName;
    uint32_t FSamplesPerSec = 0, FChannels = 0, FBitsPerSample = 0, FBlockAlign = 0;
    WAVEFORMATEX FFormat{}; // the reader's format, as the sound buffer is created with
    int32_t FDuration = 0;
    int32_t FPlayFrom = 0, FPlayTo = 0;
    std::atomic<bool> FLoop{false};

    ComPtr<IDirectSoundBuffer> FBuffer;
    uint32_t FBufferTime = 4000;
    uint32_t FBufferSize = 0;
    std::vector<uint8_t> FCopyBuffer;
    uint32_t FEndThreshold = 0;
    uint32_t FSilenceChunk = 0;
    uint32_t FWritePos = 0;
    int32_t FEndMarker = -1;
    bool FPrepared = false;
    bool FEndNear = false;
    bool FDataLent = false;
    std::atomic<TChannelState> FState{csStopped};
    uint32_t FLastRefillTick = 0;
    TPositionTimes FPositions;
    int32_t FLastPosition = 0; // the last position the table could map
    int64_t FFrames = 0;
    int64_t FLoopStart = -1, FLoopEnd = -1; // none while FLoopStart < 0
    std::vector<uint8_t> FTail;             // the old sound a splice fades out, kDeclickFrames
    uint32_t FTailLeft = 0;                 // frames of FTail still to fade out

    // The values last set, read by the plain getters.
    std::atomic<int32_t> FVolume{0};
    std::atomic<int32_t> FPan{0};
    std::atomic<uint32_t> FFrequency{44100};
    std::atomic<bool> FKeylock{false};
    std::atomic<bool> FCue{false};
    // What the render plays by, kept across songs: every buffer of this channel is attached to it.
    const std::shared_ptr<engine::VoiceControls> FControls = std::make_shared<engine::VoiceControls>();
    bool FFading = false;
    uint32_t FFadeStartTick = 0, FFadeEndTick = 0;
    int32_t FFadeStartVolume = 0, FFadeEndVolume = 0;

    HANDLE FMutex = nullptr;
    std::unique_ptr<TMxUpdateChannelThread> FThread;
    std::unique_ptr<THiddenWindow> FWindow;
    std::string FUpdateFailure; // written by the update thread before it posts the failure message
};
