#include "decks/Tempo.h"

#include "decode/MxAudioFileRead.h"

#include <aubio/aubio.h>
#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <numbers>
#include <thread>

#include <time.h>

const TTempoSection& TTempo::At(double t) const
{
    const TTempoSection* found = &Sections.front();
    for (const auto& s : Sections)
        if (s.Start <= t)
            found = &s;
    return *found;
}

// ---- onset strength --------------------------------------------------------------------------------

namespace {
constexpr double kTiltHz = 400;
} // namespace

struct TOnsetStrength::TState {
    aubio_pvoc_t* Pvoc = nullptr;
    aubio_specdesc_t* Flux = nullptr;
    fvec_t* In = nullptr;
    cvec_t* Spectrum = nullptr;
    fvec_t* Out = nullptr;
    std::vector<float> Tilt;
    uint32_t Filled = 0;
    ~TState()
    {
        if (Pvoc)
            del_aubio_pvoc(Pvoc);
        if (Flux)
            del_aubio_specdesc(Flux);
        if (In)
            del_fvec(In);
        if (Spectrum)
            del_cvec(Spectrum);
        if (Out)
            del_fvec(Out);
    }
};

TOnsetStrength::TOnsetStrength(uint32_t sampleRate) : FState(std::make_unique<TState>()), FRate(sampleRate)
{
    TState& s = *FState;
    s.Pvoc = new_aubio_pvoc(kWindow, kHop);
    s.Flux = new_aubio_specdesc("specflux", kWindow);
    s.In = new_fvec(kHop);
    s.Spectrum = new_cvec(kWindow);
    s.Out = new_fvec(1);
    if (!s.Pvoc || !s.Flux || !s.In || !s.Spectrum || !s.Out || sampleRate == 0)
        throw Exception("The onset detector cannot start at " + std::to_string(sampleRate) + " Hz.");
    s.Tilt.resize(s.Spectrum->length, 1.0f);
    for (uint32_t k = 1; k < s.Spectrum->length; ++k)
        s.Tilt[k] = std::min(1.0, kTiltHz / (k * double(sampleRate) / kWindow));
}

TOnsetStrength::~TOnsetStrength() = default;

void TOnsetStrength::Feed(const float* mono, size_t frames)
{
    TState& s = *FState;
    while (frames > 0) {
        const size_t n = std::min<size_t>(frames, kHop - s.Filled);
        std::memcpy(s.In->data + s.Filled, mono, n * sizeof(float));
        s.Filled += static_cast<uint32_t>(n);
        mono += n;
        frames -= n;
        if (s.Filled < kHop)
            break;
        s.Filled = 0;
        aubio_pvoc_do(s.Pvoc, s.In, s.Spectrum);
        // Above the kick's range each bin counts less and less: otherwise the many bins of a hat
        // outweigh the kick, and the grid lands on the off-beats.
        for (uint32_t k = 0; k < s.Spectrum->length; ++k)
            s.Spectrum->norm[k] *= s.Tilt[k];
        aubio_specdesc_do(s.Flux, s.Spectrum, s.Out);
        FValues.push_back(s.Out->data[0]);
    }
}

// ---- from onsets to a grid ---------------------------------------------------------------------------

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;
// Windows in which each tempo is found: long enough for a sharp peak (its width is about
// 60 / kWindowSeconds BPM), short enough to see a change of tempo.
constexpr double kWindowSeconds = 10.0;
constexpr double kStepSeconds = 5.0;
// A window keeps a steady beat when its grid holds at least this share of its onset strength.
constexpr double kMinClarity = 0.3;
// Windows whose tempos differ by less than this share are one section.
constexpr double kSameTempo = 0.01;

struct TCurve {
    const std::vector<float>& Strength;
    double Hop, Offset;
};

// The strength-weighted sums of e^(-i 2 pi t f), e^(-i 2 pi t 2f) and e^(-i 2 pi t 4f) over values
// [from, to): the length of the first is how much of the strength falls on a grid of frequency f,
// its angle where the grid lies; the others do the same for its eighths and sixteenths.
// Four rotations run side by side (each a quarter of the values): one alone waits on its own
// previous step, and this loop is most of the analysis after aubio's.
struct TCombs {
    std::complex<double> Beat, OffBeat, Sixteenth;
};
TCombs Combs(const TCurve& c, size_t from, size_t to, double f)
{
    constexpr int L = 4;
    const double turn = -kTwoPi * f * c.Hop;
    const double stepRe = std::cos(turn * L), stepIm = std::sin(turn * L);
    double wr[L], wi[L], ar[L] = {}, ai[L] = {}, br[L] = {}, bi[L] = {}, cr[L] = {}, ci[L] = {};
    for (int j = 0; j < L; ++j) {
        const double angle = -kTwoPi * f * (c.Offset + double(from + j) * c.Hop);
        wr[j] = std::cos(angle);
        wi[j] = std::sin(angle);
    }
    const float* v = c.Strength.data();
    size_t n = from;
    for (; n + L <= to; n += L) {
        for (int j = 0; j < L; ++j) {
            const double x = v[n + j];
            ar[j] += x * wr[j];
            ai[j] += x * wi[j];
            const double r2 = wr[j] * wr[j] - wi[j] * wi[j], i2 = 2 * wr[j] * wi[j];
            br[j] += x * r2;
            bi[j] += x * i2;
            cr[j] += x * (r2 * r2 - i2 * i2);
            ci[j] += x * (2 * r2 * i2);
            const double r = wr[j] * stepRe - wi[j] * stepIm;
            wi[j] = wr[j] * stepIm + wi[j] * stepRe;
            wr[j] = r;
        }
        if (((n - from) & 1023) == 0) // keep the rotations on the unit circle over long spans
            for (int j = 0; j < L; ++j) {
                const double length = std::hypot(wr[j], wi[j]);
                wr[j] /= length;
                wi[j] /= length;
            }
    }
    TCombs sums;
    for (int j = 0; j < L; ++j) {
        sums.Beat += std::complex<double>(ar[j], ai[j]);
        sums.OffBeat += std::complex<double>(br[j], bi[j]);
        sums.Sixteenth += std::complex<double>(cr[j], ci[j]);
    }
    for (; n < to; ++n) {
        const double angle = -kTwoPi * f * (c.Offset + double(n) * c.Hop);
        sums.Beat += double(v[n]) * std::polar(1.0, angle);
        sums.OffBeat += double(v[n]) * std::polar(1.0, 2 * angle);
        sums.Sixteenth += double(v[n]) * std::polar(1.0, 4 * angle);
    }
    return sums;
}

// How well a tempo fits: the beat grid, its eighths and its sixteenths. A hat between the kicks
// counts for the beat, not against it; the sixteenths keep a syncopated kick (a break's, 1.75 beats
// after the first) from passing for a tempo of 5/4 or 3/4 of the true one.
double Score(const TCurve& c, size_t from, size_t to, double bpm)
{
    const TCombs sums = Combs(c, from, to, bpm / 60.0);
    return std::abs(sums.Beat) + 0.5 * std::abs(sums.OffBeat) + 0.25 * std::abs(sums.Sixteenth);
}

double Total(const TCurve& c, size_t from, size_t to)
{
    double sum = 0;
    for (size_t n = from; n < to; ++n)
        sum += c.Strength[n];
    return sum;
}

// How much the curve comes again `lag` seconds later, as a share of what it holds (1: exactly).
double Repeat(const TCurve& c, size_t from, size_t to, double lag)
{
    const double shift = lag / c.Hop;
    const auto whole = static_cast<size_t>(shift);
    const double part = shift - double(whole);
    const float* v = c.Strength.data();
    double sum = 0, energy = 0;
    for (size_t n = from; n + whole + 1 < to; ++n) {
        sum += v[n] * (v[n + whole] * (1 - part) + v[n + whole + 1] * part);
        energy += double(v[n]) * v[n];
    }
    return energy > 0 ? sum / energy : 0;
}

// How well the song's pattern repeats after one beat, two and four (a bar): a syncopated kick
// lines up with a grid of some other period, but only the true beat's bar repeats it.
double Metre(const TCurve& c, size_t from, size_t to, double bpm)
{
    const double period = 60.0 / bpm;
    return Repeat(c, from, to, period) + Repeat(c, from, to, 2 * period) + Repeat(c, from, to, 4 * period);
}

// The best-scoring tempo in [lo, hi] by a scan in `step` and a parabola through the best three;
// with `metre` the score is weighed by how the pattern repeats (for a first, coarse choice).
double BestBpm(const TCurve& c, size_t from, size_t to, double lo, double hi, double step, bool metre = false)
{
    const int n = static_cast<int>(std::lround((hi - lo) / step)) + 1;
    std::vector<double> s(n);
    int best = 0;
    for (int i = 0; i < n; ++i) {
        s[i] = Score(c, from, to, lo + i * step) * (metre ? Metre(c, from, to, lo + i * step) : 1.0);
        if (s[i] > s[best])
            best = i;
    }
    double bpm = lo + best * step;
    if (best > 0 && best < n - 1) {
        const double a = s[best - 1], b = s[best], d = s[best + 1];
        const double denom = a - 2 * b + d;
        if (denom < 0)
            bpm += step * 0.5 * (a - d) / denom;
    }
    return bpm;
}

struct TWindow {
    size_t From, To;
    double Bpm = 0;
    bool Steady = false;
};

} // namespace

TTempo TempoFromOnsets(const std::vector<float>& strength, double hop, double offset)
{
    // Only rises count, measured from the local level: a long swell is no beat.
    std::vector<float> rise(strength.size());
    const size_t half = static_cast<size_t>(0.25 / hop) + 1;
    double running = 0;
    size_t lo = 0, hi = 0;
    for (size_t n = 0; n < strength.size(); ++n) {
        while (hi < std::min(strength.size(), n + half + 1))
            running += strength[hi++];
        while (lo + half < n)
            running -= strength[lo++];
        rise[n] = std::max(0.0f, static_cast<float>(strength[n] - running / double(hi - lo)));
    }
    const TCurve curve{rise, hop, offset};

    // The tempo of each window.
    const size_t total = rise.size();
    const size_t length = std::min(total, static_cast<size_t>(kWindowSeconds / hop));
    const size_t stride = static_cast<size_t>(kStepSeconds / hop);
    std::vector<size_t> starts;
    for (size_t from = 0; length > 0 && from + length < total; from += stride)
        starts.push_back(from);
    if (length > 0)
        starts.push_back(total - length); // the last window ends with the song
    std::vector<TWindow> windows;
    for (size_t from : starts) {
        TWindow w{from, from + length};
        w.Bpm = BestBpm(curve, w.From, w.To, kMinBpm, kMaxBpm, 2.0, true);
        const double strengthSum = Total(curve, w.From, w.To);
        // A perfect grid scores 1.75 times the strength it holds.
        w.Steady = strengthSum > 0 && Score(curve, w.From, w.To, w.Bpm) / (1.75 * strengthSum) >= kMinClarity;
        windows.push_back(w);
    }

    // Runs of steady windows of one tempo, and runs of one tempo across an unsteady stretch.
    struct TRun {
        size_t From, To;
        double Bpm;
        int Windows;
    };
    std::vector<TRun> runs;
    for (const TWindow& w : windows) {
        if (!w.Steady)
            continue;
        if (!runs.empty() && std::abs(w.Bpm - runs.back().Bpm) < kSameTempo * runs.back().Bpm) {
            runs.back().To = w.To;
            ++runs.back().Windows;
            continue;
        }
        runs.push_back({w.From, w.To, w.Bpm, 1});
    }
    // A lone window between two tempos is the change itself, not a section of its own; the runs on
    // either side of one that holds no change are one.
    if (windows.size() > 1) {
        std::erase_if(runs, [](const TRun& r) { return r.Windows < 2; });
        for (size_t i = 1; i < runs.size();)
            if (std::abs(runs[i].Bpm - runs[i - 1].Bpm) < kSameTempo * runs[i - 1].Bpm) {
                runs[i - 1].To = runs[i].To;
                runs[i - 1].Windows += runs[i].Windows;
                runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
    }

    TTempo tempo;
    for (size_t i = 0; i < runs.size(); ++i) {
        // Overlapping runs meet halfway through their overlap.
        size_t from = runs[i].From, to = runs[i].To;
        if (i > 0 && runs[i - 1].To > from)
            from = (from + runs[i - 1].To) / 2;
        if (i + 1 < runs.size() && runs[i + 1].From < to)
            to = (to + runs[i + 1].From) / 2;
        // The peak over the whole section is sharp: refine in two steps.
        double bpm = BestBpm(curve, from, to, runs[i].Bpm - 1.5, runs[i].Bpm + 1.5, 0.1);
        bpm = BestBpm(curve, from, to, bpm - 0.1, bpm + 0.1, 0.005);
        const double period = 60.0 / bpm;
        const double phase = -std::arg(Combs(curve, from, to, bpm / 60.0).Beat) / kTwoPi; // in periods
        TTempoSection s;
        s.Bpm = bpm;
        s.Start = offset + from * hop;
        // The grid's beat nearest the section's start.
        s.FirstBeat = (phase + std::round((s.Start / period) - phase)) * period;
        tempo.Sections.push_back(s);
    }
    if (!tempo.Sections.empty())
        tempo.Sections.front().Start = 0;
    return tempo;
}

// ---- a whole file ------------------------------------------------------------------------------------

namespace {

// One decoded frame, every channel averaged, as a float of -1..1.
// One channel's sample of a frame in the reader's format, full scale 1.
float ChannelSample(const uint8_t* frame, const TMxWaveFormat& f, int channel)
{
    const int bytes = f.wBitsPerSample / 8;
    const uint8_t* p = frame + channel * bytes;
    if (f.wFormatTag == MX_WAVE_FORMAT_IEEE_FLOAT) {
        if (bytes == 4) {
            float v;
            std::memcpy(&v, p, 4);
            return v;
        }
        double v;
        std::memcpy(&v, p, 8);
        return static_cast<float>(v);
    }
    if (bytes == 1)
        return (p[0] - 128) / 128.0f;
    // Little-endian signed integers of 2, 3 or 4 bytes: the top 16 bits are plenty here.
    const int16_t top = static_cast<int16_t>(p[bytes - 1] << 8 | p[bytes - 2]);
    return top / 32768.0f;
}

} // namespace

namespace {

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

} // namespace

TTempo AnalyseTempoFile(const std::string& path, const std::atomic<bool>* cancel, double duty)
{
    TMxAudioFileReader reader(path);
    const TMxWaveFormat& f = reader.Format();
    TOnsetStrength onsets(f.nSamplesPerSec);
    TWaveBuilder wave(f.nSamplesPerSec);
    // The loudness in the same pass: the decode is the costly part.
    std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> meter(
        ebur128_init(f.nChannels, f.nSamplesPerSec, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK),
        [](ebur128_state* m) { ebur128_destroy(&m); });
    std::vector<float> interleaved;
    constexpr uint32_t kFrames = 8192;
    std::vector<uint8_t> block(size_t(kFrames) * f.nBlockAlign);
    std::vector<float> mono(kFrames);
    double blockStart = ThreadCpuSeconds();
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return {};
        const uint32_t bytes = reader.Read(block.data(), static_cast<uint32_t>(block.size()));
        const uint32_t frames = bytes / f.nBlockAlign;
        if (frames == 0)
            break;
        if (f.wFormatTag == MX_WAVE_FORMAT_PCM && f.wBitsPerSample == 16) {
            if (meter)
                ebur128_add_frames_short(meter.get(), reinterpret_cast<const short*>(block.data()), frames);
            // What nearly every song decodes to: no per-sample dispatch.
            const float scale = 1.0f / (32768.0f * f.nChannels);
            for (uint32_t i = 0; i < frames; ++i) {
                int sum = 0;
                for (int c = 0; c < f.nChannels; ++c) {
                    int16_t v;
                    std::memcpy(&v, block.data() + (size_t(i) * f.nChannels + c) * 2, 2);
                    sum += v;
                }
                mono[i] = float(sum) * scale;
            }
        } else {
            interleaved.resize(size_t(frames) * f.nChannels);
            for (uint32_t i = 0; i < frames; ++i) {
                float sum = 0;
                for (int c = 0; c < f.nChannels; ++c)
                    sum += interleaved[size_t(i) * f.nChannels + c] =
                        ChannelSample(block.data() + size_t(i) * f.nBlockAlign, f, c);
                mono[i] = sum / f.nChannels;
            }
            if (meter)
                ebur128_add_frames_float(meter.get(), interleaved.data(), frames);
        }
        onsets.Feed(mono.data(), frames);
        wave.Feed(mono.data(), frames);
        if (duty < 1) {
            const double worked = ThreadCpuSeconds() - blockStart;
            std::this_thread::sleep_for(std::chrono::duration<double>(worked * (1 - duty) / duty));
            blockStart = ThreadCpuSeconds();
        }
    }
    TTempo tempo = TempoFromOnsets(onsets.Values(), onsets.HopSeconds(), onsets.Offset());
    tempo.Wave = wave.Finish();
    double lufs = 0, peak = 0;
    if (meter && ebur128_loudness_global(meter.get(), &lufs) == EBUR128_SUCCESS && std::isfinite(lufs)) {
        for (unsigned c = 0; c < f.nChannels; ++c) {
            double p = 0;
            if (ebur128_true_peak(meter.get(), c, &p) == EBUR128_SUCCESS)
                peak = std::max(peak, p);
        }
        tempo.Loudness = TLoudness{lufs, peak > 0 ? 20 * std::log10(peak) : -200.0};
    }
    return tempo;
}
