// Song files dropped from a file manager on a playlist box: they join that deck's playlist as the add
// button adds them, and whatever is left out is named in one message.
#include "platform/ui/ErrorDisplay.h"
#include "playlist/Playlist.h"
#include "playlist/UnitList.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

struct Lists {
    QByteArrayList Paths, Names;
    int32_t Index = 0;
};

// A drag that enters `box` and drops `files` there; false when the box refuses the drag.
bool Drop(TFlatListBox* box, const QStringList& files)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& file : files)
        urls.append(QUrl::fromLocalFile(file));
    data.setUrls(urls);
    const QPoint at = box->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &drop);
    return drop.isAccepted();
}

} // namespace

TEST(PlaylistDrop, SongsJoinTheDeckTheyAreDroppedOnAndOtherFilesAreNamedInOneMessage)
{
    Lists left, right;
    TFormList form;
    form.SetPlaylists({&left.Paths, &left.Names, &left.Index}, {&right.Paths, &right.Names, &right.Index});
    std::vector<std::string> messages;
    const ErrorDisplay previous = SetErrorDisplay([&](const std::string& m) { messages.push_back(m); });

    ASSERT_TRUE(Drop(form.FlatListBox2, {"/music/a.mp3", "/notes/todo.txt", "/music/b.WAV", "/music/c"}));
    EXPECT_EQ(right.Paths, QByteArrayList({"/music/a.mp3", "/music/b.WAV"}));
    EXPECT_EQ(right.Names, QByteArrayList({"a.mp3", "b.WAV"}));
    EXPECT_EQ(form.FlatListBox2->Items().Count(), 2);
    EXPECT_TRUE(form.FlatListBox2->Selected(0));
    EXPECT_TRUE(left.Paths.isEmpty());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("\"todo.txt\", \"c\""), std::string::npos) << messages[0];
    EXPECT_EQ(messages[0].find("a.mp3"), std::string::npos) << messages[0];

    // The other formats the reader decodes join too; a name with a line break is refused as the
    // add button refuses it, in the same one message.
    messages.clear();
    ASSERT_TRUE(
        Drop(form.FlatListBox1, {"/music/d.flac", "/music/e.opus", "/music/h.M4A", "/music/f\nx.mp3", "/music/g.png"}));
    EXPECT_EQ(left.Paths, QByteArrayList({"/music/d.flac", "/music/e.opus", "/music/h.M4A"}));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("line break"), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("\"g.png\""), std::string::npos) << messages[0];
    EXPECT_EQ(right.Paths.size(), 2);

    // Nothing but songs: no message at all.
    messages.clear();
    ASSERT_TRUE(Drop(form.FlatListBox1, {"/music/h.ogg"}));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(left.Paths.size(), 4);
    SetErrorDisplay(previous);
}
