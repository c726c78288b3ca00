// Whole updates of the inbuilt Quorrel definition: the real engine, selector and sender
// against a simulated Quorrel on the virtual bus, with a small image in a package of a
// higher version than the instrument's.

#include "support/EngineTestSupport.h"
#include "definitions/InbuiltDefinitions.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FirmwarePackageWriter.h"
#include "firmware/PackageSigningKey.h"
#include "midi/VirtualMidiPorts.h"
#include "midi/MIDIPortsSelector.h"
#include "simulator/SimulatedInstrument.h"
#include "support/FirmwareTestPackages.h"

#include <gtest/gtest.h>

namespace
{
class QuorrelUpdate : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus = std::make_shared<VirtualMidiPorts>();
        MIDIPortsSelector::getInstance().reset();
        MIDIPortsSelector::getInstance().setPorts (bus);
        folder = juce::File::createTempFile ("packages");
        folder.createDirectory();
    }

    void TearDown() override
    {
        engine.reset();
        instrument.reset();
        MIDIPortsSelector::getInstance().reset();
        folder.deleteRecursively();
    }

    /** A package "quorrel-fw-<packageVersion>.vfw" whose image says imageVersion. */
    void writePackage (const juce::String& packageVersion, const juce::String& imageVersion, int imageSize)
    {
        juce::String error;
        auto image = FirmwareImage::make (6, imageVersion, imageSize, false, error);
        ASSERT_TRUE (error.isEmpty()) << error;

        juce::Array<FirmwarePackageWriter::Image> images;
        images.add ({ "quorrel-fw-" + packageVersion + ".syx", image });
        ASSERT_TRUE (FirmwarePackageWriter::write (folder.getChildFile ("quorrel-fw-" + packageVersion + ".vfw"), images, error)) << error;
    }

    void startInstrument (SimulatedInstrument::Mode mode, std::function<void (SimulatedInstrument::Settings&)> adjust = {})
    {
        SimulatedInstrument::Settings settings;
        settings.family = 6;
        settings.version = "2.1.12";
        settings.mode = mode;
        settings.reattachMs = 100;
        settings.eraseReattachMs = 100;

        if (adjust)
            adjust (settings);

        instrument = std::make_unique<SimulatedInstrument> (*bus, settings);
    }

    /** packagePublicKey stands for a build with the maker's key; empty, for one without. */
    void startEngine (const juce::String& packagePublicKey = {})
    {
        engine = std::make_unique<FirmwareUpdater> (InbuiltDefinitions::getText(), "Quorrel", false, &callback,
                                                    juce::StringArray { folder.getFullPathName() }, packagePublicKey);
        const auto versions = engine->getFirmwareVersions();
        ASSERT_FALSE (versions.isEmpty());
        ASSERT_TRUE (engine->selectFirmwareVersion (versions[versions.size() - 1]));
        engine->startThread();
    }

    ::testing::AssertionResult reach (const juce::String& state, int timeoutMs = 30000)
    {
        if (pumpUntil ([&] { return callback.lastState() == state; }, timeoutMs))
            return ::testing::AssertionSuccess();

        return ::testing::AssertionFailure() << "never reached " << state << "; went through "
                                             << callback.states().joinIntoString (" | ");
    }

    /** An instrument waiting in its bootloader, a package 2.1.13 whose image says imageVersion,
        and a click on Install once the engine has found the instrument. */
    void installFromBootloader (const juce::String& imageVersion, int imageSize,
                                std::function<void (SimulatedInstrument::Settings&)> adjust = {})
    {
        writePackage ("2.1.13", imageVersion, imageSize);
        startInstrument (SimulatedInstrument::Mode::bootloader, std::move (adjust));
        startEngine();

        ASSERT_TRUE (reach ("Idle, bootloader detected"));
        ASSERT_TRUE (pumpUntil ([&] { return callback.count ("button InstallCancel=Install enabled") == 1; }, 5000));
        engine->buttonPressed ("InstallCancel", callback.lastState());
    }

    /** Waits for a field to show a text; reports of a State arrive after its stateChanged. */
    bool shows (const juce::String& field, const juce::String& text, int timeoutMs = 5000)
    {
        return pumpUntil ([&] { return callback.lastText (field) == text; }, timeoutMs);
    }

    bool reachInstalling (int timeoutMs = 30000)
    {
        return pumpUntil ([&] { return log.contains ("Send 'quorrel-fw-2.1.13.syx' : 1 %%"); }, timeoutMs);
    }

    LogCapture log;
    RecordingCallback callback;
    std::shared_ptr<VirtualMidiPorts> bus;
    std::unique_ptr<SimulatedInstrument> instrument;
    std::unique_ptr<FirmwareUpdater> engine;
    juce::File folder;
};
}

TEST_F (QuorrelUpdate, aDetectedInstrumentIsUpdatedFromNormalModeToDownloadComplete)
{
    writePackage ("2.1.13", "2.1.13", 3000);
    startInstrument (SimulatedInstrument::Mode::normal, [] (auto& s) { s.bootloaderAfterMs = 300; });
    startEngine();

    ASSERT_TRUE (reach ("Idle, device detected"));
    EXPECT_TRUE (shows ("InstalledVersion", "2.1.12"));
    ASSERT_TRUE (reach ("Download complete", 60000));
    EXPECT_TRUE (shows ("InstructionsField", "Update completed successfully."));

    // Whether a poll falls into a reboot ("Waiting", "Waiting for new firmware") depends on timing;
    // the path through the erase and the download does not.
    const auto states = callback.states();
    EXPECT_EQ (states[0], "none > Idle, no device");
    EXPECT_EQ (states[1], "Idle, no device > Idle, device detected");
    EXPECT_TRUE (states.contains ("Firmware erase > Erase, waiting for reattach"));
    EXPECT_TRUE (states.contains ("Erase, waiting for reattach > Firmware download"));
    EXPECT_TRUE (states[states.size() - 1].endsWith ("> Download complete")) << states.joinIntoString (" | ");
    EXPECT_EQ (callback.lastText ("InstalledVersion"), "2.1.13");
    EXPECT_EQ (instrument->getVersion(), "2.1.13");

    // The erase command went out once, exactly as the protocol writes it.
    EXPECT_EQ (instrument->countReceived ({ 0xf0, 0x04, 0x06, 0x11, 0xf7 }), 1);

    // Progress lines name the entry, start at 0 and end at 100.
    EXPECT_TRUE (log.contains ("Send 'quorrel-fw-2.1.13.syx' : 0 %%"));
    EXPECT_TRUE (log.contains ("Send 'quorrel-fw-2.1.13.syx' : 100 %%")) << log.lines().joinIntoString ("\n");
    EXPECT_TRUE (log.contains ("DeviceID 0006 detected (firmware version : 2.1.13)")) << log.lines().joinIntoString ("\n");
}

TEST_F (QuorrelUpdate, aBuildWithAMakersKeyInstallsTheSignedDesktopPackageAndPassesOverAnUnsignedHigherOne)
{
    const auto maker = PackageSigningKey::generate();
    ASSERT_TRUE (maker.isValid());

    writePackage ("2.1.13", "2.1.13", 3000);
    writePackage ("2.1.14", "2.1.14", 3000);

    const auto signedFile = folder.getChildFile ("quorrel-fw-2.1.13.vfw");
    juce::MemoryBlock package, signedPackage;
    juce::String error;
    ASSERT_TRUE (signedFile.loadFileAsData (package));
    ASSERT_TRUE (maker.signPackage (package, signedPackage, error)) << error;
    ASSERT_TRUE (signedFile.replaceWithData (signedPackage.getData(), signedPackage.getSize()));

    startInstrument (SimulatedInstrument::Mode::normal, [] (auto& s) { s.bootloaderAfterMs = 300; });
    ASSERT_NO_FATAL_FAILURE (startEngine (maker.getPublicKeyHex()));

    EXPECT_EQ (engine->getFirmwareVersions(), juce::StringArray ("2.1.13"));
    EXPECT_TRUE (log.contains ("Firmware package " + folder.getChildFile ("quorrel-fw-2.1.14.vfw").getFullPathName()
                               + " refused: not signed")) << log.lines().joinIntoString ("\n");

    ASSERT_TRUE (reach ("Download complete", 60000));
    EXPECT_TRUE (shows ("InstructionsField", "Update completed successfully."));
    EXPECT_EQ (instrument->getVersion(), "2.1.13");
}

TEST_F (QuorrelUpdate, aHigherPackageWithoutTheImageTheDefinitionsSendIsPassedOverAndTheUpdateCompletes)
{
    // Listed as 2.2.0, but holding the 2.1.13 image: the engine would erase and then find no
    // "quorrel-fw-2.2.0.syx" to send.
    const auto image = FirmwareTestPackages::imageFor ("2.1.13", 1500);
    const auto list = FirmwareTestPackages::bytesOf (FirmwarePackageWriter::checksumLine ("quorrel-fw-2.1.13.syx", image));
    const auto stale = FirmwareTestPackages::zipOf ({ { "quorrel-fw-2.2.0.sha", list }, { "quorrel-fw-2.1.13.syx", image } });
    const auto staleFile = folder.getChildFile ("quorrel-fw-2.2.0.vfw");
    ASSERT_TRUE (staleFile.replaceWithData (stale.getData(), stale.getSize()));

    ASSERT_NO_FATAL_FAILURE (installFromBootloader ("2.1.13", 1500));
    EXPECT_EQ (engine->getFirmwareVersions(), juce::StringArray ("2.1.13"));
    EXPECT_TRUE (log.contains ("Firmware package " + staleFile.getFullPathName() + " refused: it holds no "
                               "quorrel-fw-2.2.0.syx, the image the definitions send at version 2.2.0"))
        << log.lines().joinIntoString ("\n");

    ASSERT_TRUE (reach ("Download complete", 60000));
    EXPECT_TRUE (shows ("InstructionsField", "Update completed successfully."));
    EXPECT_EQ (instrument->getVersion(), "2.1.13");
}

TEST_F (QuorrelUpdate, anInstrumentInItsBootloaderWaitsForInstallAndARejectedImageEndsInTheBootloaderError)
{
    ASSERT_NO_FATAL_FAILURE (installFromBootloader ("2.1.13", 1500, [] (auto& s) { s.rejectImages = true; }));
    EXPECT_EQ (callback.lastText ("InstalledVersion"), "Unknown");
    ASSERT_TRUE (reach ("Error, bootloader detected", 60000));
    EXPECT_TRUE (callback.states().contains ("Firmware download > Error, bootloader detected"));
    EXPECT_TRUE (shows ("InstructionsField", "Something went wrong while performing the update. Please try again."));
}

TEST_F (QuorrelUpdate, anInstrumentThatComesBackAtItsOldVersionIsReportedAsAFailedUpdate)
{
    ASSERT_NO_FATAL_FAILURE (installFromBootloader ("2.1.12", 1500));
    ASSERT_TRUE (reach ("Download complete", 60000));
    EXPECT_TRUE (shows ("InstructionsField", "Update has failed. Please try again."));
    EXPECT_EQ (callback.lastText ("InstalledVersion"), "2.1.12");
}

TEST_F (QuorrelUpdate, cancelDuringTheEraseGoesStraightBackToIdle)
{
    ASSERT_NO_FATAL_FAILURE (installFromBootloader ("2.1.13", 1500));
    ASSERT_TRUE (reach ("Firmware erase"));
    pumpFor (300);
    engine->buttonPressed ("InstallCancel", callback.lastState());

    // Well before the erase's full 10 s, which only a press that does not end the wait would take.
    ASSERT_TRUE (reach ("Idle, no device", 8000));
    EXPECT_FALSE (callback.states().contains ("Firmware erase > Erase, waiting for reattach"));
}

TEST_F (QuorrelUpdate, cancelDuringTheTransferStopsItWithoutEndPollingAndReturnsToIdleAfterFiveSeconds)
{
    ASSERT_NO_FATAL_FAILURE (installFromBootloader ("2.1.13", 40000));
    ASSERT_TRUE (reachInstalling (60000));
    EXPECT_EQ (callback.lastState(), "Firmware download");

    engine->buttonPressed ("InstallCancel", callback.lastState());
    ASSERT_TRUE (reach ("Update cancelled", 5000));
    EXPECT_TRUE (log.contains ("Exit to _pendingState = 'Update cancelled' !!!"));
    EXPECT_TRUE (shows ("InstructionsField", "Update has been cancelled."));
    EXPECT_FALSE (callback.lastText ("InstructionsField").contains ("completed"));

    const auto cancelled = juce::Time::getMillisecondCounter();
    ASSERT_TRUE (reach ("Idle, no device", 8000));
    EXPECT_GE (juce::Time::getMillisecondCounter() - cancelled, 4500u);
    EXPECT_EQ (instrument->getVersion(), "2.1.12"); // the image never arrived whole
}

TEST_F (QuorrelUpdate, aCablePulledDuringTheTransferIsAConnectionBreakThatWaitsForNewFirmware)
{
    // A small image, as from a package on the desktop: the share is taken of what is sent.
    ASSERT_NO_FATAL_FAILURE (installFromBootloader ("2.1.13", 3345, [] (auto& s) { s.pullCableAtPercent = 50; }));
    ASSERT_TRUE (reach ("Waiting for new firmware", 60000));

    EXPECT_TRUE (log.contains ("Connection break !!!"));
    EXPECT_TRUE (callback.states().contains ("Firmware download > Waiting for new firmware"));
    EXPECT_FALSE (log.contains ("Send 'quorrel-fw-2.1.13.syx' : 100 %%"));
}

TEST_F (QuorrelUpdate, destroyingTheEngineInTheMiddleOfATransferCutsItShort)
{
    ASSERT_NO_FATAL_FAILURE (installFromBootloader ("2.1.13", 40000));
    ASSERT_TRUE (reachInstalling (60000));

    engine.reset();
    EXPECT_FALSE (log.contains ("Send 'quorrel-fw-2.1.13.syx' : 100 %%"));
}

TEST_F (QuorrelUpdate, aPackageMovedAwayAndReplacedAfterStartIsStillSentAsItWasVerified)
{
    writePackage ("2.1.13", "2.1.13", 1500);
    startInstrument (SimulatedInstrument::Mode::bootloader);
    startEngine();

    // After the search: the package goes away, and another with the same name takes its place.
    const auto package = folder.getChildFile ("quorrel-fw-2.1.13.vfw");
    ASSERT_TRUE (package.moveFileTo (folder.getSiblingFile (folder.getFileName() + "-moved.vfw")));
    writePackage ("2.1.13", "2.1.14", 1500);
    folder.getSiblingFile (folder.getFileName() + "-moved.vfw").deleteFile();

    ASSERT_TRUE (reach ("Idle, bootloader detected"));
    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("button InstallCancel=Install enabled") == 1; }, 5000));
    engine->buttonPressed ("InstallCancel", callback.lastState());

    ASSERT_TRUE (reach ("Download complete", 60000));
    EXPECT_TRUE (shows ("InstructionsField", "Update completed successfully."));
    EXPECT_EQ (instrument->getVersion(), "2.1.13");
}
