// imgtool verify: tells what the switch's installer will do with each
// component of a container: its CRC, the installer's size limit, whether
// its type goes through the signature policy, and the signature checked
// with the launcher's own RSA code against the production key (and, when
// given, the development key).
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>

#include "auth/crypto/imgsign.h"
#include "auth/crypto/pubkey.h"
#include "auth/crypto/toolkit.h"
#include "image/install_rules.h"
#include "tools/imgtool/imgtool.h"

namespace {

constexpr const char* kCommand = "verify";
// Far more than any PEM public key the switch can hold.
constexpr std::size_t kMaxKeyText = 65536;

void verify_usage(std::FILE* out) {
    std::fputs(
        "usage: imgtool verify --key PRODUCTION.pem [--dev-key DEVELOPMENT.pem] FILE\n"
        "\n"
        "Tells what the switch's installer will do with each component of the image\n"
        "container FILE, one line per component: its CRC; for flash types the size the\n"
        "installer measures (payload or whole component) against its limit; and whether\n"
        "its type goes through the signature policy. Boot loader, diagnostics and ORVEX\n"
        "components are written without one. For the other types the signature (the last\n"
        "tag-3 entry of a format-3 header, RSA PKCS#1 v1.5 with SHA-256 over the payload)\n"
        "is checked with the production public key and, if given, the development key,\n"
        "by the launcher's own RSA code. A format-1 or format-2 component of such a type\n"
        "is refused as unsigned on a production switch. A boot loader whose payload does\n"
        "not carry at offset 240 the version block mirroring its header (len, magic, id)\n"
        "is installed again at every start of a switch with the image on its USB stick.\n"
        "Types the switch does not know are passed over.\n"
        "\n"
        "Exit status: 0 a production switch installs every component once; 1 it would\n"
        "refuse one, or install a boot loader again at every start (the line says why);\n"
        "2 usage error, unreadable file or a key that is not a public key.\n",
        out);
}

struct VerifyArgs {
    const char* key = nullptr;
    const char* dev_key = nullptr;
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
        } else if (std::strcmp(arg, "--dev-key") == 0) {
            if (i + 1 >= argc || args.dev_key) {
                imgtool_error(kCommand, "--dev-key needs one public key file");
                return -1;
            }
            args.dev_key = argv[++i];
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

struct Keys {
    std::string production;
    const char* production_path;
    std::string development;  // empty when not given
    const char* development_path;
};

bool verifies(const ToolComponent& c, std::span<const std::uint8_t> signature,
              const std::string& key, CryptoStatus* status) {
    *status = IMGSIGN_verifySignature(c.payload_digest, 32, signature.data(),
                                      static_cast<std::uint32_t>(signature.size()), key.data(),
                                      static_cast<std::uint32_t>(key.size()));
    return *status == CRYPTO_OK;
}

// The signature policy's verdict on a production switch, after the CRC
// text already printed. True when such a switch installs the component.
bool check_signature(const ToolComponent& c, const Keys& keys) {
    if (c.layout.format != HeaderFormat::Hdr3) {
        std::printf(
            "format %d: no signature; refused as unsigned on a production switch (a "
            "developer switch in low security mode asks the operator)\n",
            static_cast<int>(c.layout.format));
        return false;
    }
    std::span<const std::uint8_t> signature;
    int found = image_find_signature(c.header_bytes, &signature);
    if (found == 0) {
        std::printf(
            "no signature entry; refused as unsigned on a production switch (a "
            "developer switch in low security mode asks the operator)\n");
        return false;
    }
    if (found < 0) {
        std::printf("malformed signature entry (signature length past the entry); refused\n");
        return false;
    }
    CryptoStatus status = CRYPTO_OK;
    if (verifies(c, signature, keys.production, &status)) {
        std::printf("signature verified with the production key; installed on every switch\n");
        return true;
    }
    CryptoStatus dev_status = CRYPTO_OK;
    if (!keys.development.empty() && verifies(c, signature, keys.development, &dev_status)) {
        std::printf(
            "signature does not verify with %s (status %d) but verifies with the "
            "development key %s; installed only on a switch running developer images "
            "or in low security mode, refused on a production switch\n",
            keys.production_path, status, keys.development_path);
        return false;
    }
    std::printf("signature does not verify with %s (status %d)", keys.production_path, status);
    if (!keys.development.empty()) {
        std::printf(" nor with %s (status %d)", keys.development_path, dev_status);
    }
    std::printf("; refused (a developer switch in low security mode asks the operator)\n");
    return false;
}

// A boot loader whose version block does not mirror its header is never
// the installed version to the switch's same-version test: a stick with
// it is installed again at every start. Ends the line; true when the block
// mirrors the header (or the component is no boot loader).
bool check_version_block(const ToolComponent& c) {
    std::string fault;
    if (image_type_of(c.header.magic) != image_type_magic(ComponentType::BootLoader) ||
        !imgtool_version_block_fault(std::span(c.version_block, c.version_block_len),
                                     c.layout.payload_len,
                                     std::span(c.header_bytes).first<kImageHeaderSize>(), &fault)) {
        std::printf("\n");
        return true;
    }
    std::printf(
        "; but %s: a switch with this image on its USB stick installs it again at every "
        "start\n",
        fault.c_str());
    return false;
}

// Every check the installer makes on one component; true when a
// production switch installs it.
bool check_component(const ToolComponent& c, const Keys& keys, int* known) {
    std::uint32_t type = image_type_of(c.header.magic);
    const InstallRule* rule = install_rule_of(type);
    print_name(c);
    if (rule == nullptr) {
        std::printf("no type the switch knows; the installer passes over it\n");
        return true;
    }
    ++*known;
    if (!c.complete) {
        std::printf("truncated: the file ends %" PRIu64
                    " bytes into the component of %u bytes; fails the installer's CRC check\n",
                    c.bytes_read, image_component_size(c.layout));
        return false;
    }
    if (c.computed_crc != c.header.crc) {
        std::printf("CRC bad: stored 0x%08X, computed 0x%08X; refused by the installer\n",
                    c.header.crc, c.computed_crc);
        return false;
    }
    std::printf("CRC good; ");
    if (rule->limit != 0) {
        std::uint32_t measured =
            rule->payload_only ? c.layout.payload_len : image_component_size(c.layout);
        const char* what = rule->payload_only ? "payload" : "component";
        if (measured > rule->limit) {
            std::printf("%s of %u bytes is over the limit of %u for %s; refused\n", what, measured,
                        rule->limit, rule->destination);
            return false;
        }
        std::printf("%s of %u bytes within the limit of %u for %s; ", what, measured, rule->limit,
                    rule->destination);
    } else {
        std::printf("no size limit for %s; ", rule->destination);
    }
    if (!rule->needs_signature) {
        std::printf("no signature step for this type; installed on every switch");
        return check_version_block(c);
    }
    return check_signature(c, keys);
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
    Keys keys{read_key(args.key), args.key, {}, args.dev_key};
    if (keys.production.empty()) {
        return kImgtoolUsage;
    }
    if (args.dev_key) {
        keys.development = read_key(args.dev_key);
        if (keys.development.empty()) {
            return kImgtoolUsage;
        }
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
    int known = 0;  // components of a type the installer knows
    while ((result = imgtool_walk_next(walk, &component)) == 1) {
        good = check_component(component, keys, &known) && good;
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
    } else if (known == 0 && result == 0) {
        std::printf(
            "no component of a type the switch knows: the installer ends with "
            "\"ERROR: No valid image found\"\n");
        good = false;
    }
    std::printf("%s: %s\n", args.file, good ? "verified" : "FAILED");
    return good ? kImgtoolOk : kImgtoolFailed;
}
