// Ed25519 keys and signatures and the SHA-512 digest, the cryptography that
// signed deltas need. OpenSSL's libcrypto does the work; this is its one
// user, and no OpenSSL type leaves it. Keys are kept as their raw bytes
// (RFC 8032): a private key as its 32-byte seed, a public key as its
// 32-byte point; on disk both are PEM text that OpenSSL and other tools
// read ("PRIVATE KEY", PKCS #8; "PUBLIC KEY", SubjectPublicKeyInfo).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;
using Digest = std::array<std::uint8_t, 64>;
using Digest256 = std::array<std::uint8_t, 32>;

// A private key's seed, wiped from memory when it goes.
class PrivateKey {
public:
    explicit PrivateKey(const std::array<std::uint8_t, 32>& seed) : seed_(seed) {}
    PrivateKey(const PrivateKey& other) = default;
    PrivateKey& operator=(const PrivateKey& other) = default;
    ~PrivateKey();

    const std::array<std::uint8_t, 32>& Seed() const { return seed_; }

private:
    std::array<std::uint8_t, 32> seed_;
};

// A new private key from the system's random source.
PrivateKey GeneratePrivateKey();
PublicKey PublicKeyOf(const PrivateKey& key);

// The PEM texts of the keys, and the keys read back from such text: nothing
// when the text holds no Ed25519 key of that kind.
std::string PrivateKeyPem(const PrivateKey& key);
std::string PublicKeyPem(const PublicKey& key);
std::optional<PrivateKey> ReadPrivateKeyPem(std::string_view text);
std::optional<PublicKey> ReadPublicKeyPem(std::string_view text);

Signature Sign(const PrivateKey& key, std::string_view message);
bool Verify(const PublicKey& key, std::string_view message, const Signature& signature);

// A key's short name for people: the first 8 bytes of the SHA-512 of its
// 32 bytes, as 16 lower-case hexadecimal digits.
std::string KeyFingerprint(const PublicKey& key);

// SHA-512 over bytes given piecewise.
class Sha512 {
public:
    Sha512();
    Sha512(const Sha512&) = delete;
    Sha512& operator=(const Sha512&) = delete;
    ~Sha512();

    void Update(const void* bytes, std::size_t count);
    // The digest of everything given; nothing may be given after it.
    Digest Finish();

private:
    void* context_;
};

// SHA-256 over bytes given piecewise: how a release package names the
// content of each file.
class Sha256 {
public:
    Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256();

    void Update(const void* bytes, std::size_t count);
    Digest256 Finish();

private:
    void* context_;
};

} // namespace kestro
