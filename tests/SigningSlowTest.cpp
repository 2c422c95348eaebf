// Signed applies refused at every changed byte of the delta and of its
// signature file, and at every file call where someone rewrites the delta.
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "crypto/Signing.hpp"
#include "platform/FaultInjection.hpp"

#include "ImageBuilder.hpp"
#include "SigningSupport.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

TEST_P(SignedDelta, EveryChangedByteIsRefusedBeforeAnythingIsWritten) {
    // Each byte of the delta and of its signature file changed in turn; the
    // checksums inside the delta do not matter, since the signature covers
    // every byte, whatever the format: the larger 1.0 delta has every 13th
    // byte changed. A refused apply writes nothing, so anything one wrote
    // would still be there at the end.
    const std::map<std::string, Bytes> before = Folder();
    for (const std::string& name : {Delta, Delta + ".sig"}) {
        const Bytes good = test::ReadBytes(File(name));
        const std::size_t step = name == Delta && GetParam() == DeltaFormat::Blocks ? 13 : 1;
        for (std::size_t at = 0; at < good.size(); at += step) {
            Bytes changed = good;
            changed[at] ^= 0x20;
            test::WriteBytes(File(name), changed);
            EXPECT_THROW(Apply(PublicKeyOf(key_)), ESignatureError) << name << " byte " << at;
        }
        test::WriteBytes(File(name), good);
    }
    EXPECT_EQ(Folder(), before);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, SignedDelta,
                         ::testing::Values(DeltaFormat::Blocks, DeltaFormat::Compact),
                         [](const auto& info) {
                             return info.param == DeltaFormat::Blocks ? "Blocks" : "Compact";
                         });

// What the swap at a file call writes over the delta, and where.
std::string swapName;
Bytes swapBytes;
void SwapTheDelta() {
    test::WriteBytes(swapName, swapBytes);
}

// Someone who may write the delta file, but neither its folder nor its
// signature file, rewrites it at each file call of an apply with an
// unsigned delta of their own: one that takes the release before the
// first, which the user has, to the second, which the signed delta makes
// from the first. Every run is refused and writes nothing, never applying
// the bytes that were not checked. A delta of bodySize bytes and more; one
// over SignedDeltaInMemory is checked from a scratch file. A version 2
// statement would refuse the other delta's descriptor too; version 1 has
// only the one copy of the bytes to rely on.
void ExpectEveryRewrittenDeltaRefused(DeltaFormat format, std::size_t bodySize,
                                      std::int32_t signatureVersion) {
    test::ScratchDir dir;
    const Bytes first = test::ProgramOfVersion(1, test::Random(bodySize, 1));
    const Bytes second = test::ProgramOfVersion(2, test::Random(bodySize, 2));
    const Bytes earlier = test::ProgramOfVersion(0, test::Random(bodySize, 3));
    const PrivateKey key = GeneratePrivateKey();
    const auto make = [&](const std::string& folder, const Bytes& from,
                          const std::optional<PrivateKey>& signingKey) {
        fs::create_directory(dir.File(folder));
        test::WriteBytes(dir.File(folder + "/tool.exe"), from);
        test::WriteBytes(dir.File(folder + "/new.exe"), second);
        OperationOptions options;
        options.format = format;
        options.signingKey = signingKey;
        EXPECT_EQ(MakeDelta(dir.File(folder + "/tool.exe"), dir.File(folder + "/new.exe"), options),
                  ResultOk);
        return dir.File(folder + "/tool.exe_1.0.0.2.kst");
    };
    const std::string signedDelta = make("signed", first, key);
    const Bytes signedBytes = test::ReadBytes(signedDelta);
    DeltaSignature statement = *ReadSignatureFile(signedDelta + ".sig");
    statement.Version = signatureVersion;
    statement.Ed25519 = Sign(key, SignedLines(statement));
    const Bytes signature = test::ToBytes(SignatureText(statement));
    swapBytes = test::ReadBytes(make("forged", earlier, std::nullopt));
    ASSERT_EQ(signedBytes.size() > static_cast<std::size_t>(SignedDeltaInMemory),
              bodySize > static_cast<std::size_t>(SignedDeltaInMemory));

    fs::create_directory(dir.File("user"));
    swapName = dir.File("user/tool.exe_1.0.0.2.kst");
    const auto restore = [&] {
        test::WriteBytes(dir.File("user/tool.exe"), earlier);
        test::WriteBytes(swapName, signedBytes);
        test::WriteBytes(swapName + ".sig", signature);
    };
    OperationOptions options;
    options.publicKey = PublicKeyOf(key);
    restore();
    InjectFaultAt(0);
    ASSERT_EQ(ApplyDelta(swapName, options), ResultWrongSourceVersion);
    const std::int64_t calls = CountedFileCalls();
    for (std::int64_t n = 1; n <= calls; ++n) {
        restore();
        InjectActionAt(n, SwapTheDelta);
        std::int32_t code = ResultOk;
        try {
            code = ApplyDelta(swapName, options);
        } catch (const ESignatureError&) {
            code = ResultMessagePrinted;
        }
        InjectFaultAt(0);
        EXPECT_NE(code, ResultOk) << "rewritten at call " << n;
        EXPECT_EQ(test::ReadBytes(dir.File("user/tool.exe")), earlier) << n;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("user")), fs::directory_iterator()),
                  3)
            << n;
    }
}

TEST(SignedApply, AppliesTheBytesItCheckedOrNothing) {
    for (const std::int32_t version : {1, 2}) {
        SCOPED_TRACE(version);
        ExpectEveryRewrittenDeltaRefused(DeltaFormat::Blocks, 20000, version);
        ExpectEveryRewrittenDeltaRefused(DeltaFormat::Compact, 20000, version);
    }
    ExpectEveryRewrittenDeltaRefused(DeltaFormat::Blocks, SignedDeltaInMemory + 4096, 1);
}

} // namespace
} // namespace kestro
