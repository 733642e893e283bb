// imgtool keyfile: the key files a switch keeps on its eMMC, for release and
// field engineers. It writes the key file a switch with a given serial
// number expects, and reads one taken from a switch. The cipher is the
// launcher's own (auth/keyfile.h), so what this tool writes the switch
// reads, and the other way round.
#include <cstring>
#include <string>

#include "auth/builtin_keys.h"
#include "auth/crypto/pubkey.h"
#include "auth/crypto/toolkit.h"
#include "auth/keyfile.h"
#include "tools/imgtool/imgtool.h"

namespace {

constexpr const char* kCommand = "keyfile";
// The switch refuses key files larger than this.
constexpr std::size_t kKeyFileMax = 500;

void keyfile_usage(std::FILE* out) {
    std::fputs(
        "usage: imgtool keyfile --serial TEXT --key PUBLIC.pem -o FILE\n"
        "       imgtool keyfile --serial TEXT --show FILE\n"
        "\n"
        "Key files hold the image-signing public keys on a switch's eMMC\n"
        "(/user/production_key.pub.pem, /user/development_key.pub.pem), encrypted with\n"
        "AES-128-CBC under a key made from the board serial number.\n"
        "\n"
        "  --serial TEXT  the switch's serial number as its EEPROM holds it: up to 12\n"
        "                 characters, padded with zero bytes\n"
        "  --key FILE     write the key file holding this PEM public key to -o FILE\n"
        "  --show FILE    decrypt a key file taken from that switch and say what it holds:\n"
        "                 the built-in production or development key, another key, or\n"
        "                 garbage (the switch then rewrites it from its built-in key)\n"
        "\n"
        "Exit status: 0 written, or the file holds a built-in key; 1 it holds anything\n"
        "else; 2 usage error or unreadable file.\n",
        out);
}

struct KeyfileArgs {
    const char* serial = nullptr;
    const char* key = nullptr;
    const char* output = nullptr;
    const char* show = nullptr;
};

// 1 parsed, 0 help shown, -1 usage error.
int parse_keyfile_args(int argc, char** argv, KeyfileArgs& args) {
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (imgtool_is_help(arg)) {
            keyfile_usage(stdout);
            return 0;
        }
        const char** slot = nullptr;
        if (std::strcmp(arg, "--serial") == 0) {
            slot = &args.serial;
        } else if (std::strcmp(arg, "--key") == 0 || std::strcmp(arg, "-k") == 0) {
            slot = &args.key;
        } else if (std::strcmp(arg, "--output") == 0 || std::strcmp(arg, "-o") == 0) {
            slot = &args.output;
        } else if (std::strcmp(arg, "--show") == 0) {
            slot = &args.show;
        } else {
            imgtool_error(kCommand, "unexpected argument %s", arg);
            return -1;
        }
        if (i + 1 >= argc || *slot != nullptr) {
            imgtool_error(kCommand, "%s needs one value", arg);
            return -1;
        }
        *slot = argv[++i];
    }
    if (args.serial == nullptr) {
        imgtool_error(kCommand, "the serial number (--serial) is needed");
        return -1;
    }
    bool write = args.key != nullptr || args.output != nullptr;
    if (write == (args.show != nullptr) || (write && (!args.key || !args.output))) {
        imgtool_error(kCommand, "either --key and -o, or --show");
        return -1;
    }
    std::size_t length = std::strlen(args.serial);
    if (length == 0 || length > kKeyMaterialLength) {
        imgtool_error(kCommand,
                      "serial number '%s': 1 to 12 characters (a switch with a blank serial "
                      "number uses its built-in keys and no key file)",
                      args.serial);
        return -1;
    }
    return 1;
}

// A whole small file; false after a message when it cannot be read or is
// larger than `limit`.
bool read_small_file(const char* path, std::size_t limit, std::string* content) {
    std::FILE* file = imgtool_open(kCommand, path);
    if (!file) {
        return false;
    }
    content->assign(limit + 1, '\0');
    std::size_t got = std::fread(content->data(), 1, content->size(), file);
    bool bad = std::ferror(file) != 0;
    std::fclose(file);
    if (bad) {
        imgtool_error(kCommand, "%s: read error", path);
        return false;
    }
    if (got > limit) {
        imgtool_error(kCommand, "%s: larger than %zu bytes", path, limit);
        return false;
    }
    content->resize(got);
    return true;
}

const char* builtin_name(const std::string& text) {
    if (text == std::string(builtin_production_key, kBuiltinKeyLength)) {
        return "production";
    }
    if (text == std::string(builtin_development_key, kBuiltinKeyLength)) {
        return "development";
    }
    return nullptr;
}

int write_key_file(const KeyfileArgs& args, const std::uint8_t* serial) {
    // The text, its zero byte and the padding must stay within the size
    // the switch accepts.
    std::string text;
    if (!read_small_file(args.key, kKeyFileMax - 5, &text)) {
        return kImgtoolUsage;
    }
    if (PUBKEY_convertPublicKey(text.data(), static_cast<std::uint32_t>(text.size()), nullptr) !=
        CRYPTO_OK) {
        imgtool_error(kCommand, "%s: not an RSA public key in PEM form", args.key);
        return kImgtoolUsage;
    }
    std::uint32_t length = 0;
    std::uint8_t* cipher = imgsign_encrypt(serial, kKeyMaterialLength,
                                           reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                           static_cast<std::uint32_t>(text.size() + 1), &length);
    if (cipher == nullptr) {
        return kImgtoolFailed;
    }
    std::FILE* out = std::fopen(args.output, "wb");
    bool written = out != nullptr && std::fwrite(cipher, 1, length, out) == length;
    written = out != nullptr && std::fclose(out) == 0 && written;
    imgsign_release(cipher, length);
    if (!written) {
        imgtool_error(kCommand, "%s: cannot write it", args.output);
        return kImgtoolFailed;
    }
    const char* name = builtin_name(text);
    if (name != nullptr) {
        std::printf("%s: %u bytes, the built-in %s key for serial number %s\n", args.output, length,
                    name, args.serial);
    } else {
        std::printf(
            "%s: %u bytes for serial number %s, holding a key that is not built into this "
            "launcher: the switch replaces it with its built-in key\n",
            args.output, length, args.serial);
    }
    return kImgtoolOk;
}

int show_key_file(const KeyfileArgs& args, const std::uint8_t* serial) {
    std::string file;
    if (!read_small_file(args.show, kKeyFileMax, &file)) {
        return kImgtoolUsage;
    }
    if (file.size() % 16 != 0) {
        std::printf("%s: %zu bytes, not a multiple of 16: the switch deletes every key file\n",
                    args.show, file.size());
        return kImgtoolFailed;
    }
    std::uint32_t textLen = 0;
    std::uint8_t* plain = keyfile_decrypt(serial, kKeyMaterialLength,
                                          reinterpret_cast<const std::uint8_t*>(file.data()),
                                          static_cast<std::uint32_t>(file.size()), &textLen);
    if (plain == nullptr) {
        return kImgtoolFailed;
    }
    std::string text(reinterpret_cast<char*>(plain), textLen);
    imgsign_release(plain, static_cast<std::uint32_t>(file.size() + 1));

    const char* name = builtin_name(text);
    if (name != nullptr) {
        std::printf("%s: the built-in %s key\n", args.show, name);
        return kImgtoolOk;
    }
    if (text.empty()) {
        std::printf("%s: an empty key: the switch rewrites it from its built-in key\n", args.show);
        return kImgtoolFailed;
    }
    for (const char* builtin : {builtin_production_key, builtin_development_key}) {
        const char* name = builtin == builtin_production_key ? "production" : "development";
        if (text.size() < kBuiltinKeyLength &&
            std::memcmp(builtin, text.data(), text.size()) == 0) {
            std::printf(
                "%s: the first %zu bytes of the built-in %s key: the switch rewrites it from its "
                "built-in key\n",
                args.show, text.size(), name);
            return kImgtoolFailed;
        }
        if (text.size() > kBuiltinKeyLength &&
            std::memcmp(builtin, text.data(), kBuiltinKeyLength) == 0) {
            std::printf(
                "%s: the built-in %s key followed by %zu more bytes: the switch rewrites it "
                "from its built-in key\n",
                args.show, name, text.size() - kBuiltinKeyLength);
            return kImgtoolFailed;
        }
    }
    RsaPublicKey key{};
    if (PUBKEY_convertPublicKey(text.data(), static_cast<std::uint32_t>(text.size()), &key) ==
        CRYPTO_OK) {
        std::printf(
            "%s: another RSA public key (%u bits), not built into this launcher: the switch "
            "replaces it with its built-in key\n%s",
            args.show, key.modulusLen * 8, text.c_str());
        return kImgtoolFailed;
    }
    std::printf(
        "%s: garbage for serial number %s (a key file of another switch, or damaged): the "
        "switch replaces it with its built-in key\n",
        args.show, args.serial);
    return kImgtoolFailed;
}

}  // namespace

int imgtool_keyfile(int argc, char** argv) {
    KeyfileArgs args;
    int parsed = parse_keyfile_args(argc, argv, args);
    if (parsed <= 0) {
        if (parsed < 0) {
            std::fputs("Try 'imgtool keyfile --help'.\n", stderr);
        }
        return parsed == 0 ? kImgtoolOk : kImgtoolUsage;
    }
    // The Base64 table that PEM decoding needs.
    TOOLKIT_init();
    std::uint8_t serial[kKeyMaterialLength] = {};
    std::memcpy(serial, args.serial, std::strlen(args.serial));
    return args.show != nullptr ? show_key_file(args, serial) : write_key_file(args, serial);
}
