// Finds the tempo of songs on one background thread at the lowest priority (nice 19), so that
// neither the UI nor the sound waits for it, and keeps every result in a cache file in the data folder.
// A result belongs to the file as it was (its size and modification time): a changed file is
// analysed again. Songs asked for urgently (the one just loaded on a deck) go before the others.
// Lookup, Request and the Analysed signal are for the UI thread; the cache is guarded by one mutex
// that only the UI thread and the analysis thread take, never the render thread.
#pragma once

#include "decks/Tempo.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class TTempoAnalyser : public QObject {
    Q_OBJECT
public:
    // The share of one core the analysis takes at most: it leaves the rest of a core, and of the
    // memory and caches it shares with the sound, to the decks even on a machine with one core.
    static constexpr double kDuty = 0.5;
    // The cache file's name in the data folder.
    static constexpr const char* CacheFile = "TempoCache.txt";
    // The folder of the waveform summaries in the data folder, one file per song named by a hash of
    // its path.
    static constexpr const char* WaveFolder = "Waveforms";

    // Reads the cache from `dataFolder` (bytes, as the file system keeps the name); a missing or
    // damaged file, damaged lines of it, or a link that may not be followed (KeptFile.h), mean no
    // results.
    explicit TTempoAnalyser(const QByteArray& dataFolder, QObject* parent = nullptr);
    // Stops the analysis under way and waits for the thread.
    ~TTempoAnalyser() override;

    // The result for the file as it now is; none when it has not been analysed in this form yet.
    std::optional<TTempo> Lookup(const std::string& path);
    // Queues the file unless its result is known or it is queued already; urgent ones go first.
    void Request(const std::string& path, bool urgent);

    // How many songs this analyser has analysed (not taken from the cache), and whether it waits
    // for work.
    int Analyses() const { return FAnalyses.load(); }
    bool Idle();

signals:
    // A result for `path` (its bytes) is in the cache; emitted on the UI thread.
    void Analysed(const QByteArray& path);

private:
    struct TKey {
        int64_t Size = -1;
        int64_t MTimeNs = 0;
        bool operator==(const TKey&) const = default;
    };
    struct TEntry {
        TKey Key;
        bool Readable = true;  // false: the file could not be decoded; it counts as no steady beat
        bool WaveKept = false; // its summary is in the waveform folder (read at its first lookup)
        TTempo Tempo;
    };

    static std::optional<TKey> KeyOf(const std::string& path);
    void Load();
    // The whole cache as the file keeps it; called with FMutex held.
    QByteArray CacheText() const;
    // Replaces the file whole (ReplaceKeptFile); only the analysis thread writes.
    void Save(const QByteArray& text) const;
    void Run();
    std::string WavePath(const std::string& path) const;
    bool SaveWave(const std::string& path, const TWaveSummary& wave) const;

    std::string FCachePath;
    std::string FWaveFolder;
    std::mutex FMutex;
    std::condition_variable FWake;
    std::map<std::string, TEntry> FCache;
    std::deque<std::string> FUrgent, FBackground;
    bool FBusy = false;
    bool FStop = false;
    std::atomic<bool> FCancel{false};
    std::atomic<int> FAnalyses{0};
    std::thread FThread;
};
