// The entries of a flat list box: an ordered list of display strings that reports every change to
// its owner, optionally kept sorted. UI thread only, like the list box that owns it.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class TListItems {
public:
    int Count() const { return int(FList.size()); }
    // Index checks raise Exception("List index out of bounds (i)").
    const QString& operator[](int index) const;
    const QString& Strings(int index) const { return (*this)[index]; }
    void Put(int index, const QString& s);
    const QStringList& List() const { return FList; }

    // In a sorted list Add and Insert place the entry at its sorted position (case-insensitive).
    int Add(const QString& s);
    void Insert(int index, const QString& s);
    void AddStrings(const QStringList& list);
    void Delete(int index);
    void Clear();
    void Assign(const QStringList& list);
    int IndexOf(const QString& s) const;

    bool Sorted() const { return FSorted; }
    void SetSorted(bool value);

    // Changes between BeginUpdate and the matching EndUpdate are reported once, at the end.
    void BeginUpdate() { ++FUpdating; }
    void EndUpdate();

    std::function<void()> OnChange;

private:
    void CheckIndex(int index, int limit) const;
    int SortedIndexOf(const QString& s) const;
    void Changed();

    QStringList FList;
    bool FSorted = false;
    int FUpdating = 0;
    bool FPending = false;
};
