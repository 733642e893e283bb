#include "platform/sandbox/board_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace sandbox {

std::string board_path(std::string_view relative) {
    std::string path(kBoardDir);
    path += '/';
    path += relative;
    return path;
}

std::optional<std::string> read_board_file(std::string_view relative) {
    int fd = ::open(board_path(relative).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        content.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return content;
}

static bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        content.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

static bool put_file(std::string_view relative, std::string_view content, int mode_flags) {
    int fd =
        ::open(board_path(relative).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode_flags, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = write_all(fd, content);
    return ::close(fd) == 0 && ok;
}

bool write_board_file(std::string_view relative, std::string_view content) {
    return put_file(relative, content, O_TRUNC);
}

bool append_board_file(std::string_view relative, std::string_view content) {
    // O_APPEND keeps lines whole when the launcher and a program it started
    // both log to the same file.
    return put_file(relative, content, O_APPEND);
}

static std::string_view trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::optional<uint64_t> read_board_number(std::string_view relative) {
    auto content = read_board_file(relative);
    if (!content) {
        return std::nullopt;
    }
    std::string_view text = trim(*content);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

bool board_list_contains(std::string_view relative, std::string_view word) {
    auto content = read_board_file(relative);
    if (!content) {
        return false;
    }
    std::string_view rest = *content;
    const char* separators = " \t\r\n,";
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(separators);
        if (start == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(start);
        size_t end = rest.find_first_of(separators);
        if (rest.substr(0, end) == word) {
            return true;
        }
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end);
    }
    return false;
}

uint64_t slept_us() {
    return read_board_number("slept-us").value_or(0);
}

void add_slept_us(uint64_t us) {
    // Rewritten in place at a fixed width (right-aligned, blank-padded):
    // truncating the file at every sleep makes ext4 flush it on close,
    // which turned the serial port's millisecond polls into real
    // milliseconds of disk waiting each.
    std::string text = std::to_string(slept_us() + us);
    text.insert(0, text.size() < 20 ? 20 - text.size() : 0, ' ');
    text += '\n';
    put_file("slept-us", text, 0);
}

void reset_slept_us() {
    write_board_file("slept-us", "0\n");
}

}  // namespace sandbox
