#include "crypto/Signing.hpp"

#include "common/Failures.hpp"
#include "common/Text.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <memory>

namespace kestro {

namespace {

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct FreeMdContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using KeyHandle = std::unique_ptr<EVP_PKEY, FreeKey>;
using BioHandle = std::unique_ptr<BIO, FreeBio>;
using MdContext = std::unique_ptr<EVP_MD_CTX, FreeMdContext>;

// What libcrypto cannot do is a failure of the machine (memory, the random
// source), never an answer about a key or a signature.
[[noreturn]] void CryptoFailure(const char* what) {
    throw Exception(std::string("Cryptography failure: ") + what);
}

template <typename T>
T Checked(T value, const char* what) {
    if (!value) {
        CryptoFailure(what);
    }
    return value;
}

KeyHandle PrivateKeyHandle(const PrivateKey& key) {
    return KeyHandle(Checked(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                                          key.Seed().data(), key.Seed().size()),
                             "private key"));
}

KeyHandle PublicKeyHandle(const PublicKey& key) {
    return KeyHandle(
        Checked(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()),
                "public key"));
}

BioHandle TextBio(std::string_view text) {
    return BioHandle(Checked(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), "text"));
}

std::string BioText(BIO* bio) {
    char* bytes = nullptr;
    const long size = BIO_get_mem_data(bio, &bytes);
    return std::string(bytes, static_cast<std::size_t>(size));
}

// The pass phrase of an encrypted key file: none, rather than OpenSSL's
// default, which would ask for one on the terminal.
int NoPassPhrase(char*, int, int, void*) {
    return 0;
}

// Ed25519 signs and verifies a message in one call: no digest beforehand.
MdContext SigningContext() {
    return MdContext(Checked(EVP_MD_CTX_new(), "context"));
}

} // namespace

PrivateKey::~PrivateKey() {
    OPENSSL_cleanse(seed_.data(), seed_.size());
}

PrivateKey GeneratePrivateKey() {
    std::array<std::uint8_t, 32> seed{};
    if (RAND_priv_bytes(seed.data(), static_cast<int>(seed.size())) != 1) {
        CryptoFailure("random source");
    }
    PrivateKey key(seed);
    OPENSSL_cleanse(seed.data(), seed.size());
    return key;
}

PublicKey PublicKeyOf(const PrivateKey& key) {
    const KeyHandle handle = PrivateKeyHandle(key);
    PublicKey point{};
    std::size_t size = point.size();
    if (EVP_PKEY_get_raw_public_key(handle.get(), point.data(), &size) != 1 ||
        size != point.size()) {
        CryptoFailure("public key");
    }
    return point;
}

std::string PrivateKeyPem(const PrivateKey& key) {
    const KeyHandle handle = PrivateKeyHandle(key);
    const BioHandle bio(Checked(BIO_new(BIO_s_mem()), "text"));
    if (PEM_write_bio_PrivateKey(bio.get(), handle.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
        1) {
        CryptoFailure("private key text");
    }
    return BioText(bio.get());
}

std::string PublicKeyPem(const PublicKey& key) {
    const KeyHandle handle = PublicKeyHandle(key);
    const BioHandle bio(Checked(BIO_new(BIO_s_mem()), "text"));
    if (PEM_write_bio_PUBKEY(bio.get(), handle.get()) != 1) {
        CryptoFailure("public key text");
    }
    return BioText(bio.get());
}

std::optional<PrivateKey> ReadPrivateKeyPem(std::string_view text) {
    const BioHandle bio = TextBio(text);
    // An encrypted key is refused like any other text that holds no usable
    // key.
    const KeyHandle handle(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassPhrase, nullptr));
    std::array<std::uint8_t, 32> seed{};
    std::size_t size = seed.size();
    if (!handle || EVP_PKEY_get_base_id(handle.get()) != EVP_PKEY_ED25519 ||
        EVP_PKEY_get_raw_private_key(handle.get(), seed.data(), &size) != 1 ||
        size != seed.size()) {
        return std::nullopt;
    }
    PrivateKey key(seed);
    OPENSSL_cleanse(seed.data(), seed.size());
    return key;
}

std::optional<PublicKey> ReadPublicKeyPem(std::string_view text) {
    const BioHandle bio = TextBio(text);
    const KeyHandle handle(PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassPhrase, nullptr));
    PublicKey point{};
    std::size_t size = point.size();
    if (!handle || EVP_PKEY_get_base_id(handle.get()) != EVP_PKEY_ED25519 ||
        EVP_PKEY_get_raw_public_key(handle.get(), point.data(), &size) != 1 ||
        size != point.size()) {
        return std::nullopt;
    }
    return point;
}

Signature Sign(const PrivateKey& key, std::string_view message) {
    const KeyHandle handle = PrivateKeyHandle(key);
    const MdContext context = SigningContext();
    Signature signature{};
    std::size_t size = signature.size();
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, handle.get()) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        size != signature.size()) {
        CryptoFailure("signing");
    }
    return signature;
}

bool Verify(const PublicKey& key, std::string_view message, const Signature& signature) {
    const KeyHandle handle = PublicKeyHandle(key);
    const MdContext context = SigningContext();
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, handle.get()) != 1) {
        CryptoFailure("verifying");
    }
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

std::string KeyFingerprint(const PublicKey& key) {
    Sha512 digest;
    digest.Update(key.data(), key.size());
    const Digest whole = digest.Finish();
    return LowerHex(std::span(whole).first(8));
}

namespace {

// A digest context of the kind given, started.
void* StartDigest(const EVP_MD* kind) {
    EVP_MD_CTX* const context = Checked(EVP_MD_CTX_new(), "digest");
    if (EVP_DigestInit_ex(context, kind, nullptr) != 1) {
        EVP_MD_CTX_free(context);
        CryptoFailure("digest");
    }
    return context;
}

void UpdateDigest(void* context, const void* bytes, std::size_t count) {
    if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context), bytes, count) != 1) {
        CryptoFailure("digest");
    }
}

template <std::size_t N>
std::array<std::uint8_t, N> FinishDigest(void* context) {
    std::array<std::uint8_t, N> digest{};
    unsigned size = 0;
    if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context), digest.data(), &size) != 1 ||
        size != digest.size()) {
        CryptoFailure("digest");
    }
    return digest;
}

} // namespace

Sha512::Sha512() : context_(StartDigest(EVP_sha512())) {}

Sha512::~Sha512() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
}

void Sha512::Update(const void* bytes, std::size_t count) {
    UpdateDigest(context_, bytes, count);
}

Digest Sha512::Finish() {
    return FinishDigest<64>(context_);
}

Sha256::Sha256() : context_(StartDigest(EVP_sha256())) {}

Sha256::~Sha256() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
}

void Sha256::Update(const void* bytes, std::size_t count) {
    UpdateDigest(context_, bytes, count);
}

Digest256 Sha256::Finish() {
    return FinishDigest<32>(context_);
}

} // namespace kestro
