// Speed of the crypto on the boot path, against OpenSSL in the same run:
//   SHA-256 of a 16 MiB payload, against OpenSSL's portable code (the
//   switch's CPU has no SHA or SIMD instructions, so OpenSSL runs with
//   OPENSSL_ia32cap=0, which this program sets and restarts itself with);
//   RSA-2048 verification (exponent 65537), against OpenSSL's verification
//   with its key already loaded, and with the key read from PEM as we do;
//   AES-128-CBC decryption of a key file, for information.
// After the runs it prints the two ratios the boot path is held to. Times
// are reported, never judged: the program fails only when a run fails.
// On a busy machine, compare with repeated, interleaved runs:
//   --benchmark_repetitions=20 --benchmark_enable_random_interleaving=true
// (the ratios then use each benchmark's fastest run).
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "auth/crypto/aes.h"
#include "auth/crypto/bigint.h"
#include "auth/crypto/imgsign.h"
#include "auth/crypto/pubkey.h"
#include "auth/crypto/toolkit.h"
#include "bench/ratio_reporter.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kPayloadBytes = 16u << 20;

const Bytes& payload() {
    static const Bytes data = [] {
        Bytes bytes(kPayloadBytes);
        uint32_t x = 1;
        for (uint8_t& b : bytes) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        return bytes;
    }();
    return data;
}

void BM_Sha256_Ours(benchmark::State& state) {
    const Bytes& data = payload();
    uint8_t digest[32];
    uint32_t len = 0;
    for (auto _ : state) {
        int32_t status =
            IMGSIGN_computeSHA256(data.data(), static_cast<uint32_t>(data.size()), digest, &len);
        if (status != 0) {
            state.SkipWithError("IMGSIGN_computeSHA256 failed");
        }
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Sha256_OpenSSL(benchmark::State& state) {
    const Bytes& data = payload();
    uint8_t digest[32];
    unsigned int len = 0;
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// One RSA-2048 key with exponent 65537, a digest and OpenSSL's signature.
struct RsaFixture {
    EVP_PKEY* pkey = nullptr;
    std::string pem;
    Bytes digest = Bytes(32, 0x42);
    Bytes signature;
};

const RsaFixture& rsa_fixture() {
    static const RsaFixture fixture = [] {
        RsaFixture f;
        EVP_PKEY_CTX* gen = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
        EVP_PKEY_keygen_init(gen);
        EVP_PKEY_CTX_set_rsa_keygen_bits(gen, 2048);
        EVP_PKEY_keygen(gen, &f.pkey);
        EVP_PKEY_CTX_free(gen);
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, f.pkey);
        char* text = nullptr;
        long len = BIO_get_mem_data(bio, &text);
        f.pem.assign(text, static_cast<size_t>(len));
        BIO_free(bio);
        EVP_PKEY_CTX* sign = EVP_PKEY_CTX_new(f.pkey, nullptr);
        EVP_PKEY_sign_init(sign);
        EVP_PKEY_CTX_set_rsa_padding(sign, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(sign, EVP_sha256());
        size_t sigLen = 512;
        f.signature.resize(sigLen);
        EVP_PKEY_sign(sign, f.signature.data(), &sigLen, f.digest.data(), f.digest.size());
        f.signature.resize(sigLen);
        EVP_PKEY_CTX_free(sign);
        return f;
    }();
    return fixture;
}

void BM_RsaVerify2048_Ours(benchmark::State& state) {
    TOOLKIT_init();
    const RsaFixture& f = rsa_fixture();
    for (auto _ : state) {
        int32_t status = IMGSIGN_verifySignature(f.digest.data(), 32, f.signature.data(),
                                                 static_cast<uint32_t>(f.signature.size()),
                                                 f.pem.data(), static_cast<uint32_t>(f.pem.size()));
        if (status != 0) {
            state.SkipWithError("IMGSIGN_verifySignature failed");
        }
    }
}

// The two parts of our verification: reading the key, and the arithmetic.
void BM_RsaKeyConversion_Ours(benchmark::State& state) {
    TOOLKIT_init();
    const RsaFixture& f = rsa_fixture();
    RsaPublicKey key{};
    for (auto _ : state) {
        PUBKEY_convertPublicKey(f.pem.data(), static_cast<uint32_t>(f.pem.size()), &key);
        benchmark::DoNotOptimize(key.modulus);
    }
}

void BM_RsaPublicOp2048_Ours(benchmark::State& state) {
    TOOLKIT_init();
    const RsaFixture& f = rsa_fixture();
    RsaPublicKey key{};
    PUBKEY_convertPublicKey(f.pem.data(), static_cast<uint32_t>(f.pem.size()), &key);
    uint8_t block[256];
    for (auto _ : state) {
        bigint_modExp(f.signature, std::span<const uint8_t>(key.exponent, key.exponentLen),
                      std::span<const uint8_t>(key.modulus, key.modulusLen), block);
        benchmark::DoNotOptimize(block);
    }
}

int openssl_verify(EVP_PKEY* pkey, const RsaFixture& f) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    int ok = EVP_PKEY_verify(ctx, f.signature.data(), f.signature.size(), f.digest.data(),
                             f.digest.size());
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

void BM_RsaVerify2048_OpenSSL(benchmark::State& state) {
    const RsaFixture& f = rsa_fixture();
    for (auto _ : state) {
        if (openssl_verify(f.pkey, f) != 1) {
            state.SkipWithError("EVP_PKEY_verify failed");
        }
    }
}

void BM_RsaVerify2048_OpenSSLFromPem(benchmark::State& state) {
    const RsaFixture& f = rsa_fixture();
    for (auto _ : state) {
        BIO* bio = BIO_new_mem_buf(f.pem.data(), static_cast<int>(f.pem.size()));
        EVP_PKEY* pkey = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
        if (pkey == nullptr || openssl_verify(pkey, f) != 1) {
            state.SkipWithError("PEM_read_bio_PUBKEY or EVP_PKEY_verify failed");
        }
        EVP_PKEY_free(pkey);
        BIO_free(bio);
    }
}

void BM_Aes128CbcDecrypt_Ours(benchmark::State& state) {
    Bytes key(16, 0x17);
    Bytes iv(16, 0x29);
    Bytes data(4096, 0x33);
    AESCtx* ctx = AES_createCtx(key.data(), 16, AES_DIR_DECRYPT);
    for (auto _ : state) {
        AES_cipher(ctx, data.data(), static_cast<uint32_t>(data.size()), AES_DIR_DECRYPT,
                   iv.data());
        benchmark::DoNotOptimize(data.data());
    }
    AES_deleteCtx(&ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Aes128CbcDecrypt_OpenSSL(benchmark::State& state) {
    Bytes key(16, 0x17);
    Bytes iv(16, 0x29);
    Bytes data(4096, 0x33);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int len = 0;
        EVP_DecryptUpdate(ctx, data.data(), &len, data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(data.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void add(const char* name, void (*fn)(benchmark::State&), benchmark::TimeUnit unit) {
    benchmark::RegisterBenchmark(name, fn)->Unit(unit);
}

void register_benchmarks() {
    add("BM_Sha256_Ours", BM_Sha256_Ours, benchmark::kMillisecond);
    add("BM_Sha256_OpenSSL", BM_Sha256_OpenSSL, benchmark::kMillisecond);
    add("BM_RsaVerify2048_Ours", BM_RsaVerify2048_Ours, benchmark::kMicrosecond);
    add("BM_RsaKeyConversion_Ours", BM_RsaKeyConversion_Ours, benchmark::kMicrosecond);
    add("BM_RsaPublicOp2048_Ours", BM_RsaPublicOp2048_Ours, benchmark::kMicrosecond);
    add("BM_RsaVerify2048_OpenSSL", BM_RsaVerify2048_OpenSSL, benchmark::kMicrosecond);
    add("BM_RsaVerify2048_OpenSSLFromPem", BM_RsaVerify2048_OpenSSLFromPem,
        benchmark::kMicrosecond);
    add("BM_Aes128CbcDecrypt_Ours", BM_Aes128CbcDecrypt_Ours, benchmark::kMicrosecond);
    add("BM_Aes128CbcDecrypt_OpenSSL", BM_Aes128CbcDecrypt_OpenSSL, benchmark::kMicrosecond);
}

void print_ratios(const RatioReporter& reporter) {
    double shaTime = reporter.ratio("BM_Sha256_Ours", "BM_Sha256_OpenSSL");
    double rsa = reporter.ratio("BM_RsaVerify2048_Ours", "BM_RsaVerify2048_OpenSSL");
    double rsaPem = reporter.ratio("BM_RsaVerify2048_Ours", "BM_RsaVerify2048_OpenSSLFromPem");
    std::printf("\nOPENSSL_ia32cap=%s\n", std::getenv("OPENSSL_ia32cap"));
    if (shaTime > 0) {
        std::printf("SHA-256 16 MiB throughput, ours / OpenSSL portable: %.2fx (goal >= 1.0x)\n",
                    1 / shaTime);
    }
    if (rsa > 0) {
        std::printf("RSA-2048 e=65537 verify time, ours / OpenSSL: %.2fx (goal <= 1.2x)\n", rsa);
    }
    if (rsaPem > 0) {
        std::printf("RSA-2048 verify time with the key read from PEM, ours / OpenSSL: %.2fx\n",
                    rsaPem);
    }
}

// OpenSSL reads OPENSSL_ia32cap when it starts, so the variable must be in
// the environment from the beginning: set it and start again.
void restart_with_portable_openssl(char** argv) {
    if (std::getenv("OPENSSL_ia32cap") != nullptr) {
        return;
    }
    setenv("OPENSSL_ia32cap", "0", 1);
    execv("/proc/self/exe", argv);
    execv(argv[0], argv);
    std::fprintf(stderr, "crypto_bench: could not restart with OPENSSL_ia32cap=0\n");
}

}  // namespace

int main(int argc, char** argv) {
    restart_with_portable_openssl(argv);
    register_benchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_ratios(reporter);
    benchmark::Shutdown();
    return 0;
}
