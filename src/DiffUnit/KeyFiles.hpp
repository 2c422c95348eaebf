// Key files: the PEM files kestro --keygen writes and --sign and --key
// read (doc/FORMAT.md section 12.1).
#pragma once

#include "crypto/Signing.hpp"

#include <string>

namespace kestro {

// The key in a key file. Fail with EFOpenError "Cannot open file <name>",
// or with ESignatureError: "Private key file is encrypted (Kestro reads
// keys without a pass phrase): <name>", "More than one key in file:
// <name>", "Not an Ed25519 private key: <name>" ("public" for the other),
// and for a private key that others may read, as ssh refuses one, "Private
// key file can be read by other users: <name>".
PrivateKey ReadPrivateKeyFile(const std::string& name);
PublicKey ReadPublicKeyFile(const std::string& name);

// Writes NAME.key (the private key, readable by its owner only) and
// NAME.pub (the public key, readable by all, writable by its owner). NAME
// must end in a file name (Exception "A key name must end in a file name:
// <name>"), and neither file may exist (EFCreateError "File exists:
// <name>"). Both are made or neither. Returns the key's fingerprint.
std::string WriteKeyPair(const std::string& name);

} // namespace kestro
