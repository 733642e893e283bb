// Signing keys that stay in a hardware security module: pack --sign takes
// a PKCS#11 URI, and the module signs through OpenSSL's PKCS#11 engine
// (libp11's, Debian's libengine-pkcs11-openssl). The private key never
// leaves the module; imgtool sees only a handle.
//
// Before the engine is asked for the key, imgtool walks the way to it
// itself, through the module's own PKCS#11 interface: the engine, the
// module, the token, the login, the key. Each step that fails says which
// it is, so that nobody retries a PIN blind: a real module counts wrong
// PINs and locks the PIN after a few.
//
// OpenSSL 3 marks the ENGINE interface deprecated, but the engine is the
// PKCS#11 bridge Debian 12 packages. This file is the one place imgtool
// uses it, so the deprecation is silenced here only (the rest of imgtool
// keeps deprecated calls as errors).
#define OPENSSL_SUPPRESS_DEPRECATED

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <p11-kit/pkcs11.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/imgtool/imgtool.h"

namespace {

constexpr const char* kCommand = "pack";
// The module p11-kit offers every registered module through; the
// engine's own default too.
constexpr const char* kDefaultModule = "p11-kit-proxy.so";
// Longer than any PIN a token takes (PKCS#11 labels are 32 bytes; PINs
// are seldom over 64).
constexpr std::size_t kMaxPin = 255;

// ---- The PIN: held in one buffer, wiped when the run ends ----

struct Pin {
    char text[kMaxPin + 3];  // the PIN, a line end and the zero
    std::size_t length;
    bool have;
};
Pin g_pin{};
const char* g_pin_file = nullptr;

void wipe_pin() {
    OPENSSL_cleanse(&g_pin, sizeof g_pin);
}

// Takes the PIN from `text` (one line; a trailing LF or CRLF dropped).
// kImgtoolOk, or kImgtoolUsage after a message naming `where`.
int set_pin(const char* text, std::size_t length, const char* where) {
    if (length > 0 && text[length - 1] == '\n') {
        --length;
        if (length > 0 && text[length - 1] == '\r') {
            --length;
        }
    }
    if (length == 0) {
        imgtool_error(kCommand, "%s holds no PIN", where);
        return kImgtoolUsage;
    }
    if (length > kMaxPin || std::memchr(text, '\n', length)) {
        imgtool_error(kCommand, "%s holds more than one line of up to %zu characters", where,
                      kMaxPin);
        return kImgtoolUsage;
    }
    std::memcpy(g_pin.text, text, length);
    g_pin.text[length] = '\0';
    g_pin.length = length;
    g_pin.have = true;
    return kImgtoolOk;
}

int read_pin_file(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        imgtool_error(kCommand, "cannot read the PIN file %s: %s", path, std::strerror(errno));
        return kImgtoolUsage;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0) {
        std::fprintf(stderr, "imgtool pack: warning: the PIN file %s can be read by other users\n",
                     path);
    }
    char buffer[sizeof g_pin.text + 1];
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < sizeof buffer && (n = read(fd, buffer + got, sizeof buffer - got)) > 0) {
        got += static_cast<std::size_t>(n);
    }
    int error = errno;
    close(fd);
    int status = kImgtoolOk;
    if (n < 0) {
        imgtool_error(kCommand, "cannot read the PIN file %s: %s", path, std::strerror(error));
        status = kImgtoolUsage;
    } else {
        std::string where = std::string("the PIN file ") + path;
        status = set_pin(buffer, got, where.c_str());
    }
    OPENSSL_cleanse(buffer, sizeof buffer);
    return status;
}

// Asks on the terminal with echo off. kImgtoolOk, or kImgtoolUsage when
// there is no terminal.
int ask_pin(const std::string& token) {
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) {
        imgtool_error(kCommand,
                      "no PIN for token \"%s\": give it in a file (--pin-file FILE or "
                      "IMGTOOL_PKCS11_PIN_FILE), or run on a terminal to be asked",
                      token.c_str());
        return kImgtoolUsage;
    }
    std::string prompt = "PIN for token \"" + token + "\": ";
    termios saved{};
    bool quiet = tcgetattr(tty, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet = tcsetattr(tty, TCSAFLUSH, &silent) == 0;
    }
    char buffer[sizeof g_pin.text + 1];
    std::size_t got = 0;
    if (write(tty, prompt.data(), prompt.size()) >= 0) {
        char c = 0;
        while (got < sizeof buffer && read(tty, &c, 1) == 1) {
            buffer[got++] = c;
            if (c == '\n') {
                break;
            }
        }
    }
    if (quiet) {
        tcsetattr(tty, TCSAFLUSH, &saved);
    }
    if (write(tty, "\n", 1) < 0) {
        // The PIN is read; a lost line end on the terminal changes nothing.
    }
    close(tty);
    int status = set_pin(buffer, got, "the terminal's answer");
    OPENSSL_cleanse(buffer, sizeof buffer);
    return status;
}

// The PIN, from the first of: --pin-file, IMGTOOL_PKCS11_PIN_FILE,
// IMGTOOL_PKCS11_PIN (whose value is wiped from the environment once
// read), the terminal.
int obtain_pin(const std::string& token) {
    if (g_pin.have) {
        return kImgtoolOk;
    }
    const char* file = g_pin_file ? g_pin_file : std::getenv("IMGTOOL_PKCS11_PIN_FILE");
    if (file && *file) {
        return read_pin_file(file);
    }
    char* value = std::getenv("IMGTOOL_PKCS11_PIN");
    if (value && *value) {
        std::size_t length = std::strlen(value);
        int status = set_pin(value, length, "IMGTOOL_PKCS11_PIN");
        OPENSSL_cleanse(value, length);
        unsetenv("IMGTOOL_PKCS11_PIN");
        return status;
    }
    return ask_pin(token);
}

// ---- The URI ----

struct KeyUri {
    std::string token;
    std::string object;
    std::string id;  // bytes; empty when the URI has none
    bool has_id = false;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// RFC 7512 values are percent-encoded: "%20" is a blank.
bool percent_decode(const std::string& text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out->push_back(text[i]);
            continue;
        }
        int high = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            return false;
        }
        out->push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    return true;
}

// The token and key a URI names. kImgtoolOk, or kImgtoolUsage after a
// message.
int parse_uri(const char* uri, KeyUri* key) {
    std::string text(uri + 7);  // after "pkcs11:"
    std::string path = text.substr(0, text.find('?'));
    if (text.find("pin-value=") != std::string::npos) {
        imgtool_error(kCommand,
                      "a PIN in the PKCS#11 URI is refused (command lines show in the process "
                      "list and stay in shell histories); give it in a file with --pin-file or "
                      "IMGTOOL_PKCS11_PIN_FILE");
        return kImgtoolUsage;
    }
    bool has_token = false;
    bool has_object = false;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find(';', at);
        std::string attribute = path.substr(at, end == std::string::npos ? end : end - at);
        std::size_t equals = attribute.find('=');
        std::string name = attribute.substr(0, equals);
        std::string value;
        if (equals != std::string::npos && !percent_decode(attribute.substr(equals + 1), &value)) {
            imgtool_error(kCommand, "%s: bad percent encoding in %s", uri, name.c_str());
            return kImgtoolUsage;
        }
        if (name == "token") {
            key->token = value;
            has_token = !value.empty();
        } else if (name == "object") {
            key->object = value;
            has_object = !value.empty();
        } else if (name == "id") {
            key->id = value;
            key->has_id = true;
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    if (!has_token || !has_object) {
        imgtool_error(kCommand,
                      "%s: the URI must name the token and the key: "
                      "pkcs11:token=LABEL;object=LABEL (no %s)",
                      uri, !has_token ? "token" : "object");
        return kImgtoolUsage;
    }
    return kImgtoolOk;
}

// ---- The engine ----

// One engine for the whole run: every component signed in the module
// shares its session and its login.
ENGINE* g_engine = nullptr;

const char* module_path() {
    const char* path = std::getenv("PKCS11_MODULE_PATH");
    return path && *path ? path : kDefaultModule;
}

// Found by name in OpenSSL's engine folder: no OpenSSL configuration file
// is needed. The engine is told the module to open, the one checked here.
int open_engine() {
    if (g_engine) {
        return kImgtoolOk;
    }
    ENGINE* engine = ENGINE_by_id("pkcs11");
    if (!engine) {
        const char* folder = std::getenv("OPENSSL_ENGINES");
        imgtool_error(kCommand,
                      "OpenSSL's pkcs11 engine is not installed in %s: install the Debian "
                      "package libengine-pkcs11-openssl",
                      folder && *folder ? folder : OPENSSL_info(OPENSSL_INFO_ENGINES_DIR));
        ERR_clear_error();
        return kImgtoolFailed;
    }
    if (ENGINE_ctrl_cmd_string(engine, "MODULE_PATH", module_path(), 0) != 1 ||
        ENGINE_init(engine) != 1) {
        imgtool_openssl_error(kCommand, "cannot start OpenSSL's pkcs11 engine");
        ENGINE_free(engine);
        return kImgtoolFailed;
    }
    g_engine = engine;
    return kImgtoolOk;
}

// ---- The way to the key, through the module's own interface ----

struct Module {
    void* handle = nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    bool initialized_here = false;
};

std::string label_of(const CK_UTF8CHAR* label, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(label), size);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "\"" : ", \"") + name + "\"";
    }
    return text;
}

int load_module(const char* path, Module* module) {
    module->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module->handle) {
        imgtool_error(kCommand,
                      "cannot load the PKCS#11 module %s: %s (set PKCS11_MODULE_PATH "
                      "to the module of the hardware security module)",
                      path, dlerror());
        return kImgtoolFailed;
    }
    auto get_list =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(module->handle, "C_GetFunctionList"));
    if (!get_list || get_list(&module->f) != CKR_OK || !module->f) {
        imgtool_error(kCommand, "%s is not a PKCS#11 module (no C_GetFunctionList)", path);
        return kImgtoolFailed;
    }
    CK_RV rv = module->f->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        imgtool_error(kCommand, "the PKCS#11 module %s does not start (C_Initialize: 0x%lX)", path,
                      static_cast<unsigned long>(rv));
        return kImgtoolFailed;
    }
    // Already started means the engine holds it: it is the engine's to end.
    module->initialized_here = rv == CKR_OK;
    return kImgtoolOk;
}

void unload_module(Module& module) {
    if (module.initialized_here) {
        module.f->C_Finalize(nullptr);
    }
    if (module.handle) {
        dlclose(module.handle);
    }
}

int find_token(const Module& module, const char* path, const KeyUri& key, CK_SLOT_ID* slot) {
    CK_ULONG count = 0;
    std::vector<CK_SLOT_ID> slots;
    if (module.f->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK) {
        slots.resize(count);
        if (count == 0 || module.f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) {
            count = 0;
        }
    }
    std::vector<std::string> labels;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info{};
        // A slot that offers a token not yet made (SoftHSM keeps one free)
        // holds no key.
        if (module.f->C_GetTokenInfo(slots[i], &info) != CKR_OK ||
            (info.flags & CKF_TOKEN_INITIALIZED) == 0) {
            continue;
        }
        labels.push_back(label_of(info.label, sizeof info.label));
        if (labels.back() == key.token) {
            *slot = slots[i];
            return kImgtoolOk;
        }
    }
    imgtool_error(kCommand, "no token \"%s\" in the PKCS#11 module %s (%s%s)", key.token.c_str(),
                  path,
                  labels.empty() ? "it has no token" : "its tokens: ", quoted_list(labels).c_str());
    return kImgtoolFailed;
}

int log_in(const Module& module, CK_SESSION_HANDLE session, const KeyUri& key,
           bool* logged_in_here) {
    CK_RV rv = module.f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(g_pin.text),
                                 g_pin.length);
    *logged_in_here = rv == CKR_OK;
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        return kImgtoolOk;
    }
    const char* token = key.token.c_str();
    if (rv == CKR_PIN_INCORRECT) {
        imgtool_error(kCommand,
                      "wrong PIN for token \"%s\": the token refused it. A token counts wrong "
                      "PINs and locks the PIN after a few: check where the PIN comes from "
                      "before trying again",
                      token);
    } else if (rv == CKR_PIN_LOCKED) {
        imgtool_error(kCommand,
                      "the PIN of token \"%s\" is locked: its security officer must "
                      "unlock it",
                      token);
    } else if (rv == CKR_PIN_LEN_RANGE || rv == CKR_PIN_INVALID) {
        imgtool_error(kCommand,
                      "token \"%s\" refused the PIN as malformed (too long, too short "
                      "or with characters it does not take)",
                      token);
    } else {
        imgtool_error(kCommand, "cannot log in to token \"%s\" (C_Login: 0x%lX)", token,
                      static_cast<unsigned long>(rv));
    }
    return kImgtoolFailed;
}

// The labels of the objects of one class matching `labelled` (all of them
// when null); at most a few dozen.
std::vector<std::string> find_objects(const Module& module, CK_SESSION_HANDLE session,
                                      CK_OBJECT_CLASS kind, const KeyUri* labelled) {
    std::vector<CK_ATTRIBUTE> wanted{{CKA_CLASS, &kind, sizeof kind}};
    if (labelled) {
        wanted.push_back(
            {CKA_LABEL, const_cast<char*>(labelled->object.data()), labelled->object.size()});
        if (labelled->has_id) {
            wanted.push_back({CKA_ID, const_cast<char*>(labelled->id.data()), labelled->id.size()});
        }
    }
    std::vector<std::string> labels;
    if (module.f->C_FindObjectsInit(session, wanted.data(), wanted.size()) != CKR_OK) {
        return labels;
    }
    CK_OBJECT_HANDLE objects[32];
    CK_ULONG count = 0;
    if (module.f->C_FindObjects(session, objects, 32, &count) == CKR_OK) {
        for (CK_ULONG i = 0; i < count; ++i) {
            char label[256] = {};
            CK_ATTRIBUTE read{CKA_LABEL, label, sizeof label - 1};
            bool ok = module.f->C_GetAttributeValue(session, objects[i], &read, 1) == CKR_OK &&
                      read.ulValueLen < sizeof label;
            labels.push_back(ok ? std::string(label, read.ulValueLen) : std::string("?"));
        }
    }
    module.f->C_FindObjectsFinal(session);
    return labels;
}

int find_key(const Module& module, CK_SESSION_HANDLE session, const KeyUri& key) {
    if (!find_objects(module, session, CKO_PRIVATE_KEY, &key).empty()) {
        return kImgtoolOk;
    }
    std::vector<std::string> keys = find_objects(module, session, CKO_PRIVATE_KEY, nullptr);
    imgtool_error(
        kCommand, "no private key \"%s\"%s on token \"%s\" (%s%s)", key.object.c_str(),
        key.has_id ? " with that id" : "", key.token.c_str(),
        keys.empty() ? "it holds no private key" : "its private keys: ", quoted_list(keys).c_str());
    return kImgtoolFailed;
}

// Module, token, PIN, login, key: each step's failure has its message.
int check_way_to_key(const KeyUri& key) {
    const char* path = module_path();
    Module module;
    int status = load_module(path, &module);
    CK_SLOT_ID slot = 0;
    if (status == kImgtoolOk) {
        status = find_token(module, path, key, &slot);
    }
    if (status == kImgtoolOk) {
        status = obtain_pin(key.token);
    }
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (status == kImgtoolOk) {
        CK_RV rv = module.f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
        if (rv != CKR_OK) {
            imgtool_error(kCommand, "cannot open a session on token \"%s\" (C_OpenSession: 0x%lX)",
                          key.token.c_str(), static_cast<unsigned long>(rv));
            status = kImgtoolFailed;
        }
    }
    bool logged_in_here = false;
    if (status == kImgtoolOk) {
        status = log_in(module, session, key, &logged_in_here);
    }
    if (status == kImgtoolOk) {
        status = find_key(module, session, key);
    }
    if (logged_in_here) {
        module.f->C_Logout(session);
    }
    if (session != CK_INVALID_HANDLE) {
        module.f->C_CloseSession(session);
    }
    unload_module(module);
    return status;
}

}  // namespace

bool imgtool_is_pkcs11_uri(const char* key) {
    return std::strncmp(key, "pkcs11:", 7) == 0;
}

void imgtool_pkcs11_set_pin_file(const char* path) {
    g_pin_file = path;
}

EVP_PKEY* imgtool_pkcs11_load_key(const char* uri, int* status) {
    KeyUri key;
    *status = parse_uri(uri, &key);
    if (*status == kImgtoolOk) {
        *status = open_engine();
    }
    if (*status == kImgtoolOk) {
        *status = check_way_to_key(key);
    }
    if (*status != kImgtoolOk) {
        return nullptr;
    }
    if (ENGINE_ctrl_cmd_string(g_engine, "PIN", g_pin.text, 0) != 1) {
        imgtool_openssl_error(kCommand, "the pkcs11 engine refused the PIN");
        *status = kImgtoolFailed;
        return nullptr;
    }
    EVP_PKEY* loaded = ENGINE_load_private_key(g_engine, uri, nullptr, nullptr);
    if (!loaded) {
        imgtool_openssl_error(kCommand, (std::string(uri) + ": the pkcs11 engine cannot use the "
                                                            "key")
                                            .c_str());
        *status = kImgtoolFailed;
    }
    return loaded;
}

void imgtool_pkcs11_close() {
    if (g_engine) {
        ENGINE_finish(g_engine);
        ENGINE_free(g_engine);
        g_engine = nullptr;
    }
    wipe_pin();
}
