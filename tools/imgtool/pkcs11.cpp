// Signing keys that stay in a hardware security module: pack --sign takes
// a PKCS#11 URI, and the module signs through OpenSSL's PKCS#11 engine
// (libp11's, Debian's libengine-pkcs11-openssl). The private key never
// leaves the module; imgtool sees only a handle.
//
// OpenSSL 3 marks the ENGINE interface deprecated, but the engine is the
// PKCS#11 bridge Debian 12 packages. This file is the one place imgtool
// uses it, so the deprecation is silenced here only (the rest of imgtool
// keeps deprecated calls as errors).
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/engine.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/imgtool/imgtool.h"

namespace {

constexpr const char* kCommand = "pack";

// One engine for the whole run: every component signed in the module
// shares its session and its login.
ENGINE* g_engine = nullptr;

// Found by name in OpenSSL's engine directory: no OpenSSL configuration
// file is needed. The module is the one PKCS11_MODULE_PATH names (the
// engine reads it), else p11-kit's proxy with every module registered
// there.
bool open_engine() {
    if (g_engine) {
        return true;
    }
    ENGINE* engine = ENGINE_by_id("pkcs11");
    if (!engine) {
        imgtool_openssl_error(kCommand,
                              "cannot load OpenSSL's pkcs11 engine (Debian package "
                              "libengine-pkcs11-openssl)");
        return false;
    }
    if (ENGINE_init(engine) != 1) {
        imgtool_openssl_error(kCommand, "cannot start OpenSSL's pkcs11 engine");
        ENGINE_free(engine);
        return false;
    }
    g_engine = engine;
    return true;
}

}  // namespace

bool imgtool_is_pkcs11_uri(const char* key) {
    return std::strncmp(key, "pkcs11:", 7) == 0;
}

// The PIN comes from IMGTOOL_PKCS11_PIN, or the engine asks for it on the
// terminal. A PIN in the URI (pin-value) is refused: command lines show in
// the process list and stay in shell histories and build logs.
EVP_PKEY* imgtool_pkcs11_load_key(const char* uri) {
    if (std::strstr(uri, "pin-value=")) {
        imgtool_error(kCommand,
                      "a PIN in the PKCS#11 URI is refused; give it in IMGTOOL_PKCS11_PIN");
        return nullptr;
    }
    if (!open_engine()) {
        return nullptr;
    }
    const char* pin = std::getenv("IMGTOOL_PKCS11_PIN");
    if (pin && ENGINE_ctrl_cmd_string(g_engine, "PIN", pin, 0) != 1) {
        imgtool_openssl_error(kCommand, "the pkcs11 engine refused the PIN");
        return nullptr;
    }
    EVP_PKEY* key = ENGINE_load_private_key(g_engine, uri, nullptr, nullptr);
    if (!key) {
        std::string what = std::string(uri) + ": no private key the module lets us use";
        imgtool_openssl_error(kCommand, what.c_str());
    }
    return key;
}

void imgtool_pkcs11_close() {
    if (g_engine) {
        ENGINE_finish(g_engine);
        ENGINE_free(g_engine);
        g_engine = nullptr;
    }
}
