#include "tests/support/Fixtures.h"

#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace testsupport {

namespace fs = std::filesystem;

FileSizeLimit::FileSizeLimit(rlim_t limit)
{
    FOldSignal = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &FOld);
    rlimit rl = FOld;
    rl.rlim_cur = std::min(limit, FOld.rlim_max);
    setrlimit(RLIMIT_FSIZE, &rl);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &FOld);
    std::signal(SIGXFSZ, FOldSignal);
}

TempDir::TempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "duodeck-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    FPath = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Tests may leave read-only files or folders behind; make them removable first.
    for (auto it = fs::recursive_directory_iterator(FPath, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(FPath, ec);
}

std::vector<int16_t> SineS16(int frames, int rate, int channels, double hz, double amplitude)
{
    std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) {
            double phase = 2 * M_PI * hz * f / rate + c * M_PI / 2;
            out[static_cast<size_t>(f) * channels + c] = static_cast<int16_t>(std::lround(amplitude * std::sin(phase)));
        }
    return out;
}

std::vector<int16_t> NoiseS16(int frames, int channels, uint32_t seed, double amplitude)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-amplitude, amplitude);
    std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
    for (auto& s : out)
        s = static_cast<int16_t>(std::lround(dist(gen)));
    return out;
}

static void PutLE(std::vector<uint8_t>& b, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void WriteWavBytes(const fs::path& file, int rate, int channels, int bits, const std::vector<uint8_t>& data,
                   int formatTag)
{
    std::vector<uint8_t> b{'R', 'I', 'F', 'F'};
    b.reserve(44 + data.size());
    const uint32_t align = channels * bits / 8;
    PutLE(b, 36 + static_cast<uint32_t>(data.size()), 4);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLE(b, 16, 4);
    PutLE(b, static_cast<uint64_t>(formatTag), 2);
    PutLE(b, channels, 2);
    PutLE(b, rate, 4);
    PutLE(b, rate * align, 4);
    PutLE(b, align, 2);
    PutLE(b, bits, 2);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    PutLE(b, static_cast<uint32_t>(data.size()), 4);
    b.insert(b.end(), data.begin(), data.end());
    WriteBytes(file, b);
}

void WriteWavS16(const fs::path& file, int rate, int channels, const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> data(samples.size() * 2);
    std::memcpy(data.data(), samples.data(), data.size()); // little-endian host
    WriteWavBytes(file, rate, channels, 16, data);
}

void WriteMp3S16(const fs::path& file, int rate, int channels, const std::vector<int16_t>& samples, int kbps, bool xing)
{
    lame_t gf = lame_init();
    lame_set_in_samplerate(gf, rate);
    lame_set_out_samplerate(gf, rate);
    lame_set_num_channels(gf, channels);
    lame_set_mode(gf, channels == 1 ? MONO : JOINT_STEREO);
    lame_set_brate(gf, kbps);
    lame_set_bWriteVbrTag(gf, xing ? 1 : 0);
    lame_set_quality(gf, 5);
    if (lame_init_params(gf) < 0) {
        lame_close(gf);
        throw std::runtime_error("lame_init_params failed");
    }
    const int frames = static_cast<int>(samples.size() / channels);
    std::vector<unsigned char> out(static_cast<size_t>(1.25 * frames + 7200) + 16384);
    int n = channels == 1 ? lame_encode_buffer(gf, samples.data(), samples.data(), frames, out.data(),
                                               static_cast<int>(out.size()))
                          : lame_encode_buffer_interleaved(gf, const_cast<short*>(samples.data()), frames, out.data(),
                                                           static_cast<int>(out.size()));
    if (n < 0) {
        lame_close(gf);
        throw std::runtime_error("lame_encode_buffer failed");
    }
    int m = lame_encode_flush(gf, out.data() + n, static_cast<int>(out.size()) - n);
    out.resize(static_cast<size_t>(n + std::max(m, 0)));
    if (xing) {
        // The Info frame is written in place over the first frame lame reserved for it.
        std::vector<unsigned char> tag(2880);
        size_t t = lame_get_lametag_frame(gf, tag.data(), tag.size());
        if (t > 0 && t <= out.size())
            std::memcpy(out.data(), tag.data(), t);
    }
    lame_close(gf);
    WriteBytes(file, std::vector<uint8_t>(out.begin(), out.end()));
}

std::vector<uint8_t> ReadBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& file, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

double ZeroCrossingHz(const std::vector<float>& x, int channels, int channel, int rate)
{
    const size_t frames = x.size() / channels;
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t f = 1; f < frames; ++f) {
        if (x[(f - 1) * channels + channel] < 0 && x[f * channels + channel] >= 0) {
            if (crossings == 0)
                first = f;
            last = f;
            ++crossings;
        }
    }
    if (crossings < 2)
        return 0;
    return (crossings - 1) * static_cast<double>(rate) / static_cast<double>(last - first);
}

double ToneLevel(const std::vector<int16_t>& s, int channels, int channel, int rate, double hz)
{
    const double w = 2 * M_PI * hz / rate, coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    const size_t frames = s.size() / channels;
    for (size_t f = 0; f < frames; ++f) {
        const double s0 = s[f * channels + channel] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return frames ? 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2)) / frames : 0;
}

double Rms(const std::vector<float>& x, int channels, int channel)
{
    const size_t frames = x.size() / channels;
    if (frames == 0)
        return 0;
    double sum = 0;
    for (size_t f = 0; f < frames; ++f)
        sum += double(x[f * channels + channel]) * x[f * channels + channel];
    return std::sqrt(sum / frames);
}

} // namespace testsupport
