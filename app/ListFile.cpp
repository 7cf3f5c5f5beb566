#include "app/ListFile.h"

#include "platform/kernel/Exceptions.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

QByteArrayList LoadListFile(const QString& path)
{
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "DuoDeck: cannot read %s (%s); the list starts empty.\n", qPrintable(path),
                     qPrintable(file.errorString()));
        return {};
    }
    return ParseListText(file.readAll());
}

void SaveListFile(const QString& path, const QByteArrayList& entries)
{
    QSaveFile file(path);
    const QByteArray text = FormatListText(entries);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        const QString message = QString("Cannot create file \"%1\". %2").arg(path, file.errorString());
        throw Exception(message.toStdString());
    }
}
