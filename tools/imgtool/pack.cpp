// imgtool pack: builds a container from payload files.
//
// Each payload file on the command line becomes one component; the options
// before it describe that component and are forgotten after it. The
// payload is streamed twice at most (once to sign it, once to copy it), so
// a payload of any size is packed in a few 64 KiB of memory.
//
// Every component is made ready before anything is written: each key is
// checked to be one the switch can verify with (RSA-2048), each signature
// is checked with the launcher's own RSA code, each boot loader's version
// block against its header. Only then is the container written, and the
// payloads copied are checked to be the payloads signed.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "auth/crypto/imgsign.h"
#include "auth/crypto/pubkey.h"
#include "auth/crypto/sha256.h"
#include "auth/crypto/toolkit.h"
#include "tools/imgtool/imgtool.h"

namespace {

constexpr const char* kCommand = "pack";

struct ComponentPlan {
    bool has_type = false;
    std::uint32_t code = 0;
    int format = 3;
    std::uint32_t id = 0;
    bool flag = false;
    bool has_alias = false;
    std::uint32_t alias = 0;
    std::string key;
    std::string payload;
};

struct PackArgs {
    std::string output;
    // Pack a format-1 payload that begins with "HDR3" with a warning
    // instead of refusing it.
    bool allow_hdr3_payload = false;
    // Pack a boot loader whose version block does not mirror its header
    // with a warning instead of refusing it.
    bool allow_version_block = false;
    const char* pin_file = nullptr;
    std::vector<ComponentPlan> components;
};

// A component ready to be written: its header (crc still zero) and, when
// signed, the digest the signature covers.
struct PreparedComponent {
    const ComponentPlan* plan = nullptr;
    std::uint64_t size = 0;
    std::vector<std::uint8_t> header;
    bool is_signed = false;
    std::uint8_t digest[kSha256DigestLength] = {};
};

void pack_usage(std::FILE* out) {
    std::fputs(
        "usage: imgtool pack -o OUTPUT [COMPONENT OPTIONS] PAYLOAD [[COMPONENT OPTIONS] "
        "PAYLOAD]...\n"
        "\n"
        "Builds an image container: one component per PAYLOAD file, in the order given.\n"
        "The options before a PAYLOAD describe that component only.\n"
        "\n"
        "  -o, --output FILE   the container to write (replaced when it exists)\n"
        "  --allow-hdr3-payload\n"
        "                      pack a format-1 payload that begins with \"HDR3\" with a\n"
        "                      warning (refused otherwise: the switch would read its\n"
        "                      first bytes as a format-3 header)\n"
        "  --allow-version-block-mismatch\n"
        "                      pack a boot loader whose payload does not carry at offset\n"
        "                      240 the version block mirroring its header (len, magic, id)\n"
        "                      with a warning (refused otherwise: a switch with the image on\n"
        "                      its USB stick would install it again at every start)\n"
        "  --pin-file FILE     the PIN of the hardware security module, read from FILE (its\n"
        "                      first line); else IMGTOOL_PKCS11_PIN_FILE names the file,\n"
        "                      else IMGTOOL_PKCS11_PIN holds it, else it is asked for on the\n"
        "                      terminal. Never shown, wiped from memory after use\n"
        "\n"
        "Component options:\n"
        "  --type TYPE         required: application, bootloader, kernel, rootfs, devicetree,\n"
        "                      diagnostics, orvex, onie, or a type code 0-127\n"
        "  --format 1|2|3      header format (default 3): 1 basic 16-byte header, 2 long\n"
        "                      header (flag bit set), 3 HDR3 header with extension entries\n"
        "  --version A.B.C.D   component version, four numbers 0-255 (default 0.0.0.0)\n"
        "  --alias TYPE        format 3: a tag-6 type alias, TYPE as above or a full\n"
        "                      32-bit magic value above 127 (such as 0x014D4152)\n"
        "  --sign KEY          format 3: a tag-3 signature entry, RSA PKCS#1 v1.5 with\n"
        "                      SHA-256 over the payload, made with this RSA-2048 private\n"
        "                      key: a PEM file, or a key in a hardware security module\n"
        "                      named by a PKCS#11 URI (pkcs11:token=LABEL;object=LABEL),\n"
        "                      whose module is PKCS11_MODULE_PATH (default: p11-kit's\n"
        "                      registered modules). Each signature is checked with the\n"
        "                      launcher's own RSA code before anything is written\n"
        "  --flag              format 3: set the extended-header flag bit as well\n"
        "\n"
        "Exit status: 0 written; 1 failed: a key that is not RSA-2048, a signature that\n"
        "does not verify, a refused payload, a hardware security module that cannot be\n"
        "reached (no pkcs11 engine, module, token or key, a wrong PIN) or a failed write;\n"
        "2 usage error or unreadable input (a key file that is not a private key, a URI\n"
        "without token or object, no PIN, a PIN file that cannot be read). Nothing is\n"
        "left at OUTPUT after a failure.\n",
        out);
}

bool take_value(int argc, char** argv, int* i, const char** value) {
    if (*i + 1 >= argc) {
        imgtool_error(kCommand, "%s needs a value", argv[*i]);
        return false;
    }
    *value = argv[++*i];
    return true;
}

// Parses one option of a component; false after a message when it is bad.
bool parse_component_option(int argc, char** argv, int* i, ComponentPlan& plan) {
    const char* arg = argv[*i];
    const char* value = nullptr;
    if (std::strcmp(arg, "--flag") == 0) {
        plan.flag = true;
        return true;
    }
    if (!take_value(argc, argv, i, &value)) {
        return false;
    }
    if (std::strcmp(arg, "--type") == 0) {
        plan.has_type = imgtool_parse_type(value, &plan.code) == 1;
        if (!plan.has_type) {
            imgtool_error(kCommand, "unknown type %s", value);
        }
        return plan.has_type;
    }
    if (std::strcmp(arg, "--format") == 0) {
        if (std::strcmp(value, "1") != 0 && std::strcmp(value, "2") != 0 &&
            std::strcmp(value, "3") != 0) {
            imgtool_error(kCommand, "format must be 1, 2 or 3, not %s", value);
            return false;
        }
        plan.format = value[0] - '0';
        return true;
    }
    if (std::strcmp(arg, "--version") == 0) {
        if (!imgtool_parse_version(value, &plan.id)) {
            imgtool_error(kCommand, "version must be A.B.C.D with numbers 0-255, not %s", value);
            return false;
        }
        return true;
    }
    if (std::strcmp(arg, "--alias") == 0) {
        plan.has_alias = imgtool_parse_magic(value, &plan.alias) == 1;
        if (!plan.has_alias) {
            imgtool_error(kCommand, "unknown alias %s", value);
        }
        return plan.has_alias;
    }
    plan.key = value;  // --sign
    return true;
}

bool check_component(const ComponentPlan& plan) {
    const char* name = plan.payload.c_str();
    if (!plan.has_type) {
        imgtool_error(kCommand, "%s: --type is required", name);
        return false;
    }
    if (plan.format != 3 && (plan.has_alias || !plan.key.empty() || plan.flag)) {
        imgtool_error(kCommand, "%s: --alias, --sign and --flag need format 3", name);
        return false;
    }
    return true;
}

// 1 parsed, 0 help shown, -1 usage error.
int parse_pack_args(int argc, char** argv, PackArgs& args) {
    ComponentPlan plan;
    bool pending = false;  // options given since the last payload
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (imgtool_is_help(arg)) {
            pack_usage(stdout);
            return 0;
        }
        if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0) {
            const char* value = nullptr;
            if (!take_value(argc, argv, &i, &value)) {
                return -1;
            }
            args.output = value;
        } else if (std::strcmp(arg, "--allow-hdr3-payload") == 0) {
            args.allow_hdr3_payload = true;
        } else if (std::strcmp(arg, "--allow-version-block-mismatch") == 0) {
            args.allow_version_block = true;
        } else if (std::strcmp(arg, "--pin-file") == 0) {
            if (!take_value(argc, argv, &i, &args.pin_file)) {
                return -1;
            }
        } else if (std::strcmp(arg, "--type") == 0 || std::strcmp(arg, "--format") == 0 ||
                   std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "--alias") == 0 ||
                   std::strcmp(arg, "--sign") == 0 || std::strcmp(arg, "--flag") == 0) {
            if (!parse_component_option(argc, argv, &i, plan)) {
                return -1;
            }
            pending = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            imgtool_error(kCommand, "unknown option %s", arg);
            return -1;
        } else {
            plan.payload = arg;
            if (!check_component(plan)) {
                return -1;
            }
            args.components.push_back(plan);
            plan = ComponentPlan{};
            pending = false;
        }
    }
    if (pending) {
        imgtool_error(kCommand, "component options after the last payload");
        return -1;
    }
    if (args.output.empty() || args.components.empty()) {
        imgtool_error(kCommand, "an output (-o) and at least one payload are needed");
        return -1;
    }
    return 1;
}

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

// A private key from a PEM file; nullptr after a message.
EVP_PKEY* read_pem_key(const std::string& path) {
    std::FILE* file = imgtool_open(kCommand, path.c_str());
    if (!file) {
        return nullptr;
    }
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (!key) {
        imgtool_openssl_error(kCommand, (path + ": not a PEM private key").c_str());
    }
    return key;
}

// The public half of a key as PEM text, the form the launcher reads its
// keys in; empty when OpenSSL cannot write it.
std::string public_pem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
    char* data = nullptr;
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) {
        return {};
    }
    long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

// The switch verifies with RSA-2048 keys only: a signature made with any
// other key is refused on every switch. The key's size is read by the
// launcher's own key parser. kImgtoolOk, or kImgtoolFailed after a message.
int check_switch_key(const std::string& path, EVP_PKEY* key, std::string* pem) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        const char* type = EVP_PKEY_get0_type_name(key);
        imgtool_error(kCommand,
                      "%s: not an RSA key (%s): the switch verifies RSA-2048 "
                      "signatures only",
                      path.c_str(), type ? type : "unknown type");
        return kImgtoolFailed;
    }
    *pem = public_pem(key);
    RsaPublicKey rsa{};
    CryptoStatus status =
        PUBKEY_convertPublicKey(pem->data(), static_cast<std::uint32_t>(pem->size()), &rsa);
    if (status != CRYPTO_OK) {
        imgtool_error(kCommand, "%s: the launcher cannot read its public key (status %d)",
                      path.c_str(), status);
        return kImgtoolFailed;
    }
    if (rsa.modulusLen != 256) {
        imgtool_error(kCommand, "%s: an RSA-%u key: the switch verifies RSA-2048 signatures only",
                      path.c_str(), rsa.modulusLen * 8);
        return kImgtoolFailed;
    }
    return kImgtoolOk;
}

// Loads a private key from a PEM file or, for a PKCS#11 URI, from a
// hardware security module, and checks it is one the switch can use.
// kImgtoolOk, or the exit status after a message.
int load_key(const std::string& path, PkeyPtr& key, std::string* pem) {
    int status = kImgtoolUsage;
    if (imgtool_is_pkcs11_uri(path.c_str())) {
        key.reset(imgtool_pkcs11_load_key(path.c_str(), &status));
    } else {
        key.reset(read_pem_key(path));
    }
    if (!key) {
        return status;
    }
    return check_switch_key(path, key.get(), pem);
}

// Signs the payload file (RSASSA-PKCS1-v1_5, SHA-256), streaming it; the
// launcher's own SHA-256 gives the digest the signature is checked against.
bool sign_payload(std::FILE* payload, EVP_PKEY* key, std::vector<std::uint8_t>& signature,
                  std::uint8_t digest[kSha256DigestLength]) {
    MdCtxPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestSignInit(md.get(), &pctx, EVP_sha256(), nullptr, key) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
        imgtool_openssl_error(kCommand, "cannot start the signature");
        return false;
    }
    Sha256Ctx sha{};
    sha256_init(sha);
    static std::uint8_t buffer[kImagePieceSize];
    std::rewind(payload);
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, payload)) > 0) {
        sha256_update(sha, buffer, got);
        if (EVP_DigestSignUpdate(md.get(), buffer, got) != 1) {
            imgtool_openssl_error(kCommand, "cannot sign");
            return false;
        }
    }
    sha256_final(sha, digest);
    if (std::ferror(payload)) {
        imgtool_error(kCommand, "cannot read the payload to sign it");
        return false;
    }
    std::size_t length = 0;
    if (EVP_DigestSignFinal(md.get(), nullptr, &length) != 1) {
        imgtool_openssl_error(kCommand, "cannot sign");
        return false;
    }
    signature.resize(length);
    if (EVP_DigestSignFinal(md.get(), signature.data(), &length) != 1) {
        imgtool_openssl_error(kCommand, "cannot sign");
        return false;
    }
    signature.resize(length);
    return true;
}

// The signature as the switch will check it: the launcher's own RSA code,
// the key's public half, the payload's digest. A faulty module or a key
// whose halves do not belong together is caught here, before anything is
// written.
bool signature_verifies(const ComponentPlan& plan, const std::vector<std::uint8_t>& signature,
                        const std::uint8_t digest[kSha256DigestLength], const std::string& pem) {
    CryptoStatus status = IMGSIGN_verifySignature(
        digest, kSha256DigestLength, signature.data(), static_cast<std::uint32_t>(signature.size()),
        pem.data(), static_cast<std::uint32_t>(pem.size()));
    if (status != CRYPTO_OK) {
        imgtool_error(kCommand,
                      "%s: the signature made with %s does not verify with the launcher's own "
                      "RSA code against that key's public half (status %d): the key or the "
                      "module that signed is faulty; nothing written",
                      plan.payload.c_str(), plan.key.c_str(), status);
        return false;
    }
    return true;
}

void put_be16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

void append_entry(std::vector<std::uint8_t>& header, std::uint16_t tag,
                  const std::vector<std::uint8_t>& value) {
    std::size_t at = header.size();
    header.resize(at + 4 + value.size());
    put_be16(header, at, tag);
    put_be16(header, at + 2, static_cast<std::uint32_t>(4 + value.size()));
    std::copy(value.begin(), value.end(), header.begin() + static_cast<long>(at) + 4);
}

// The header bytes of a component (crc still zero). False when the sizes do
// not fit the format.
bool build_header(const ComponentPlan& plan, std::uint64_t payload_size,
                  const std::vector<std::uint8_t>& signature, std::vector<std::uint8_t>& header) {
    std::uint32_t magic = plan.code << 24 | kImageMar;
    header.assign(plan.format == 1 ? kImageHeaderSize : kImageReadSize, 0);
    if (plan.format == 2 || plan.flag) {
        magic |= kImageFlag;
    }
    if (plan.format == 3) {
        std::memcpy(header.data() + 16, "HDR3", 4);
        if (plan.has_alias) {
            std::vector<std::uint8_t> value{static_cast<std::uint8_t>(plan.alias >> 24),
                                            static_cast<std::uint8_t>(plan.alias >> 16),
                                            static_cast<std::uint8_t>(plan.alias >> 8),
                                            static_cast<std::uint8_t>(plan.alias)};
            append_entry(header, kImageTagAlias, value);
        }
        if (!signature.empty()) {
            std::vector<std::uint8_t> value(2);
            put_be16(value, 0, static_cast<std::uint32_t>(signature.size()));
            value.insert(value.end(), signature.begin(), signature.end());
            append_entry(header, kImageTagSignature, value);
        }
        if (header.size() > 0xFFFF) {
            imgtool_error(kCommand, "%s: header of %zu bytes is over 65535", plan.payload.c_str(),
                          header.size());
            return false;
        }
        put_be16(header, 22, static_cast<std::uint32_t>(header.size()));
    } else if (plan.format == 2) {
        put_be16(header, 18, static_cast<std::uint32_t>(header.size()));
    }
    std::uint64_t size = header.size() + payload_size;
    if (size > 0xFFFFFFFFull) {
        imgtool_error(kCommand, "%s: component of %llu bytes is over 4 GiB - 1",
                      plan.payload.c_str(), static_cast<unsigned long long>(size));
        return false;
    }
    std::uint32_t len = plan.format == 3 ? static_cast<std::uint32_t>(size - kImageHeaderSize)
                                         : static_cast<std::uint32_t>(payload_size);
    ImageHeader basic{0, len, magic, plan.id};
    image_header_encode(basic, std::span(header).first<kImageHeaderSize>());
    return true;
}

bool payload_size_of(std::FILE* payload, const std::string& path, std::uint64_t* size) {
    struct stat info {};
    if (fstat(fileno(payload), &info) != 0 || !S_ISREG(info.st_mode)) {
        imgtool_error(kCommand, "%s: not a regular file", path.c_str());
        return false;
    }
    *size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

// Every reader takes bytes 16-23 of a component to tell its format, and
// "HDR3" at 16-19 wins: a format-1 payload that begins with it would be
// read by the switch as a format-3 header with a nonsense length. False
// (after the message) when such a payload is refused.
bool hdr3_payload_allowed(const ComponentPlan& plan, std::FILE* payload, bool allow) {
    char start[4] = {};
    std::size_t got = std::fread(start, 1, sizeof start, payload);
    std::rewind(payload);
    if (got != sizeof start || std::memcmp(start, "HDR3", 4) != 0) {
        return true;
    }
    if (!allow) {
        imgtool_error(kCommand,
                      "%s: a format-1 payload that begins with \"HDR3\" is read by the switch as "
                      "a format-3 header; use format 2 or 3 (or --allow-hdr3-payload to pack it "
                      "anyway)",
                      plan.payload.c_str());
        return false;
    }
    std::fprintf(stderr,
                 "imgtool pack: warning: %s: the format-1 payload begins with \"HDR3\"; the "
                 "switch will read it as a format-3 header\n",
                 plan.payload.c_str());
    return true;
}

// A boot loader's payload carries at offset 240 a version block that
// mirrors its header; the switch reads it back from flash as the installed
// version. One that does not mirror the header makes a switch with the
// image on its USB stick write the boot loader again at every start.
// False (after the message) when such a payload is refused.
bool version_block_allowed(const ComponentPlan& plan, std::FILE* payload, std::uint64_t size,
                           const std::vector<std::uint8_t>& header, bool allow) {
    if ((plan.code << 24 | kImageMar) != image_type_magic(ComponentType::BootLoader)) {
        return true;
    }
    std::uint8_t block[kImageHeaderSize] = {};
    std::size_t got = 0;
    if (size >= kVersionBlockOffset + kImageHeaderSize &&
        fseeko(payload, kVersionBlockOffset, SEEK_SET) == 0) {
        got = std::fread(block, 1, sizeof block, payload);
    }
    std::rewind(payload);
    std::string fault;
    if (!imgtool_version_block_fault(std::span(block, got), size,
                                     std::span(header).first<kImageHeaderSize>(), &fault)) {
        return true;
    }
    if (!allow) {
        imgtool_error(kCommand,
                      "%s: %s: a switch with this image on its USB stick would install the boot "
                      "loader again at every start (--allow-version-block-mismatch packs it "
                      "anyway)",
                      plan.payload.c_str(), fault.c_str());
        return false;
    }
    std::fprintf(stderr,
                 "imgtool pack: warning: %s: %s: a switch with this image on its USB stick "
                 "will install the boot loader again at every start\n",
                 plan.payload.c_str(), fault.c_str());
    return true;
}

// Everything about one component but its bytes: the payload's size, its
// signature made and checked, its header. kImgtoolOk, or an exit status.
int prepare_component(const ComponentPlan& plan, const PackArgs& args, PreparedComponent* out) {
    std::FILE* payload = imgtool_open(kCommand, plan.payload.c_str());
    if (!payload) {
        return kImgtoolUsage;
    }
    std::unique_ptr<std::FILE, decltype(&std::fclose)> closer(payload, std::fclose);
    out->plan = &plan;
    if (!payload_size_of(payload, plan.payload, &out->size)) {
        return kImgtoolUsage;
    }
    if (plan.format == 1 && !hdr3_payload_allowed(plan, payload, args.allow_hdr3_payload)) {
        return kImgtoolFailed;
    }
    std::vector<std::uint8_t> signature;
    if (!plan.key.empty()) {
        PkeyPtr key(nullptr, EVP_PKEY_free);
        std::string pem;
        int status = load_key(plan.key, key, &pem);
        if (status != kImgtoolOk) {
            return status;
        }
        if (!sign_payload(payload, key.get(), signature, out->digest) ||
            !signature_verifies(plan, signature, out->digest, pem)) {
            return kImgtoolFailed;
        }
        out->is_signed = true;
    }
    if (!build_header(plan, out->size, signature, out->header) ||
        !version_block_allowed(plan, payload, out->size, out->header, args.allow_version_block)) {
        return kImgtoolFailed;
    }
    return kImgtoolOk;
}

// Writes one prepared component to `out`: the header, then the payload
// copied in pieces; the CRC is computed on the way and put in at the end.
// A signed payload must be the one signed. 0 written, or an exit status.
int write_component(const PreparedComponent& component, std::FILE* out) {
    const ComponentPlan& plan = *component.plan;
    std::FILE* payload = imgtool_open(kCommand, plan.payload.c_str());
    if (!payload) {
        return kImgtoolUsage;
    }
    std::unique_ptr<std::FILE, decltype(&std::fclose)> closer(payload, std::fclose);
    const std::vector<std::uint8_t>& header = component.header;
    off_t start = ftello(out);
    ImageCrc32 crc;
    image_crc32_init(crc);
    image_crc32_update(crc, std::span(header).subspan(4));
    if (start < 0 || std::fwrite(header.data(), 1, header.size(), out) != header.size()) {
        imgtool_error(kCommand, "cannot write: %s", std::strerror(errno));
        return kImgtoolFailed;
    }
    Sha256Ctx sha{};
    sha256_init(sha);
    static std::uint8_t buffer[kImagePieceSize];
    std::uint64_t copied = 0;
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, payload)) > 0) {
        image_crc32_update(crc, std::span(buffer, got));
        sha256_update(sha, buffer, got);
        if (std::fwrite(buffer, 1, got, out) != got) {
            imgtool_error(kCommand, "cannot write: %s", std::strerror(errno));
            return kImgtoolFailed;
        }
        copied += got;
    }
    std::uint8_t digest[kSha256DigestLength];
    sha256_final(sha, digest);
    if (std::ferror(payload) || copied != component.size ||
        (component.is_signed && std::memcmp(digest, component.digest, sizeof digest) != 0)) {
        imgtool_error(kCommand, "%s changed or could not be read while packing",
                      plan.payload.c_str());
        return kImgtoolFailed;
    }
    std::uint8_t crc_bytes[kImageHeaderSize];
    image_header_encode(ImageHeader{image_crc32_final(crc), 0, 0, 0}, crc_bytes);
    if (fseeko(out, start, SEEK_SET) != 0 || std::fwrite(crc_bytes, 1, 4, out) != 4 ||
        fseeko(out, 0, SEEK_END) != 0) {
        imgtool_error(kCommand, "cannot write: %s", std::strerror(errno));
        return kImgtoolFailed;
    }
    return kImgtoolOk;
}

// Makes every component ready; the keys and the PIN are let go at the end.
int prepare_all(const PackArgs& args, std::vector<PreparedComponent>& prepared) {
    prepared.resize(args.components.size());
    int status = kImgtoolOk;
    for (std::size_t i = 0; i < args.components.size() && status == kImgtoolOk; ++i) {
        status = prepare_component(args.components[i], args, &prepared[i]);
    }
    imgtool_pkcs11_close();
    return status;
}

// Writes the container beside the output and renames it at the end: a
// failed run leaves nothing behind, and a payload named as the output is
// read intact.
int write_container(const PackArgs& args, const std::vector<PreparedComponent>& prepared) {
    std::string temp = args.output + ".XXXXXX";
    int fd = mkstemp(temp.data());
    std::FILE* out = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (!out) {
        imgtool_error(kCommand, "cannot create %s: %s", temp.c_str(), std::strerror(errno));
        if (fd >= 0) {
            close(fd);
            std::remove(temp.c_str());
        }
        return kImgtoolFailed;
    }
    int status = kImgtoolOk;
    for (const PreparedComponent& component : prepared) {
        status = write_component(component, out);
        if (status != kImgtoolOk) {
            break;
        }
    }
    if (std::fclose(out) != 0 && status == kImgtoolOk) {
        imgtool_error(kCommand, "cannot write %s: %s", temp.c_str(), std::strerror(errno));
        status = kImgtoolFailed;
    }
    if (status == kImgtoolOk && std::rename(temp.c_str(), args.output.c_str()) != 0) {
        imgtool_error(kCommand, "cannot write %s: %s", args.output.c_str(), std::strerror(errno));
        status = kImgtoolFailed;
    }
    if (status != kImgtoolOk) {
        std::remove(temp.c_str());
        return status;
    }
    // mkstemp made the file private; give it the mode a new file gets.
    mode_t mask = umask(0);
    umask(mask);
    chmod(args.output.c_str(), 0666 & ~mask);
    return kImgtoolOk;
}

}  // namespace

void imgtool_openssl_error(const char* command, const char* what) {
    unsigned long code = ERR_get_error();
    char text[256] = "no detail";
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    imgtool_error(command, "%s: %s", what, text);
}

int imgtool_pack(int argc, char** argv) {
    PackArgs args;
    int parsed = parse_pack_args(argc, argv, args);
    if (parsed <= 0) {
        if (parsed < 0) {
            std::fputs("Try 'imgtool pack --help'.\n", stderr);
        }
        return parsed == 0 ? kImgtoolOk : kImgtoolUsage;
    }
    imgtool_pkcs11_set_pin_file(args.pin_file);
    // The Base64 table that reading a PEM public key needs.
    TOOLKIT_init();
    std::vector<PreparedComponent> prepared;
    int status = prepare_all(args, prepared);
    if (status == kImgtoolOk) {
        status = write_container(args, prepared);
    }
    if (status != kImgtoolOk) {
        return status;
    }
    std::uint64_t last_size = prepared.back().header.size() + prepared.back().size;
    if (last_size < kImageReadSize) {
        std::fprintf(stderr,
                     "imgtool pack: warning: the last component is %llu bytes, fewer than the 24 "
                     "every reader takes at a component's start: the switch will not see it\n",
                     static_cast<unsigned long long>(last_size));
    }
    std::printf("%s: %zu component%s\n", args.output.c_str(), args.components.size(),
                args.components.size() == 1 ? "" : "s");
    return kImgtoolOk;
}
