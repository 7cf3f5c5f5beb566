#include "decks/HotCues.h"

#include "platform/kernel/Exceptions.h"
#include "platform/kernel/KeptFile.h"

#include <QByteArray>
#include <QByteArrayList>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>

namespace {

constexpr const char* kHeader = "DuoDeck hot cues 1";

} // namespace

THotCueStore::THotCueStore(const std::string& dataFolder)
    : FPath(dataFolder.empty() ? std::string() : dataFolder + "/" + CacheFile)
{
    Load();
}

THotCueStore::TCues THotCueStore::Lookup(const std::string& path, uint32_t rate) const
{
    const auto it = FSongs.find(path);
    if (it == FSongs.end())
        return {};
    TCues cues = it->second.Cues;
    if (cues.Rate != rate && cues.Rate != 0 && rate != 0)
        for (int64_t& f : cues.Frames)
            if (f >= 0)
                f = std::llround(double(f) * rate / cues.Rate);
    cues.Rate = rate;
    return cues;
}

void THotCueStore::Store(const std::string& path, const TCues& cues)
{
    bool any = false;
    for (int64_t f : cues.Frames)
        any |= f >= 0;
    if (!any) {
        if (FSongs.erase(path))
            Save();
        return;
    }
    TEntry& e = FSongs[path];
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        e.Size = st.st_size;
        e.MTimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    e.Cues = cues;
    Save();
}

// One line per song: size, modification time (ns), the rate, the eight cues in frames ("-": none),
// and last the path, percent-encoded so that any bytes fit.
void THotCueStore::Load()
{
    if (FPath.empty())
        return;
    std::string problem;
    const std::optional<std::string> text = ReadKeptFile(FPath, problem);
    if (!problem.empty())
        std::fprintf(stderr, "DuoDeck: %s is not read (%s); no hot cues are kept from before.\n", FPath.c_str(),
                     problem.c_str());
    if (!text)
        return;
    const QByteArrayList lines = QByteArray::fromStdString(*text).split('\n');
    if (lines.isEmpty() || lines.front().trimmed() != kHeader)
        return;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayList f = lines[i].trimmed().split(' ');
        if (f.size() != 4 + kCues)
            continue;
        bool ok = true, good = true;
        TEntry e;
        e.Size = f[0].toLongLong(&ok);
        good &= ok;
        e.MTimeNs = f[1].toLongLong(&ok);
        good &= ok;
        e.Cues.Rate = f[2].toUInt(&ok);
        good &= ok && e.Cues.Rate > 0;
        for (int c = 0; c < kCues; ++c) {
            if (f[3 + c] == "-")
                continue;
            e.Cues.Frames[c] = f[3 + c].toLongLong(&ok);
            good &= ok && e.Cues.Frames[c] >= 0;
        }
        if (good)
            FSongs[QByteArray::fromPercentEncoding(f.back()).toStdString()] = e;
    }
}

void THotCueStore::Save() const
{
    if (FPath.empty())
        return;
    QByteArray text = QByteArray(kHeader) + "\n";
    for (const auto& [path, e] : FSongs) {
        text += QByteArray::number(qlonglong(e.Size)) + ' ' + QByteArray::number(qlonglong(e.MTimeNs)) + ' ' +
                QByteArray::number(e.Cues.Rate);
        for (int64_t f : e.Cues.Frames)
            text += ' ' + (f >= 0 ? QByteArray::number(qlonglong(f)) : QByteArray("-"));
        text += ' ' + QByteArray::fromStdString(path).toPercentEncoding() + '\n';
    }
    // Cues that cannot be kept cost only their setting again in a later run.
    try {
        ReplaceKeptFile(FPath, text.toStdString());
    } catch (const Exception& e) {
        std::fprintf(stderr, "DuoDeck: the hot cues are not kept: %s\n", e.Message().c_str());
    }
}
