// Helpers for the board and console unit tests: capturing console output
// byte for byte, and changing board files for one test only.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "platform/sandbox/board_files.h"

namespace board_test {

// Runs fn with standard output going to a scratch file; the bytes written.
template <typename Fn>
std::string capture_stdout(Fn&& fn) {
    std::fflush(stdout);
    FILE* scratch = std::tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(scratch), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    std::rewind(scratch);
    for (int c = std::fgetc(scratch); c != EOF; c = std::fgetc(scratch)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(scratch);
    return text;
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

}  // namespace board_test
