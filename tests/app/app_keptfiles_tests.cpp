// The files read at start in a data folder other users can write to (a portable copy in a shared
// sticky folder): a link another user planted there is not read through, nothing of its target
// reaches a file the program writes, and what the program creates there only the user can read.
#include "app/Settings.h"
#include "app/Unit1.h"
#include "decks/TempoAnalyser.h"
#include "engine/Engine.h"
#include "tests/support/Fixtures.h"

#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QSlider>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* kSecret = "secret-7d1c";

struct TKeptFileCase {
    const char* Name;
    // The target's contents in the file's own format, with kSecret in them; `song` is a file the
    // tempo cache may name.
    std::string (*Contents)(const std::string& song);
    // Whether the open form took the contents in; null where that cannot be seen (a names file is
    // rebuilt from the paths whenever it does not match them).
    bool (*Taken)(TFormMain& form, const std::string& song);
};

std::string ListContents(const std::string&)
{
    return "/music/" + std::string(kSecret) + ".mp3\r\n";
}

bool Holds(const QByteArrayList& list)
{
    return list.contains("/music/" + QByteArray(kSecret) + ".mp3");
}

std::string CacheContents(const std::string& song)
{
    struct stat st {};
    ::stat(song.c_str(), &st);
    return "DuoDeck tempo cache 3\n" + std::to_string(st.st_size) + ' ' +
           std::to_string(int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec) + " R - - - 1 0 128 0.5 " +
           QByteArray::fromStdString(song).toPercentEncoding().toStdString() + '\n';
}

const TKeptFileCase kCases[] = {
    {LeftPathsFile, ListContents, [](TFormMain&, const std::string&) { return Holds(LeftPaths); }},
    {RightPathsFile, ListContents, [](TFormMain&, const std::string&) { return Holds(RightPaths); }},
    {LeftNamesFile, ListContents, nullptr},
    {RightNamesFile, ListContents, nullptr},
    {SettingsFile,
     [](const std::string&) { return "[Headphones]\nOutput=split\nDescription=" + std::string(kSecret) + "\n"; },
     [](TFormMain& form, const std::string&) { return form.Headphones().Description == kSecret; }},
    {TTempoAnalyser::CacheFile, CacheContents,
     [](TFormMain& form, const std::string& song) { return form.TempoAnalyser->Lookup(song).has_value(); }},
};

std::string Text(const fs::path& file)
{
    const auto bytes = testsupport::ReadBytes(file);
    return {bytes.begin(), bytes.end()};
}

void WriteText(const fs::path& file, const std::string& text)
{
    testsupport::WriteBytes(file, std::vector<uint8_t>(text.begin(), text.end()));
}

class KeptFiles : public ::testing::TestWithParam<TKeptFileCase> {
protected:
    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        // The song the cache names, and one to analyse: neither needs to be a song.
        song = dir.file(std::string(kSecret) + ".wav").string();
        WriteText(song, "not a song");
        WriteText(dir.file("other.wav"), "not a song either");
        target = dir.file("target");
        WriteText(target, GetParam().Contents(song));
        mask = ::umask(022); // the usual one: a file created 0666 is readable by every user
    }
    void TearDown() override
    {
        form.reset();
        ::umask(mask);
        engine::Engine::Reset();
    }
    void Open(const fs::path& folder)
    {
        testing::internal::CaptureStderr();
        form = std::make_unique<TFormMain>(QByteArray::fromStdString(folder.string()));
        console = testing::internal::GetCapturedStderr();
    }
    // Everything a file of its kind is written on: the lists at Close, the settings on a change in
    // the dialog, the cache after an analysis.
    void UseAndClose()
    {
        form->HeadphonesDialogExecute = [](QDialog* dialog) { dialog->findChild<QSlider*>("Level")->setValue(80); };
        form->ShowHeadphonesDialog();
        form->TempoAnalyser->Request(dir.file("other.wav").string(), true);
        QElapsedTimer clock;
        clock.start();
        while (form->TempoAnalyser->Analyses() == 0 && clock.elapsed() < 30000) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_EQ(form->TempoAnalyser->Analyses(), 1);
        form->close();
        form.reset(); // joins the analysis thread, whose last save is then done
    }

    testsupport::TempDir dir;
    std::string song;
    fs::path target;
    mode_t mask = 0;
    std::unique_ptr<TFormMain> form;
    std::string console;
};

} // namespace

TEST_P(KeptFiles, OnlyOurOwnLinkToOurOwnFileIsReadAndNothingOfAPlantedLinksTargetIsWritten)
{
    if (GetParam().Taken) {
        const fs::path own = dir.file("own");
        fs::create_directory(own);
        fs::create_symlink(target, own / GetParam().Name);
        Open(own);
        EXPECT_TRUE(GetParam().Taken(*form, song)) << console;
        form.reset();
    }

    if (::geteuid() != 0)
        GTEST_SKIP() << "a folder and a link of another user need root to make";
    // A shared folder like the system's temporary one: another user's, writable by all, sticky.
    const fs::path shared = dir.file("shared");
    fs::create_directory(shared);
    ASSERT_EQ(::chown(shared.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const fs::path planted = shared / GetParam().Name;
    fs::create_symlink(target, planted);
    ASSERT_EQ(::lchown(planted.c_str(), 65534, 65534), 0);
    const std::string before = Text(target);

    Open(shared);
    if (GetParam().Taken) {
        EXPECT_FALSE(GetParam().Taken(*form, song));
    }
    // One line says why, naming the file.
    const size_t said = console.find("made by another user");
    EXPECT_NE(said, std::string::npos) << console;
    if (said != std::string::npos) {
        const size_t line = console.rfind('\n', said) == std::string::npos ? 0 : console.rfind('\n', said) + 1;
        EXPECT_NE(console.substr(line, said - line).find(GetParam().Name), std::string::npos) << console;
        EXPECT_EQ(console.find("made by another user", said + 1), std::string::npos) << console;
    }
    UseAndClose();

    EXPECT_EQ(Text(target), before);
    for (const auto& entry : fs::directory_iterator(shared)) {
        struct stat st {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
        if (!S_ISREG(st.st_mode))
            continue;
        EXPECT_EQ(Text(entry.path()).find(kSecret), std::string::npos) << entry.path();
        if (st.st_uid == ::geteuid()) {
            EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, KeptFiles, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TKeptFileCase>& info) {
                             std::string name = info.param.Name;
                             std::erase(name, '.');
                             return name;
                         });
