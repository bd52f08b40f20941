#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage/file_store.h"
#include "storage/settings_codec.h"

using namespace corvell;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

class FileStore : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "corvell-store-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        set_before_rename_hook(nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    static std::string contents(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static void put(const std::string& p, const std::string& bytes) {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<std::string> temporaries() const {
        std::vector<std::string> names;
        for (const auto& n : entries()) {
            if (n.find(".tmp") != std::string::npos) names.push_back(n);
        }
        return names;
    }

    // Runs `body` in a child process and returns its wait status.
    static int in_child(const std::function<int()>& body) {
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(body());
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    fs::path dir_;
};

}  // namespace

TEST_F(FileStore, RoundTripWithZeroBytes) {
    const std::string bytes = encode_profile(FocuserProfile{});
    std::string error = "stale";
    ASSERT_TRUE(save_file_atomically(path("fc00001.df1"), bytes, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(read_file_head(path("fc00001.df1"), kSettingsReadLimit), bytes);
    EXPECT_EQ(contents(path("fc00001.df1")), bytes);

    struct stat st;
    ASSERT_EQ(::stat(path("fc00001.df1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(entries(), std::vector<std::string>{"fc00001.df1"});  // no temporary left
}

TEST_F(FileStore, RewriteReplacesTheWholeFile) {
    std::string error;
    ASSERT_TRUE(save_file_atomically(path("focuser.dc1"), std::string(500, 'L'), error)) << error;
    ASSERT_TRUE(save_file_atomically(path("focuser.dc1"), "0\0" "1\0"s, error)) << error;
    EXPECT_EQ(contents(path("focuser.dc1")), "0\0" "1\0"s);
    ASSERT_TRUE(save_file_atomically(path("focuser.dc1"), "", error)) << error;
    EXPECT_EQ(read_file_head(path("focuser.dc1"), 1024), "");
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileStore, RelativePathSavesIntoTheWorkingDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    std::string error;
    const bool saved = save_file_atomically("focuser.dc1", "rel\0"s, error);
    fs::current_path(before);
    ASSERT_TRUE(saved) << error;
    EXPECT_EQ(contents(path("focuser.dc1")), "rel\0"s);
}

TEST_F(FileStore, ReadFileHeadReadsAtMostTheLimit) {
    std::string big;
    for (int i = 0; i < 3000; ++i) big.push_back(static_cast<char>(i % 251));
    put(path("big"), big);
    EXPECT_EQ(read_file_head(path("big"), 1024), big.substr(0, 1024));
    EXPECT_EQ(read_file_head(path("big"), 10000), big);
    EXPECT_EQ(read_file_head(path("big"), 0), "");
    put(path("empty"), "");
    EXPECT_EQ(read_file_head(path("empty"), 1024), "");
    EXPECT_FALSE(read_file_head(path("missing"), 1024).has_value());
    EXPECT_FALSE(read_file_head(dir_.string(), 1024).has_value());  // a directory
}

TEST_F(FileStore, CrashBeforeTheRenameKeepsTheOldFile) {
    const std::string old = encode_config(ProgramConfig{});
    put(path("focuser.dc1"), old);
    ProgramConfig changed;
    changed.portIndex = 4;
    const std::string fresh = encode_config(changed);

    const int status = in_child([&] {
        set_before_rename_hook([] { ::_exit(42); });
        std::string error;
        save_file_atomically(path("focuser.dc1"), fresh, error);
        return 1;  // the hook did not run
    });
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 42);
    EXPECT_EQ(contents(path("focuser.dc1")), old);
    // The temporary holds the complete new bytes; it was just never renamed.
    const auto stale = temporaries();
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(stale[0].rfind(".focuser.dc1.tmp", 0), 0u);
    EXPECT_EQ(contents(path(stale[0])), fresh);

    // A later save still works beside the stale temporary.
    std::string error;
    ASSERT_TRUE(save_file_atomically(path("focuser.dc1"), fresh, error)) << error;
    EXPECT_EQ(contents(path("focuser.dc1")), fresh);
}

TEST_F(FileStore, FailedWriteKeepsTheOldFileAndReports) {
    const std::string old = "old settings\0"s;
    put(path("focuser.dc1"), old);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);

    const int status = in_child([&] {
        ::close(pipeFds[0]);
        // A file size limit stops writes even for root; ignore the signal
        // so that write() fails with EFBIG instead.
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4, 4};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
        std::string error;
        const bool saved = save_file_atomically(path("focuser.dc1"), std::string(100, 'N'), error);
        (void)!::write(pipeFds[1], error.data(), error.size());
        return saved ? 1 : 0;
    });
    ::close(pipeFds[1]);
    std::string error;
    char buf[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) error.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save did not report failure";
    EXPECT_EQ(error, "Cannot save focuser.dc1: File too large");
    EXPECT_EQ(contents(path("focuser.dc1")), old);
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileStore, MissingDirectoryFailsCleanly) {
    std::string error;
    EXPECT_FALSE(save_file_atomically(path("no-such-dir/fc00001.df1"), "x\0"s, error));
    EXPECT_EQ(error, "Cannot save fc00001.df1: No such file or directory");
    EXPECT_TRUE(entries().empty());
}

TEST_F(FileStore, SavingOverADirectoryFailsAndRemovesTheTemporary) {
    fs::create_directory(path("focuser.dc1"));
    std::string error;
    EXPECT_FALSE(save_file_atomically(path("focuser.dc1"), "x\0"s, error));
    EXPECT_EQ(error.rfind("Cannot save focuser.dc1: ", 0), 0u) << error;
    EXPECT_TRUE(temporaries().empty());
    EXPECT_TRUE(fs::is_directory(path("focuser.dc1")));
}

TEST_F(FileStore, ExistsAndRemove) {
    EXPECT_FALSE(file_exists(path("focuser.dat")));
    put(path("focuser.dat"), "legacy");
    EXPECT_TRUE(file_exists(path("focuser.dat")));

    std::string error = "stale";
    EXPECT_TRUE(remove_file(path("focuser.dat"), error));
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(file_exists(path("focuser.dat")));

    EXPECT_FALSE(remove_file(path("focuser.dat"), error));
    EXPECT_EQ(error, "Cannot delete focuser.dat: No such file or directory");
}
