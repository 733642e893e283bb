// The signature policy on the virtual board, with components that imgtool
// packed and OpenSSL signed with the test production and development keys
// (auth/testdata/make_components.sh): every row of the outcome table, the
// unsigned decision, the signature search and malformed components. A
// production-signed image on a production switch is the full-update story
// (tests/console/test_stories.py); fuzz/signature_fuzz.cpp feeds the
// malformed bytes.
#include "auth/signature.h"

#include <sys/mount.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "auth/keystore.h"
#include "auth/lowsec.h"
#include "auth/test_support.h"
#include "auth/testdata/fixtures.h"
#include "image/test_support.h"

namespace {

using auth_test::capture_stdout;
using auth_test::on_console;
using auth_test::write_file;
using image_test::Bytes;

Bytes fixture(const char* name) {
    std::span<const std::uint8_t> bytes = auth_fixture(name);
    EXPECT_FALSE(bytes.empty()) << name;
    return Bytes(bytes.begin(), bytes.end());
}

// The parts of a signed fixture: its payload and its signature (the header
// is 24 bytes, then the 262-byte signature entry).
struct Signed {
    Bytes payload;
    Bytes signature;
};

Signed parts_of(const char* name) {
    Bytes image = fixture(name);
    std::size_t header = image[22] << 8 | image[23];
    return {Bytes(image.begin() + static_cast<long>(header), image.end()),
            Bytes(image.begin() + 30, image.begin() + 30 + 256)};
}

const std::string kVerified = " Image signature verified. ";
const std::string kRejected = " Image rejected. ";
const std::string kNoteDeveloper =
    "\nNOTE - developer images operational. Checking developer keys....\n";
const std::string kNoteLowsec =
    "\nNOTE - low security mode is operational. Checking developer keys....\n";
const std::string kAllFailed =
    "\nWARNING: All checks failed but you are running developer images and are in low "
    "security mode\nInstall image anyway? y/N? ";
const std::string kUnsignedWarning =
    "\nWARNING: Image is unsigned but you are running developer images and are in low "
    "security mode\nInstall image anyway? y/N? ";
const std::string kNoSignature = " Image rejected as it has no signature\n";

class SignaturePolicy : public auth_test::AuthBoard {
   protected:
    void SetUp() override {
        AuthBoard::SetUp();
        production_ = fixture("rootfs_production.img");
        development_ = fixture("rootfs_development.img");
        // Signed by neither key: the production-signed payload, changed.
        neither_ = production_;
        neither_.back() ^= 1;
        rfs_production_ = std::string(production_.begin(), production_.end());
        rfs_production_.resize(0x10000, '\xFF');
    }
    // The root filesystem in flash: production-signed, or erased (which no
    // release installs, so the switch runs developer images).
    void developer(bool yes) {
        imgsign_forgetDeveloperImages();
        board_.set("mtd/rfs.bin", yes ? std::string(0x10000, '\xFF') : rfs_production_);
    }
    void lowsec(bool yes) { lowsec_setMarker(yes ? 1 : 0); }
    // The console text and result of one check, `keys` typed.
    std::string verify(const Bytes& component, int expected, const std::string& keys = "") {
        return on_console(keys, [&] { EXPECT_EQ(expected, imgsign_verifyImage(component)); });
    }

    Bytes production_;
    Bytes development_;
    Bytes neither_;
    std::string rfs_production_;
};

TEST_F(SignaturePolicy, OutcomeTableRowByRow) {
    struct Row {
        bool developer;
        bool lowsec;
        bool development_key_verifies;
        int result;
        std::string text;
    };
    // A production switch refusing a development-signed image, and
    // accepting it in low security mode, is the developer-image story
    // (tests/console/test_stories.py).
    const Row rows[] = {
        {true, false, true, 1, kNoteDeveloper + kVerified},
        {true, false, false, 0, kNoteDeveloper + kRejected},
        {false, true, false, 0, kNoteLowsec + kRejected},
        {true, true, true, 1, kNoteDeveloper + kVerified},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "developer " << row.developer << " lowsec " << row.lowsec
                                        << " dev key " << row.development_key_verifies);
        developer(row.developer);
        lowsec(row.lowsec);
        EXPECT_EQ(row.text,
                  verify(row.development_key_verifies ? development_ : neither_, row.result));
    }
    // The last row: the operator decides.
    developer(true);
    lowsec(true);
    EXPECT_EQ(kNoteDeveloper + kAllFailed + "y\n" + kVerified, verify(neither_, 1, "y"));
    EXPECT_EQ(kNoteDeveloper + kAllFailed + "n\n" + kRejected, verify(neither_, 0, "n"));
    EXPECT_EQ(kNoteDeveloper + kAllFailed + std::string(1, '\0') + "\n" + kRejected,
              verify(neither_, 0, ""));
}

TEST_F(SignaturePolicy, UnsignedComponentsAreTheOperatorsCallOnlyOnADeveloperSwitchInLowsec) {
    const Signed parts = parts_of("rootfs_production.img");
    const Bytes format1 = image_test::component(0x044D4152, 1, parts.payload);
    const Bytes format3 = image_test::component(0x044D4152, 3, parts.payload);
    // A zero-length entry ends the search before the signature.
    const Bytes hidden = image_test::component(
        0x044D4152, 3, parts.payload,
        image_test::concat({Bytes{0, 9, 0, 0}, image_test::signature_entry(parts.signature)}));
    // A production switch refuses them without asking: test_install.py.
    developer(true);
    lowsec(false);
    EXPECT_EQ(kNoSignature, verify(format1, 0, "y"));
    lowsec(true);
    EXPECT_EQ(kUnsignedWarning + "Y\n", verify(format3, 1, "Y"));
    // Low security mode alone does not make it the operator's call.
    developer(false);
    EXPECT_EQ(kNoSignature, verify(format3, 0, "y"));
    developer(true);
    EXPECT_EQ(kUnsignedWarning + "\n\n", verify(hidden, 0, "\n"));

    // The boot loader's override prints its note at every question: once
    // for the check and once for the unsigned decision.
    lowsec(false);
    boot_settings.lowsec = 1;
    const std::string note = "NOTE: Uboot low security mode override enabled\n";
    EXPECT_EQ(note + note + kUnsignedWarning + "n\n", verify(format1, 0, "n"));
}

// A full or read-only /user without the key file: the key cannot be
// written from the built-in one, so no image verifies, signed or not by
// the key that is missing. Here /user is a filesystem mounted read-only,
// with the production key file written before.
TEST_F(SignaturePolicy, KeyFileThatCannotBeWrittenVerifiesNothing) {
    const std::string missing = "ERROR - unable to find system key\n";
    const std::string creating = "ERROR creating file ";
    developer(true);
    lowsec(true);
    ASSERT_EQ(0, mount("none", "/user", "tmpfs", 0, nullptr));
    KeyRecord record{};
    capture_stdout([&] { EXPECT_EQ(1, imgsign_loadKey(&record, kProductionKeyFile)); });
    ASSERT_EQ(0, mount("none", "/user", "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr));
    EXPECT_EQ(kNoteDeveloper + creating + kDevelopmentKeyFile + "\n" + missing,
              verify(development_, 0));
    ASSERT_EQ(0, umount("/user"));
    ASSERT_EQ(0, mount("none", "/user", "tmpfs", MS_RDONLY, nullptr));
    EXPECT_EQ(creating + kProductionKeyFile + "\n" + missing, verify(production_, 0));
    ASSERT_EQ(0, umount("/user"));
}

TEST_F(SignaturePolicy, TheLastSignatureEntryIsTheOneChecked) {
    const Signed production = parts_of("rootfs_production.img");
    const Signed development = parts_of("rootfs_development.img");
    auto with = [&](const Bytes& first, const Bytes& second) {
        return image_test::component(0x044D4152, 3, production.payload,
                                     image_test::concat({image_test::signature_entry(first),
                                                         image_test::signature_entry(second)}));
    };
    developer(false);
    EXPECT_EQ(kVerified, verify(with(development.signature, production.signature), 1));
    EXPECT_EQ(kRejected, verify(with(production.signature, development.signature), 0));

    // 255 bytes never verify, with either key.
    Bytes short_signature(production.signature.begin(), production.signature.end() - 1);
    developer(true);
    EXPECT_EQ(kNoteDeveloper + kRejected, verify(with(production.signature, short_signature), 0));
}

TEST_F(SignaturePolicy, MalformedComponentsAreRejectedWithoutReadingOutsideThem) {
    const Signed parts = parts_of("rootfs_production.img");
    developer(true);
    lowsec(true);
    // A signature entry stating 300 bytes that holds 256.
    Bytes overlong = production_;
    overlong[28] = 0x01;
    overlong[29] = 0x2C;
    // Header length past the component (a negative signed region).
    Bytes negative = production_;
    negative[22] = 0xFF;
    // len past the bytes in memory: the same component, cut short.
    Bytes truncated(production_.begin(), production_.end() - 10);
    // An entry reaching past the header: the walk ends there, so this
    // carries no signature.
    Bytes past = image_test::component(0x044D4152, 3, parts.payload, Bytes{0, 3, 0x40, 0});
    for (const Bytes* component : {&overlong, &negative, &truncated}) {
        EXPECT_EQ(kRejected, verify(*component, 0, "y"));
    }
    EXPECT_EQ(kUnsignedWarning + "n\n", verify(past, 0, "n"));
    // 19 bytes end inside the "HDR3" mark: an unsigned component, told
    // without a look at the byte after its end.
    Bytes nineteen(production_.begin(), production_.begin() + 19);
    EXPECT_EQ(kUnsignedWarning + "n\n", verify(nineteen, 0, "n"));
    EXPECT_EQ("", commands());
}

// The root filesystem in flash, row by row: the answer is kept once the
// test has run to its end, and stays open when it stopped early (an
// unsigned format-3 component, or one larger than the partition).
TEST_F(SignaturePolicy, DeveloperImagesAnswerHoldsOnceTheTestHasRunToItsEnd) {
    auto in_flash = [](const Bytes& component) {
        std::string rfs(component.begin(), component.end());
        rfs.resize(0x10000, '\xFF');
        return rfs;
    };
    std::string too_big = rfs_production_;
    too_big[4] = '\x7F';
    const struct {
        bool forget;
        std::string rfs;
        int developer;
    } rows[] = {
        {true, in_flash(development_), 1},
        {false, rfs_production_, 1},
        {true,
         in_flash(image_test::component(0x044D4152, 3, parts_of("rootfs_production.img").payload)),
         0},
        {false, std::string(0x10000, '\x5A'), 1},  // not format 3
        {true, too_big, 0},
        {false, std::string(0x10000, '\xFF'), 1},
        // A component that fills its partition exactly is read and checked.
        {true, std::string(production_.begin(), production_.end()), 0},
        {false, std::string(0x10000, '\xFF'), 0},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        if (rows[i].forget) {
            imgsign_forgetDeveloperImages();
        }
        board_.set("mtd/rfs.bin", rows[i].rfs);
        EXPECT_EQ(rows[i].developer, imgsign_developerImages()) << "row " << i;
    }
    // A development key file that cannot be loaded (too long) stops the
    // test early: the answer is no for now, and the test runs again once
    // the key loads (the file removed, the built-in key is written).
    imgsign_forgetDeveloperImages();
    board_.set("mtd/rfs.bin", in_flash(development_));
    write_file(kDevelopmentKeyFile, std::string(kKeyFileMaxSize + 1, 'k'));
    EXPECT_EQ("ERROR loading key as length too long 501 > 500\n",
              capture_stdout([] { EXPECT_EQ(0, imgsign_developerImages()); }));
    unlink(kDevelopmentKeyFile);
    EXPECT_EQ(1, imgsign_developerImages());
}

}  // namespace
