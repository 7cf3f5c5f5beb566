// The hot cues of songs across runs: a small file in the data folder, one line per song, keyed like
// the tempo cache (the path, with the size and modification time the cues were set on) so that a
// re-encoded file keeps its cues and the deck can drop those past its new end.
// UI thread only: it reads the file when made and rewrites it at every change.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

class THotCueStore {
public:
    static constexpr int kCues = 8;
    static constexpr const char* CacheFile = "HotCues.txt";

    // Frames of the song at `Rate` (the channel's format); -1 where no cue is set.
    struct TCues {
        uint32_t Rate = 0;
        std::array<int64_t, kCues> Frames;
        TCues() { Frames.fill(-1); }
    };

    // Reads the file from `dataFolder` (bytes); a missing or damaged file, or damaged lines, mean
    // no cues. Empty: nothing is read or written (tests of a deck alone).
    explicit THotCueStore(const std::string& dataFolder);

    // The song's cues at `rate`: cues set at another rate (a re-encoded file) are scaled to it.
    TCues Lookup(const std::string& path, uint32_t rate) const;
    // Keeps the song's cues and rewrites the file; a song without cues leaves the file.
    void Store(const std::string& path, const TCues& cues);

private:
    struct TEntry {
        int64_t Size = -1, MTimeNs = 0;
        TCues Cues;
    };
    void Load();
    void Save() const;

    std::string FPath;
    std::map<std::string, TEntry> FSongs;
};
