// imgtool verify: checks a container as the switch would before using it:
// every component's CRC, and every HDR3 component's signature with the
// launcher's own RSA code against one public key.
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>

#include "auth/crypto/imgsign.h"
#include "auth/crypto/pubkey.h"
#include "auth/crypto/toolkit.h"
#include "tools/imgtool/imgtool.h"

namespace {

constexpr const char* kCommand = "verify";
// Far more than any PEM public key the switch can hold.
constexpr std::size_t kMaxKeyText = 65536;

void verify_usage(std::FILE* out) {
    std::fputs(
        "usage: imgtool verify --key PUBLIC.pem FILE\n"
        "\n"
        "Checks the image container FILE as the switch does before it uses a component:\n"
        "every component's CRC, and the signature of every format-3 (HDR3) component with\n"
        "the public key PUBLIC.pem (the last tag-3 entry of its header, RSA PKCS#1 v1.5\n"
        "with SHA-256 over the payload), verified by the launcher's own RSA code.\n"
        "Format 1 and 2 components carry no signature and are checked by CRC only.\n"
        "\n"
        "Exit status: 0 every check passed; 1 a check failed (a line names the component\n"
        "and why); 2 usage error, unreadable file or a key that is not a public key.\n",
        out);
}

struct VerifyArgs {
    const char* key = nullptr;
    const char* file = nullptr;
};

// 1 parsed, 0 help shown, -1 usage error.
int parse_verify_args(int argc, char** argv, VerifyArgs& args) {
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (imgtool_is_help(arg)) {
            verify_usage(stdout);
            return 0;
        }
        if (std::strcmp(arg, "--key") == 0 || std::strcmp(arg, "-k") == 0) {
            if (i + 1 >= argc || args.key) {
                imgtool_error(kCommand, "--key needs one public key file");
                return -1;
            }
            args.key = argv[++i];
        } else if ((arg[0] == '-' && arg[1] != '\0') || args.file) {
            imgtool_error(kCommand, "unexpected argument %s", arg);
            return -1;
        } else {
            args.file = arg;
        }
    }
    if (!args.key || !args.file) {
        imgtool_error(kCommand, "a key (--key) and a file are needed");
        return -1;
    }
    return 1;
}

// Reads the key text and checks that it is a public key the launcher can
// use. Empty on failure, after a message.
std::string read_key(const char* path) {
    std::FILE* file = imgtool_open(kCommand, path);
    if (!file) {
        return {};
    }
    std::string text(kMaxKeyText, '\0');
    std::size_t got = std::fread(text.data(), 1, text.size(), file);
    bool bad = std::ferror(file) != 0;
    std::fclose(file);
    if (bad || got == 0 || got == text.size()) {
        imgtool_error(kCommand, "%s: cannot read a key from it", path);
        return {};
    }
    text.resize(got);
    CryptoStatus status =
        PUBKEY_convertPublicKey(text.data(), static_cast<std::uint32_t>(text.size()), nullptr);
    if (status != CRYPTO_OK) {
        imgtool_error(kCommand, "%s: not an RSA public key (status %d)", path, status);
        return {};
    }
    return text;
}

// Prints "component N (TYPE, offset X): " before a verdict.
void print_name(const ToolComponent& c) {
    std::printf("component %d (%s, offset %" PRIu64 "): ", c.index,
                imgtool_type_name(image_type_of(c.header.magic)), c.offset);
}

// The signature check of a format-3 component. True when it verifies.
bool check_signature(const ToolComponent& c, const std::string& key, const char* key_path) {
    std::span<const std::uint8_t> signature;
    int found = image_find_signature(c.header_bytes, &signature);
    if (found == 0) {
        print_name(c);
        std::printf("no signature entry\n");
        return false;
    }
    if (found < 0) {
        print_name(c);
        std::printf("malformed signature entry (signature length past the entry)\n");
        return false;
    }
    CryptoStatus status = IMGSIGN_verifySignature(
        c.payload_digest, 32, signature.data(), static_cast<std::uint32_t>(signature.size()),
        key.data(), static_cast<std::uint32_t>(key.size()));
    print_name(c);
    if (status != CRYPTO_OK) {
        std::printf("signature does not verify with %s (status %d)\n", key_path, status);
        return false;
    }
    std::printf("CRC good, signature verified\n");
    return true;
}

// Every check of one component; true when all passed.
bool check_component(const ToolComponent& c, const std::string& key, const char* key_path) {
    if (!c.complete) {
        print_name(c);
        std::printf("truncated: the file ends %" PRIu64 " bytes into the component of %u bytes\n",
                    c.bytes_read, image_component_size(c.layout));
        return false;
    }
    if (c.computed_crc != c.header.crc) {
        print_name(c);
        std::printf("CRC bad: stored 0x%08X, computed 0x%08X\n", c.header.crc, c.computed_crc);
        return false;
    }
    if (c.layout.format == HeaderFormat::Hdr3) {
        return check_signature(c, key, key_path);
    }
    print_name(c);
    std::printf("CRC good, format %d: no signature to check\n", static_cast<int>(c.layout.format));
    return true;
}

}  // namespace

int imgtool_verify(int argc, char** argv) {
    VerifyArgs args;
    int parsed = parse_verify_args(argc, argv, args);
    if (parsed <= 0) {
        if (parsed < 0) {
            std::fputs("Try 'imgtool verify --help'.\n", stderr);
        }
        return parsed == 0 ? kImgtoolOk : kImgtoolUsage;
    }
    // The Base64 table that PEM decoding needs.
    TOOLKIT_init();
    std::string key = read_key(args.key);
    if (key.empty()) {
        return kImgtoolUsage;
    }
    std::FILE* file = imgtool_open(kCommand, args.file);
    if (!file) {
        return kImgtoolUsage;
    }
    std::unique_ptr<std::FILE, decltype(&std::fclose)> closer(file, std::fclose);
    ToolWalk walk{};
    imgtool_walk_begin(walk, file, true);
    ToolComponent component{};
    bool good = true;
    int result = 0;
    while ((result = imgtool_walk_next(walk, &component)) == 1) {
        good = check_component(component, key, args.key) && good;
    }
    if (walk.read_error) {
        imgtool_error(kCommand, "%s: read error", args.file);
        return kImgtoolUsage;
    }
    if (result < 0) {
        std::printf("component %d (offset %" PRIu64 ", magic 0x%08X): refused: %s\n",
                    walk.count + 1, walk.offset, walk.refused_header.magic,
                    image_fault_text(walk.fault));
        good = false;
    } else if (walk.trailing > 0) {
        std::printf("note: %" PRIu64 " trailing bytes at offset %" PRIu64
                    " are too few for a header; the switch ignores them\n",
                    walk.trailing, walk.offset);
    }
    if (walk.count == 0 && result == 0) {
        std::printf("no component\n");
        good = false;
    }
    std::printf("%s: %s\n", args.file, good ? "verified" : "FAILED");
    return good ? kImgtoolOk : kImgtoolFailed;
}
