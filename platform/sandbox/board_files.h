// Access to the board directory of the virtual switch.
//
// Inside the sandbox the board directory is mounted at /sandbox/board. Every
// emulated device keeps its state in files there (formats in
// docs/sandbox.md) and reads them at each request, never caching them, so a
// test can change the board between two requests and the launcher sees the
// change as it would see a changed device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sandbox {

// Where the board directory is mounted inside the sandbox.
inline constexpr const char* kBoardDir = "/sandbox/board";

// The absolute path of a file in the board directory.
std::string board_path(std::string_view relative);

// Whole-file helpers for small board files. read_board_file gives nothing
// when the file is missing or unreadable.
std::optional<std::string> read_board_file(std::string_view relative);
bool write_board_file(std::string_view relative, std::string_view content);
bool append_board_file(std::string_view relative, std::string_view content);

// A board file holding one unsigned number (decimal or 0x-prefixed), such
// as the erase size; nothing when it is missing or malformed.
std::optional<uint64_t> read_board_number(std::string_view relative);

// True when the board's list file (one word per line or blank-separated)
// names `word`.
bool board_list_contains(std::string_view relative, std::string_view word);

// The total time the launcher asked to sleep on this board, in
// microseconds, whatever SANDBOX_SPEED shortened it to. Kept in the board
// so that it also adds up across processes (the launcher and what it runs).
uint64_t slept_us();
void add_slept_us(uint64_t us);
void reset_slept_us();

}  // namespace sandbox
