#include "auth/signature.h"

#include <cstdio>
#include <memory>
#include <new>

#include "auth/crypto/imgsign.h"
#include "auth/crypto/toolkit.h"
#include "auth/keystore.h"
#include "auth/lowsec.h"
#include "board/mtd.h"
#include "console/input.h"
#include "image/container.h"

namespace {

// Whether the switch runs developer images, found out once per boot.
struct DeveloperImages {
    bool known = false;
    int value = 0;
};
DeveloperImages developer_images;

// The question the operator answers on a developer switch in low security
// mode. It waits for the answer: only a yes installs.
constexpr unsigned kInstallAnywayLimit = 0;

// The parts of a format-3 component that a signature check needs, all
// inside the component's bytes.
struct SignedParts {
    std::span<const std::uint8_t> payload;    // the signed region
    std::span<const std::uint8_t> signature;  // the last tag-3 entry's signature
};

enum class Signed { Yes, Unsigned, Malformed };

// Finds the signed region and the signature of a component whose bytes
// 16-19 are "HDR3":
//
//   0        16    20      22   24                header_len       len + 16
//   | header | HDR3 | .... | hl | entries (tag, length, value)... | payload |
//
// The payload is signed, the header (and so the signature) is not. A
// component whose header or payload would lie outside its bytes, or whose
// last signature entry states more bytes than it holds, is Malformed and
// must be rejected: nothing outside `component` is read.
Signed find_signed_parts(std::span<const std::uint8_t> component, SignedParts* parts) {
    ComponentLayout layout{};
    if (!image_header_parse(component, &layout, nullptr) ||
        image_component_size(layout) > component.size()) {
        return Signed::Malformed;
    }
    std::span<const std::uint8_t> signature;
    switch (image_find_signature(component.first(layout.header_len), &signature)) {
        case 0:
            return Signed::Unsigned;
        case 1:
            break;
        default:
            return Signed::Malformed;
    }
    parts->payload = component.subspan(layout.header_len, layout.payload_len);
    parts->signature = signature;
    return Signed::Yes;
}

// The SHA-256 digest of the signed region. 1, or 0 after the message.
int digest_of(const SignedParts& parts, std::uint8_t (&digest)[32]) {
    std::uint32_t length = 0;
    CryptoStatus status = IMGSIGN_computeSHA256(
        parts.payload.data(), static_cast<std::uint32_t>(parts.payload.size()), digest, &length);
    if (status != 0) {
        std::printf("HASH calculation for signed image failed: rc = %d \n",
                    static_cast<int>(status));
        return 0;
    }
    return 1;
}

CryptoStatus verify_with(const std::uint8_t (&digest)[32], const SignedParts& parts,
                         const KeyRecord& key) {
    return IMGSIGN_verifySignature(digest, sizeof digest, parts.signature.data(),
                                   static_cast<std::uint32_t>(parts.signature.size()), key.pem,
                                   key.length);
}

// The key record lives on the stack for one check and is wiped at its end.
struct ScopedKey {
    KeyRecord record{};
    ~ScopedKey() { imgsign_wipeRecord(&record); }
};

bool is_hdr3(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 20 && bytes[16] == 'H' && bytes[17] == 'D' && bytes[18] == 'R' &&
           bytes[19] == '3';
}

int verdict(int accepted) {
    std::fputs(accepted ? " Image signature verified. " : " Image rejected. ", stdout);
    std::fflush(stdout);
    return accepted;
}

// The developer-images test proper: 1 or 0 when it ran to its end, -1 when
// it stopped early and the answer stays unknown.
int test_root_filesystem() {
    std::uint8_t first[kImageReadSize];
    if (partition_read(first, mtd_partitions.rfs, 0, sizeof first) != 0) {
        return -1;
    }
    // Anything but a format-3 container (an erased partition included) is
    // a root filesystem no release ever installed: a developer's.
    if (!is_hdr3(first)) {
        return 1;
    }
    ComponentLayout layout{};
    FlashGeometry geometry{};
    if (!image_header_parse(first, &layout, nullptr) ||
        !mtd_get_geometry(mtd_partitions.rfs, &geometry) ||
        image_component_size(layout) > geometry.size) {
        return -1;
    }
    std::uint32_t size = image_component_size(layout);
    std::unique_ptr<std::uint8_t[]> component(new (std::nothrow) std::uint8_t[size]);
    if (!component || partition_read(component.get(), mtd_partitions.rfs, 0, size) != 0) {
        return -1;
    }
    SignedParts parts{};
    if (find_signed_parts(std::span(component.get(), size), &parts) != Signed::Yes) {
        return -1;
    }
    std::uint8_t digest[32];
    if (!digest_of(parts, digest)) {
        return -1;
    }
    ScopedKey key;
    if (!imgsign_loadKey(&key.record, kDevelopmentKeyFile)) {
        return -1;
    }
    int developer = verify_with(digest, parts, key.record) == 0 ? 1 : 0;
    toolkit_wipe(digest, sizeof digest);
    return developer;
}

}  // namespace

int imgsign_developerImages() {
    if (developer_images.known) {
        return developer_images.value;
    }
    int answer = test_root_filesystem();
    if (answer < 0) {
        return 0;
    }
    developer_images.known = true;
    developer_images.value = answer;
    return answer;
}

void imgsign_forgetDeveloperImages() {
    developer_images = DeveloperImages{};
}

int imgsign_checkUnsigned() {
    int developer = imgsign_developerImages();
    int lowsec = lowsec_active();
    if (developer && lowsec) {
        std::puts(
            "\nWARNING: Image is unsigned but you are running developer images and are in low "
            "security mode");
        return ask_yes_no("Install image anyway?", kInstallAnywayLimit);
    }
    std::puts(" Image rejected as it has no signature");
    return 0;
}

int imgsign_verifyImage(std::span<const std::uint8_t> component) {
    int lowsec = lowsec_active();
    if (!is_hdr3(component)) {
        return imgsign_checkUnsigned();
    }
    SignedParts parts{};
    switch (find_signed_parts(component, &parts)) {
        case Signed::Unsigned:
            return imgsign_checkUnsigned();
        case Signed::Malformed:
            return verdict(0);
        case Signed::Yes:
            break;
    }
    std::uint8_t digest[32];
    if (!digest_of(parts, digest)) {
        return 0;
    }
    ScopedKey key;
    if (!imgsign_loadKey(&key.record, kProductionKeyFile)) {
        return 0;
    }
    CryptoStatus status = verify_with(digest, parts, key.record);
    if (status != 0) {
        int developer = imgsign_developerImages();
        if (lowsec || developer) {
            std::puts(
                developer
                    ? "\nNOTE - developer images operational. Checking developer keys...."
                    : "\nNOTE - low security mode is operational. Checking developer keys....");
            if (!imgsign_loadKey(&key.record, kDevelopmentKeyFile)) {
                return 0;
            }
            status = verify_with(digest, parts, key.record);
        }
        if (status != 0 && developer && lowsec) {
            std::puts(
                "\nWARNING: All checks failed but you are running developer images and are in "
                "low security mode");
            status = ask_yes_no("Install image anyway?", kInstallAnywayLimit) ? 0 : 1;
        }
    }
    toolkit_wipe(digest, sizeof digest);
    return verdict(status == 0 ? 1 : 0);
}
