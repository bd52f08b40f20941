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

    // Every temporary a save makes is a hidden file; the tests put none.
    std::vector<std::string> temporaries() const {
        std::vector<std::string> names;
        for (const auto& n : entries()) {
            if (n[0] == '.') names.push_back(n);
        }
        return names;
    }

    static mode_t mode_of(const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : static_cast<mode_t>(-1);
    }

    static ino_t inode_of(const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
    }

    // Runs `body` in a child process and returns its wait status.
    static int in_child(const std::function<int()>& body) {
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(body());
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    // Runs a save in a child process prepared by `setup` (limits, signals,
    // user); the child's exit code says whether the save succeeded (0) or
    // failed (1), or the setup failed (3). `error` gets the save's message.
    static int save_in_child(const std::function<bool()>& setup, const std::string& target, const std::string& bytes,
                             std::string& error) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return -1;
        const int status = in_child([&] {
            ::close(pipeFds[0]);
            if (!setup()) return 3;
            std::string message;
            const bool saved = save_file_atomically(target, bytes, message);
            (void)!::write(pipeFds[1], message.data(), message.size());
            return saved ? 0 : 1;
        });
        ::close(pipeFds[1]);
        error.clear();
        char buf[256];
        for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) error.append(buf, static_cast<size_t>(n));
        ::close(pipeFds[0]);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    ASSERT_TRUE(save_file_atomically(path("focuser.dc1"),
                                     "0\0"
                                     "1\0"s,
                                     error))
        << error;
    EXPECT_EQ(contents(path("focuser.dc1")),
              "0\0"
              "1\0"s);
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
    EXPECT_EQ(stale[0].rfind(".focuser.dc1.corvell-tmp-", 0), 0u) << stale[0];
    EXPECT_EQ(stale[0].size(), std::string(".focuser.dc1.corvell-tmp-").size() + 6) << stale[0];
    EXPECT_EQ(temporary_target(stale[0]), "focuser.dc1");
    EXPECT_EQ(contents(path(stale[0])), fresh);

    // A later save still works beside the stale temporary.
    std::string error;
    ASSERT_TRUE(save_file_atomically(path("focuser.dc1"), fresh, error)) << error;
    EXPECT_EQ(contents(path("focuser.dc1")), fresh);
}

TEST_F(FileStore, FileSizeLimitFailsTheSaveAndKeepsTheOldFile) {
    // A file size limit stops writes even for root. With SIGXFSZ ignored,
    // as the program has it, write() fails with EFBIG: at once (limit 0) or
    // after a short write (limit 4). A limit the bytes fit is no failure.
    struct Case {
        rlim_t limit;
        bool saves;
    };
    const std::string fresh(100, 'N');
    for (const Case c : {Case{0, false}, Case{4, false}, Case{99, false}, Case{100, true}}) {
        const std::string old = "old settings\0"s;
        put(path("focuser.dc1"), old);
        std::string error;
        const int result = save_in_child(
            [&] {
                ::signal(SIGXFSZ, SIG_IGN);
                struct rlimit limit = {c.limit, c.limit};
                return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
            },
            path("focuser.dc1"), fresh, error);
        if (c.saves) {
            EXPECT_EQ(result, 0) << "limit " << c.limit << ": " << error;
            EXPECT_EQ(contents(path("focuser.dc1")), fresh);
        } else {
            EXPECT_EQ(result, 1) << "limit " << c.limit << ": the save did not report failure";
            EXPECT_EQ(error, "Cannot save focuser.dc1: File too large") << "limit " << c.limit;
            EXPECT_EQ(contents(path("focuser.dc1")), old) << "limit " << c.limit;
        }
        EXPECT_TRUE(temporaries().empty()) << "limit " << c.limit;
    }
}

TEST_F(FileStore, ReadOnlyFileIsNeverReplaced) {
    // Tests may run as root, who may write anything: a file without a
    // single write bit is read-only all the same.
    for (const char* name : {"focuser.dc1", "fc00001.df1"}) {
        for (const mode_t mode : {0444, 0400, 0440, 0555, 0000}) {
            const std::string old = "kept\0"s + name;
            put(path(name), old);
            ASSERT_EQ(::chmod(path(name).c_str(), mode), 0);
            const ino_t inode = inode_of(path(name));

            std::string error;
            EXPECT_FALSE(save_file_atomically(path(name), "new\0"s, error)) << std::oct << mode;
            EXPECT_EQ(error, "Cannot save "s + name + ": File is read-only");
            EXPECT_EQ(contents(path(name)), old) << std::oct << mode;
            EXPECT_EQ(mode_of(path(name)), mode) << std::oct << mode;
            EXPECT_EQ(inode_of(path(name)), inode) << "the file was replaced";
            EXPECT_TRUE(temporaries().empty());

            // Made writable again, it saves.
            ASSERT_EQ(::chmod(path(name).c_str(), 0600), 0);
            EXPECT_TRUE(save_file_atomically(path(name), "new\0"s, error)) << error;
            EXPECT_EQ(contents(path(name)), "new\0"s);
            ASSERT_EQ(::unlink(path(name).c_str()), 0);
        }
    }
}

TEST_F(FileStore, FileThisUserMayNotWriteIsNotReplaced) {
    // The directory lets anyone create and rename files, so without the
    // check the rename would replace the file. The file has a write bit,
    // but not one that lets this user write it.
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    const std::string old = "someone else's\0"s;
    put(path("fc00002.df1"), old);
    ASSERT_EQ(::chmod(path("fc00002.df1").c_str(), root ? 0644 : 0464), 0);
    const ino_t inode = inode_of(path("fc00002.df1"));

    std::string error;
    const int result = save_in_child(
        [&] {
            // Root drops to an ordinary user, who may not write a 0644 file
            // of root's.
            return !root || (::setgid(65534) == 0 && ::setuid(65534) == 0);
        },
        path("fc00002.df1"), "new\0"s, error);
    EXPECT_EQ(result, 1) << error;
    EXPECT_EQ(error, "Cannot save fc00002.df1: File is read-only");
    EXPECT_EQ(contents(path("fc00002.df1")), old);
    EXPECT_EQ(inode_of(path("fc00002.df1")), inode);
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileStore, FileMadeReadOnlyDuringTheSaveIsNotReplaced) {
    const std::string old = encode_config(ProgramConfig{});
    put(path("focuser.dc1"), old);
    set_before_rename_hook([this] { ::chmod(path("focuser.dc1").c_str(), 0444); });
    std::string error;
    EXPECT_FALSE(save_file_atomically(path("focuser.dc1"), "new\0"s, error));
    EXPECT_EQ(error, "Cannot save focuser.dc1: File is read-only");
    EXPECT_EQ(contents(path("focuser.dc1")), old);
    EXPECT_EQ(mode_of(path("focuser.dc1")), 0444u);
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileStore, ReplacedFileKeepsItsPermissionBits) {
    for (const mode_t mode : {0600, 0664, 0640, 0604, 0660, 0200, 0777}) {
        put(path("fc00003.df1"), "old\0"s);
        ASSERT_EQ(::chmod(path("fc00003.df1").c_str(), mode), 0);
        std::string error;
        ASSERT_TRUE(save_file_atomically(path("fc00003.df1"), "new\0"s, error)) << error;
        EXPECT_EQ(mode_of(path("fc00003.df1")), mode) << std::oct << mode;
        EXPECT_EQ(contents(path("fc00003.df1")), "new\0"s);
        ASSERT_EQ(::unlink(path("fc00003.df1").c_str()), 0);
    }
    // A new file is readable by all, writable by its owner.
    std::string error;
    ASSERT_TRUE(save_file_atomically(path("fc00004.df1"), "new\0"s, error)) << error;
    EXPECT_EQ(mode_of(path("fc00004.df1")), 0644u);
}

TEST_F(FileStore, LeftoverTemporariesOfOurFilesAreRemovedAndNothingElse) {
    // Two real leftovers: saves that died right before their rename.
    put(path("focuser.dc1"), "config\0"s);
    put(path("fc00001.df1"), "profile 1\0"s);
    put(path("fc00002.df1"), "profile 2\0"s);
    for (const char* name : {"focuser.dc1", "fc00002.df1"}) {
        const int status = in_child([&] {
            set_before_rename_hook([] { ::_exit(42); });
            std::string error;
            save_file_atomically(path(name), "unfinished\0"s, error);
            return 1;
        });
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42);
    }
    ASSERT_EQ(temporaries().size(), 2u);
    const std::vector<std::string> leftovers = temporaries();

    // Everything else stays: our files, other files, and names that only
    // look like our temporaries.
    const std::vector<std::string> keep = {
        ".corvell-tmp-Ab12Cd",               // no target name
        ".fc00001.df1.corvell-tmp-Ab12C",    // random part too short
        ".fc00001.df1.corvell-tmp-Ab12Cde",  // too long
        ".fc00001.df1.corvell-tmp-Ab_2Cd",   // not a letter or digit
        ".fc00001.df1.tmpAb12Cd",            // another program's pattern
        ".fc1.df1.corvell-tmp-Ab12Cd",       // not one of our file names
        ".notes.txt.corvell-tmp-Ab12Cd",     // not one of our file names
        ".focuser.dat.corvell-tmp-Ab12Cd",   // a file we never save
        "fc00001.df1.corvell-tmp-Ab12Cd",    // not hidden
        "focuser.dat",
        "notes.txt",
    };
    for (const auto& name : keep) put(path(name), "keep me");
    fs::create_directory(path(".fc00001.df1.corvell-tmp-Dir123"));               // a directory
    fs::create_symlink("fc00001.df1", path(".fc00001.df1.corvell-tmp-Link12"));  // a link

    std::string error = "stale";
    EXPECT_EQ(remove_leftover_temporaries(dir_.string(), is_settings_file_name, error), 2);
    EXPECT_TRUE(error.empty()) << error;

    std::vector<std::string> expected = keep;
    for (const char* n : {"focuser.dc1", "fc00001.df1", "fc00002.df1", ".fc00001.df1.corvell-tmp-Dir123",
                          ".fc00001.df1.corvell-tmp-Link12"})
        expected.push_back(n);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries(), expected);
    for (const auto& name : leftovers) EXPECT_FALSE(fs::exists(fs::symlink_status(path(name)))) << name;
    EXPECT_EQ(contents(path("fc00001.df1")), "profile 1\0"s);
    EXPECT_EQ(contents(path("fc00002.df1")), "profile 2\0"s);
    EXPECT_EQ(contents(path("focuser.dc1")), "config\0"s);

    // Nothing left to remove.
    EXPECT_EQ(remove_leftover_temporaries(dir_.string(), is_settings_file_name, error), 0);
    EXPECT_TRUE(error.empty()) << error;
    // Which targets count is the caller's choice.
    EXPECT_EQ(remove_leftover_temporaries(
                  dir_.string(), [](const std::string& t) { return t == "notes.txt"; }, error),
              1);
    EXPECT_FALSE(fs::exists(path(".notes.txt.corvell-tmp-Ab12Cd")));
}

TEST_F(FileStore, LeftoverCleanupOfAMissingDirectoryReports) {
    std::string error;
    EXPECT_EQ(remove_leftover_temporaries(path("gone"), is_settings_file_name, error), 0);
    EXPECT_EQ(error, "Cannot clean " + path("gone") + ": No such file or directory");
}

TEST(TemporaryName, TargetOfATemporaryName) {
    EXPECT_EQ(temporary_target(".focuser.dc1.corvell-tmp-a1B2c3"), "focuser.dc1");
    EXPECT_EQ(temporary_target(".fc00001.df1.corvell-tmp-ZZZZZZ"), "fc00001.df1");
    // The target may itself contain the marker.
    EXPECT_EQ(temporary_target("..corvell-tmp-x.corvell-tmp-000000"), ".corvell-tmp-x");
    for (const char* name :
         {"", ".", ".corvell-tmp-abcdef", "..corvell-tmp-abcde", "x.corvell-tmp-abcdef", ".a.corvell-tmp-abc def",
          ".a.corvell-tmp-abcdefg", ".a.corvell_tmp-abcdef", ".a.tmpabcdef", ".a.corvell-tmp-abcdé"}) {
        EXPECT_FALSE(temporary_target(name).has_value()) << name;
    }
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

TEST_F(FileStore, LinkedFileIsSavedThroughTheLink) {
    // The user keeps the real files elsewhere and links them into the data
    // folder: by an absolute link, a relative one, and a chain of two.
    fs::create_directory(path("elsewhere"));
    const std::string elsewhere = path("elsewhere");
    struct Case {
        const char* name;
        std::string linkText;  // what the link in the data folder says
        std::string target;    // the file it finally leads to
    };
    put(elsewhere + "/real2", "");
    fs::create_symlink(elsewhere + "/real2", elsewhere + "/hop");
    const Case cases[] = {
        {"focuser.dc1", elsewhere + "/focuser.dc1", elsewhere + "/focuser.dc1"},
        {"fc00001.df1", "elsewhere/fc00001.df1", elsewhere + "/fc00001.df1"},
        {"fc00002.df1", "elsewhere/hop", elsewhere + "/real2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        put(c.target, "old\0"s);
        ASSERT_EQ(::chmod(c.target.c_str(), 0640), 0);
        fs::create_symlink(c.linkText, path(c.name));

        std::string error;
        ASSERT_TRUE(save_file_atomically(path(c.name), "new\0"s + c.name, error)) << error;
        EXPECT_TRUE(fs::is_symlink(path(c.name))) << "the link was replaced by a plain file";
        EXPECT_EQ(fs::read_symlink(path(c.name)).string(), c.linkText);
        EXPECT_EQ(contents(c.target), "new\0"s + c.name);
        EXPECT_EQ(mode_of(c.target), 0640u);

        // A target made read-only is still never replaced.
        ASSERT_EQ(::chmod(c.target.c_str(), 0444), 0);
        EXPECT_FALSE(save_file_atomically(path(c.name), "newer\0"s, error));
        EXPECT_EQ(error, "Cannot save "s + c.name + ": File is read-only");
        EXPECT_EQ(contents(c.target), "new\0"s + c.name);
    }
    // No temporary is left in either folder.
    EXPECT_TRUE(temporaries().empty());
    for (const auto& e : fs::directory_iterator(elsewhere)) EXPECT_NE(e.path().filename().string()[0], '.') << e.path();

    // A link that leads nowhere is reported and left as it is.
    fs::create_symlink("gone/fc00003.df1", path("fc00003.df1"));
    std::string error;
    EXPECT_FALSE(save_file_atomically(path("fc00003.df1"), "new\0"s, error));
    EXPECT_EQ(error, "Cannot save fc00003.df1: it links to gone/fc00003.df1, which does not exist");
    EXPECT_TRUE(fs::is_symlink(path("fc00003.df1")));
    EXPECT_FALSE(fs::exists(path("gone")));
    EXPECT_TRUE(temporaries().empty());
}
