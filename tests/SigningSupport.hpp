// The fixture of a signed update that SigningTest and SigningSlowTest share.
#pragma once

#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "crypto/Signing.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace kestro {

// The files of a signed update in a scratch folder: hello.exe at 1.0.0.1,
// its newer release 1.0.0.2 and the signed delta between them.
class SignedDelta : public ::testing::TestWithParam<DeltaFormat> {
protected:
    void SetUp() override {
        std::tie(original_, newer_) = test::SamplePrograms();
        test::WriteBytes(File("hello.exe"), original_);
        test::WriteBytes(File("hello-1.0.0.2.exe"), newer_);
        OperationOptions options;
        options.format = GetParam();
        options.signingKey = key_;
        ASSERT_EQ(MakeDelta(File("hello.exe"), File("hello-1.0.0.2.exe"), options), ResultOk);
        delta_ = test::ReadBytes(File(Delta));
        signature_ = test::ReadBytes(File(Delta + ".sig"));
    }

    std::string File(const std::string& name) const { return dir_.File(name); }

    std::map<std::string, test::Bytes> Folder() const {
        std::map<std::string, test::Bytes> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            files[entry.path().filename().string()] = test::ReadBytes(entry.path().string());
        }
        return files;
    }

    std::int32_t Apply(const std::optional<PublicKey>& key) {
        OperationOptions options;
        options.publicKey = key;
        return ApplyDelta(File(Delta), options);
    }

    // The apply with the signer's key fails with message and leaves the
    // folder as it was, every file's bytes included; so does the check,
    // which passes no block where the delta is refused before its rebuild.
    void ExpectRefused(const std::string& message, const std::string& what,
                       bool beforeRebuild = true) {
        const std::map<std::string, test::Bytes> before = Folder();
        try {
            Apply(PublicKeyOf(key_));
            ADD_FAILURE() << what << ": applied";
        } catch (const ESignatureError& refused) {
            EXPECT_EQ(refused.Message(), message) << what;
        }
        DeltaCheck check;
        EXPECT_THROW(CheckDelta(File(Delta), check, PublicKeyOf(key_)), ESignatureError) << what;
        EXPECT_EQ(check.pieces == 0, beforeRebuild) << what;
        EXPECT_EQ(Folder(), before) << what;
    }

    // The signature file with statement, signed by the signer's key.
    void Resign(const DeltaSignature& statement) {
        test::WriteBytes(File(Delta + ".sig"),
                         test::ToBytes(SignatureText(SignDelta(key_, statement))));
    }
    DeltaSignature Statement() const {
        return *ReadSignatureText(std::string(signature_.begin(), signature_.end()));
    }

    void Restore() {
        test::WriteBytes(File(Delta), delta_);
        test::WriteBytes(File(Delta + ".sig"), signature_);
        test::WriteBytes(File("hello.exe"), original_);
    }

    const std::string Delta = "hello.exe_1.0.0.2.kst";
    test::ScratchDir dir_;
    PrivateKey key_ = GeneratePrivateKey();
    test::Bytes original_;
    test::Bytes newer_;
    test::Bytes delta_;
    test::Bytes signature_;
};

} // namespace kestro
