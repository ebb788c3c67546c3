#include "base/IniFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune;
namespace fs = std::filesystem;

namespace {

class IniFileDisk : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestrune-ini-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        mDir = pattern;
        mPath = (mDir / "Kestrune.ini").string();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(mDir, ec);
    }

    static void WriteFile(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    // Everything in the directory, so that a left-behind temporary shows.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(mDir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static TIniFile Sample(const std::string& host) {
        TIniFile file;
        file.AddSection("Kestrune").Add("Top", "1");
        TIniSection& office = file.AddSection("Office");
        office.Add("Type", "Proxy");
        office.Add("Host", host);
        return file;
    }

    fs::path mDir;
    std::string mPath;
};

} // namespace

TEST_F(IniFileDisk, MissingIsToldApartFromUnreadable) {
    TIniLoadResult missing = TIniFile::Load(mPath);
    EXPECT_EQ(missing.Status, TIniLoadStatus::Missing);
    EXPECT_EQ(missing.Reason, "");

    // A path through a file cannot name an existing file either.
    WriteFile((mDir / "plain").string(), "x");
    EXPECT_EQ(TIniFile::Load((mDir / "plain" / "Kestrune.ini").string()).Status,
              TIniLoadStatus::Missing);

    fs::create_directory(mPath);
    TIniLoadResult directory = TIniFile::Load(mPath);
    EXPECT_EQ(directory.Status, TIniLoadStatus::Failed);
    EXPECT_NE(directory.Reason.find(mPath), std::string::npos) << directory.Reason;
    EXPECT_NE(directory.Reason.find("Is a directory"), std::string::npos) << directory.Reason;
    fs::remove(mPath);

    // A FIFO would block a plain open and read until a writer came.
    ASSERT_EQ(::mkfifo(mPath.c_str(), 0600), 0);
    TIniLoadResult fifo = TIniFile::Load(mPath);
    EXPECT_EQ(fifo.Status, TIniLoadStatus::Failed);
    EXPECT_NE(fifo.Reason.find("not a regular file"), std::string::npos) << fifo.Reason;
    fs::remove(mPath);

    WriteFile(mPath, "");
    fs::resize_file(mPath, TIniFile::MaxFileSize + 1);
    TIniLoadResult large = TIniFile::Load(mPath);
    EXPECT_EQ(large.Status, TIniLoadStatus::Failed);
    EXPECT_NE(large.Reason.find("larger than"), std::string::npos) << large.Reason;

    WriteFile(mPath, "");
    TIniLoadResult empty = TIniFile::Load(mPath);
    EXPECT_EQ(empty.Status, TIniLoadStatus::Loaded);
    EXPECT_TRUE(empty.File.Sections().empty());
}

TEST_F(IniFileDisk, SaveReplacesTheFileAndKeepsItsModeAndLinks) {
    WriteFile(mPath, "[Old]\r\nKey=value\r\n");
    ASSERT_EQ(::chmod(mPath.c_str(), 0600), 0); // it holds passwords in clear
    const TIniFile file = Sample("10.0.0.1");
    ASSERT_EQ(file.Save(mPath), std::nullopt);

    EXPECT_EQ(ReadFile(mPath), file.ToBytes());
    struct stat info {};
    ASSERT_EQ(::stat(mPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Kestrune.ini"});

    TIniLoadResult loaded = TIniFile::Load(mPath);
    ASSERT_EQ(loaded.Status, TIniLoadStatus::Loaded);
    ASSERT_NE(loaded.File.FindSection("Office"), nullptr);
    EXPECT_EQ(loaded.File.FindSection("Office")->Value("Host", TIniOccurrence::First), "10.0.0.1");

    // A new file is private whatever the umask allows: it may hold passwords.
    const std::string fresh = (mDir / "fresh.ini").string();
    const mode_t umask = ::umask(0);
    ASSERT_EQ(file.Save(fresh), std::nullopt);
    ::umask(umask);
    ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    fs::remove(fresh);

    // Through a symbolic link the named file is replaced and the link stays.
    const std::string link = (mDir / "link.ini").string();
    fs::create_symlink(mPath, link);
    ASSERT_EQ(Sample("10.0.0.2").Save(link), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(mPath), Sample("10.0.0.2").ToBytes());
    EXPECT_EQ(Entries(), (std::vector<std::string>{"Kestrune.ini", "link.ini"}));
}

TEST_F(IniFileDisk, FailedSaveReportsWhyAndLeavesNothingBehind) {
    const TIniFile file = Sample("10.0.0.1");

    // The directory does not exist.
    const std::string nowhere = (mDir / "gone" / "Kestrune.ini").string();
    const std::optional<std::string> noDir = file.Save(nowhere);
    ASSERT_TRUE(noDir.has_value());
    EXPECT_NE(noDir->find("No such file or directory"), std::string::npos) << *noDir;
    EXPECT_FALSE(fs::exists(mDir / "gone"));

    // The target is a directory: it cannot be replaced by a file.
    fs::create_directory(mPath);
    WriteFile((fs::path(mPath) / "inside").string(), "keep");
    const std::optional<std::string> isDir = file.Save(mPath);
    ASSERT_TRUE(isDir.has_value());
    EXPECT_NE(isDir->find(mPath), std::string::npos) << *isDir;
    EXPECT_EQ(ReadFile((fs::path(mPath) / "inside").string()), "keep");
    EXPECT_EQ(Entries(), std::vector<std::string>{"Kestrune.ini"});
}

// A disk that fills up half-way through the write: the old file must survive
// whole. A file size limit makes write() fail the same way, even for root.
TEST_F(IniFileDisk, WriteFailureKeepsTheOldFile) {
    const std::string old = "[Kestrune]\r\nTop=1\r\n\r\n[Office]\r\nType=Proxy\r\n\r\n";
    WriteFile(mPath, old);
    TIniFile big = Sample("10.0.0.1");
    big.AddSection("Padding").Add("Text", std::string(4096, 'x'));

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::optional<std::string> failure = big.Save(mPath);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->find("cannot write"), std::string::npos) << *failure;
    EXPECT_NE(failure->find("File too large"), std::string::npos) << *failure;
    EXPECT_EQ(ReadFile(mPath), old);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Kestrune.ini"});
}
