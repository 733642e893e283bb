// Files the launcher replaces must read, after any failure, as the old file
// or the new one. A filesystem with no room left stands in for the cut
// that stops a write half way: a RAM filesystem of a few pages, mounted
// inside the sandbox.
#include "image/durable.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "auth/keystore.h"
#include "platform/sandbox/test_support.h"

namespace {

using sandbox_test::read_file;
using sandbox_test::write_file;

constexpr const char* kSmall = "/tmp/durable-small";

class Durable : public ::testing::Test {
   protected:
    void SetUp() override {
        mkdir(kSmall, 0755);
        ASSERT_EQ(0, mount("durable", kSmall, "tmpfs", 0, "size=32k")) << errno;
    }
    void TearDown() override {
        umount(kSmall);
        rmdir(kSmall);
    }
    static std::string at(const char* name) { return std::string(kSmall) + "/" + name; }
    static bool exists(const std::string& path) {
        struct stat info {};
        return lstat(path.c_str(), &info) == 0;
    }
};

TEST_F(Durable, AFailedReplaceOrAppendLeavesTheOldFileWholeAndNothingBeside) {
    const std::string log = at("install.log");
    write_file(log.c_str(), "File a installed from USB\n");
    std::string line = "File b installed from USB\n";
    // An interrupted call before it (a Ctrl-C on the console) left EINTR
    // behind: only a read or write that failed with it is tried again.
    errno = EINTR;
    ASSERT_EQ(DurableResult::Written, durable_append(log.c_str(), line.data(), line.size()));
    EXPECT_EQ("File a installed from USB\nFile b installed from USB\n", read_file(log.c_str()));

    // More than the filesystem holds: the write beside fails, the old
    // bytes stay, and the file beside is gone again.
    std::string huge(64 * 1024, 'x');
    EXPECT_EQ(DurableResult::WriteFailed, durable_replace(log.c_str(), huge.data(), huge.size()));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(DurableResult::WriteFailed, durable_append(log.c_str(), huge.data(), huge.size()));
    EXPECT_EQ("File a installed from USB\nFile b installed from USB\n", read_file(log.c_str()));
    EXPECT_FALSE(exists(log + ".new"));

    // A directory in the file's place cannot be opened as one; a link is
    // replaced, never written through.
    mkdir(at("dir").c_str(), 0755);
    EXPECT_EQ(DurableResult::OpenFailed, durable_replace(at("dir").c_str(), "x", 1));
    EXPECT_EQ(EISDIR, errno);
    ASSERT_EQ(0, symlink(log.c_str(), at("link").c_str()));
    EXPECT_EQ(DurableResult::Written, durable_replace(at("link").c_str(), "new", 3));
    EXPECT_EQ("new", read_file(at("link").c_str()));
    EXPECT_EQ("File a installed from USB\nFile b installed from USB\n", read_file(log.c_str()));
}

// What the callers print is the errno of the failure itself: a name too
// long for the file beside, a write the file size limit refuses (EFBIG,
// not "no room"), a rename refused (EBUSY), a file that is no regular file
// cannot be appended to.
TEST_F(Durable, FailuresKeepTheirOwnErrno) {
    // 251 bytes of path leave the file beside ".new" and its end in 256.
    std::string longest = std::string(kSmall) + "/" + std::string(251 - 19, 'n');
    EXPECT_EQ(DurableResult::Written, durable_replace(longest.c_str(), "x", 1));
    EXPECT_EQ("x", read_file(longest.c_str()));
    std::string deep = longest + "n";
    EXPECT_EQ(DurableResult::OpenFailed, durable_replace(deep.c_str(), "x", 1));
    EXPECT_EQ(ENAMETOOLONG, errno);
    EXPECT_FALSE(exists(deep));

    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 16;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    std::string big(100, 'b');
    DurableResult result = durable_replace(at("big").c_str(), big.data(), big.size());
    int err = errno;
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(DurableResult::WriteFailed, result);
    EXPECT_EQ(EFBIG, err);
    EXPECT_FALSE(exists(at("big")));

    // A file that cannot be replaced by the rename (another file is mounted
    // over it) is a failure with the rename's errno, and the file beside is
    // gone again.
    write_file(at("held").c_str(), "old");
    write_file(at("over").c_str(), "over");
    ASSERT_EQ(0, mount(at("over").c_str(), at("held").c_str(), nullptr, MS_BIND, nullptr));
    result = durable_replace(at("held").c_str(), "new", 3);
    err = errno;
    umount(at("held").c_str());
    EXPECT_EQ(DurableResult::WriteFailed, result);
    EXPECT_EQ(EBUSY, err);
    EXPECT_FALSE(exists(at("held.new")));
    EXPECT_EQ("old", read_file(at("held").c_str()));

    ASSERT_EQ(0, mkfifo(at("fifo").c_str(), 0644));
    int before = sandbox_test::open_descriptors();
    EXPECT_EQ(DurableResult::OpenFailed, durable_append(at("fifo").c_str(), "x", 1));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(before, sandbox_test::open_descriptors());

    // A stream that cannot be synced (a pipe) says why, after its close.
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    std::FILE* stream = fdopen(ends[1], "w");
    std::fputs("x", stream);
    errno = 0;
    EXPECT_FALSE(durable_close(stream));
    EXPECT_EQ(EINVAL, errno);
    close(ends[0]);
}

// An append reads the old file and leaves no descriptor open; a name
// without a folder has its directory synced where the launcher runs, one
// at the top the root. A file copied by another program is synced with
// its folder; only a regular file that is there can be.
TEST_F(Durable, AppendsLeaveNoDescriptorAndBareNamesSyncTheWorkingFolder) {
    const std::string log = at("install.log");
    write_file(log.c_str(), "old\n");
    int before = sandbox_test::open_descriptors();
    ASSERT_EQ(DurableResult::Written, durable_append(log.c_str(), "new\n", 4));
    EXPECT_EQ(before, sandbox_test::open_descriptors());
    EXPECT_TRUE(durable_sync_path(log.c_str()));
    EXPECT_FALSE(durable_sync_path(kSmall));
    EXPECT_FALSE(durable_sync_path(at("gone").c_str()));
    EXPECT_FALSE(durable_sync_path((log + "-gone/install.log").c_str()));
    EXPECT_EQ(before, sandbox_test::open_descriptors());
    EXPECT_EQ("old\nnew\n", read_file(log.c_str()));
    char here[256];
    ASSERT_NE(nullptr, getcwd(here, sizeof here));
    ASSERT_EQ(0, chdir(kSmall));
    EXPECT_TRUE(durable_sync_dir_of("install.log"));
    EXPECT_EQ(0, chdir(here));
    // A file at the top has "/" synced; one deeper its own folder, which
    // must be there.
    EXPECT_TRUE(durable_sync_dir_of("/install.log"));
    EXPECT_TRUE(durable_sync_dir_of(log.c_str()));
    EXPECT_FALSE(durable_sync_dir_of((log + "-gone/install.log").c_str()));
    // A folder name longer than there is room for is refused as too long.
    errno = 0;
    EXPECT_FALSE(durable_sync_dir_of((std::string(kSmall) + "/" + std::string(260, 'd') +
                                      "/install.log")
                                         .c_str()));
    EXPECT_EQ(ENAMETOOLONG, errno);
}

// A key file that cannot be rewritten whole keeps the old one: a cut file
// would fail to decrypt at the next load, which removes every key file.
TEST_F(Durable, AKeyFileThatCannotBeRewrittenKeepsTheOldOne) {
    const std::string key = at("key.pem");
    std::string filler(20 * 1024, 'f');
    write_file(at("filler").c_str(), filler.c_str());
    write_file(key.c_str(), "old key file");
    const std::uint8_t serial[12] = {'V', 'K', 'T', '3', '3', '9', '0', 'A', '0', '0', '0', '1'};
    std::string text(12 * 1024, 'k');
    int written = -1;
    std::string out = sandbox_test::capture_stdout([&] {
        written = imgsign_writeKey(text.c_str(), static_cast<std::uint32_t>(text.size()),
                                   key.c_str(), serial, sizeof serial);
    });
    EXPECT_EQ(0, written);
    EXPECT_TRUE(read_file(key.c_str()) == "old key file") << "the old key file was cut";
    EXPECT_FALSE(exists(key + ".new"));

    // With room again, the new file replaces the old one.
    unlink(at("filler").c_str());
    EXPECT_EQ(1, imgsign_writeKey(text.c_str(), static_cast<std::uint32_t>(text.size()),
                                  key.c_str(), serial, sizeof serial));
    EXPECT_NE("old key file", read_file(key.c_str()));
    EXPECT_GE(read_file(key.c_str()).size(), text.size());
}

}  // namespace
