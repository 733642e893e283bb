// Helpers for the key store, signature policy and low security tests on the
// virtual board: a board with open buses and partitions and no key files,
// keys typed on the console, and the key files as bytes.
#pragma once

#include <glob.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "auth/crypto/toolkit.h"
#include "auth/keystore.h"
#include "auth/signature.h"
#include "board/i2c.h"
#include "board/mtd.h"
#include "board/test_support.h"
#include "boot/interrupt.h"
#include "boot/settings.h"
#include "platform/platform.h"
#include "platform/sandbox/test_support.h"

namespace auth_test {

using sandbox_test::capture_stdout;
using sandbox_test::on_console;
using sandbox_test::read_file;
using sandbox_test::write_file;

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
        board_test::close_mtd_partitions();
    }
    std::string commands() const { return board_.get("commands.log"); }

    sandbox_test::BoardFiles board_;
};

}  // namespace auth_test
