// libFuzzer target: the fuzzer's bytes as a song file, opened, read to the end, sought and read again
// through a range. Every failure must be an EAudioReadError; anything else is a finding.
#include "decode/MxAudioFileRead.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

void ReadSome(TMxAudioFileReader& r, std::vector<uint8_t>& buf, int blocks)
{
    const uint32_t block = static_cast<uint32_t>(buf.size() / r.Format().nBlockAlign) * r.Format().nBlockAlign;
    if (block == 0)
        return;
    for (int i = 0; i < blocks && r.Read(buf.data(), block) != 0; ++i) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One in-memory file for the whole run, reopened by path so that the reader takes its real path.
    static const int fd = memfd_create("fuzz-song", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    try {
        TMxAudioFileReader r(path);
        static std::vector<uint8_t> buf(1 << 16);
        ReadSome(r, buf, 64);
        r.Seek(r.Duration() / 2);
        ReadSome(r, buf, 4);
        r.SetStart(r.Duration() / 4);
        r.SetLength(r.Duration() / 3 + 1);
        r.Seek(0);
        ReadSome(r, buf, 64);
        r.Seek(INT64_MAX);
        ReadSome(r, buf, 1);
    } catch (const EAudioReadError&) {
    }
    return 0;
}
