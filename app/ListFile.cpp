#include "app/ListFile.h"

#include "platform/kernel/KeptFile.h"

#include <cstdio>

QByteArrayList ParseListText(const QByteArray& text)
{
    QByteArrayList entries;
    const qsizetype size = text.size();
    qsizetype start = 0;
    while (start < size) {
        qsizetype end = start;
        while (end < size && text[end] != '\r' && text[end] != '\n')
            ++end;
        entries.append(text.mid(start, end - start));
        if (end < size && text[end] == '\r' && end + 1 < size && text[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return entries;
}

QByteArray FormatListText(const QByteArrayList& entries)
{
    QByteArray text;
    for (const QByteArray& entry : entries) {
        text += entry;
        text += "\r\n";
    }
    return text;
}

QByteArrayList LoadListFile(const QByteArray& path)
{
    std::string problem;
    const std::optional<std::string> text = ReadKeptFile(path.toStdString(), problem);
    if (!text) {
        if (!problem.empty())
            std::fprintf(stderr, "DuoDeck: %s is not read (%s); the list starts empty.\n", path.constData(),
                         problem.c_str());
        return {};
    }
    return ParseListText(QByteArray::fromStdString(*text));
}

void SaveListFile(const QByteArray& path, const QByteArrayList& entries)
{
    ReplaceKeptFile(path.toStdString(), FormatListText(entries).toStdString());
}
