#include "platform/output/Loopback.h"

#include "platform/output/LoopbackRing.h"

#include <algorithm>
#include <cstring>

namespace output {

namespace {

// About three seconds of 44.1 kHz 16-bit stereo; a multiple of every frame size.
constexpr size_t LoopbackBytes = size_t(1) << 19;

} // namespace

Loopback& Loopback::Instance()
{
    // Never deleted: a render during static destruction may still write.
    static Loopback* tap = new Loopback;
    return *tap;
}

Loopback::Loopback() : FRing(std::make_unique<LoopbackRing>(LoopbackBytes)) {}

std::unique_ptr<LoopbackReader> Loopback::Open()
{
    if (FOpen.exchange(true, std::memory_order_acq_rel))
        return nullptr;
    std::function<void()> call;
    {
        std::lock_guard lock(FLock);
        call = FOnOpen;
    }
    if (call)
        call();
    return std::unique_ptr<LoopbackReader>(new LoopbackReader(*this));
}

void Loopback::OnOpen(std::function<void()> call)
{
    std::lock_guard lock(FLock);
    FOnOpen = std::move(call);
}

void Loopback::SetFormat(const OutputFormat& format)
{
    std::lock_guard lock(FLock);
    FFormat = format;
    FBlockAlign.store(format.BlockAlign(), std::memory_order_release);
    FGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void Loopback::Write(const void* block, uint32_t frames)
{
    if (!FOpen.load(std::memory_order_acquire))
        return;
    const uint32_t align = FBlockAlign.load(std::memory_order_acquire);
    FRing->Write(static_cast<const uint8_t*>(block), size_t(frames) * align, align);
}

LoopbackReader::LoopbackReader(Loopback& tap) : FTap(tap)
{
    CheckFormat();
}

LoopbackReader::~LoopbackReader()
{
    FTap.FOpen.store(false, std::memory_order_release);
}

void LoopbackReader::CheckFormat()
{
    const uint32_t gen = FTap.FGeneration.load(std::memory_order_acquire);
    if (gen == FSeenGeneration)
        return;
    // Whatever was queued may be in the old format: start afresh.
    FSeenGeneration = gen;
    {
        std::lock_guard lock(FTap.FLock);
        FFormat = FTap.FFormat;
    }
    FTap.FRing->SkipAll();
}

OutputFormat LoopbackReader::Format()
{
    CheckFormat();
    return FFormat;
}

size_t LoopbackReader::Available()
{
    CheckFormat();
    return FTap.FRing->Available() / FFormat.BlockAlign();
}

size_t LoopbackReader::Read(void* dst, size_t frames)
{
    CheckFormat();
    const size_t align = FFormat.BlockAlign();
    const uint8_t *p1, *p2;
    size_t n1, n2;
    FTap.FRing->ReadRegions(p1, n1, p2, n2);
    size_t want = std::min(frames * align, (n1 + n2) / align * align);
    if (want == 0)
        return 0; // an empty ring's regions, and an empty caller's buffer, may be null
    const size_t first = std::min(want, n1);
    std::memcpy(dst, p1, first);
    if (want > first)
        std::memcpy(static_cast<uint8_t*>(dst) + first, p2, want - first);
    FTap.FRing->CommitRead(want);
    return want / align;
}

} // namespace output
