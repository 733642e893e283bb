#include "image/install.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>

#include "auth/signature.h"
#include "board/board.h"
#include "board/mtd.h"
#include "boot/launch.h"
#include "console/fsmaint.h"
#include "image/container.h"
#include "image/durable.h"
#include "image/install_log.h"
#include "image/install_rules.h"
#include "image/installed.h"
#include "platform/platform.h"

namespace {

constexpr const char* kImagesDir = "/user/images";
constexpr const char* kOrvexGz = "/tmp/orv-image.gz";
constexpr const char* kOrvexImage = "/tmp/orv-image";
// Every file write goes out in pieces of this size.
constexpr std::size_t kWritePiece = 0x10000;

// ---- File writers ----

// The share written so far as the progress display shows it: counted in
// 256-byte units so that the product stays small, and 100 for a length
// under 256 bytes.
int percent_of(std::uint64_t done, std::uint64_t length) {
    if (length / 256 == 0) {
        return 100;
    }
    return static_cast<int>((done / 256) * 100 / (length / 256));
}

void write_failed(const char* path, int err, std::uint64_t done, std::uint64_t length,
                  std::size_t piece) {
    std::printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path, err,
                static_cast<int>(done), static_cast<int>(length), static_cast<int>(piece));
}

// Closes a file that was written and says whether its bytes reached the
// card: a full /user shows up here as often as in a write, and what the
// console then reports as written must survive a power cut. The file is
// closed in both cases.
bool close_written(std::FILE* file) {
    return durable_close(file);
}

// ---- The component in memory ----

// The bytes of one component, as far as the file holds them: the bytes the
// CRC, the size and the signature are checked on and the bytes written are
// the same. A file in RAM is mapped read-only, so that a large download
// costs no memory beyond its own pages; any other file is read whole into
// private memory.
struct ComponentBytes {
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    void* map = nullptr;
    std::size_t map_length = 0;
    std::uint8_t* heap = nullptr;
};

void component_release(ComponentBytes& bytes) {
    if (bytes.map != nullptr) {
        munmap(bytes.map, bytes.map_length);
    }
    delete[] bytes.heap;
    bytes = ComponentBytes{};
}

// Downloads land in /tmp, a RAM file system that only the launcher writes:
// the pages of a file there cannot vanish or change while a mapping of
// them is checked and written. A USB stick can be pulled or fail a read,
// which would end a mapping's reader with SIGBUS, and a file elsewhere can
// be the very file the install rewrites (a stick entry that links to a
// slot file). So only a file named directly in /tmp is mapped, and only
// when it is that name itself (no link), the file that was opened, and on
// the file system mounted at /tmp.
bool file_in_ram(const char* path, int fd) {
    constexpr char kTmp[] = "/tmp/";
    if (std::strncmp(path, kTmp, sizeof kTmp - 1) != 0 ||
        std::strchr(path + sizeof kTmp - 1, '/') != nullptr) {
        return false;
    }
    struct stat named {};
    struct stat opened {};
    struct stat tmp {};
    return lstat(path, &named) == 0 && S_ISREG(named.st_mode) && fstat(fd, &opened) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
           stat("/tmp", &tmp) == 0 && opened.st_dev == tmp.st_dev;
}

// Reads up to `length` bytes at `offset`; the count read, short when the
// file ends there or a read fails.
std::size_t read_at(int fd, std::uint64_t offset, std::uint8_t* into, std::size_t length) {
    std::size_t got = 0;
    while (got < length) {
        ssize_t n = pread(fd, into + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) {
            continue;  // a Ctrl-C on the console is no read failure
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

bool component_map(int fd, std::uint64_t offset, std::size_t length, ComponentBytes* bytes) {
    long page = sysconf(_SC_PAGESIZE);
    std::uint64_t lead = page > 0 ? offset % static_cast<std::uint64_t>(page) : 0;
    if (length == 0 || length > SIZE_MAX - lead) {
        return false;
    }
    std::size_t span = static_cast<std::size_t>(lead) + length;
    void* map = mmap(nullptr, span, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset - lead));
    if (map == MAP_FAILED) {
        return false;
    }
    madvise(map, span, MADV_SEQUENTIAL);
    bytes->map = map;
    bytes->map_length = span;
    bytes->data = static_cast<const std::uint8_t*>(map) + lead;
    bytes->length = length;
    return true;
}

// Loads `length` bytes at `offset`, which the caller has checked lie inside
// the file as it was measured. 1, or 0 when the memory could not be had.
int component_load(int fd, bool in_ram, std::uint64_t offset, std::size_t length,
                   ComponentBytes* bytes) {
    *bytes = ComponentBytes{};
    if (in_ram && component_map(fd, offset, length, bytes)) {
        return 1;
    }
    bytes->heap = new (std::nothrow) std::uint8_t[length > 0 ? length : 1];
    if (bytes->heap == nullptr) {
        return 0;
    }
    // A read that fails, or a file that shrank since it was measured, gives
    // a short component, which then fails its CRC.
    bytes->data = bytes->heap;
    bytes->length = read_at(fd, offset, bytes->heap, length);
    return 1;
}

// ---- One run ----

struct Run {
    int fd;
    bool in_ram;  // the container may be mapped (file_in_ram)
    int same_version;
    int slot;
    int installed;        // a component was written
    int orvex_installed;  // an ORVEX application was written
    int app_slot;         // the slot an application was stored in, or 0
};

// What became of one component.
enum class Outcome { Next, Failed };

// One component: its header, where its parts lie, and its bytes.
struct Component {
    ImageHeader header;
    ComponentLayout layout;
    std::uint32_t size;
    ComponentBytes bytes;  // bytes.length < size when the file ends inside it

    std::span<const std::uint8_t> all() const { return {bytes.data, bytes.length}; }
    std::span<const std::uint8_t> payload() const { return all().subspan(layout.header_len); }
    // The header bytes, as a header file keeps them.
    std::span<const std::uint8_t> head() const { return all().first(layout.header_len); }
};

// The CRC check every type starts with. A component the file cuts short
// fails it whatever its stored value: the register is shown over the bytes
// that exist.
bool crc_good(const Component& c, const char* name) {
    std::uint32_t crc = image_component_crc(c.all());
    if (c.bytes.length == c.size && crc == c.header.crc) {
        return true;
    }
    std::printf("Bad crc for %s: 0x%08x, voiding download\n", name, crc);
    return false;
}

void begin_type(const char* installing) {
    std::printf("%s", installing);
    std::fflush(stdout);
}

// Flash components: boot loader, kernel, root filesystem, device tree,
// diagnostics, ONIE. The limits, the part written and the signature step
// come from the shared rules.
struct FlashType {
    ComponentType type;
    const char* installing;
    const char* crc_name;
    const char* size_name;
    int MtdPartitions::*partition;
    bool same_version_test;
    const char* failed;
    const char* header_file;  // boot loader and ONIE
    const char* header_name;  // in the header file's failure warning
};

constexpr FlashType kFlashTypes[] = {
    {ComponentType::BootLoader, "Installing Boot Loader: ", "UBOOT", "UBOOT", &MtdPartitions::uboot,
     true, "Uboot image update failed", "/user/images/uboot-hdr", "Uboot"},
    {ComponentType::Kernel, "Installing Kernel: ", "KERNEL", "KERNEL", &MtdPartitions::kernel, true,
     "kernel image update failed", nullptr, nullptr},
    {ComponentType::RootFilesystem, "Installing Root Filesystem: ", "RFS", "RFS",
     &MtdPartitions::rfs, true, "RFS image update failed", nullptr, nullptr},
    {ComponentType::DeviceTree, "Installing Device Tree: ", "DFT", "DFT",
     &MtdPartitions::device_tree, true, "DFT image update failed", nullptr, nullptr},
    {ComponentType::Diagnostics, "Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "DIAGS",
     &MtdPartitions::rescue, true, "DIAGS image update failed", nullptr, nullptr},
    {ComponentType::Onie, "Installing ONIE: ", "ONIE", "ONIE", &MtdPartitions::onie, false,
     "ONIE image update failed", "/user/images/onie-hdr", "ONIE"},
};

const FlashType* flash_type_of(std::uint32_t type) {
    for (const FlashType& flash : kFlashTypes) {
        if (type == image_type_magic(flash.type)) {
            return &flash;
        }
    }
    return nullptr;
}

bool known_type(std::uint32_t type) {
    return install_rule_of(type) != nullptr;
}

// The header bytes of a boot loader or ONIE, kept beside the flash for the
// version display. A failure here warns and does not undo the install.
void write_header_file(const FlashType& flash, const Component& c) {
    // Written beside and renamed over the old one: a cut leaves the old
    // header or the new, never a cut file the version display misreads.
    std::span<const std::uint8_t> header = c.head();
    DurableResult result = durable_replace(flash.header_file, header.data(), header.size());
    if (result == DurableResult::OpenFailed) {
        std::printf("WARNING: Unable to open %s for writing\n", flash.header_file);
    } else if (result == DurableResult::WriteFailed) {
        std::printf("WARNING: %s header file updated failed (err %d)\n", flash.header_name, errno);
    }
}

// The same-version test compares headers only. A power cut in the middle
// of a write leaves the new header in front of a part-written rest (the
// first erase block is written first), and a USB stick that installs with
// the test on at every start would then skip the damaged copy for good. So
// a component of the installed version is skipped only when the installed
// bytes are its own.
bool partition_holds(int fd, std::span<const std::uint8_t> data) {
    std::uint8_t* piece = new (std::nothrow) std::uint8_t[kWritePiece];
    if (piece == nullptr) {
        return false;
    }
    bool same = true;
    for (std::size_t done = 0; same && done < data.size(); done += kWritePiece) {
        std::size_t length = data.size() - done < kWritePiece ? data.size() - done : kWritePiece;
        // A short read counts as success: the bytes not read stay zero.
        std::memset(piece, 0, length);
        same = partition_read(piece, fd, static_cast<std::uint32_t>(done),
                              static_cast<std::uint32_t>(length)) == 0 &&
               std::memcmp(piece, data.data() + done, length) == 0;
    }
    delete[] piece;
    return same;
}

bool file_holds(const char* path, std::span<const std::uint8_t> bytes) {
    // A FIFO in a slot's place would block the read: it holds nothing.
    std::FILE* file = image_fopen_file(path);
    std::uint8_t* piece = new (std::nothrow) std::uint8_t[kWritePiece];
    bool same = file != nullptr && piece != nullptr;
    for (std::size_t done = 0; same && done < bytes.size(); done += kWritePiece) {
        std::size_t length = bytes.size() - done < kWritePiece ? bytes.size() - done : kWritePiece;
        same = std::fread(piece, 1, length, file) == length &&
               std::memcmp(piece, bytes.data() + done, length) == 0;
    }
    delete[] piece;
    if (file != nullptr) {
        std::fclose(file);
    }
    return same;
}

// A boot loader skipped for being in the flash whole gets its header file
// back when the file does not hold its header (a power cut or a full /user
// after the flash write). Whether the file can be written never decides
// the skip: the installed version is read from the flash itself, and a
// /user that cannot take the file (full, read-only, a directory in its
// place) must not make a stick install the boot loader at every start.
void restore_header_file(const FlashType& flash, const Component& c) {
    if (flash.header_file != nullptr && !file_holds(flash.header_file, c.head())) {
        write_header_file(flash, c);
    }
}

Outcome install_flash(Run& run, const FlashType& flash, const Component& c) {
    begin_type(flash.installing);
    if (!crc_good(c, flash.crc_name)) {
        return Outcome::Failed;
    }
    const InstallRule& rule = *install_rule_of(image_type_magic(flash.type));
    std::span<const std::uint8_t> data = rule.payload_only ? c.payload() : c.all();
    // The measured size and the limit print as signed numbers; they are
    // compared unsigned.
    if (data.size() > rule.limit) {
        std::printf("%s image is too big for flash (%d > %d)\n", flash.size_name,
                    static_cast<int>(data.size()), static_cast<int>(rule.limit));
        return Outcome::Failed;
    }
    if (rule.needs_signature && !imgsign_verifyImage(c.all())) {
        return Outcome::Failed;
    }
    if (flash.same_version_test && run.same_version && image_same_version(c.header, run.slot) &&
        partition_holds(mtd_partitions.*flash.partition, data)) {
        std::puts("Image has same version as existing image. Skipping update...");
        restore_header_file(flash, c);
        return Outcome::Next;
    }
    if (partition_write(data.data(), mtd_partitions.*flash.partition, 0,
                        static_cast<std::uint32_t>(data.size()), 1) < 0) {
        std::puts(flash.failed);
        return Outcome::Failed;
    }
    run.installed = 1;
    if (flash.header_file != nullptr) {
        write_header_file(flash, c);
    }
    if (flash.type == ComponentType::Diagnostics) {
        std::puts("done");
    }
    if (flash.type == ComponentType::Onie) {
        version_records_write("onie", c.header.id, c.header.crc);
    }
    return Outcome::Next;
}

// Reads one answer line (at most 31 characters) from standard input. false
// at the end of input or on a read error, when the line holds nothing to
// look at.
bool read_answer(char (&line)[32]) {
    return std::fgets(line, sizeof line, stdin) != nullptr;
}

// Boots an application without storing it. Returns only when its archive
// could not be written (after the message); otherwise the process becomes
// the application.
void boot_downloaded(Run& run, const Component& c) {
    std::puts("Booting downloaded image");
    std::FILE* out = std::fopen(kAppArchive, "wb");
    std::span<const std::uint8_t> payload = c.payload();
    bool written =
        out != nullptr && std::fwrite(payload.data(), 1, payload.size(), out) == payload.size();
    if (out != nullptr && !close_written(out)) {
        written = false;
    }
    if (!written) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return;
    }
    std::puts("Image ready to boot...");
    close(run.fd);
    run.fd = -1;
    launch_application(0);
}

// Creates the slot file anew. Whatever else stands at its name is no slot
// and goes first: writing through a link would rewrite another file, and
// opening a FIFO for writing would wait for a reader for ever. The open
// itself neither follows a link nor waits.
std::FILE* create_slot_file(const char* path) {
    struct stat info {};
    if (lstat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        unlink(path);
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    std::FILE* out = nullptr;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 &&
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
        out = fdopen(fd, "wb");
    } else {
        errno = EISDIR;
    }
    if (out == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return out;
}

// /user/images holds the slot files and the header files. A new
// filesystem has none: it is made at the start of each install, and again
// before each slot file, after the filesystem check an ORVEX install runs.
void make_images_dir() {
    struct stat info {};
    if (stat(kImagesDir, &info) != 0) {
        mkdir(kImagesDir, 0755);
    }
}

// Writes the whole component to the slot file with the progress display.
bool write_slot_file(int slot, const Component& c) {
    make_images_dir();
    std::FILE* out = create_slot_file(image_slot_path(slot));
    if (out == nullptr) {
        std::printf("Image%d update failed (err %d)\n", slot, errno);
        return false;
    }
    std::printf("    ");
    std::span<const std::uint8_t> all = c.all();
    std::size_t done = 0;
    while (done < all.size()) {
        std::size_t piece = all.size() - done < kWritePiece ? all.size() - done : kWritePiece;
        if (std::fwrite(all.data() + done, 1, piece, out) != piece) {
            int err = errno;
            std::fclose(out);
            std::printf("Image%d update failed (err %d)\n", slot, err);
            return false;
        }
        done += piece;
        std::printf("\b\b\b\b%3.3d%c", percent_of(done, all.size()), '%');
    }
    // The slot's bytes and its directory entry reach the card before the
    // console says so and before the boot-slot byte points at them.
    if (!close_written(out) || !durable_sync_dir_of(image_slot_path(slot))) {
        std::printf("Image%d update failed (err %d)\n", slot, errno);
        return false;
    }
    std::printf("\b\b\b\b100%c\n", '%');
    std::printf("\nImage%d updated succeeded\n", slot);
    return true;
}

Outcome install_application(Run& run, const Component& c) {
    begin_type("Installing Application: ");
    if (!crc_good(c, "APPLICATION")) {
        return Outcome::Failed;
    }
    if (!imgsign_verifyImage(c.all())) {
        return Outcome::Failed;
    }
    if (run.slot == 0) {
        std::printf("Install image as image 1 or 2 (hit return to just boot image): ");
        std::fflush(stdout);
        char line[32];
        // The end of input counts as an empty answer: boot at once.
        if (read_answer(line) && (line[0] == '1' || line[0] == '2')) {
            run.slot = line[0] - '0';
        }
    }
    if (run.slot == 0) {
        boot_downloaded(run, c);
        return Outcome::Failed;
    }
    std::printf("Installing image as image%d: ", run.slot);
    if (run.same_version && image_same_version(c.header, run.slot) &&
        file_holds(image_slot_path(run.slot), c.all())) {
        std::printf("Image%d has same version as existing image. Skipping update...\n", run.slot);
        return Outcome::Next;
    }
    if (!write_slot_file(run.slot, c)) {
        return Outcome::Failed;
    }
    run.installed = 1;
    run.app_slot = run.slot;
    board_set_boot_slot(static_cast<std::uint8_t>(run.slot));
    image_stamp_install_time(run.slot);
    return Outcome::Next;
}

// The partition clean-up after an ORVEX application was copied; the
// results of the commands are not used.
void clean_partition(const char* device) {
    char command[96];
    std::printf("Cleaning up partition....");
    std::fflush(stdout);
    std::snprintf(command, sizeof command, "e2fsck -fp %s &> /tmp/e2fsck.log", device);
    plat_system(command);
    std::printf("..");
    std::fflush(stdout);
    std::snprintf(command, sizeof command, "resize2fs %s &> /tmp/resize2fs.log", device);
    plat_system(command);
    plat_system("rm /tmp/orv-image");
}

Outcome install_orvex(Run& run, const Component& c) {
    begin_type("Installing ORVEX application: ");
    if (!crc_good(c, "ORVEX APPLICATION")) {
        return Outcome::Failed;
    }
    while (run.slot == 0) {
        std::printf("Install image as image 1 or 2 (q to quit): ");
        std::fflush(stdout);
        char line[32];
        // Nobody is left to answer at the end of input: asking again would
        // never end, so it counts as quitting.
        if (!read_answer(line) || line[0] == 'q' || line[0] == 'Q') {
            return Outcome::Failed;
        }
        if (line[0] == '1' || line[0] == '2') {
            run.slot = line[0] - '0';
        }
    }
    std::printf("Installing image as image%d: ", run.slot);
    char record[16];
    std::snprintf(record, sizeof record, "image%d", run.slot);
    std::printf("Preparing image for installation: ");
    // Files left by an earlier install that failed must not pass for this
    // one: gunzip would refuse to replace an old /tmp/orv-image, which
    // would then go to the partition under this component's records.
    unlink(kOrvexImage);
    unlink(kOrvexGz);
    std::span<const std::uint8_t> payload = c.payload();
    if (!file_write_progress(kOrvexGz, payload.data(), payload.size())) {
        std::printf("WARNING: writing image file failed (err %d)\n", errno);
        return Outcome::Failed;
    }
    check_filesystem(0);
    std::puts("decompressing image...");
    plat_system("gunzip /tmp/orv-image.gz");
    std::printf("Installing image: ");
    char device[32];
    std::snprintf(device, sizeof device, "/dev/mmcblk0p%d", run.slot + 1);
    if (!file_copy_progress(kOrvexImage, device)) {
        std::printf("WARNING: writing image file failed (err %d)\n", errno);
        return Outcome::Failed;
    }
    clean_partition(device);
    std::printf("\nImage%d updated succeeded\n", run.slot);
    run.installed = 1;
    run.orvex_installed = 1;
    board_set_os_kind(1);
    version_records_write(record, c.header.id, c.header.crc);
    version_records_write("uboot", c.header.id, c.header.crc);
    board_set_boot_slot(static_cast<std::uint8_t>(run.slot));
    return Outcome::Next;
}

Outcome install_component(Run& run, std::uint32_t type, const Component& c) {
    if (const FlashType* flash = flash_type_of(type)) {
        return install_flash(run, *flash, c);
    }
    if (type == image_type_magic(ComponentType::Application)) {
        return install_application(run, c);
    }
    return install_orvex(run, c);
}

// The OS-kind byte tells the boot loader which OS is installed: a run that
// wrote anything but no ORVEX application leaves 'E', one that wrote an
// ORVEX application 'C'. Applied when anything was written, also when a
// later component failed, so that the byte matches what is in place.
//
// An application stored while the OS kind was still 'C' put its slot at the
// ORVEX offset. Once the kind is 'E' the boot loader reads the other
// offset, so the slot is stored again there: otherwise the switch would boot
// the slot it had before the install.
void correct_os_kind(const Run& run) {
    if (run.installed && board_is_orvex() != run.orvex_installed) {
        board_set_os_kind(run.orvex_installed);
        if (!run.orvex_installed && run.app_slot != 0) {
            board_set_boot_slot(static_cast<std::uint8_t>(run.app_slot));
        }
    }
}

}  // namespace

int image_install(const char* path, int same_version, int slot) {
    return image_install_fd(image_open_file(path), path, same_version, slot);
}

int image_install_fd(int fd, const char* path, int same_version, int slot) {
    if (fd < 0) {
        return 0;
    }
    make_images_dir();
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    Run run{fd, file_in_ram(path, fd), same_version, slot == 1 || slot == 2 ? slot : 0, 0, 0, 0};
    struct stat file {};
    std::uint64_t file_size =
        fstat(fd, &file) == 0 && file.st_size > 0 ? static_cast<std::uint64_t>(file.st_size) : 0;
    std::uint64_t offset = 0;
    for (;;) {
        // The file ends where fewer bytes than a header are left, as it was
        // measured at open. A header the file holds but the read cannot
        // give (a stick pulled, a read error) is a failed install: taking
        // it for the end would report the components before it as the
        // whole image.
        std::uint8_t first[kImageReadSize];
        if (offset >= file_size || file_size - offset < sizeof first) {
            break;
        }
        if (read_at(fd, offset, first, sizeof first) < sizeof first) {
            std::fprintf(stderr, "Image component at offset %llu could not be read.\n",
                         static_cast<unsigned long long>(offset));
            correct_os_kind(run);
            close(fd);
            return 0;
        }
        if (!image_starts_component(first)) {
            break;
        }
        ImageHeader header = image_header_decode(std::span(first).first<kImageHeaderSize>());
        image_header_dump(header, 0);
        std::uint32_t type = image_type_of(header.magic);
        ComponentLayout layout{};
        ImageHeaderFault fault = ImageHeaderFault::None;
        if (!image_header_parse(first, &layout, &fault)) {
            // Where such a component ends is unknown, so nothing after it
            // can be found. Bytes of no known type there (padding after the
            // last component) simply end the file.
            if (!known_type(type)) {
                break;
            }
            std::fprintf(stderr, "Image component at offset %llu refused: %s.\n",
                         static_cast<unsigned long long>(offset), image_fault_text(fault));
            correct_os_kind(run);
            close(fd);
            return 0;
        }
        std::uint32_t size = image_component_size(layout);
        // A type the switch does not know is passed over unread: its size
        // is never allocated, so padding after the last component (an
        // XMODEM transfer fills its last block with 0x1A) costs nothing.
        if (!known_type(type)) {
            offset += size;
            continue;
        }
        // Only the bytes the file holds are loaded: a header that claims
        // more than is left gives a short component that fails its CRC.
        std::uint64_t left = file_size - offset;
        std::size_t present = static_cast<std::size_t>(size < left ? size : left);
        Component c{header, layout, size, {}};
        if (!component_load(fd, run.in_ram, offset, present, &c.bytes)) {
            std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(size));
            correct_os_kind(run);
            close(fd);
            return 0;
        }
        Outcome outcome = install_component(run, type, c);
        component_release(c.bytes);
        if (outcome == Outcome::Failed) {
            correct_os_kind(run);
            if (run.fd >= 0) {
                close(fd);
            }
            return 0;
        }
        offset += size;
    }
    close(fd);
    if (!run.installed) {
        std::puts("ERROR: No valid image found");
        return 0;
    }
    correct_os_kind(run);
    return 1;
}

int file_write_progress(const char* path, const void* data, std::size_t length) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        write_failed(path, errno, 0, length, length < kWritePiece ? length : kWritePiece);
        return 0;
    }
    std::printf("    ");
    const std::uint8_t* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    int shown = 0;
    while (done < length) {
        std::size_t piece = length - done < kWritePiece ? length - done : kWritePiece;
        if (std::fwrite(bytes + done, 1, piece, out) != piece) {
            int err = errno;
            std::fclose(out);
            write_failed(path, err, done, length, piece);
            errno = err;
            return 0;
        }
        done += piece;
        int percent = percent_of(done, length);
        if (percent != shown) {
            std::printf("\b\b\b\b%3.3d%c", percent, '%');
            std::fflush(stdout);
            shown = percent;
        }
    }
    if (!close_written(out)) {
        int err = errno;
        write_failed(path, err, done, length, 0);
        errno = err;
        return 0;
    }
    std::printf("\b\b\b\b100%c\n", '%');
    return 1;
}

int file_copy_progress(const char* source, const char* destination) {
    std::uint8_t* buffer = new (std::nothrow) std::uint8_t[kWritePiece];
    if (buffer == nullptr) {
        std::puts("Failed to allocate buffer. Quitting");
        return 0;
    }
    std::FILE* in = std::fopen(source, "rb");
    struct stat info {};
    if (in == nullptr || fstat(fileno(in), &info) != 0) {
        int err = errno;
        if (in != nullptr) {
            std::fclose(in);
        }
        write_failed(destination, err, 0, 0, 0);
        delete[] buffer;
        errno = err;
        return 0;
    }
    std::FILE* out = std::fopen(destination, "wb");
    std::uint64_t length = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    if (out == nullptr) {
        int err = errno;
        std::fclose(in);
        write_failed(destination, err, 0, length, 0);
        delete[] buffer;
        errno = err;
        return 0;
    }
    std::printf("    ");
    std::uint64_t done = 0;
    int shown = 0;
    bool good = true;
    while (done < length) {
        std::size_t piece =
            length - done < kWritePiece ? static_cast<std::size_t>(length - done) : kWritePiece;
        std::size_t got = std::fread(buffer, 1, piece, in);
        if (got != piece) {
            std::printf("WARNING: unexpected read buffer len %d != %d\n", static_cast<int>(got),
                        static_cast<int>(piece));
        }
        // Only what was read goes out: the rest of the buffer holds the
        // previous piece, which must never land on the partition. A source
        // that ends before its measured size is a failed copy.
        if (got == 0 || std::fwrite(buffer, 1, got, out) != got) {
            write_failed(destination, errno, done, length, got == 0 ? piece : got);
            good = false;
            break;
        }
        done += got;
        int percent = percent_of(done, length);
        if (percent != shown) {
            std::printf("\b\b\b\b%3.3d%c", percent, '%');
            std::fflush(stdout);
            shown = percent;
        }
    }
    int err = errno;
    std::fclose(in);
    if (!close_written(out) && good) {
        err = errno;
        write_failed(destination, err, done, length, 0);
        good = false;
    }
    delete[] buffer;
    if (!good) {
        errno = err;
        return 0;
    }
    std::printf("\b\b\b\b100%c\n", '%');
    return 1;
}
