// Where the program keeps its playlists: beside a build's or a portable copy's executable, and in the
// user's data folder for an installed or read-only one; the help found beside it or installed.
#include "app/DataFolder.h"
#include "app/Unit1.h"
#include "tests/app/Processes.h"
#include "tests/support/Fixtures.h"

#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <filesystem>

using testsupport::TempDir;
namespace fs = std::filesystem;

namespace {

QByteArray Bytes(const fs::path& path)
{
    return QByteArray::fromStdString(path.string());
}

void Touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    testsupport::WriteBytes(file, {'x'});
}

} // namespace

TEST(DataFolder, BesideAWritableExecutableElseInTheUsersDataFolder)
{
    TempDir dir;
    const QByteArray data = Bytes(dir.file("data"));
    qputenv("XDG_DATA_HOME", data);

    // A build folder or a portable copy: its own folder, and the help beside it.
    const fs::path portable = dir.file("portable");
    Touch(portable / "help.html");
    EXPECT_EQ(DataFolder(Bytes(portable)), Bytes(portable));
    EXPECT_EQ(HelpDocument(Bytes(portable)), Bytes(portable / "help.html"));

    // An installed program (under a prefix of the user's own, so writable): the data folder, made
    // on first use, and the installed help.
    const fs::path prefix = dir.file("prefix");
    Touch(prefix / "share/doc/duodeck/help.html");
    fs::create_directories(prefix / "bin");
    EXPECT_FALSE(fs::exists(dir.file("data")));
    EXPECT_EQ(DataFolder(Bytes(prefix / "bin")), data + "/DuoDeck");
    EXPECT_TRUE(fs::is_directory(dir.file("data") / "DuoDeck"));
    EXPECT_EQ(HelpDocument(Bytes(prefix / "bin")), Bytes(prefix / "bin") + "/../share/doc/duodeck/help.html");

    // A read-only copy, even for root; without XDG_DATA_HOME the data folder is under HOME.
    const fs::path readOnly = dir.file("readonly");
    fs::create_directories(readOnly);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    qunsetenv("XDG_DATA_HOME");
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", Bytes(dir.file("home")));
    EXPECT_EQ(DataFolder(Bytes(readOnly)), Bytes(dir.file("home")) + "/.local/share/DuoDeck");
    qputenv("HOME", home);
}

// The real program copied into a read-only folder keeps its lists in the data folder and reads
// them back at the next start.
TEST(DataFolder, AReadOnlyCopyOfTheProgramKeepsItsListsInTheDataFolder)
{
    TempDir dir;
    const fs::path folder = dir.file("readonly");
    fs::create_directories(folder);
    ASSERT_TRUE(QFile::copy(DUODECK_EXE, QString::fromStdString((folder / "duodeck").string())));
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    const fs::path lists = dir.file("data") / "DuoDeck";
    fs::create_directories(lists);
    const std::string line = "/music/kept.mp3\r\n";
    testsupport::WriteBytes(lists / LeftPathsFile, std::vector<uint8_t>(line.begin(), line.end()));

    for (int run = 0; run < 2; ++run) {
        QProcess copy;
        QProcessEnvironment environment =
            apptest::CopyEnvironment(QString::fromStdString(dir.path().string()), "offscreen");
        environment.insert("XDG_DATA_HOME", QString::fromStdString(dir.file("data").string()));
        copy.setProcessEnvironment(environment);
        copy.start(QString::fromStdString((folder / "duodeck").string()), {});
        ASSERT_TRUE(copy.waitForStarted(10000));
        QThread::msleep(1500); // the windows are built and the lists read
        copy.terminate();      // closes as the Close button does: the lists are written back
        ASSERT_TRUE(copy.waitForFinished(10000));
        EXPECT_EQ(copy.exitCode(), 0) << copy.readAllStandardError().constData();
        EXPECT_EQ(testsupport::ReadBytes(lists / LeftPathsFile), std::vector<uint8_t>(line.begin(), line.end()));
        const std::string name = "kept.mp3\r\n";
        EXPECT_EQ(testsupport::ReadBytes(lists / LeftNamesFile), std::vector<uint8_t>(name.begin(), name.end()));
        EXPECT_FALSE(fs::exists(folder / LeftPathsFile));
    }
    fs::permissions(folder, fs::perms::owner_all);
}

// The data folder and the folders made above it are the user's alone (XDG's 0700); one that cannot
// be made, or no HOME and no XDG_DATA_HOME, is said at once instead of at Close.
TEST(DataFolder, MadePrivateAndAFailureSaysWhy)
{
    TempDir dir;
    const fs::path readOnly = dir.file("readonly");
    fs::create_directories(readOnly);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    const QByteArray home = qgetenv("HOME");
    qunsetenv("XDG_DATA_HOME");
    qputenv("HOME", Bytes(dir.file("home")));
    std::string problem;
    EXPECT_EQ(DataFolder(Bytes(readOnly), &problem), Bytes(dir.file("home")) + "/.local/share/DuoDeck");
    EXPECT_EQ(problem, "");
    for (const char* made : {"home/.local", "home/.local/share", "home/.local/share/DuoDeck"})
        EXPECT_EQ(fs::status(dir.file(made)).permissions() & fs::perms::all, fs::perms::owner_all) << made;

    testsupport::WriteBytes(dir.file("file"), {'x'});
    qputenv("HOME", Bytes(dir.file("file")));
    DataFolder(Bytes(readOnly), &problem);
    EXPECT_EQ(problem, "Cannot create the folder " + dir.file("file").string() +
                           "/.local/share/DuoDeck: Not a directory; the playlists cannot be kept.");

    // No HOME: a writable program folder keeps the lists, a read-only one cannot.
    qunsetenv("HOME");
    problem.clear();
    const fs::path installed = dir.file("prefix/bin");
    fs::create_directories(installed);
    Touch(dir.file("prefix/share/doc/duodeck/help.html"));
    EXPECT_EQ(DataFolder(Bytes(installed), &problem), Bytes(installed));
    EXPECT_EQ(problem, "");
    DataFolder(Bytes(readOnly), &problem);
    EXPECT_NE(problem.find("Neither HOME nor XDG_DATA_HOME is set"), std::string::npos) << problem;
    qputenv("HOME", home);
    fs::permissions(readOnly, fs::perms::owner_all);
}
