#include "image/installed.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "board/mtd.h"
#include "board/test_support.h"
#include "image/test_support.h"
#include "platform/platform.h"
#include "platform/sandbox/test_support.h"

namespace {

using sandbox_test::capture;

constexpr std::uint32_t kApp = 0x014D4152u;
constexpr std::uint32_t kBoot = 0x024D4152u;
constexpr std::uint32_t kOrvex = 0x084D4152u;

struct FlashPlace {
    const char* file;
    std::uint32_t offset;
};

ImageHeader header_of(std::uint32_t magic, std::uint32_t crc = 0x11223344u,
                      std::uint32_t id = 0x01020304u) {
    return ImageHeader{crc, 0x1000u, magic, id};
}

std::string bytes_of(const ImageHeader& header) {
    std::uint8_t bytes[16];
    image_header_encode(header, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), 16);
}

class InstalledHeader : public ::testing::Test {
   protected:
    void SetUp() override {
        mkdir("/user/images", 0755);
        unlink("/user/images/image1");
        unlink("/user/images/image2");
    }
    void TearDown() override {
        unlink("/user/images/image1");
        unlink("/user/images/image2");
        board_test::close_mtd_partitions();
    }
    // Puts an installed header into a partition file, keeping its size,
    // and opens the partitions as start-up does.
    void install_flash(const FlashPlace& place, const ImageHeader& header) {
        std::string content = board_.get(place.file);
        ASSERT_GE(content.size(), place.offset + 16u) << place.file;
        content.replace(place.offset, 16, bytes_of(header));
        board_.set(place.file, content);
        mtd_open_partitions();
    }
    void write_slot(int slot, const std::string& bytes) {
        sandbox_test::write_file("/user/images/image" + std::to_string(slot), bytes);
    }
    sandbox_test::BoardFiles board_;
};

// Installed headers read from each flash partition and slot file, a
// missing partition and an empty slot are shown by the rescue menu's
// version listing (tests/console/test_rescue.py); equal headers skipped by
// the installer in tests/console/test_install.py, test_power_cut.py and the
// USB story, which install other versions over them too.
TEST_F(InstalledHeader, TypesWithoutAnInstalledPlaceAreUnknown) {
    std::uint8_t buffer[16];
    for (std::uint32_t magic : {kApp | kImageFlag, kOrvex, 0x074D4152u, 0x01000000u}) {
        std::string out;
        int result = 1;
        out = capture(1, [&] { result = image_installed_header(magic, buffer, 1); });
        EXPECT_EQ(0, result);
        char expected[40];
        std::snprintf(expected, sizeof expected, "Unknown image type 0x%x \n", magic);
        EXPECT_EQ(expected, out);
    }
    EXPECT_EQ(0, image_installed_header(kApp, nullptr, 1));
    // What cannot be read shows as zeros, whatever the buffer held; and
    // there is no slot path but for slots 1 and 2.
    std::memset(buffer, 0xAA, sizeof buffer);
    capture(1, [&] { image_installed_header(0x074D4152u, buffer, 1); });
    EXPECT_EQ(std::string(16, '\0'), std::string(reinterpret_cast<char*>(buffer), 16));
    EXPECT_STREQ("", image_slot_path(3));
    EXPECT_STREQ("/user/images/image2", image_slot_path(2));
}

TEST_F(InstalledHeader, SameVersionOfBootLoaderIgnoresTheCrcAndNothingIsNoVersion) {
    ImageHeader header = header_of(kBoot);
    install_flash({"mtd/uboot.bin", 0xF0}, header);
    ImageHeader other_crc = header;
    other_crc.crc = 0xCAFEF00Du;
    EXPECT_EQ(1, image_same_version(other_crc, 1));
    ImageHeader other_len = header;
    other_len.len += 1;
    EXPECT_EQ(0, image_same_version(other_len, 1));
    ImageHeader other_id = header;
    other_id.id = 0x02020304u;
    EXPECT_EQ(0, image_same_version(other_id, 1));
    // Any other type counts its CRC, to its first byte.
    sandbox_test::write_file("/user/images/image1", bytes_of(header_of(kApp)));
    EXPECT_EQ(1, image_same_version(header_of(kApp), 1));
    EXPECT_EQ(0, image_same_version(header_of(kApp, 0x10223344u), 1));
    // Nothing installed to compare with is never the same version: an
    // application for a slot without a file, a type without a place.
    std::remove("/user/images/image2");
    EXPECT_EQ(0, image_same_version(header_of(kApp), 2));
    std::uint8_t none[16];
    EXPECT_EQ(0, image_installed_header(kApp, none, 2));
    // ONIE, which the version listing does not show, keeps its header at
    // the start of its partition.
    constexpr std::uint32_t kOnie = 0x094D4152u;
    install_flash({"mtd/onie.bin", 0}, header_of(kOnie));
    EXPECT_EQ(1, image_same_version(header_of(kOnie), 1));
    EXPECT_EQ(0, image_same_version(header_of(kOnie, 0x10223344u), 1));
    int unknown = 1;
    capture(1, [&] { unknown = image_same_version(header_of(0x074D4152u), 1); });
    EXPECT_EQ(0, unknown);
}

}  // namespace
