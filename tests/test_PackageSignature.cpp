#include "base/BuildConstants.h"
#include "firmware/Ed25519.h"
#include "firmware/FirmwarePackageStore.h"
#include "firmware/FirmwarePackageWriter.h"
#include "firmware/PackageSignature.h"
#include "firmware/PackageSigningKey.h"
#include "firmware/PackageVerifier.h"
#include "support/EngineTestSupport.h"
#include "support/FirmwareTestPackages.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace FirmwareTestPackages;

namespace
{
    juce::MemoryBlock fromHex (const juce::String& hex)
    {
        juce::MemoryBlock bytes;
        bytes.loadFromHexString (hex);
        return bytes;
    }

    // The maker's key in these tests: RFC 8032's first test key.
    const juce::String makerSecret = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
    const juce::String makerPublic = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

    /** Adds (or replaces) a stored entry with zip, as someone handling the package by hand would. */
    void addEntry (const juce::File& package, const juce::String& name, const juce::MemoryBlock& content)
    {
        const auto work = package.getParentDirectory().getNonexistentChildFile ("entry-work", {}, false);
        work.createDirectory();
        const auto file = work.getChildFile (name);
        EXPECT_TRUE (content.isEmpty() ? file.create().wasOk() : file.replaceWithData (content.getData(), content.getSize()));
        bool ok = true;
        runShell ("cd " + quoted (work) + " && zip -q -0 -X " + quoted (package) + " " + quoted (name), ok);
        EXPECT_TRUE (ok);
        work.deleteRecursively();
    }

    juce::MemoryBlock entryOf (const juce::File& package, const juce::String& name)
    {
        juce::ZipFile archive (package);
        juce::MemoryBlock content;
        std::unique_ptr<juce::InputStream> stream (archive.createStreamForEntry (archive.getIndexOfFileName (name)));

        if (stream != nullptr)
            stream->readIntoMemoryBlock (content);

        return content;
    }

    PackageVerifier::Verdict verifyWithKey (const juce::MemoryBlock& package, const juce::String& publicKey = makerPublic)
    {
        const PackageSignature signature (publicKey);
        PackageVerifier verifier;
        verifier.requireSignature (&signature);
        juce::MemoryInputStream stream (package, false);
        return verifier.verify (stream);
    }

    PackageVerifier::Verdict verifyWithKey (const juce::File& package, const juce::String& publicKey = makerPublic)
    {
        juce::MemoryBlock bytes;
        EXPECT_TRUE (package.loadFileAsData (bytes));
        return verifyWithKey (bytes, publicKey);
    }

    /** What a maker signs for the list of that entry name. */
    juce::MemoryBlock signatureOf (const PackageSigningKey& key, const juce::String& listName, const juce::MemoryBlock& list)
    {
        return key.sign (PackageSignature::signedMessage (listName, list));
    }

    class SignedPackages : public ::testing::Test
    {
    protected:
        /** An unsigned quorrel package of that version, made with zip and sha256sum. */
        juce::File unsignedPackage (const juce::String& fileName, const juce::String& version = "2.1.13")
        {
            return makeQuorrelPackage (folder / fileName, version, imageFor (version));
        }

        /** The package signed by that key, the signature entry added with zip. */
        juce::File signedPackage (const juce::String& fileName, const PackageSigningKey& key, const juce::String& version = "2.1.13")
        {
            const auto package = unsignedPackage (fileName, version);
            const auto base = "quorrel-fw-" + version;
            addEntry (package, base + ".sig", signatureOf (key, base + ".sha", entryOf (package, base + ".sha")));
            return package;
        }

        ScratchFolder folder;
        const PackageSigningKey maker = PackageSigningKey::fromSecretHex (makerSecret);
    };
}

TEST (Ed25519, keysAndSignaturesAreThoseOfRfc8032SoAnyEd25519ToolAgreesWithThem)
{
    struct Vector
    {
        const char* secret;
        const char* publicKey;
        const char* message;
        const char* signature;
    };

    const Vector vectors[] = {
        { "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
          "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
          "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b" },
        { "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
          "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
          "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00" },
    };

    for (auto& v : vectors)
    {
        const auto key = PackageSigningKey::fromSecretHex (v.secret);
        ASSERT_TRUE (key.isValid());
        EXPECT_EQ (key.getPublicKeyHex(), v.publicKey);

        const auto message = fromHex (v.message);
        const auto signature = key.sign (message);
        EXPECT_EQ (juce::String::toHexString (signature.getData(), (int) signature.getSize(), 0), v.signature);

        Ed25519::Key publicKey {};
        Ed25519::Signature raw {};
        ASSERT_TRUE (PackageSignature::parseKey (v.publicKey, publicKey));
        ASSERT_EQ (signature.getSize(), raw.size());
        std::memcpy (raw.data(), signature.getData(), raw.size());
        EXPECT_TRUE (Ed25519::verify (publicKey, message.getData(), message.getSize(), raw));

        raw[10] ^= 0x01;
        EXPECT_FALSE (Ed25519::verify (publicKey, message.getData(), message.getSize(), raw));
    }

    // Fresh keys differ, and each verifies only its own signatures.
    const auto a = PackageSigningKey::generate();
    const auto b = PackageSigningKey::generate();
    ASSERT_TRUE (a.isValid() && b.isValid());
    EXPECT_NE (a.getPublicKeyHex(), b.getPublicKeyHex());
}

TEST_F (SignedPackages, aPackageSignedByTheMakerIsAcceptedWhetherSignedByTheToolOrByHand)
{
    const auto byHand = signedPackage ("quorrel-fw-2.1.13.vfw", maker);
    auto verdict = verifyWithKey (byHand);
    EXPECT_EQ (verdict.version, 2011399) << verdict.reason;

    // The tool's way: the package rewritten with the signature entry added after the others.
    const auto package = unsignedPackage ("tool.vfw", "2.1.14");
    juce::MemoryBlock bytes, signedBytes;
    ASSERT_TRUE (package.loadFileAsData (bytes));
    juce::String error;
    ASSERT_TRUE (maker.signPackage (bytes, signedBytes, error)) << error;
    ASSERT_TRUE (package.replaceWithData (signedBytes.getData(), signedBytes.getSize()));
    verdict = verifyWithKey (package);
    EXPECT_EQ (verdict.version, 2011499) << verdict.reason;

    // Signing again replaces the signature instead of adding a second one.
    ASSERT_TRUE (maker.signPackage (signedBytes, bytes, error)) << error;
    juce::MemoryInputStream again (bytes, false);
    EXPECT_EQ (juce::ZipFile (again).getNumEntries(), 3);

    // A package that does not verify is not signed at all.
    auto broken = signedBytes;
    static_cast<char*> (broken.getData())[broken.getSize() / 2] ^= 0x20;
    EXPECT_FALSE (maker.signPackage (broken, bytes, error));
    EXPECT_TRUE (error.startsWith ("not acceptable")) << error;
}

TEST_F (SignedPackages, everyOtherSignatureIsRefusedWithItsReason)
{
    const auto stranger = PackageSigningKey::generate();

    auto expectRefused = [] (const juce::File& package, const juce::String& reason)
    {
        const auto verdict = verifyWithKey (package);
        EXPECT_EQ (verdict.version, -1) << package.getFileName();
        EXPECT_EQ (verdict.reason, reason) << package.getFileName();
        EXPECT_TRUE (verdict.refusedForSignature) << package.getFileName();
    };

    expectRefused (unsignedPackage ("unsigned.vfw"), "not signed");
    expectRefused (signedPackage ("stranger.vfw", stranger), "signature does not verify");

    // A valid signature, but of another package's list.
    const auto other = signedPackage ("other.vfw", maker, "2.1.14");
    const auto borrowed = unsignedPackage ("borrowed.vfw");
    addEntry (borrowed, "quorrel-fw-2.1.13.sig", entryOf (other, "quorrel-fw-2.1.14.sig"));
    expectRefused (borrowed, "signature does not verify");

    // The list changed after signing; it still lists the right digest, but not the signed bytes.
    const auto changed = signedPackage ("changed.vfw", maker);
    const auto changedList = "# release\n" + entryOf (changed, "quorrel-fw-2.1.13.sha").toString();
    addEntry (changed, "quorrel-fw-2.1.13.sha", juce::MemoryBlock (changedList.toRawUTF8(), changedList.getNumBytesAsUTF8()));
    expectRefused (changed, "signature does not verify");

    // A signature entry named after another list signs nothing here.
    const auto misnamed = unsignedPackage ("misnamed.vfw");
    addEntry (misnamed, "quorrel-fw-2.1.14.sig", signatureOf (maker, "quorrel-fw-2.1.13.sha", entryOf (misnamed, "quorrel-fw-2.1.13.sha")));
    expectRefused (misnamed, "not signed");

    // Malformed entries: too short, too long, empty, and one far too large to read.
    const auto good = maker.sign (entryOf (unsignedPackage ("source.vfw"), "quorrel-fw-2.1.13.sha"));

    for (auto size : { 63, 65, 0, 1 << 20 })
    {
        juce::MemoryBlock bad (good);
        bad.setSize ((size_t) size, true);
        const auto package = unsignedPackage ("malformed-" + juce::String (size) + ".vfw");
        addEntry (package, "quorrel-fw-2.1.13.sig", bad);
        expectRefused (package, "malformed signature: quorrel-fw-2.1.13.sig holds " + juce::String (size) + " bytes, not 64");
    }
}

TEST_F (SignedPackages, withoutAKeyNothingChangesAndWithABrokenKeyNothingPasses)
{
    const auto package = unsignedPackage ("quorrel-fw-2.1.13.vfw");
    std::unique_ptr<juce::InputStream> stream (package.createInputStream());
    EXPECT_EQ (FirmwarePackageStore::verifyPackage (*stream), 2011399);

    // Not hex, the wrong length, or no point of the curve: refused, never waved through.
    const auto signedOne = signedPackage ("signed.vfw", maker);

    for (auto key : { juce::String ("xyz"), makerPublic.dropLastCharacters (2),
                      "02" + juce::String::repeatedString ("ff", 31) })
    {
        EXPECT_FALSE (PackageSignature (key).hasValidKey()) << key;
        const auto verdict = verifyWithKey (signedOne, key);
        EXPECT_EQ (verdict.version, -1) << key;
        EXPECT_TRUE (verdict.refusedForSignature) << key;
    }

    EXPECT_TRUE (PackageSignature (makerPublic.toUpperCase()).hasValidKey());
}

TEST_F (SignedPackages, aStoreWithAKeyLogsEachRefusedPackageAndTakesTheExecutablesOwnAsItIs)
{
    const auto desktop = folder / "desktop";
    const auto staging = folder / "staging";
    desktop.createDirectory();
    staging.createDirectory();

    const auto executable = makeExecutableWithPackages (
        folder / "VornFirmwareUpdater",
        { makeQuorrelPackage (staging.getChildFile ("quorrel-fw-2.1.12.vfw"), "2.1.12", imageFor ("2.1.12")) });

    const auto signedOne = signedPackage ("desktop/quorrel-fw-2.1.13.vfw", maker);
    const auto unsignedOne = unsignedPackage ("desktop/quorrel-fw-2.1.14.vfw", "2.1.14");
    const auto strangers = signedPackage ("desktop/quorrel-fw-2.1.15.vfw", PackageSigningKey::generate(), "2.1.15");
    const auto broken = desktop.getChildFile ("quorrel-broken.vfw");
    broken.replaceWithText ("not a zip archive");
    const auto brokenLine = "Firmware package " + broken.getFullPathName() + " refused: it is not a zip archive";

    {
        LogCapture log;
        FirmwarePackageStore store ("Quorrel", makerPublic);
        store.setExecutableFile (executable);
        store.findFirmwarePackages ({ desktop.getFullPathName() });

        EXPECT_EQ (store.getFirmwareVersions(), juce::StringArray ("2.1.12", "2.1.13"));

        // In the order the folder lists them.
        auto lines = log.lines();
        lines.sort (false);
        EXPECT_EQ (lines, juce::StringArray (brokenLine,
                                             "Firmware package " + unsignedOne.getFullPathName() + " refused: not signed",
                                                   "Firmware package " + strangers.getFullPathName() + " refused: signature does not verify"))
            << log.lines().joinIntoString ("\n");
    }

    {
        LogCapture log;
        FirmwarePackageStore store ("Quorrel", {});
        store.setExecutableFile (executable);
        store.findFirmwarePackages ({ desktop.getFullPathName() });

        EXPECT_EQ (store.getFirmwareVersions(), juce::StringArray ("2.1.12", "2.1.13", "2.1.14", "2.1.15"));
        EXPECT_EQ (log.lines(), juce::StringArray (brokenLine));
    }
}

TEST_F (SignedPackages, aSignedPackageFileReplacedAfterTheSearchByAnUnsignedOneIsNeverSent)
{
    const auto package = signedPackage ("quorrel-fw-2.1.13.vfw", maker);

    FirmwarePackageStore store ("Quorrel", makerPublic);
    store.setExecutableFile (folder / "no-executable");
    store.findFirmwarePackages ({ package.getFullPathName() });
    ASSERT_TRUE (store.selectFirmwareVersion ("2.1.13"));

    juce::MemoryBlock signedImage;
    ASSERT_TRUE (store.readSelectedEntry ("quorrel-fw-2.1.13.syx", signedImage));

    // Same version, valid checksums, another image: only the signature tells it apart. What is
    // read is still the signed image verified at the search.
    makeQuorrelPackage (package, "2.1.13", imageFor ("2.1.13", 1200));
    juce::MemoryBlock bytes;
    ASSERT_TRUE (store.readSelectedEntry ("quorrel-fw-2.1.13.syx", bytes));
    EXPECT_EQ (bytes, signedImage);
    EXPECT_NE (bytes.getSize(), (size_t) 1200);
}

TEST (PackageSigningKey, theKeyFileIsForItsOwnerOnlyIsNeverReplacedAndGivesBackTheSameKey)
{
    ScratchFolder folder;
    const auto key = PackageSigningKey::generate();
    const auto file = folder / "maker.key";
    juce::String error;
    ASSERT_TRUE (key.save (file, error)) << error;

   #if JUCE_LINUX || JUCE_MAC || JUCE_BSD
    struct stat info {};
    ASSERT_EQ (::stat (file.getFullPathName().toRawUTF8(), &info), 0);
    EXPECT_EQ (info.st_mode & 0777, 0600u);
   #endif

    const auto loaded = PackageSigningKey::load (file, error);
    ASSERT_TRUE (loaded.isValid()) << error;
    EXPECT_EQ (loaded.getPublicKeyHex(), key.getPublicKeyHex());

    const auto before = file.loadFileAsString();
    EXPECT_FALSE (PackageSigningKey::generate().save (file, error));
    EXPECT_EQ (file.loadFileAsString(), before);

    // A damaged file is refused, not used to sign with a key nobody can check.
    const auto damaged = folder / "damaged.key";
    damaged.replaceWithText (before.replace ("public-key " + key.getPublicKeyHex(), "public-key " + makerPublic));
    EXPECT_FALSE (PackageSigningKey::load (damaged, error).isValid());
    EXPECT_TRUE (error.contains ("damaged")) << error;
    EXPECT_FALSE (PackageSigningKey::load (folder / "missing.key", error).isValid());
}

TEST (PackageSignature, aSignatureCoversTheListsNameSoARenamedOrOldStylePackageIsRefused)
{
    const auto maker = PackageSigningKey::fromSecretHex (makerSecret);
    const auto image = imageFor ("2.1.14");
    juce::MemoryBlock signedPackage;
    juce::String error;
    ASSERT_TRUE (maker.signPackage (FirmwarePackageWriter::build ({ { "quorrel-fw-2.1.14.syx", image } }), signedPackage, error))
        << error;
    ASSERT_EQ (verifyWithKey (signedPackage).version, 2011499);

    juce::MemoryInputStream stream (signedPackage, false);
    juce::ZipFile archive (stream);
    const auto list = [&]
    {
        juce::MemoryBlock bytes;
        std::unique_ptr<juce::InputStream> entry (archive.createStreamForEntry (archive.getIndexOfFileName ("quorrel-fw-2.1.14.sha")));
        entry->readIntoMemoryBlock (bytes);
        return bytes;
    }();
    const auto signature = [&]
    {
        juce::MemoryBlock bytes;
        std::unique_ptr<juce::InputStream> entry (archive.createStreamForEntry (archive.getIndexOfFileName ("quorrel-fw-2.1.14.sig")));
        entry->readIntoMemoryBlock (bytes);
        return bytes;
    }();

    // The maker's 2.1.14, its list and signature renamed to a version that would replace every other.
    for (juce::String version : { "9.9.9", BuildConstants::applicationVersion })
    {
        const auto renamed = zipOf ({ { "quorrel-fw-" + version + ".sha", list }, { "quorrel-fw-2.1.14.syx", image },
                                      { "quorrel-fw-" + version + ".sig", signature } });
        const auto verdict = verifyWithKey (renamed);
        EXPECT_EQ (verdict.version, -1) << version;
        EXPECT_EQ (verdict.reason, "signature does not verify") << version;
    }

    // Signed the old way, over the list's bytes alone.
    const auto oldStyle = zipOf ({ { "quorrel-fw-2.1.14.sha", list }, { "quorrel-fw-2.1.14.syx", image },
                                   { "quorrel-fw-2.1.14.sig", maker.sign (list) } });
    EXPECT_EQ (verifyWithKey (oldStyle).reason, "signature does not verify");

    // The message pins the documented format, so that other signing tools can follow it.
    juce::MemoryBlock expected;
    const char nameLength[] = { 0, 0, 0, 21 };
    expected.append ("vfu-package-signature-2\n", 24);
    expected.append (nameLength, sizeof (nameLength));
    expected.append ("quorrel-fw-2.1.14.shaabc", 24);
    EXPECT_EQ (PackageSignature::signedMessage ("quorrel-fw-2.1.14.sha", bytesOf ("abc")), expected);
}

TEST (PackageSignature, inABuildWithAKeyNoImageIsDecompressedBeforeTheSignatureIsChecked)
{
    const auto image = imageFor ("2.1.14", 200000);
    const auto package = FirmwarePackageWriter::build ({ { "quorrel-fw-2.1.14.syx", image } });

    const auto verdict = verifyWithKey (package);
    EXPECT_EQ (verdict.reason, "not signed");
    EXPECT_TRUE (verdict.refusedForSignature);
    EXPECT_EQ (verdict.bytesRead, (juce::int64) FirmwarePackageWriter::checksumLine ("quorrel-fw-2.1.14.syx", image).length());
}

TEST (Ed25519, everyEncodingOfASmallOrderPointIsRefusedAndNoKeyBytesMakeTheLibraryAbort)
{
    // The y coordinates of the eight points of small order (little-endian), with p and p + 1, the
    // non-canonical forms of 0 and 1; the top bit is the sign of x.
    const juce::String smallOrder[] = {
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
        "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    };

    // A "signature" made without any secret key: R the identity, S zero. It verified under one of
    // the order-8 keys before they were refused.
    Ed25519::Signature forged {};
    forged[0] = 0x01;
    const auto message = bytesOf ("quorrel-fw-9.9.9.sha");

    for (auto& hex : smallOrder)
    {
        for (auto sign : { 0, 0x80 })
        {
            Ed25519::Key key {};
            ASSERT_TRUE (PackageSignature::parseKey (hex, key));
            key[31] = (std::uint8_t) (key[31] | sign);
            const auto text = juce::String::toHexString (key.data(), (int) key.size(), 0);

            EXPECT_TRUE (Ed25519::hasSmallOrder (key)) << text;
            EXPECT_FALSE (Ed25519::isValidPublicKey (key)) << text;
            EXPECT_FALSE (PackageSignature (text).hasValidKey()) << text;
            EXPECT_FALSE (Ed25519::verify (key, message.getData(), message.getSize(), forged)) << text;
        }
    }

    // The library also aborts on points of large order with a coordinate below 2^192: y from 2
    // to 18, and two points with x just above 2^100. Around them, y up to 2^255 - 1 (beyond p,
    // not canonical), with both signs. None may reach it: the test program would end here.
    for (auto hex : { juce::String ("4c6fa020032524c6b0f6df324dc6f8f132483a1a167761b9a851e371419c776f"),
                      juce::String ("6b6a9442cd4dfcd7396b90c6ee5b61b1a990b8f680719f38fea863162241f6ae") })
    {
        Ed25519::Key key {};
        ASSERT_TRUE (PackageSignature::parseKey (hex, key));
        EXPECT_FALSE (Ed25519::isValidPublicKey (key)) << hex;
        EXPECT_FALSE (Ed25519::verify (key, message.getData(), message.getSize(), forged)) << hex;
    }

    for (int y = 0; y < 19; ++y)
    {
        for (auto sign : { 0, 0x80 })
        {
            Ed25519::Key low {}, high {};
            low[0] = (std::uint8_t) y;
            low[31] = (std::uint8_t) sign;
            high.fill (0xff);
            high[0] = (std::uint8_t) (0xed + y); // p + y
            high[31] = (std::uint8_t) (0x7f | sign);
            EXPECT_FALSE (Ed25519::isValidPublicKey (low)) << y;
            EXPECT_FALSE (Ed25519::isValidPublicKey (high)) << y;
            EXPECT_FALSE (Ed25519::verify (low, message.getData(), message.getSize(), forged)) << y;
        }
    }

    Ed25519::Key real {};
    ASSERT_TRUE (PackageSignature::parseKey (makerPublic, real));
    EXPECT_FALSE (Ed25519::hasSmallOrder (real));
    EXPECT_TRUE (Ed25519::isValidPublicKey (real));
}
