#include "firmware/FirmwarePackageStore.h"
#include "firmware/FirmwarePackageWriter.h"
#include "firmware/PackageVerifier.h"
#include "definitions/InbuiltDefinitions.h"
#include "definitions/UpdaterDefinitions.h"
#include "support/EngineTestSupport.h"
#include "support/FirmwareTestPackages.h"

#include <gtest/gtest.h>
#include <juce_cryptography/juce_cryptography.h>

#include <thread>

#if ! JUCE_WINDOWS
 #include <fcntl.h>
 #include <sys/stat.h>
 #include <unistd.h>
#endif

using namespace FirmwareTestPackages;

namespace
{
    int verifyFile (const juce::File& file)
    {
        std::unique_ptr<juce::InputStream> stream (file.createInputStream());
        return stream == nullptr ? -2 : FirmwarePackageStore::verifyPackage (*stream);
    }

    int verifyBytes (const juce::MemoryBlock& bytes)
    {
        juce::MemoryInputStream stream (bytes, false);
        return FirmwarePackageStore::verifyPackage (stream);
    }

    juce::MemoryBlock selectedEntry (FirmwarePackageStore& store, const juce::String& name)
    {
        juce::MemoryBlock bytes;
        EXPECT_TRUE (store.readSelectedEntry (name, bytes)) << name;
        return bytes;
    }

    /** A zip archive whose central directory names one deflated entry of `size` zero bytes under
        each of imageNames, all reading the same compressed bytes, after a stored checksum list
        that lists each name with the right digest: a few kilobytes that ask for much decompressing. */
    juce::MemoryBlock overlappingArchive (const juce::StringArray& imageNames, int size)
    {
        const juce::MemoryBlock content ((size_t) size, true);
        juce::MemoryOutputStream deflated;
        {
            juce::GZIPCompressorOutputStream compressor (deflated, 9, juce::GZIPCompressorOutputStream::windowBitsRaw);
            compressor.write (content.getData(), content.getSize());
        }

        const auto digest = juce::SHA256 (content).toHexString();
        juce::StringArray lines;

        for (auto& name : imageNames)
            lines.add (digest + " *" + name);

        const auto list = bytesOf (lines.joinIntoString ("\n"));
        const juce::String listName ("quorrel-fw-2.1.13.sha");

        juce::MemoryOutputStream out;
        auto localEntry = [&out] (const juce::String& name, int method, const juce::MemoryBlock& data, int uncompressed)
        {
            out.writeInt (0x04034b50);
            out.writeShort (20); out.writeShort (0); out.writeShort ((short) method);
            out.writeShort (0); out.writeShort (0x21); // time, date
            out.writeInt (0); out.writeInt ((int) data.getSize()); out.writeInt (uncompressed);
            out.writeShort ((short) name.getNumBytesAsUTF8()); out.writeShort (0);
            out << name << data;
        };

        std::vector<std::tuple<juce::String, int, int, int, int>> central; // name, method, compressed, size, offset
        central.emplace_back (listName, 0, (int) list.getSize(), (int) list.getSize(), 0);
        localEntry (listName, 0, list, (int) list.getSize());

        const auto imageOffset = (int) out.getPosition();
        localEntry ("image.syx", 8, deflated.getMemoryBlock(), size);

        for (auto& name : imageNames)
            central.emplace_back (name, 8, (int) deflated.getDataSize(), size, imageOffset);

        const auto directoryStart = (int) out.getPosition();

        for (auto& [name, method, compressed, uncompressed, offset] : central)
        {
            out.writeInt (0x02014b50);
            out.writeShort (20); out.writeShort (20); out.writeShort (0); out.writeShort ((short) method);
            out.writeShort (0); out.writeShort (0x21);
            out.writeInt (0); out.writeInt (compressed); out.writeInt (uncompressed);
            out.writeShort ((short) name.getNumBytesAsUTF8()); out.writeShort (0); out.writeShort (0);
            out.writeShort (0); out.writeShort (0); out.writeInt (0); out.writeInt (offset);
            out << name;
        }

        const auto directorySize = (int) out.getPosition() - directoryStart;
        out.writeInt (0x06054b50);
        out.writeShort (0); out.writeShort (0);
        out.writeShort ((short) central.size()); out.writeShort ((short) central.size());
        out.writeInt (directorySize); out.writeInt (directoryStart); out.writeShort (0);
        return out.getMemoryBlock();
    }

    int linesContaining (const LogCapture& log, const juce::String& text)
    {
        int n = 0;

        for (auto& line : log.lines())
            n += line.contains (text) ? 1 : 0;

        return n;
    }

    PackageVerifier::Verdict verifyWithLimit (const juce::MemoryBlock& bytes, juce::int64 limit)
    {
        PackageVerifier verifier;
        verifier.setByteLimit (limit);
        juce::MemoryInputStream stream (bytes, false);
        return verifier.verify (stream);
    }

    juce::StringArray imageNames (int count)
    {
        juce::StringArray names;
        for (int i = 0; i < count; ++i)
            names.add ("quorrel-fw-2.1.13-" + juce::String (i) + ".syx");
        return names;
    }

    /** A store for the Quorrel whose executable is a file without an appended archive, unless given. */
    struct QuorrelStore
    {
        explicit QuorrelStore (const juce::File& executable)
        {
            store.setExecutableFile (executable);
        }

        FirmwarePackageStore store { "Quorrel" };
    };
}

TEST (FirmwarePackageVersion, comesFromTheTextAfterTheLastDashOrFromRemovingFw)
{
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName ("quorrel-fw-2.1.13.sha"), 2011399);
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName ("vanto-fw.1.2.0p3.sha"), 1020003);
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName ("fw.1.0.2.sha"), 1000299);
    // Only a backslash separates folders, and a dot inside a folder name is no extension.
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName ("a.b\\quorrel-fw-2.1.14p1.sha"), 2011401);
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName ("v2.0\\quorrel-fw-3"), 3000099);
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName ("quorrel-fw-2.1"), 2000099);
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName ("updates-2.0\\quorrel.sha"), -1);
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName ("quorrel.sha"), -1);
    EXPECT_EQ (FirmwarePackageStore::versionFromFileName (""), -1);
}

TEST (FirmwarePackageVerification, aPackageMadeWithZipAndSha256sumIsAcceptedWithItsVersion)
{
    ScratchFolder folder;
    const auto package = makeQuorrelPackage (folder / "quorrel-fw-2.1.13.vfw", "2.1.13", imageFor ("2.1.13"));
    EXPECT_EQ (verifyFile (package), 2011399);

    // Several images in one package, each listed.
    const auto a = writeImage (folder.get(), "halvanexv-fw2-1.0.0.syx", imageFor ("1.0.0", 400));
    const auto b = writeImage (folder.get(), "halvanexv-fw3-1.0.0.syx", imageFor ("1.0.0", 500));
    EXPECT_EQ (verifyFile (makePackageWithTools (folder / "halvane.vfw", "halvanexv-fw-1.0.0.sha", { a, b })), 1000099);

    // A list with no image is acceptable; no list at all is not.
    EXPECT_EQ (verifyFile (makePackageWithTools (folder / "empty.vfw", "quorrel-fw-3.0.0.sha", {})), 3000099);
    const auto onlyImage = folder / "only-image.vfw";
    bool ok = true;
    runShell ("cd " + quoted (folder.get()) + " && zip -q -0 " + quoted (onlyImage) + " halvanexv-fw2-1.0.0.syx", ok);
    ASSERT_TRUE (ok);
    EXPECT_EQ (verifyFile (onlyImage), -1);
}

TEST (FirmwarePackageVerification, theChecksumListMustHoldTheLowerCaseDigestAtItsPlaceBeforeEachName)
{
    ScratchFolder folder;
    const auto image = writeImage (folder.get(), "quorrel-fw-2.1.13.syx", imageFor ("2.1.13"));

    auto make = [&] (const juce::String& name, std::function<juce::String (const juce::String&)> transform)
    {
        return verifyFile (makePackageWithTools (folder / name, "quorrel-fw-2.1.13.sha", { image }, std::move (transform)));
    };

    EXPECT_EQ (make ("upper.vfw", [] (const juce::String& list)
                     { return list.substring (0, 64).toUpperCase() + list.substring (64); }), -1);

    // The name also stands in front of the line, so its first occurrence is too close to the start.
    EXPECT_EQ (make ("close.vfw", [] (const juce::String& list) { return "quorrel-fw-2.1.13.syx " + list; }), -1);

    // Text before the line moves the name, and the digest must move with it.
    EXPECT_EQ (make ("shifted.vfw", [] (const juce::String& list) { return "# checksums\n" + list; }), 2011399);
    EXPECT_EQ (make ("two-space.vfw", [] (const juce::String& list) { return list.replace (" *", "  *"); }), -1);

    EXPECT_EQ (make ("missing.vfw", [] (const juce::String& list) { return list.replace ("quorrel-fw-2.1.13.syx", "other.syx"); }), -1);
    EXPECT_EQ (make ("wrong-digest.vfw", [] (const juce::String& list)
                     { return (list[0] == '0' ? "1" : "0") + list.substring (1); }), -1);
}

TEST (FirmwarePackageVerification, aListNamedWithoutDashOrFwGivesNoVersion)
{
    ScratchFolder folder;
    const auto image = writeImage (folder.get(), "quorrel-fw-2.1.13.syx", imageFor ("2.1.13"));
    EXPECT_EQ (verifyFile (makePackageWithTools (folder / "quorrel-fw-2.1.13.vfw", "quorrel.sha", { image })), -1);
}

TEST (FirmwarePackageVerification, brokenAndHostileArchivesAreRefusedWithoutHarm)
{
    const auto good = FirmwarePackageWriter::build ({ { "quorrel-fw-2.1.13.syx", imageFor ("2.1.13") } });
    ASSERT_EQ (verifyBytes (good), 2011399);

    EXPECT_EQ (verifyBytes ({}), -1);
    EXPECT_EQ (verifyBytes (juce::MemoryBlock (good.getData(), good.getSize() / 2)), -1);
    EXPECT_EQ (verifyBytes (juce::MemoryBlock (good.getData(), good.getSize() - 10)), -1);

    juce::MemoryBlock noise (5000);
    juce::Random random (1);
    random.fillBitsRandomly (noise.getData(), noise.getSize());
    EXPECT_EQ (verifyBytes (noise), -1);

    // Central directories that claim the image is over the limit, or 4 GiB.
    for (auto claimed : { (juce::uint32) (FirmwarePackageStore::maximumEntrySize + 1), 0xffffffffu })
    {
        auto huge = good;
        auto* bytes = static_cast<juce::uint8*> (huge.getData());
        int patched = 0;

        for (size_t i = 0; i + 46 + 21 < huge.getSize(); ++i)
        {
            if (bytes[i] == 0x50 && bytes[i + 1] == 0x4b && bytes[i + 2] == 0x01 && bytes[i + 3] == 0x02
                && juce::String::fromUTF8 ((const char*) bytes + i + 46, 21) == "quorrel-fw-2.1.13.syx")
            {
                for (size_t b = 0; b < 4; ++b) // the uncompressed size, little-endian at offset 24
                    bytes[i + 24 + b] = (juce::uint8) (claimed >> (8 * b));

                ++patched;
            }
        }

        ASSERT_EQ (patched, 1);
        EXPECT_EQ (verifyBytes (huge), -1);
    }
}

TEST (FirmwarePackageVerification, malformedUtf8NamesSpoilAPackageOnlyWhenTheyNameWhatIsRead)
{
    // Found by the fuzzer: malformed sequences made the text functions read past the name. Every
    // name is first written with placeholder bytes, then patched to the malformed bytes.
    const auto image = imageFor ("2.1.13");
    const auto decoy = imageFor ("2.1.13", 1200);
    const auto list = bytesOf (FirmwarePackageWriter::checksumLine ("quorrel-fw-2.1.13.syx", image));

    auto package = [&] (const juce::String& extraName, const char* extraBytes)
    {
        auto bytes = zipOf ({ { "quorrel-fw-2.1.13.sha", list }, { extraName, decoy },
                              { "quorrel-fw-2.1.13.syx", image } });
        EXPECT_EQ (replaceBytes (bytes, extraName, extraBytes), 2) << extraName; // local and central names
        return bytes;
    };

    // Names the store never reads: a read-me in Latin-1, and an overlong form of the image's own
    // name, which decodes like it. The package is taken, and what is sent is the listed image.
    ScratchFolder folder;
    const auto latin1 = package ("README-caf#.txt", "README-caf\xe9.txt");
    const auto overlong = package ("quorrel-fw-2.1.13.syxx", "quorrel-fw-2.1.13.sy\xc1\xb8");
    EXPECT_EQ (verifyBytes (latin1), 2011399);
    ASSERT_EQ (verifyBytes (overlong), 2011399);

    const auto file = folder / "quorrel-fw-2.1.13.vfw";
    ASSERT_TRUE (file.replaceWithData (overlong.getData(), overlong.getSize()));
    QuorrelStore quorrel (folder / "no-executable");
    quorrel.store.findFirmwarePackages ({ file.getFullPathName() });
    ASSERT_TRUE (quorrel.store.selectFirmwareVersion ("2.1.13"));
    EXPECT_EQ (selectedEntry (quorrel.store, "quorrel-fw-2.1.13.syx"), image);

    // Names it reads: an image, and the checksum list (a lead byte that promises three more bytes).
    EXPECT_EQ (verifyBytes (package ("quorrel-fw-2.1.1#.syx", "quorrel-fw-2.1.1\xff.syx")), -1);

    auto badList = zipOf ({ { "quorrel-fw-2.1.13.sha", list }, { "quorrel-fw-2.1.13.syx", image } });
    ASSERT_EQ (replaceBytes (badList, "quorrel-fw-2.1.13.sha", "quo\x8e\x8crel-fw-2.1.\xf0.sha"), 2);
    EXPECT_EQ (verifyBytes (badList), -1);
}

TEST (FirmwarePackageVerification, anImageOverTheSizeLimitMakesThePackageUnacceptableEvenWhenItsDigestIsRight)
{
    const auto size = (size_t) FirmwarePackageStore::maximumEntrySize + 1;
    const auto package = FirmwarePackageWriter::build ({ { "quorrel-fw-2.1.13.syx", juce::MemoryBlock (size, true) } });
    EXPECT_EQ (verifyBytes (package), -1);
}

TEST (FirmwarePackageStore, equalVersionsReplaceInsideTheExecutableThenBesideItThenOnTheDesktop)
{
    ScratchFolder folder;
    const auto beside = folder / "app";
    const auto desktop = folder / "desktop";
    const auto staging = folder / "staging";
    beside.createDirectory();
    desktop.createDirectory();
    staging.createDirectory();

    const auto embeddedImage = imageFor ("2.1.13", 600);
    const auto besideImage = imageFor ("2.1.13", 700);
    const auto desktopImage = imageFor ("2.1.13", 800);

    const auto executable = makeExecutableWithPackages (
        beside.getChildFile ("VornFirmwareUpdater"),
        { makeQuorrelPackage (staging.getChildFile ("quorrel-fw-2.1.13.vfw"), "2.1.13", embeddedImage),
          makeQuorrelPackage (staging.getChildFile ("quorrel-fw-2.1.12.vfw"), "2.1.12", imageFor ("2.1.12")) });

    {
        QuorrelStore only (executable);
        only.store.findFirmwarePackages ({});
        EXPECT_EQ (only.store.getFirmwareVersions(), juce::StringArray ("2.1.12", "2.1.13"));
        ASSERT_TRUE (only.store.selectFirmwareVersion ("2.1.13"));
        EXPECT_EQ (selectedEntry (only.store, "quorrel-fw-2.1.13.syx"), embeddedImage);
    }

    makeQuorrelPackage (beside.getChildFile ("quorrel-fw-2.1.13-beside.vfw"), "2.1.13", besideImage);
    {
        QuorrelStore two (executable);
        two.store.findFirmwarePackages ({ beside.getFullPathName(), desktop.getFullPathName() });
        ASSERT_TRUE (two.store.selectFirmwareVersion ("2.1.13"));
        EXPECT_EQ (selectedEntry (two.store, "quorrel-fw-2.1.13.syx"), besideImage);
    }

    makeQuorrelPackage (desktop.getChildFile ("my-quorrel-update.vfw"), "2.1.13", desktopImage);
    QuorrelStore three (executable);
    three.store.findFirmwarePackages ({ beside.getFullPathName(), desktop.getFullPathName() });
    EXPECT_EQ (three.store.getFirmwareVersions(), juce::StringArray ("2.1.12", "2.1.13"));
    ASSERT_TRUE (three.store.selectFirmwareVersion ("2.1.13"));
    EXPECT_EQ (selectedEntry (three.store, "quorrel-fw-2.1.13.syx"), desktopImage);

    // The embedded package is read from memory, again and again.
    ASSERT_TRUE (three.store.selectFirmwareVersion ("2.1.12"));
    EXPECT_EQ (selectedEntry (three.store, "quorrel-fw-2.1.12.syx"), imageFor ("2.1.12"));
    EXPECT_EQ (selectedEntry (three.store, "quorrel-fw-2.1.12.syx"), imageFor ("2.1.12"));
}

TEST (FirmwarePackageStore, onlyVfwFilesWhoseNameHoldsTheDeviceKeyExactlyAreTaken)
{
    ScratchFolder folder;
    const auto desktop = folder / "desktop";
    desktop.createDirectory();

    makeQuorrelPackage (desktop.getChildFile ("QUORREL-FW-2.1.14.VFW"), "2.1.14", imageFor ("2.1.14"));
    makeQuorrelPackage (desktop.getChildFile ("dorrick-fw-2.1.15.vfw"), "2.1.15", imageFor ("2.1.15"));
    makeQuorrelPackage (desktop.getChildFile ("quorrel-fw-2.1.16.VFW"), "2.1.16", imageFor ("2.1.16"));
    makeQuorrelPackage (desktop.getChildFile ("quorrel-fw-2.1.17.vfw.bak"), "2.1.17", imageFor ("2.1.17"));
    makeQuorrelPackage (desktop.getChildFile ("quorrel-fw-2.1.18.zip"), "2.1.18", imageFor ("2.1.18"));
    const auto nested = desktop.getChildFile ("nested");
    nested.createDirectory();
    makeQuorrelPackage (nested.getChildFile ("quorrel-fw-2.1.19.vfw"), "2.1.19", imageFor ("2.1.19"));
    desktop.getChildFile ("quorrel-broken.vfw").replaceWithText ("not a zip archive at all");
    desktop.getChildFile ("quorrel-empty.vfw").create();

    QuorrelStore quorrel (folder / "no-executable");
    quorrel.store.findFirmwarePackages ({ desktop.getFullPathName() });
    EXPECT_EQ (quorrel.store.getFirmwareVersions(), juce::StringArray ("2.1.16"));

    FirmwarePackageStore dorrick ("Dorrick");
    dorrick.setExecutableFile (folder / "no-executable");
    dorrick.findFirmwarePackages ({ desktop.getFullPathName() });
    EXPECT_EQ (dorrick.getFirmwareVersions(), juce::StringArray ("2.1.15"));

    // A path that names a file is taken whatever its name.
    QuorrelStore byFile (folder / "no-executable");
    byFile.store.findFirmwarePackages ({ nested.getChildFile ("quorrel-fw-2.1.19.vfw").getFullPathName(),
                                         desktop.getChildFile ("quorrel-fw-2.1.18.zip").getFullPathName(),
                                         (folder / "does-not-exist").getFullPathName(), juce::String() });
    EXPECT_EQ (byFile.store.getFirmwareVersions(), juce::StringArray ("2.1.18", "2.1.19"));
}

TEST (FirmwarePackageStore, aPreReleaseRanksBetweenTheVersionBeforeAndItsRelease)
{
    ScratchFolder folder;
    for (auto version : { "2.1.14", "2.1.13", "2.1.14p1" })
        makeQuorrelPackage (folder / ("quorrel-fw-" + juce::String (version) + ".vfw"), version, imageFor (version));

    QuorrelStore quorrel (folder / "no-executable");
    quorrel.store.findFirmwarePackages ({ folder.get().getFullPathName() });
    EXPECT_EQ (quorrel.store.getFirmwareVersions(), juce::StringArray ("2.1.13", "2.1.14p1", "2.1.14"));

    EXPECT_FALSE (quorrel.store.hasSelectedPackage());
    juce::MemoryBlock bytes;
    EXPECT_FALSE (quorrel.store.readSelectedEntry ("quorrel-fw-2.1.14p1.syx", bytes));

    // The version is kept in the form the package was verified in; it names the entries ("$(version)").
    ASSERT_TRUE (quorrel.store.selectFirmwareVersion ("2.1.14p01"));
    EXPECT_EQ (quorrel.store.getSelectedVersion(), "2.1.14p1");
    EXPECT_EQ (selectedEntry (quorrel.store, "quorrel-fw-2.1.14p1.syx"), imageFor ("2.1.14p1"));

    EXPECT_FALSE (quorrel.store.selectFirmwareVersion ("2.1.15"));
    EXPECT_EQ (quorrel.store.getSelectedVersion(), "2.1.14p1");
    EXPECT_FALSE (quorrel.store.readSelectedEntry ("quorrel-fw-2.1.15.syx", bytes));
}

TEST (FirmwarePackageStore, aPackageFileSpoiledMovedOrRemovedAfterTheSearchStillYieldsTheVerifiedBytes)
{
    ScratchFolder folder;
    const auto original = imageFor ("2.1.13");
    const auto package = makeQuorrelPackage (folder / "quorrel-fw-2.1.13.vfw", "2.1.13", original);

    QuorrelStore quorrel (folder / "no-executable");
    quorrel.store.findFirmwarePackages ({ folder.get().getFullPathName() });
    ASSERT_TRUE (quorrel.store.selectFirmwareVersion ("2.1.13"));

    const auto image = folder / "quorrel-fw-2.1.13.syx";
    auto spoiled = imageFor ("2.1.13");
    static_cast<char*> (spoiled.getData())[100] ^= 1;
    image.replaceWithData (spoiled.getData(), spoiled.getSize());
    bool ok = true;
    runShell ("cd " + quoted (folder.get()) + " && zip -q -0 " + quoted (package) + " quorrel-fw-2.1.13.syx", ok);
    ASSERT_TRUE (ok);
    EXPECT_EQ (selectedEntry (quorrel.store, "quorrel-fw-2.1.13.syx"), original);

    ASSERT_TRUE (package.moveFileTo (folder / "elsewhere.vfw"));
    ASSERT_TRUE ((folder / "elsewhere.vfw").deleteFile());
    EXPECT_EQ (selectedEntry (quorrel.store, "quorrel-fw-2.1.13.syx"), original);

    // An entry the package does not hold: the reason names the package and the entry.
    juce::MemoryBlock bytes;
    juce::String reason;
    EXPECT_FALSE (quorrel.store.readSelectedEntry ("quorrel-fw-2.1.14.syx", bytes, &reason));
    EXPECT_TRUE (reason.contains (package.getFullPathName())) << reason;
    EXPECT_TRUE (reason.contains ("quorrel-fw-2.1.14.syx")) << reason;
}

#if ! JUCE_WINDOWS
TEST (FirmwarePackageStore, aFifoADeviceOrAFolderNamedLikeAPackageIsSkippedWithoutBlocking)
{
    ScratchFolder folder;
    const auto desktop = folder / "desktop";
    const auto staging = folder / "staging";
    desktop.createDirectory();
    staging.createDirectory();

    makeQuorrelPackage (desktop.getChildFile ("quorrel-fw-2.1.13.vfw"), "2.1.13", imageFor ("2.1.13"));
    const auto linked = makeQuorrelPackage (staging.getChildFile ("quorrel-fw-2.1.14.vfw"), "2.1.14", imageFor ("2.1.14"));
    ASSERT_TRUE (linked.createSymbolicLink (desktop.getChildFile ("quorrel-fw-2.1.14.vfw"), false));

    const auto fifo = desktop.getChildFile ("quorrel-fw-9.9.9.vfw");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    ASSERT_TRUE (juce::File ("/dev/zero").createSymbolicLink (desktop.getChildFile ("quorrel-fw-9.9.8.vfw"), false));
    desktop.getChildFile ("quorrel-fw-9.9.7.vfw").createDirectory();

    // Run on a worker: a search that opens the FIFO would wait for a writer for ever.
    QuorrelStore quorrel (folder / "no-executable");
    juce::WaitableEvent searched;
    std::thread worker ([&]
    {
        quorrel.store.findFirmwarePackages ({ desktop.getFullPathName(), fifo.getFullPathName() });
        searched.signal();
    });

    const bool inTime = searched.wait (10000);

    if (! inTime)
    {
        // Let the blocked open go on: a writer that comes and goes gives the reader an end of file.
        const auto fd = ::open (fifo.getFullPathName().toRawUTF8(), O_WRONLY);
        ::close (fd);
    }

    worker.join();
    ASSERT_TRUE (inTime) << "the search blocked on the FIFO";

    // A link to a regular file is a package like any other.
    EXPECT_EQ (quorrel.store.getFirmwareVersions(), juce::StringArray ("2.1.13", "2.1.14"));
}
#endif

TEST (FirmwarePackageStore, aPackageIsOfferedOnlyWhenItHoldsEveryImageTheDefinitionsSendAtItsVersion)
{
    ScratchFolder folder;
    const auto desktop = folder / "desktop";
    desktop.createDirectory();

    auto write = [&desktop] (const juce::String& fileName, const juce::String& listName,
                             const std::vector<FirmwarePackageWriter::Image>& images)
    {
        juce::Array<FirmwarePackageWriter::Image> listed;

        for (auto& image : images)
            listed.add (image);

        std::vector<std::pair<juce::String, juce::MemoryBlock>> entries { { listName, bytesOf (FirmwarePackageWriter::checksumList (listed)) } };

        for (auto& image : images)
            entries.emplace_back (image.entryName, image.content);

        const auto bytes = zipOf (entries);
        const auto file = desktop.getChildFile (fileName);
        EXPECT_TRUE (file.replaceWithData (bytes.getData(), bytes.getSize()));
        return file;
    };

    // A list named for 2.2.0 over the 2.1.13 image, and two honest slips in the image's name.
    const auto stale = write ("quorrel-stale.vfw", "quorrel-fw-2.2.0.sha", { { "quorrel-fw-2.1.13.syx", imageFor ("2.1.13") } });
    const auto cased = write ("quorrel-cased.vfw", "Quorrel-FW-2.2.0.sha", { { "Quorrel-FW-2.2.0.syx", imageFor ("2.2.0") } });
    const auto padded = write ("quorrel-padded.vfw", "quorrel-fw-02.2.0.sha", { { "quorrel-fw-02.2.0.syx", imageFor ("2.2.0") } });
    write ("quorrel-fw-2.1.14.vfw", "quorrel-fw-2.1.14.sha", { { "quorrel-fw-2.1.14.syx", imageFor ("2.1.14") } });

    LogCapture log;
    const UpdaterDefinitions quorrelDefinitions (InbuiltDefinitions::getText(), "Quorrel", false);
    QuorrelStore quorrel (folder / "no-executable");
    quorrel.store.setRequiredImages (quorrelDefinitions.getFirmwareMessageKinds());
    quorrel.store.findFirmwarePackages ({ desktop.getFullPathName() });

    EXPECT_EQ (quorrel.store.getFirmwareVersions(), juce::StringArray ("2.1.14"));

    for (auto& refused : { stale, cased, padded })
        EXPECT_EQ (log.count ("Firmware package " + refused.getFullPathName() + " refused: it holds no quorrel-fw-2.2.0.syx, "
                              "the image the definitions send at version 2.2.0"), 1)
            << log.lines().joinIntoString ("\n");

    // A device whose definitions send three images needs all three.
    const UpdaterDefinitions halvaneDefinitions (InbuiltDefinitions::getText(), "Halvane XV", false);
    EXPECT_EQ (halvaneDefinitions.getFirmwareMessageKinds().size(), 3);

    write ("halvane-fw-1.0.0.vfw", "halvanexv-fw-1.0.0.sha", { { "halvanexv-fw2-1.0.0.syx", imageFor ("1.0.0") },
                                                                 { "halvanexv-fw3-1.0.0.syx", imageFor ("1.0.0") } });
    write ("halvane-fw-1.0.1.vfw", "halvanexv-fw-1.0.1.sha", { { "halvanexv-fw2-1.0.1.syx", imageFor ("1.0.1") },
                                                                 { "halvanexv-fw3-1.0.1.syx", imageFor ("1.0.1") },
                                                                 { "halvanexv-fw4-1.0.1.syx", imageFor ("1.0.1") } });
    FirmwarePackageStore halvane ("Halvane XV", {});
    halvane.setExecutableFile (folder / "no-executable");
    halvane.setRequiredImages (halvaneDefinitions.getFirmwareMessageKinds());
    halvane.findFirmwarePackages ({ desktop.getFullPathName() });
    EXPECT_EQ (halvane.getFirmwareVersions(), juce::StringArray ("1.0.1"));
    EXPECT_EQ (linesContaining (log, "refused: it holds no halvanexv-fw4-1.0.0.syx"), 1) << log.lines().joinIntoString ("\n");
}

TEST (FirmwarePackageVerification, aPackageAskingForMuchDecompressingIsRefusedBeforeAnyOfItIsRead)
{
    constexpr int oneMiB = 1024 * 1024;

    // One entry of 1 MiB named 300 times: 300 MiB to decompress from some 50 kilobytes.
    const auto bomb = overlappingArchive (imageNames (300), oneMiB);
    ASSERT_LT (bomb.getSize(), (size_t) 100000);
    auto verdict = verifyWithLimit (bomb, PackageVerifier::maximumPackageSize);
    EXPECT_EQ (verdict.version, -1);
    EXPECT_TRUE (verdict.reason.startsWith ("verifying it would decompress")) << verdict.reason;
    EXPECT_EQ (verdict.bytesRead, 0);

    // Within the bound, each name is decompressed once: the list and three images, nothing more.
    verdict = verifyWithLimit (overlappingArchive (imageNames (3), oneMiB), PackageVerifier::maximumPackageSize);
    EXPECT_EQ (verdict.version, 2011399) << verdict.reason;
    EXPECT_EQ (verdict.bytesRead - 3 * (juce::int64) oneMiB, (juce::int64) (3 * 89 + 2)); // three lines, two line ends

    // One name twice is refused outright, unread.
    verdict = verifyWithLimit (overlappingArchive ({ "quorrel-fw-2.1.13.syx", "quorrel-fw-2.1.13.syx" }, oneMiB),
                               PackageVerifier::maximumPackageSize);
    EXPECT_EQ (verdict.reason, "the package holds two entries named quorrel-fw-2.1.13.syx");
    EXPECT_EQ (verdict.bytesRead, 0);

    // The store logs the refusal, and one search decompresses a bounded total over all packages.
    ScratchFolder folder;
    const auto bombFile = folder / "quorrel-fw-9.9.9.vfw";
    ASSERT_TRUE (bombFile.replaceWithData (bomb.getData(), bomb.getSize()));

    for (auto name : { "quorrel-a.vfw", "quorrel-b.vfw", "quorrel-c.vfw" })
    {
        const auto package = overlappingArchive (imageNames (1), oneMiB);
        ASSERT_TRUE ((folder / name).replaceWithData (package.getData(), package.getSize()));
    }

    LogCapture log;
    QuorrelStore quorrel (folder / "no-executable");
    quorrel.store.setSearchByteLimit (2 * oneMiB + 1000);
    quorrel.store.findFirmwarePackages ({ folder.get().getFullPathName() });

    EXPECT_EQ (quorrel.store.getFirmwareVersions(), juce::StringArray ("2.1.13"));
    EXPECT_EQ (linesContaining (log, "Firmware package " + bombFile.getFullPathName() + " refused: verifying it would decompress"), 1)
        << log.lines().joinIntoString ("\n");
    EXPECT_EQ (linesContaining (log, "quorrel-a.vfw refused") + linesContaining (log, "quorrel-b.vfw refused")
                   + linesContaining (log, "quorrel-c.vfw refused"), 1)
        << log.lines().joinIntoString ("\n");
}
