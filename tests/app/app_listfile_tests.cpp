// The playlist files: line endings read and written, bytes kept, missing and unwritable files.
#include "app/ListFile.h"
#include "platform/kernel/Exceptions.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using testsupport::TempDir;

namespace {
QByteArray Path(const TempDir& dir, const char* name)
{
    return QByteArray::fromStdString(dir.file(name).string());
}
} // namespace

TEST(ListFile, LinesEndAtCrLfOrCrLf)
{
    // Line feeds only, and no ending after the last line.
    EXPECT_EQ(ParseListText("a\nb"), QByteArrayList({"a", "b"}));
    EXPECT_EQ(ParseListText("a\rb\r"), QByteArrayList({"a", "b"}));
    EXPECT_EQ(ParseListText("a\r\nb\r\n"), QByteArrayList({"a", "b"}));
    // CR then CR LF are two endings: an empty entry between; likewise LF LF.
    EXPECT_EQ(ParseListText("a\r\r\nb\n\nc"), QByteArrayList({"a", "", "b", "", "c"}));
    // LF CR is two endings, not one.
    EXPECT_EQ(ParseListText("a\n\rb"), QByteArrayList({"a", "", "b"}));
    EXPECT_EQ(ParseListText(""), QByteArrayList());
    EXPECT_EQ(ParseListText("\r\n"), QByteArrayList({""}));
    EXPECT_EQ(ParseListText("lone"), QByteArrayList({"lone"}));
}

TEST(ListFile, WrittenBackEveryEntryEndsWithCrLf)
{
    TempDir dir;
    testsupport::WriteBytes(dir.file("Listbox1.ini"), {'a', '\n', 'b'});
    const QByteArrayList entries = LoadListFile(Path(dir, "Listbox1.ini"));
    ASSERT_EQ(entries, QByteArrayList({"a", "b"}));
    SaveListFile(Path(dir, "Listbox1.ini"), entries);
    const std::vector<uint8_t> expected{'a', '\r', '\n', 'b', '\r', '\n'};
    EXPECT_EQ(testsupport::ReadBytes(dir.file("Listbox1.ini")), expected);

    SaveListFile(Path(dir, "empty.ini"), {});
    EXPECT_TRUE(testsupport::ReadBytes(dir.file("empty.ini")).empty());
    EXPECT_EQ(LoadListFile(Path(dir, "empty.ini")), QByteArrayList());
}

TEST(ListFile, EntriesAreKeptAsBytes)
{
    TempDir dir;
    // Not valid UTF-8, blanks at both ends, and the old platform's separators: all kept as they are.
    const QByteArrayList entries{QByteArray("/m\xE9lange/caf\xC3\xA9.mp3"), " spaced .wav ", "C:\\old\\a.mp3", ""};
    SaveListFile(Path(dir, "FileListLeft.ini"), entries);
    EXPECT_EQ(LoadListFile(Path(dir, "FileListLeft.ini")), entries);
}

TEST(ListFile, MissingFileIsAnEmptyList)
{
    TempDir dir;
    EXPECT_EQ(LoadListFile(Path(dir, "FileListRight.ini")), QByteArrayList());
}

TEST(ListFile, FailedWriteRaisesAndKeepsTheOldFile)
{
    TempDir dir;
    const QByteArray missingFolder = Path(dir, "gone") + "/FileListLeft.ini";
    try {
        SaveListFile(missingFolder, {"a"});
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + missingFolder.toStdString() + "\".", 0), 0u)
            << e.Message();
    }
    // A folder in the file's place cannot be replaced; the folder stays as it was.
    std::filesystem::create_directory(dir.file("Listbox2.ini"));
    EXPECT_THROW(SaveListFile(Path(dir, "Listbox2.ini"), {"b"}), Exception);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("Listbox2.ini")));
}

TEST(ListFile, FullDiskRaisesWithTheReasonAndKeepsTheOldFileAndNoTemporary)
{
    TempDir dir;
    SaveListFile(Path(dir, "FileListRight.ini"), {"/music/one.mp3", "/music/two.mp3"});
    const auto before = testsupport::ReadBytes(dir.file("FileListRight.ini"));
    try {
        testsupport::FileSizeLimit full(10);
        SaveListFile(Path(dir, "FileListRight.ini"), {"/music/three.mp3"});
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Cannot create file \"" + Path(dir, "FileListRight.ini").toStdString() + "\". "),
                  std::string::npos);
        EXPECT_NE(e.Message().find("File too large"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(testsupport::ReadBytes(dir.file("FileListRight.ini")), before);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 1);
}

// A list that is a link is written through only where the link and its target are the user's own;
// a link planted by someone else (in a shared folder) is replaced itself and its target untouched.
TEST(ListFile, ALinkIsWrittenThroughOnlyWhenItAndItsTargetAreTheUsers)
{
    TempDir dir;
    const auto target = dir.file("target.ini");
    testsupport::WriteBytes(target, {'o', 'l', 'd'});
    std::filesystem::create_symlink(target, dir.file("own.ini"));
    SaveListFile(Path(dir, "own.ini"), {"a"});
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("own.ini")));
    EXPECT_EQ(testsupport::ReadBytes(target), (std::vector<uint8_t>{'a', '\r', '\n'}));

    std::filesystem::create_symlink(target, dir.file("planted.ini"));
    if (::geteuid() != 0 || ::lchown(dir.file("planted.ini").c_str(), 65534, 65534) != 0)
        GTEST_SKIP() << "a link of another user needs root to make";
    SaveListFile(Path(dir, "planted.ini"), {"b"});
    EXPECT_FALSE(std::filesystem::is_symlink(dir.file("planted.ini")));
    EXPECT_EQ(testsupport::ReadBytes(dir.file("planted.ini")), (std::vector<uint8_t>{'b', '\r', '\n'}));
    EXPECT_EQ(testsupport::ReadBytes(target), (std::vector<uint8_t>{'a', '\r', '\n'}));
}

TEST(ListFile, ANewFileGetsTheUsualModeLessTheUmask)
{
    TempDir dir;
    const mode_t mask = ::umask(027);
    SaveListFile(Path(dir, "new.ini"), {"a"});
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("new.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}
