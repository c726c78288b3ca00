#include "GuiTestSupport.h"

#include "engine/FirmwareUpdater.h"

#if ! JUCE_WINDOWS
 #include <sys/stat.h>
#endif

using namespace testing;

namespace
{
    juce::StringArray itemTexts (juce::ComboBox& list)
    {
        juce::StringArray texts;
        for (int i = 0; i < list.getNumItems(); ++i)
            texts.add (list.getItemText (i));
        return texts;
    }
}

class MainComponentTest : public MainWindowTest {};

//==============================================================================
TEST_F (MainComponentTest, AtStartTheWindowShowsTheDeviceTheNewestVersionAndTheEngineStartsInItsInitialState)
{
    writeQuorrelPackage (executableFolder, "2.1.13");
    writeQuorrelPackage (desktopFolder, "2.1.14");

    auto& mc = open (clickDrivenDocument());
    ASSERT_TRUE (waitForState ("Idle, no device"));

    EXPECT_TRUE (fatalReports.isEmpty());
    EXPECT_EQ (mc.getWidth(), 640);
    EXPECT_EQ (mc.getHeight(), 320);
    EXPECT_EQ (label ("device").getText(), "QUORREL");
    EXPECT_EQ (label ("Installing").getText(), "Installing 0%");

    EXPECT_EQ (itemTexts (list ("Firmware versions")), juce::StringArray ({ "2.1.14", "2.1.13" }));
    EXPECT_EQ (list ("Firmware versions").getText(), "2.1.14");
    EXPECT_EQ (label ("AvailableVersion").getText(), "2.1.14");
    EXPECT_EQ (mc.getFirmwareUpdater()->getSelectedVersion(), "2.1.14");

    EXPECT_EQ (itemTexts (list ("MIDI Inputs")), juce::StringArray ({ "Auto", "Quorrel MIDI In", "Thru In" }));
    EXPECT_EQ (itemTexts (list ("MIDI Outputs")), juce::StringArray ({ "Auto", "Quorrel MIDI Out", "Thru Out" }));
    EXPECT_EQ (list ("MIDI Inputs").getText(), "Auto");
    EXPECT_EQ (list ("MIDI Outputs").getText(), "Auto");

    const auto lines = log.lines();
    const auto definitionsLine = lines.indexOf ("Using inbuilt state machine definitions");
    EXPECT_GE (definitionsLine, 0);
    EXPECT_GT (lines.indexOf ("State 'Idle, no device' (from State 'none')"), definitionsLine);
}

//==============================================================================
TEST_F (MainComponentTest, EngineReportsDriveTheFieldsTheButtonAndWhichListsCanBeUsed)
{
    writeQuorrelPackage (desktopFolder, "2.1.13");

    // Captured from before the engine starts, and released before anything is asserted, so
    // that a failure's own report is not swallowed.
    testing::internal::CaptureStdout();
    open (clickDrivenDocument());
    const auto reachedIdle = waitForState ("Idle, no device");
    pumpUntil ([&] { return installCancel().isEnabled(); }, 2000); // the Print comes before the Button
    const auto printed = testing::internal::GetCapturedStdout();

    ASSERT_TRUE (reachedIdle);
    EXPECT_EQ (printed, "idle reached\n");
    EXPECT_EQ (label ("InstructionsField").getText(), "Connect your Quorrel.");
    EXPECT_FALSE (label ("InstalledVersion").isVisible());
    EXPECT_EQ (installCancel().getButtonText(), "Install");
    EXPECT_TRUE (installCancel().isEnabled());
    EXPECT_TRUE (main->areSettingsEnabled());
    for (auto* name : { "MIDI Inputs", "MIDI Outputs", "Firmware versions" })
        EXPECT_TRUE (list (name).isEnabled()) << name;

    clickInstallCancel();
    ASSERT_TRUE (waitForState ("Firmware download"));
    pumpUntil ([&] { return installCancel().getButtonText() == "Cancel"; }, 2000);

    EXPECT_EQ (label ("InstructionsField").getText(), "Installing, do not unplug.");
    EXPECT_EQ (installCancel().getButtonText(), "Cancel");
    EXPECT_FALSE (main->areSettingsEnabled());
    for (auto* name : { "MIDI Inputs", "MIDI Outputs", "Firmware versions" })
        EXPECT_FALSE (list (name).isEnabled()) << name;

    // Instructions naming a label as a button, or a child without an ID, change nothing.
    EXPECT_EQ (label ("device").getText(), "QUORREL");
    EXPECT_TRUE (label ("InstructionsField").isEnabled());

    clickInstallCancel();
    ASSERT_TRUE (waitForState ("Update cancelled"));
    pumpUntil ([&] { return label ("InstalledVersion").isVisible(); }, 2000);

    EXPECT_TRUE (label ("InstalledVersion").isVisible());
    EXPECT_EQ (label ("InstalledVersion").getText(), "unknown");
    for (auto* name : { "MIDI Inputs", "MIDI Outputs", "Firmware versions" })
        EXPECT_FALSE (list (name).isEnabled()) << name;

    clickInstallCancel();
    ASSERT_TRUE (waitForState ("Idle, no device"));
    EXPECT_TRUE (list ("Firmware versions").isEnabled());
    EXPECT_TRUE (log.contains ("State 'Idle, no device' (from State 'Update cancelled')"));
}

TEST_F (MainComponentTest, ProgressIsShownAsAWholePercentInTheInstallingField)
{
    writeQuorrelPackage (desktopFolder, "2.1.13");
    auto& mc = open (clickDrivenDocument());
    ASSERT_TRUE (waitForState ("Idle, no device"));

    mc.setProgress (0.426);
    EXPECT_EQ (label ("Installing").getText(), "Installing 43%");
    mc.setProgress (0.995);
    EXPECT_EQ (label ("Installing").getText(), "Installing 100%");
    mc.setProgress (0.0);
    EXPECT_EQ (label ("Installing").getText(), "Installing 0%");
}

//==============================================================================
TEST_F (MainComponentTest, WithoutAnyPackageOnlyTheErrorAlertIsReportedAndTheEngineNeverStarts)
{
    auto& mc = open (clickDrivenDocument());
    pumpUntil ([&] { return ! fatalReports.isEmpty(); }, 3000);
    pumpFor (300); // nothing more is reported

    ASSERT_EQ (fatalReports.size(), 1);
    EXPECT_EQ (fatalReports[0], "Error...|No firmware file was found.\n\nThe application will quit.");
    ASSERT_NE (mc.getFirmwareUpdater(), nullptr);
    EXPECT_FALSE (mc.getFirmwareUpdater()->isThreadRunning());
    EXPECT_TRUE (log.contains ("Using inbuilt state machine definitions"));

    for (auto& line : log.lines())
        EXPECT_FALSE (line.startsWith ("State '")) << line;
}

TEST_F (MainComponentTest, AFaultyDefinitionsFileBesideTheExecutableIsReportedWithTheLoadersMessage)
{
    writeQuorrelPackage (desktopFolder, "2.1.13");
    executableFolder.getChildFile ("StateMachines.xml").replaceWithText ("<NotFirmwareUpdaters/>");

    auto& mc = open (clickDrivenDocument());
    pumpUntil ([&] { return ! fatalReports.isEmpty(); }, 3000);
    pumpFor (200); // nothing more is reported

    ASSERT_EQ (fatalReports.size(), 1);
    const auto title = fatalReports[0].upToFirstOccurrenceOf ("|", false, false);
    const auto message = fatalReports[0].fromFirstOccurrenceOf ("|", false, false);
    EXPECT_EQ (title, "Bad XML Document");
    EXPECT_TRUE (message.endsWith ("The app will quit.")) << message;
    EXPECT_EQ (mc.getFirmwareUpdater(), nullptr);

    // The reason stays in the log, and the inbuilt document was not used instead.
    const auto firstLine = message.upToFirstOccurrenceOf ("\n", false, false);
    EXPECT_TRUE (log.lines().joinIntoString ("\n").contains (firstLine)) << firstLine;
    EXPECT_FALSE (log.contains ("Using inbuilt state machine definitions"));
}

#if ! JUCE_WINDOWS
TEST_F (MainComponentTest, ADefinitionsFileThatIsAFifoIsUnreadableAndEndsTheProgram)
{
    writeQuorrelPackage (desktopFolder, "2.1.13");
    const auto file = executableFolder.getChildFile ("StateMachines.xml");
    ASSERT_EQ (::mkfifo (file.getFullPathName().toRawUTF8(), 0600), 0);

    // Opening the FIFO for reading would wait for a writer for ever.
    open (clickDrivenDocument());
    pumpUntil ([&] { return ! fatalReports.isEmpty(); }, 3000);
    pumpFor (200); // nothing more is reported

    ASSERT_EQ (fatalReports.size(), 1);
    EXPECT_EQ (fatalReports[0], "Bad XML Document|<FirmwareUpdaters> must be the root element.\n\nThe app will quit.");
    EXPECT_FALSE (log.contains ("Using inbuilt state machine definitions"));
    file.deleteFile();
}

TEST_F (MainComponentTest, AFolderNamedLikeTheDefinitionsFileMeansTheInbuiltDocument)
{
    writeQuorrelPackage (desktopFolder, "2.1.13");
    ASSERT_TRUE (executableFolder.getChildFile ("StateMachines.xml").createDirectory());

    open (clickDrivenDocument());
    ASSERT_TRUE (waitForState ("Idle, no device"));
    EXPECT_TRUE (fatalReports.isEmpty());
    EXPECT_TRUE (log.contains ("Using inbuilt state machine definitions"));
}
#endif

TEST_F (MainComponentTest, AValidDefinitionsFileBesideTheExecutableReplacesTheInbuiltOne)
{
    writeQuorrelPackage (desktopFolder, "2.1.13");
    const auto file = executableFolder.getChildFile ("StateMachines.xml");
    file.replaceWithText (clickDrivenDocument());

    open ("<broken");
    ASSERT_TRUE (waitForState ("Idle, no device"));

    EXPECT_TRUE (fatalReports.isEmpty());
    EXPECT_TRUE (log.contains ("Using state machine definition in " + file.getFullPathName()));
}

//==============================================================================
TEST_F (MainComponentTest, AdvancedModeGrowsTheWindowBy88PixelsAndRestartsTheWaitingEngine)
{
    writeQuorrelPackage (desktopFolder, "2.1.13");
    auto& mc = open (clickDrivenDocument());
    ASSERT_TRUE (waitForState ("Idle, no device"));
    const auto windowHeight = window->getHeight();

    mc.setAdvancedMode (true);
    ASSERT_TRUE (waitForState ("Idle, no device"));

    EXPECT_EQ (mc.getHeight(), 408);
    EXPECT_EQ (window->getHeight(), windowHeight + 88);
    EXPECT_EQ (runsStartedIn ("Idle, no device"), 2);
    EXPECT_TRUE (mc.getFirmwareUpdater()->getAdvancedMode());
    EXPECT_TRUE (mc.getLocalBounds().contains (list ("MIDI Outputs").getBounds()));

    // Setting the mode it already has does not restart the engine.
    mc.setAdvancedMode (true);
    pumpFor (200);
    EXPECT_EQ (runsStartedIn ("Idle, no device"), 2);

    mc.setAdvancedMode (false);
    ASSERT_TRUE (waitForState ("Idle, no device"));
    EXPECT_EQ (mc.getHeight(), 320);
    EXPECT_EQ (window->getHeight(), windowHeight);
}

TEST_F (MainComponentTest, AModeChangeReturnsWhileADriverHoldsTheEngineWhichRestartsOnceFreed)
{
    // An output whose send does not return until released, as a driver may hold it: the engine
    // sends a command in a settings State and cannot end before the send returns.
    struct HeldOutput final : MidiOutputPort
    {
        HeldOutput (juce::WaitableEvent& r, std::atomic<bool>& h) : released (r), holding (h) {}
        juce::Result sendMessageNow (const juce::MidiMessage&) override { holding = true; released.wait(); return juce::Result::ok(); }
        juce::WaitableEvent& released;
        std::atomic<bool>& holding;
    };
    struct HeldPorts final : MidiPorts
    {
        juce::WaitableEvent released { true };
        std::atomic<bool> holding { false };
        juce::StringArray getInputNames() override  { return { "In" }; }
        juce::StringArray getOutputNames() override { return { "Out" }; }
        std::unique_ptr<MidiInputPort> openInput (int, MidiPortReceiver&) override { return {}; }
        std::unique_ptr<MidiOutputPort> openOutput (int) override { return std::make_unique<HeldOutput> (released, holding); }
    };
    auto ports = std::make_shared<HeldPorts>();
    selector.setPorts (ports);
    ASSERT_TRUE (selector.selectOutput ("Out"));
    writeQuorrelPackage (desktopFolder, "2.1.13");
    auto& mc = open (quorrelDocument ("<State name=\"Idle, no device\" pollingMode=\"none\">"
                                      "<SendSysEx messageKind=\"panel update state\"/></State>", "Idle, no device"));
    ASSERT_TRUE (waitForState ("Idle, no device"));
    ASSERT_TRUE (pumpUntil ([&] { return ports->holding.load(); }, 30000));

    // Answered while the send still holds the engine (a wait for it here would never end).
    EXPECT_TRUE (mc.setAdvancedMode (true));
    EXPECT_EQ (mc.getHeight(), 408);
    EXPECT_TRUE (mc.getFirmwareUpdater()->isThreadRunning());

    ports->released.signal();
    ASSERT_TRUE (waitForState ("Idle, no device", 30000));
    EXPECT_EQ (runsStartedIn ("Idle, no device"), 2);
    EXPECT_TRUE (mc.getFirmwareUpdater()->getAdvancedMode());
}

TEST_F (MainComponentTest, ListChoicesCountOnlyInAdvancedMode)
{
    writeQuorrelPackage (desktopFolder, "2.1.13");
    writeQuorrelPackage (desktopFolder, "2.1.14");
    auto& mc = open (clickDrivenDocument());
    ASSERT_TRUE (waitForState ("Idle, no device"));
    pumpFor (100); // the lists' own change notices from start-up

    // Out of view, a choice made all the same (say from the keyboard) changes nothing.
    list ("Firmware versions").setSelectedId (2, juce::sendNotificationSync);
    list ("MIDI Inputs").setSelectedId (1, juce::sendNotificationSync);
    EXPECT_EQ (label ("AvailableVersion").getText(), "2.1.14");
    EXPECT_EQ (mc.getFirmwareUpdater()->getSelectedVersion(), "2.1.14");
    EXPECT_EQ (selector.getInputName(), "Auto");

    mc.setAdvancedMode (true);
    ASSERT_TRUE (waitForState ("Idle, no device"));
    const auto runs = runsStartedIn ("Idle, no device");

    // An older version: shown and used for the next transfer, without a new run of the engine.
    list ("Firmware versions").setSelectedId (1, juce::sendNotificationSync);
    list ("Firmware versions").setSelectedId (2, juce::sendNotificationSync);
    EXPECT_EQ (label ("AvailableVersion").getText(), "2.1.13");
    EXPECT_EQ (mc.getFirmwareUpdater()->getSelectedVersion(), "2.1.13");
    pumpFor (200);
    EXPECT_EQ (runsStartedIn ("Idle, no device"), runs);

    // A port: chosen in the selector, and the engine goes back to its initial State.
    list ("MIDI Outputs").setSelectedId (2, juce::sendNotificationSync);
    EXPECT_EQ (selector.getOutputName(), "Thru Out");
    ASSERT_TRUE (waitForState ("Idle, no device"));
    EXPECT_EQ (runsStartedIn ("Idle, no device"), runs + 1);

    list ("MIDI Outputs").setSelectedId (-1, juce::sendNotificationSync);
    EXPECT_EQ (selector.getOutputName(), "Auto");
    ASSERT_TRUE (waitForState ("Idle, no device"));
}
