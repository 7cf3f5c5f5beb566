// Finds the whole MPEG audio frames of a file before it is decoded, so that the song's length is exact
// even when the stream carries no frame count (or a wrong one), so that decoding ends at the last
// whole frame, and so that junk in the middle (a bad sector, a cut-and-joined file) is stepped over.
// Called by the reader while it opens a file, on the opening thread; no lock.
#pragma once

#include <cstdint>
#include <vector>

struct TMpegLayout {
    bool Found = false;     // a run of consistent whole frames was found
    int64_t Skipped = 0;    // bytes between the ID3v2 tags and the first frame
    int64_t TagStart = -1;  // file offset of the Xing/Info frame, -1 when there is none
    int64_t AudioStart = 0; // file offset of the first audio frame (after the Xing/Info frame)
    int64_t AudioEnd = 0;   // end of the last whole, consistent frame
    int64_t Frames = 0;     // audio frames in Runs
    // The unbroken runs of frames, in file order, as [start, end) offsets: one from AudioStart to
    // AudioEnd unless junk lies between frames.
    std::vector<std::pair<int64_t, int64_t>> Runs;
    int SamplesPerFrame = 0; // per channel
    int64_t TagFrames = -1;  // the frame count the Xing/Info frame claims, -1 when it claims none
    // The Xing/Info frame to put in front of the audio frames so that a decoder learns the true count:
    // the file's own one with the count corrected (keeping its gapless fields) or a minimal new one.
    std::vector<uint8_t> Header;
};

// Reads the file behind `fd` (positional reads only; the file offset is not used) of `fileSize` bytes.
TMpegLayout ScanMpeg(int fd, int64_t fileSize);
