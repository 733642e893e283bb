// Helpers for the key store, signature policy and low security tests on the
// virtual board: a board with open buses and partitions and no key files,
// keys typed on the console, and the key files as bytes.
#pragma once

#include <glob.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "auth/crypto/toolkit.h"
#include "auth/keystore.h"
#include "auth/signature.h"
#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/interrupt.h"
#include "boot/settings.h"
#include "platform/platform.h"
#include "platform/sandbox/test_support.h"

namespace auth_test {

using sandbox_test::capture_stdout;
using sandbox_test::read_file;
using sandbox_test::write_file;

// Runs fn with `keys` waiting on standard input (then end of input); its
// standard output. Line questions need their line end among the keys: the
// line editor waits on at the end of input, so a dialogue that asks for
// more than the test typed would never end. Should that happen, the whole
// test program stops with a failure after a minute instead of hanging.
template <typename Fn>
std::string on_console(const std::string& keys, Fn&& fn) {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    EXPECT_EQ(static_cast<ssize_t>(keys.size()), write(fds[1], keys.data(), keys.size()));
    close(fds[1]);
    int saved = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!finished.wait_for(guard, std::chrono::seconds(60), [&] { return done; })) {
            std::fputs("FAILED: a console dialogue asked for more keys than the test typed\n",
                       stderr);
            std::abort();
        }
    });
    std::string out = capture_stdout(fn);
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    finished.notify_one();
    watchdog.join();
    dup2(saved, STDIN_FILENO);
    close(saved);
    return out;
}

inline void remove_key_files() {
    glob_t found{};
    if (glob("/user/*.pem", 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            unlink(found.gl_pathv[i]);
        }
    }
    globfree(&found);
}

// A board of the default kind (serial number VKT3390A0001), no key files, no
// low security marker or override, the developer-images answer forgotten.
class AuthBoard : public ::testing::Test {
   protected:
    void SetUp() override {
        board_.set("commands.log", "");
        board_.set("i2c-absent", "");
        if (toolkit_base64Table() == nullptr) {
            toolkit_resetForTest();
            TOOLKIT_init();
        }
        i2c_open_buses();
        mtd_open_partitions();
        remove_key_files();
        unlink("/tmp/lowsec");
        boot_settings.lowsec = 0;
        interrupt_flag = 0;
        imgsign_forgetDeveloperImages();
        sandbox::reset_slept_us();
    }
    void TearDown() override {
        remove_key_files();
        unlink("/tmp/lowsec");
        boot_settings.lowsec = 0;
        interrupt_flag = 0;
        imgsign_forgetDeveloperImages();
        i2c_close_buses();
        for (int* fd : {&mtd_partitions.uboot, &mtd_partitions.uboot_env,
                        &mtd_partitions.device_tree, &mtd_partitions.kernel, &mtd_partitions.rfs,
                        &mtd_partitions.rescue, &mtd_partitions.onie}) {
            plat_close(*fd);
            *fd = -1;
        }
    }
    std::string commands() const { return board_.get("commands.log"); }

    sandbox_test::BoardFiles board_;
};

}  // namespace auth_test
