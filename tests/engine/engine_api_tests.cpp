// The calls and records of the sound API: GUID text, device enumeration and creation, buffer
// descriptions, Lock regions, the primary buffer's format.
#include "tests/engine/engine_helpers.h"

#include <string>
#include <vector>

using namespace dstest;
using engine::Engine;

TEST(GuidText, RoundTripsAndRejectsMalformedText)
{
    const GUID g{0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
    char text[39];
    GuidToString(g, text);
    EXPECT_STREQ(text, "{01234567-89AB-CDEF-FEDC-BA9876543210}");
    GUID back{};
    ASSERT_TRUE(StringToGuid(text, back));
    EXPECT_EQ(std::memcmp(&g, &back, sizeof(GUID)), 0);
    ASSERT_TRUE(StringToGuid("{01234567-89ab-cdef-fedc-ba9876543210}", back));
    EXPECT_EQ(std::memcmp(&g, &back, sizeof(GUID)), 0);

    for (const char* bad : {"", "{01234567-89AB-CDEF-FEDC-BA9876543210", "01234567-89AB-CDEF-FEDC-BA9876543210}",
                            "{01234567-89AB-CDEF-FEDC-BA9876543210}x", "{0123456789AB-CDEF-FEDC-BA9876543210--}",
                            "{01234567-89AB-CDEF-FEDC-BA987654321G}", "{01234567-89AB-CDEF-FEDC_BA9876543210}"})
        EXPECT_FALSE(StringToGuid(bad, back)) << bad;
    EXPECT_FALSE(StringToGuid(nullptr, back));
}

namespace {
struct Seen {
    std::vector<std::string> Names;
    std::vector<bool> HasGuid;
    int StopAfter = 1000;
};
BOOL Collect(GUID* guid, const char* description, const char* module, void* context)
{
    auto* seen = static_cast<Seen*>(context);
    EXPECT_NE(module, nullptr);
    seen->Names.push_back(description);
    seen->HasGuid.push_back(guid != nullptr);
    return static_cast<int>(seen->Names.size()) < seen->StopAfter;
}
} // namespace

TEST(Devices, WithoutASoundDeviceOnlyTheDefaultEntryIsListedAndPlaysSilently)
{
    // The test environment selects the null backend.
    Engine::Reset();
    Seen seen;
    ASSERT_EQ(DSoundLibrary().DirectSoundEnumerateA(&Collect, &seen), DS_OK);
    ASSERT_EQ(seen.Names, std::vector<std::string>{"Primary Sound Driver"});
    EXPECT_FALSE(seen.HasGuid[0]);

    ComPtr<IDirectSound> ds;
    GUID unknown{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(DSoundLibrary().DirectSoundCreate(&unknown, ds.Put(), nullptr), DSERR_NODRIVER);
    EXPECT_FALSE(ds);
    EXPECT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, nullptr, nullptr), DSERR_INVALIDPARAM);
    int outer;
    EXPECT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), &outer), DSERR_NOAGGREGATION);
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), nullptr), DS_OK);
    EXPECT_EQ(Engine::Instance().BackendName(), "null");

    // The null backend renders five periods at a wake-up, so the write cursor leads by five: 2205
    // output frames are 1102.5 frames of a stopped 22050 Hz mono buffer, rounded up to whole ones.
    WAVEFORMATEX f = Pcm(22050, 1, 16);
    DSBUFFERDESC d = Desc(&f, 22050);
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    DWORD play = 1, write = 0;
    ASSERT_EQ(b->GetCurrentPosition(&play, &write), DS_OK);
    EXPECT_EQ(play, 0u);
    EXPECT_EQ(write, 2206u);
    b.Reset();
    ds.Reset();
    Engine::Reset();
}

TEST(Devices, EnumerationStopsWhenTheCallbackSaysSo)
{
    Engine::Reset();
    Seen seen;
    seen.StopAfter = 1;
    ASSERT_EQ(DSoundLibrary().DirectSoundEnumerateA(&Collect, &seen), DS_OK);
    EXPECT_EQ(seen.Names.size(), 1u);
    EXPECT_EQ(DSoundLibrary().DirectSoundEnumerateA(nullptr, nullptr), DSERR_INVALIDPARAM);
}

TEST(Devices, DesktopWindowIsAFixedToken)
{
    EXPECT_NE(GetDesktopWindow(), nullptr);
    EXPECT_EQ(GetDesktopWindow(), GetDesktopWindow());
}

using Api = ManualDevice;

TEST_F(Api, BufferDescriptionsAreCheckedAndGoodOnesGiveExactlyWhatWasAsked)
{
    WAVEFORMATEX f = Pcm(22050, 1, 8);
    DSBUFFERDESC d = Desc(&f, 22050);
    ComPtr<IDirectSoundBuffer> b;
    // Both record sizes are accepted.
    for (DWORD size : {DSBUFFERDESC_LEGACY_SIZE, DWORD(sizeof(DSBUFFERDESC))}) {
        d.dwSize = size;
        ASSERT_EQ(FDevice->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
        WAVEFORMATEX got{};
        DWORD written = 0;
        ASSERT_EQ(b->GetFormat(&got, sizeof(got), &written), DS_OK);
        EXPECT_EQ(written, 18u);
        EXPECT_EQ(std::memcmp(&got, &f, sizeof(f)), 0);
        void *p1, *p2;
        DWORD n1, n2;
        ASSERT_EQ(b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER), DS_OK);
        EXPECT_EQ(n1, 22050u);
        EXPECT_EQ(static_cast<uint8_t*>(p1)[100], 0x80); // 8-bit silence
        b->Unlock(p1, n1, p2, n2);
    }

    d.dwSize = 20;
    EXPECT_EQ(FDevice->CreateSoundBuffer(&d, b.Put(), nullptr), DSERR_INVALIDPARAM);
    EXPECT_FALSE(b);
    d.dwSize = DSBUFFERDESC_LEGACY_SIZE;
    EXPECT_EQ(FDevice->CreateSoundBuffer(nullptr, b.Put(), nullptr), DSERR_INVALIDPARAM);
    EXPECT_EQ(FDevice->CreateSoundBuffer(&d, nullptr, nullptr), DSERR_INVALIDPARAM);
    int outer;
    EXPECT_EQ(FDevice->CreateSoundBuffer(&d, b.Put(), &outer), DSERR_NOAGGREGATION);

    struct BadFormat {
        WORD tag, channels, bits;
        DWORD rate;
    };
    for (BadFormat bad : {BadFormat{2, 2, 16, 44100}, BadFormat{1, 3, 16, 44100}, BadFormat{1, 0, 16, 44100},
                          BadFormat{1, 2, 24, 44100}, BadFormat{1, 2, 16, 99}, BadFormat{1, 2, 16, 100001}}) {
        WAVEFORMATEX wf = Pcm(bad.rate, bad.channels, bad.bits);
        wf.wFormatTag = bad.tag;
        DSBUFFERDESC bd = Desc(&wf, 4096);
        EXPECT_EQ(FDevice->CreateSoundBuffer(&bd, b.Put(), nullptr), DSERR_BADFORMAT)
            << bad.tag << " " << bad.channels << " " << bad.bits << " " << bad.rate;
    }
    WAVEFORMATEX inconsistent = Pcm(44100, 2, 16);
    inconsistent.nBlockAlign = 2;
    DSBUFFERDESC bd = Desc(&inconsistent, 4096);
    EXPECT_EQ(FDevice->CreateSoundBuffer(&bd, b.Put(), nullptr), DSERR_BADFORMAT);

    WAVEFORMATEX stereo = Pcm(44100, 2, 16);
    for (DWORD bytes : {0u, 2u, 4098u, 0x10000000u}) {
        DSBUFFERDESC sd = Desc(&stereo, bytes);
        EXPECT_EQ(FDevice->CreateSoundBuffer(&sd, b.Put(), nullptr), DSERR_INVALIDPARAM) << bytes;
    }
    DSBUFFERDESC none = Desc(nullptr, 4096);
    EXPECT_EQ(FDevice->CreateSoundBuffer(&none, b.Put(), nullptr), DSERR_INVALIDPARAM);
    DSBUFFERDESC smallest = Desc(&stereo, 4);
    EXPECT_EQ(FDevice->CreateSoundBuffer(&smallest, b.Put(), nullptr), DS_OK);
}

TEST_F(Api, ControlsNeedTheirCapabilityFlags)
{
    WAVEFORMATEX f = Pcm(44100, 2, 16);
    DSBUFFERDESC d = Desc(&f, 4096, DSBCAPS_CTRLVOLUME);
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(FDevice->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    EXPECT_EQ(b->SetVolume(-100), DS_OK);
    EXPECT_EQ(b->SetPan(100), DSERR_CONTROLUNAVAIL);
    EXPECT_EQ(b->SetFrequency(22050), DSERR_CONTROLUNAVAIL);
    EXPECT_EQ(b->SetFormat(&f), DSERR_INVALIDCALL);
}

TEST_F(Api, LockGivesOneRegionUnlessTheRequestCrossesTheEnd)
{
    WAVEFORMATEX f = Pcm(44100, 2, 16);
    DSBUFFERDESC d = Desc(&f, 4000);
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(FDevice->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    void *p1 = nullptr, *p2 = nullptr, *base = nullptr;
    DWORD n1 = 0, n2 = 0;

    ASSERT_EQ(b->Lock(0, 4000, &base, &n1, &p2, &n2, 0), DS_OK);
    EXPECT_EQ(n1, 4000u);
    EXPECT_EQ(p2, nullptr);
    EXPECT_EQ(n2, 0u);
    b->Unlock(base, n1, p2, n2);

    ASSERT_EQ(b->Lock(1000, 3000, &p1, &n1, &p2, &n2, 0), DS_OK); // ends exactly at the end
    EXPECT_EQ(p1, static_cast<uint8_t*>(base) + 1000);
    EXPECT_EQ(n1, 3000u);
    EXPECT_EQ(p2, nullptr);
    b->Unlock(p1, n1, p2, n2);

    ASSERT_EQ(b->Lock(3000, 1500, &p1, &n1, &p2, &n2, 0), DS_OK);
    EXPECT_EQ(p1, static_cast<uint8_t*>(base) + 3000);
    EXPECT_EQ(n1, 1000u);
    EXPECT_EQ(p2, base);
    EXPECT_EQ(n2, 500u);
    EXPECT_EQ(b->Unlock(p1, n1, p2, n2), DS_OK);

    // From the write cursor: one engine period (441 frames) ahead of the play cursor at 0.
    ASSERT_EQ(b->Lock(0, 4, &p1, &n1, nullptr, nullptr, DSBLOCK_FROMWRITECURSOR), DS_OK);
    EXPECT_EQ(p1, static_cast<uint8_t*>(base) + 1764);
    b->Unlock(p1, n1, nullptr, 0);

    EXPECT_EQ(b->Lock(0, 4001, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Lock(4000, 4, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Lock(0, 0, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Lock(0, 4, nullptr, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    int elsewhere[4];
    EXPECT_EQ(b->Unlock(elsewhere, 4, nullptr, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->SetCurrentPosition(4000), DSERR_INVALIDPARAM);
}

TEST_F(Api, PrimaryBufferReportsTheFormatTheOutputReallyUses)
{
    DSBUFFERDESC d{};
    d.dwSize = DSBUFFERDESC_LEGACY_SIZE;
    d.dwFlags = DSBCAPS_PRIMARYBUFFER;
    ComPtr<IDirectSoundBuffer> primary;
    ASSERT_EQ(FDevice->CreateSoundBuffer(&d, primary.Put(), nullptr), DS_OK);
    WAVEFORMATEX f{};
    ASSERT_EQ(primary->GetFormat(&f, 18, nullptr), DS_OK);
    const WAVEFORMATEX standard = Pcm(44100, 2, 16);
    EXPECT_EQ(std::memcmp(&f, &standard, sizeof(f)), 0);
    EXPECT_EQ(primary->Play(0, 0, DSBPLAY_LOOPING), DS_OK);

    f.nChannels = 1;
    f.wBitsPerSample = 8;
    f.nSamplesPerSec = 22050;
    f.nBlockAlign = 1;
    f.nAvgBytesPerSec = 22050;
    ASSERT_EQ(primary->SetFormat(&f), DS_OK);
    WAVEFORMATEX got{};
    ASSERT_EQ(primary->GetFormat(&got, 18, nullptr), DS_OK);
    EXPECT_EQ(std::memcmp(&got, &f, sizeof(f)), 0);
    EXPECT_EQ(Engine::Instance().PeriodFrames(), 220u);
    EXPECT_EQ(Engine::Pull(220).size(), 220u);

    f.nSamplesPerSec = 100001;
    f.nAvgBytesPerSec = 100001;
    EXPECT_EQ(primary->SetFormat(&f), DSERR_BADFORMAT);
    EXPECT_EQ(primary->SetFormat(nullptr), DSERR_INVALIDPARAM);
    ASSERT_EQ(primary->GetFormat(&got, 18, nullptr), DS_OK);
    EXPECT_EQ(got.nSamplesPerSec, 22050u);

    // A primary with a size or a format is not a primary.
    d.dwBufferBytes = 4096;
    ComPtr<IDirectSoundBuffer> other;
    EXPECT_EQ(FDevice->CreateSoundBuffer(&d, other.Put(), nullptr), DSERR_INVALIDPARAM);

    // Normal level may not change the output's format.
    ASSERT_EQ(FDevice->SetCooperativeLevel(GetDesktopWindow(), DSSCL_NORMAL), DS_OK);
    f.nSamplesPerSec = 48000;
    f.nAvgBytesPerSec = 48000;
    EXPECT_EQ(primary->SetFormat(&f), DSERR_PRIOLEVELNEEDED);
}

TEST_F(Api, LevelsAndSpeakerConfiguration)
{
    for (DWORD level : {DSSCL_NORMAL, DSSCL_PRIORITY, DSSCL_EXCLUSIVE})
        EXPECT_EQ(FDevice->SetCooperativeLevel(GetDesktopWindow(), level), DS_OK);
    EXPECT_EQ(FDevice->SetCooperativeLevel(GetDesktopWindow(), 0), DSERR_INVALIDPARAM);
    DWORD config = 0;
    ASSERT_EQ(FDevice->GetSpeakerConfig(&config), DS_OK);
    EXPECT_EQ(config, DSSPEAKER_STEREO);
    ASSERT_EQ(FDevice->SetSpeakerConfig(DSSPEAKER_HEADPHONE), DS_OK);
    ASSERT_EQ(FDevice->GetSpeakerConfig(&config), DS_OK);
    EXPECT_EQ(config, DSSPEAKER_HEADPHONE);
}
