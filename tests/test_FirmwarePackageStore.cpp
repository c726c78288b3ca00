#include "firmware/FirmwarePackageStore.h"
#include "firmware/FirmwarePackageWriter.h"
#include "support/FirmwareTestPackages.h"

#include <gtest/gtest.h>

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

TEST (FirmwarePackageVerification, namesThatAreNotWellFormedUtf8AreRefusedBeforeAnyTextIsSearched)
{
    // Found by the fuzzer: malformed sequences made the text functions read past the name.
    auto package = FirmwarePackageWriter::build ({ { "quorrel-fw-2.1.13.syx", imageFor ("2.1.13") } });
    auto* bytes = static_cast<juce::uint8*> (package.getData());
    int patched = 0;

    for (size_t i = 0; i + 46 + 21 < package.getSize(); ++i)
    {
        if (bytes[i] == 0x50 && bytes[i + 1] == 0x4b && bytes[i + 2] == 0x01 && bytes[i + 3] == 0x02
            && juce::String::fromUTF8 ((const char*) bytes + i + 46, 21) == "quorrel-fw-2.1.13.sha")
        {
            bytes[i + 46 + 3] = 0x8e;
            bytes[i + 46 + 4] = 0x8c;
            bytes[i + 46 + 14] = 0xae;
            bytes[i + 46 + 17] = 0xf0; // a lead byte that promises three more bytes
            ++patched;
        }
    }

    ASSERT_EQ (patched, 1);
    EXPECT_EQ (verifyBytes (package), -1);
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

    // The text is kept as chosen; it names the entries ("$(version)").
    ASSERT_TRUE (quorrel.store.selectFirmwareVersion ("2.1.14p01"));
    EXPECT_EQ (quorrel.store.getSelectedVersion(), "2.1.14p01");
    EXPECT_EQ (selectedEntry (quorrel.store, "quorrel-fw-2.1.14p1.syx"), imageFor ("2.1.14p1"));

    EXPECT_FALSE (quorrel.store.selectFirmwareVersion ("2.1.15"));
    EXPECT_EQ (quorrel.store.getSelectedVersion(), "2.1.14p01");
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
