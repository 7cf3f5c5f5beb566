// Tells which library decodes a file, from its first bytes: MPEG audio (also inside a RIFF WAVE), Ogg
// Vorbis, Opus, a container or codec for FFmpeg (MP4, Matroska, ASF, ADTS; named by a result code for
// when it fails), a kind no library here decodes (named by its result code), or anything else, which
// libsndfile identifies. Called by the reader while it opens a file; no lock.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

enum class TMxFileKind { Other, Mpeg, Vorbis, Opus, Ffmpeg, Unsupported };

struct TMxFileKindInfo {
    TMxFileKind Kind = TMxFileKind::Other;
    int64_t Begin = 0; // the byte range the decoder reads (a RIFF WAVE's data chunk for MPEG in WAVE)
    int64_t End = 0;
    uint32_t Code = 0; // for Unsupported and Ffmpeg: the reader's result code naming the kind
};

// Reads the file behind `fd` (positional reads only) of `fileSize` bytes.
TMxFileKindInfo FindFileKind(int fd, int64_t fileSize);

// The runs of whole MPEG audio frames in [begin, end) as [start, end) offsets, junk between them (a
// damaged sector, a cut-and-joined file) left out; the whole range when nothing lies between frames.
std::vector<std::pair<int64_t, int64_t>> MpegRuns(int fd, int64_t begin, int64_t end);

// The links of a chained Ogg stream as [start, end) offsets, when a link reuses a serial number of an
// earlier one (files joined by a script), which libvorbisfile and libopusfile take for one stream;
// empty otherwise.
std::vector<std::pair<int64_t, int64_t>> OggLinksSharingSerials(int fd, int64_t fileSize);
