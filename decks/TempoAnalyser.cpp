#include "decks/TempoAnalyser.h"

#include "platform/kernel/Exceptions.h"
#include "platform/kernel/KeptFile.h"
#include "platform/kernel/Realtime.h"

#include <QBuffer>
#include <QByteArrayList>
#include <QCryptographicHash>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// First line of the cache file; a file that does not start with it is not read.
// 2: with the loudness; 3: with the waveform summary. A cache of an older version is analysed again.
constexpr const char* kCacheHeader = "DuoDeck tempo cache 3";

QByteArray Number(double v)
{
    return QByteArray::number(v, 'g', 12); // locale-free, unlike printf under a desktop's locale
}

} // namespace

TTempoAnalyser::TTempoAnalyser(const QByteArray& dataFolder, QObject* parent)
    : QObject(parent), FCachePath((dataFolder + "/" + CacheFile).toStdString()),
      FWaveFolder((dataFolder + "/" + WaveFolder).toStdString())
{
    Load();
    FThread = std::thread([this] {
        realtime::NameThisThread("duodeck-analyse");
        Run();
    });
}

TTempoAnalyser::~TTempoAnalyser()
{
    {
        std::lock_guard lock(FMutex);
        FStop = true;
        FCancel = true;
    }
    FWake.notify_all();
    FThread.join();
}

std::optional<TTempoAnalyser::TKey> TTempoAnalyser::KeyOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return TKey{static_cast<int64_t>(st.st_size), int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<TTempo> TTempoAnalyser::Lookup(const std::string& path)
{
    const auto key = KeyOf(path);
    if (!key)
        return std::nullopt;
    std::lock_guard lock(FMutex);
    const auto it = FCache.find(path);
    if (it == FCache.end() || !(it->second.Key == *key))
        return std::nullopt;
    TEntry& e = it->second;
    if (!e.Tempo.Wave && e.WaveKept) {
        // Read once, when the song is first wanted: a summary is some tens of kilobytes.
        std::string problem;
        const auto bytes = ReadKeptFile(WavePath(path), problem);
        auto wave = bytes ? TWaveSummary::Parse(*bytes) : std::nullopt;
        if (wave)
            e.Tempo.Wave = std::make_shared<const TWaveSummary>(std::move(*wave));
        else
            e.WaveKept = false;
    }
    return e.Tempo;
}

std::string TTempoAnalyser::WavePath(const std::string& path) const
{
    const QByteArray name = QCryptographicHash::hash(QByteArray::fromStdString(path), QCryptographicHash::Sha1).toHex();
    return FWaveFolder + "/" + name.toStdString() + ".wave";
}

bool TTempoAnalyser::SaveWave(const std::string& path, const TWaveSummary& wave) const
{
    try {
        ::mkdir(FWaveFolder.c_str(), 0700);
        ReplaceKeptFile(WavePath(path), wave.Serialise());
        return true;
    } catch (const Exception&) {
        return false;
    }
}

void TTempoAnalyser::Request(const std::string& path, bool urgent)
{
    {
        std::lock_guard lock(FMutex);
        if (urgent) {
            std::erase(FBackground, path);
            std::erase(FUrgent, path);
            FUrgent.push_front(path); // the song loaded last is the one the user waits for
        } else if (std::find(FBackground.begin(), FBackground.end(), path) == FBackground.end() &&
                   std::find(FUrgent.begin(), FUrgent.end(), path) == FUrgent.end()) {
            FBackground.push_back(path);
        }
    }
    FWake.notify_one();
}

bool TTempoAnalyser::Idle()
{
    std::lock_guard lock(FMutex);
    return !FBusy && FUrgent.empty() && FBackground.empty();
}

void TTempoAnalyser::Run()
{
    // The lowest priority of the normal class: the refills, the UI and the sound server always
    // go first, and yet the analysis is not starved on a busy machine (as in the idle class).
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
    std::unique_lock lock(FMutex);
    for (;;) {
        FWake.wait(lock, [this] { return FStop || !FUrgent.empty() || !FBackground.empty(); });
        if (FStop)
            return;
        std::deque<std::string>& queue = FUrgent.empty() ? FBackground : FUrgent;
        const std::string path = queue.front();
        queue.pop_front();
        FBusy = true;
        lock.unlock();
        const auto key = KeyOf(path);
        lock.lock();
        // Gone or no regular file (the deck says so when it loads it), or known already.
        if (const auto it = FCache.find(path); !key || (it != FCache.end() && it->second.Key == *key)) {
            FBusy = false;
            continue;
        }
        lock.unlock();

        TEntry entry{*key, true, false, {}};
        try {
            entry.Tempo = AnalyseTempoFile(path, &FCancel, kDuty);
        } catch (...) {
            entry.Readable = false; // the deck reports the reader's error when it plays the file
        }
        // Beside the cache, not in it: the cache is rewritten whole at every song.
        entry.WaveKept = entry.Tempo.Wave && !FCancel && SaveWave(path, *entry.Tempo.Wave);

        lock.lock();
        FBusy = false;
        if (FStop)
            return; // a cancelled analysis is no result
        FCache[path] = std::move(entry);
        ++FAnalyses;
        const QByteArray text = CacheText();
        // The file is written without the lock: a thread of the lowest priority must not keep the UI
        // thread waiting while it writes.
        lock.unlock();
        Save(text);
        lock.lock();
        const QByteArray name = QByteArray::fromStdString(path);
        QMetaObject::invokeMethod(
            this, [this, name] { emit Analysed(name); }, Qt::QueuedConnection);
    }
}

// One line per song: size, modification time (ns), R (read) or E (could not be read), the
// integrated loudness (LUFS) and true peak (dBTP) or "- -", W when the waveform summary is kept in
// the waveform folder (else -), the number of sections and three numbers for each (start, tempo,
// first beat), and last the path, percent-encoded so that any bytes fit.
void TTempoAnalyser::Load()
{
    std::string problem;
    const std::optional<std::string> text = ReadKeptFile(FCachePath, problem);
    if (!problem.empty())
        std::fprintf(stderr, "DuoDeck: %s is not read (%s); the tempo cache starts empty.\n", FCachePath.c_str(),
                     problem.c_str());
    if (!text)
        return;
    QBuffer file;
    file.setData(QByteArray::fromStdString(*text));
    file.open(QIODevice::ReadOnly);
    if (file.readLine().trimmed() != kCacheHeader)
        return;
    while (!file.atEnd()) {
        const QByteArrayList f = file.readLine().trimmed().split(' ');
        if (f.size() < 8)
            continue;
        bool ok = true, good = true;
        TEntry e;
        e.Key.Size = f[0].toLongLong(&ok);
        good &= ok;
        e.Key.MTimeNs = f[1].toLongLong(&ok);
        good &= ok;
        e.Readable = f[2] == "R";
        good &= e.Readable || f[2] == "E";
        if (f[3] != "-" || f[4] != "-") {
            bool a = false, b = false;
            e.Tempo.Loudness = TLoudness{f[3].toDouble(&a), f[4].toDouble(&b)};
            good &= a && b;
        }
        e.WaveKept = f[5] == "W";
        good &= e.WaveKept || f[5] == "-";
        const int sections = f.size() > 7 ? f[6].toInt(&ok) : -1;
        good &= ok && sections >= 0 && f.size() == 8 + 3 * sections;
        for (int i = 0; good && i < sections; ++i) {
            TTempoSection s;
            bool a = false, b = false, c = false;
            s.Start = f[7 + 3 * i].toDouble(&a);
            s.Bpm = f[8 + 3 * i].toDouble(&b);
            s.FirstBeat = f[9 + 3 * i].toDouble(&c);
            good = a && b && c && s.Bpm > 0;
            e.Tempo.Sections.push_back(s);
        }
        if (good)
            FCache[QByteArray::fromPercentEncoding(f.back()).toStdString()] = std::move(e);
    }
}

QByteArray TTempoAnalyser::CacheText() const
{
    QByteArray text = QByteArray(kCacheHeader) + "\n";
    for (const auto& [path, e] : FCache) {
        text += QByteArray::number(qlonglong(e.Key.Size)) + ' ' + QByteArray::number(qlonglong(e.Key.MTimeNs)) + ' ' +
                (e.Readable ? "R" : "E") + ' ' +
                (e.Tempo.Loudness ? Number(e.Tempo.Loudness->Lufs) + ' ' + Number(e.Tempo.Loudness->PeakDb)
                                  : QByteArray("- -")) +
                (e.WaveKept ? " W " : " - ") + QByteArray::number(qsizetype(e.Tempo.Sections.size()));
        for (const auto& s : e.Tempo.Sections)
            text += ' ' + Number(s.Start) + ' ' + Number(s.Bpm) + ' ' + Number(s.FirstBeat);
        text += ' ' + QByteArray::fromStdString(path).toPercentEncoding() + '\n';
    }
    return text;
}

void TTempoAnalyser::Save(const QByteArray& text) const
{
    // A cache that cannot be written costs only a second analysis in a later run.
    try {
        ReplaceKeptFile(FCachePath, text.toStdString());
    } catch (const Exception&) {
    }
}
