#include "console/input.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

// Console bytes the line editor acts on.
static constexpr std::uint8_t kKeyCtrlA = 0x01;
static constexpr std::uint8_t kKeyCtrlB = 0x02;
static constexpr std::uint8_t kKeyCtrlC = 0x03;
static constexpr std::uint8_t kKeyCtrlD = 0x04;
static constexpr std::uint8_t kKeyCtrlF = 0x06;
static constexpr std::uint8_t kKeyBackspace = 0x08;
static constexpr std::uint8_t kKeyLineFeed = 0x0A;
static constexpr std::uint8_t kKeyReturn = 0x0D;
static constexpr std::uint8_t kKeyEscape = 0x1B;
static constexpr std::uint8_t kKeyDelete = 0x7F;
static constexpr char kBell = 0x07;
static constexpr char kBs = 0x08;

std::uint8_t get_key_timed(unsigned limit) {
    std::uint8_t key = 0;
    // Whatever was asked must be on the screen before the launcher waits.
    std::fflush(stdout);
    // Failures of the attribute calls are ignored: the read still happens,
    // in whatever mode the console is.
    termios saved{};
    bool have_saved = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (have_saved) {
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VTIME] = static_cast<cc_t>(limit & 0xFF);
        raw.c_cc[VMIN] = limit == 0 ? 1 : 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    if (plat_read(STDIN_FILENO, &key, 1) != 1) {
        key = 0;  // time-out, error or interrupted by Ctrl-C
    }
    if (have_saved) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    return key;
}

std::uint8_t get_key() {
    return get_key_timed(0);
}

// The line editor's state for one read_line call. free_count is the room
// left including the terminating NUL: an insertion needs it above 1.
struct LineEditor {
    char* buf;
    std::size_t len;
    std::size_t cursor;
    std::size_t free_count;
    int escape;  // 0 normal, 1 after ESC, 2 inside ESC [
    bool done;
};

static void put_bytes(const char* text, std::size_t count) {
    std::fwrite(text, 1, count, stdout);
}

static void put_backspaces(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::fputc(kBs, stdout);
    }
}

static void editor_insert(LineEditor* ed, char c) {
    if (ed->free_count <= 1) {
        std::fputc(kBell, stdout);
        return;
    }
    std::size_t tail = ed->len - ed->cursor;
    // Show the new character and the rest of the line shifted, then walk the
    // terminal cursor back to just after the new character.
    std::fputc(static_cast<unsigned char>(c), stdout);
    put_bytes(ed->buf + ed->cursor, tail);
    std::memmove(ed->buf + ed->cursor + 1, ed->buf + ed->cursor, tail);
    put_backspaces(tail);
    ed->buf[ed->cursor] = c;
    ed->cursor += 1;
    ed->len += 1;
    ed->buf[ed->len] = '\0';
    ed->free_count -= 1;
}

// Removes the character under the cursor and redraws the rest of the line:
// the tail moves left, a blank covers the old last character, and the
// terminal cursor walks back to the editing position.
static void editor_remove(LineEditor* ed) {
    std::size_t tail = ed->len - ed->cursor - 1;
    std::memmove(ed->buf + ed->cursor, ed->buf + ed->cursor + 1, tail + 1);
    ed->len -= 1;
    ed->free_count += 1;
    put_bytes(ed->buf + ed->cursor, tail);
    std::fputc(' ', stdout);
    put_backspaces(tail + 1);
}

static void editor_backspace(LineEditor* ed) {
    if (ed->cursor == 0) {
        return;
    }
    ed->cursor -= 1;
    std::fputc(kBs, stdout);
    editor_remove(ed);
}

static void editor_left(LineEditor* ed) {
    if (ed->cursor > 0) {
        ed->cursor -= 1;
        std::fputc(kBs, stdout);
    }
}

static void editor_right(LineEditor* ed) {
    if (ed->cursor < ed->len) {
        std::fputc(static_cast<unsigned char>(ed->buf[ed->cursor]), stdout);
        ed->cursor += 1;
    }
}

// A key outside an escape sequence.
static void editor_plain_key(LineEditor* ed, std::uint8_t key) {
    switch (key) {
        case kKeyReturn:
        case kKeyLineFeed:
            std::fputc('\n', stdout);
            ed->done = true;
            return;
        case kKeyCtrlC:
            // Ctrl-C as data (the console does not turn it into SIGINT): the
            // caller gets the text so far and sees the break on the screen.
            std::fputs(" <break>\n", stdout);
            ed->done = true;
            return;
        case kKeyCtrlA:
            while (ed->cursor > 0) {
                editor_left(ed);
            }
            return;
        case kKeyCtrlB:
            editor_left(ed);
            return;
        case kKeyCtrlF:
            editor_right(ed);
            return;
        case kKeyBackspace:
        case kKeyDelete:
            editor_backspace(ed);
            return;
        case kKeyCtrlD:
            if (ed->cursor < ed->len) {
                editor_remove(ed);
            }
            return;
        case kKeyEscape:
            ed->escape = 1;
            return;
        default:
            break;
    }
    if (key < 0x20) {
        // Tab, other control keys and the 0 of an interrupted read.
        std::fputc(kBell, stdout);
        return;
    }
    editor_insert(ed, static_cast<char>(key));
}

// A key after ESC [: parameters (digits, ';') are skipped; the final byte C
// or D moves the cursor, any other final byte (up, down, ESC [ 3 ~ ...) is
// dropped.
static void editor_sequence_key(LineEditor* ed, std::uint8_t key) {
    if ((key >= '0' && key <= '9') || key == ';') {
        return;
    }
    ed->escape = 0;
    if (key == 'C') {
        editor_right(ed);
    } else if (key == 'D') {
        editor_left(ed);
    }
}

static void editor_key(LineEditor* ed, std::uint8_t key) {
    if (ed->escape == 2) {
        editor_sequence_key(ed, key);
        return;
    }
    if (ed->escape == 1) {
        if (key == '[') {
            ed->escape = 2;
            return;
        }
        // A lone ESC is dropped: the key after it counts as if typed alone
        // (ESC Backspace deletes one character, ESC ESC waits on).
        ed->escape = 0;
        editor_plain_key(ed, key);
        return;
    }
    editor_plain_key(ed, key);
}

char* read_line(char* buf, std::size_t size) {
    if (buf == nullptr || size == 0) {
        return buf;
    }
    std::memset(buf, 0, size);
    LineEditor ed{buf, 0, 0, size, 0, false};
    while (!ed.done) {
        editor_key(&ed, get_key());
        std::fflush(stdout);
    }
    return buf;
}

int ask_yes_no(const char* question, unsigned limit) {
    std::printf("%s y/N? ", question != nullptr ? question : "");
    std::fflush(stdout);
    std::uint8_t key = get_key_timed(limit);
    std::printf("%c\n", key);
    std::fflush(stdout);
    if (key == 0) {
        return 0;
    }
    return key == 'y' || key == 'Y' ? 1 : 0;
}
