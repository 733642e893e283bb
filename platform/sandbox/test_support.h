// Helpers for unit tests on the virtual board: capturing console output
// byte for byte, typing on the console, and changing board files for one
// test only.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sandbox/board_files.h"
#include "platform/sandbox/descriptors.h"

namespace sandbox_test {

// Runs fn with the descriptor `fd` (1 or 2) going to a scratch file; the
// bytes written there.
template <typename Fn>
std::string capture(int fd, Fn&& fn) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* scratch = std::tmpfile();
    int saved = dup(fd);
    dup2(fileno(scratch), fd);
    fn();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved, fd);
    close(saved);
    std::string text;
    std::rewind(scratch);
    for (int c = std::fgetc(scratch); c != EOF; c = std::fgetc(scratch)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(scratch);
    return text;
}

// Whole files inside the switch (slot files, /tmp, the stick): the bytes
// written, or read back ("<missing>" when the file cannot be opened).
inline void write_file(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file != nullptr) {
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }
}

inline std::string read_file(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "<missing>";
    }
    std::string content;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, n);
    }
    std::fclose(file);
    return content;
}

// The same for standard output.
template <typename Fn>
std::string capture_stdout(Fn&& fn) {
    return capture(STDOUT_FILENO, fn);
}

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

// Board files set for one test and put back as they were at its end, so
// that later tests meet the default board.
class BoardFiles {
   public:
    // Device writes wait 100 ms each: counted by the sandbox, not waited.
    BoardFiles() { setenv("SANDBOX_SPEED", "1000", 1); }
    ~BoardFiles() {
        for (const auto& [name, content] : saved_) {
            if (content) {
                sandbox::write_board_file(name, *content);
            } else {
                unlink(sandbox::board_path(name).c_str());
            }
        }
    }
    void set(const std::string& name, const std::string& content) {
        saved_.try_emplace(name, sandbox::read_board_file(name));
        sandbox::write_board_file(name, content);
    }
    void remove(const std::string& name) {
        saved_.try_emplace(name, sandbox::read_board_file(name));
        unlink(sandbox::board_path(name).c_str());
    }
    std::string get(const std::string& name) const {
        return sandbox::read_board_file(name).value_or("");
    }

   private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace sandbox_test
