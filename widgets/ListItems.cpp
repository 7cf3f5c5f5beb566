#include "widgets/ListItems.h"

#include "platform/kernel/Exceptions.h"

#include <algorithm>
#include <string>

namespace {
bool Less(const QString& a, const QString& b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}
} // namespace

void TListItems::CheckIndex(int index, int limit) const
{
    if (index < 0 || index > limit)
        throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

const QString& TListItems::operator[](int index) const
{
    CheckIndex(index, Count() - 1);
    return FList[index];
}

int TListItems::SortedIndexOf(const QString& s) const
{
    return int(std::upper_bound(FList.begin(), FList.end(), s, Less) - FList.begin());
}

void TListItems::Changed()
{
    if (FUpdating > 0) {
        FPending = true;
        return;
    }
    if (OnChange)
        OnChange();
}

void TListItems::EndUpdate()
{
    if (FUpdating > 0 && --FUpdating == 0 && FPending) {
        FPending = false;
        Changed();
    }
}

void TListItems::Put(int index, const QString& s)
{
    CheckIndex(index, Count() - 1);
    if (FSorted) {
        FList.removeAt(index);
        FList.insert(SortedIndexOf(s), s);
    } else {
        FList[index] = s;
    }
    Changed();
}

int TListItems::Add(const QString& s)
{
    const int index = FSorted ? SortedIndexOf(s) : Count();
    FList.insert(index, s);
    Changed();
    return index;
}

void TListItems::Insert(int index, const QString& s)
{
    CheckIndex(index, Count());
    FList.insert(FSorted ? SortedIndexOf(s) : index, s);
    Changed();
}

void TListItems::AddStrings(const QStringList& list)
{
    BeginUpdate();
    for (const QString& s : list)
        Add(s);
    EndUpdate();
}

void TListItems::Delete(int index)
{
    CheckIndex(index, Count() - 1);
    FList.removeAt(index);
    Changed();
}

void TListItems::Clear()
{
    if (FList.isEmpty())
        return;
    FList.clear();
    Changed();
}

void TListItems::Assign(const QStringList& list)
{
    BeginUpdate();
    FList.clear();
    FPending = true;
    AddStrings(list);
    EndUpdate();
}

int TListItems::IndexOf(const QString& s) const
{
    for (int i = 0; i < Count(); ++i)
        if (QString::compare(FList[i], s, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

void TListItems::SetSorted(bool value)
{
    if (value == FSorted)
        return;
    FSorted = value;
    if (FSorted) {
        std::stable_sort(FList.begin(), FList.end(), Less);
        Changed();
    }
}
