#include "support/EngineTestSupport.h"
#include "support/MidiLogCapture.h"
#include "support/MidiTestRig.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{
    const auto identityRequest = midiBytes ({ 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 });
    const auto alternativeRequest = midiBytes ({ 0xf0, 0x04, 0x0c, 0x16, 0x01, 0xf7 });
    const auto halvanePanelQuery = midiBytes ({ 0xf0, 0x04, 0x0c, 0x31, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf7 });

    struct Scanning : public ::testing::Test, public MidiTestRig {};
}

TEST_F (Scanning, autoChoicesSettleOnThePortsTheInstrumentAnswersOn)
{
    MidiLogCapture log;
    ports->plugIn ("Desk In", "Desk Out", nullptr);
    SimulatedInstrument quorrel (*ports, instrument (6, "2.1.13"));
    ports->plugIn ("", "Spare Out", nullptr);
    ASSERT_EQ (ports->getOutputNames(), juce::StringArray ({ "Desk Out", "Quorrel", "Spare Out" }));

    EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::DeviceDetected);
    EXPECT_EQ (selector.getOutputName(), "Quorrel");
    EXPECT_EQ (selector.getOutputIndex(), 1);
    EXPECT_EQ (selector.getInputName(), "Quorrel");
    EXPECT_EQ (selector.getInputIndex(), 1);
    EXPECT_EQ (selector.getFirmwareVersion(), "2.1.13");
    EXPECT_EQ (log.lines(), juce::StringArray ({ "Desk Out : send Device Inquiry Request...",
                                                 "Quorrel : send Device Inquiry Request...",
                                                 "Select MIDI input 1 : [Quorrel]",
                                                 "DeviceID 0006 detected (firmware version : 2.1.13)" }));

    // The next poll goes straight to the chosen pair.
    EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::DeviceDetected);
    EXPECT_TRUE (log.contains ("Scanning MIDI input [Quorrel]"));
    EXPECT_EQ (log.count ("Quorrel : send Device Inquiry Request..."), 2);
    EXPECT_EQ (log.count ("Desk Out : send Device Inquiry Request..."), 1);
    EXPECT_EQ (quorrel.countReceived (identityRequest), 2);
    EXPECT_EQ (ports->countOpenInputs(), 0);
}

TEST_F (Scanning, withNoInputsAtAllNothingIsSent)
{
    MidiLogCapture log;
    ports->plugIn ("", "Lonely Out", nullptr);
    const auto start = juce::Time::getMillisecondCounterHiRes();

    EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::NoDevice);
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 500.0);
    EXPECT_TRUE (log.lines().isEmpty());
}

TEST_F (Scanning, anUnansweredRequestForgetsTheVersionDecodedBefore)
{
    SimulatedInstrument quorrel (*ports, instrument (6));
    ASSERT_EQ (selector.scanForDevice (6, false), PollingResult::DeviceDetected);
    ASSERT_EQ (selector.getFirmwareVersion(), "2.1.12");

    auto s = quorrel.getSettings();
    s.silent = true;
    quorrel.setSettings (s);

    EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::NoDevice);
    EXPECT_EQ (selector.getFirmwareVersion(), "Unknown");
}

TEST_F (Scanning, halvaneAnsweringTheAlternativeInquiryRunsItsFirmware)
{
    MidiLogCapture log;
    SimulatedInstrument halvane (*ports, instrument (12, "1.0.9"));
    halvane.setPanelStatusByte (0x01);

    EXPECT_EQ (selector.scanForDevice (12, true), PollingResult::DeviceDetected);
    EXPECT_FALSE (selector.isBootloaderMode());
    EXPECT_TRUE (log.contains ("Halvane XV : send Alternative Device Inquiry Request..."));
    EXPECT_TRUE (log.contains ("DeviceID 000C detected (bootloader = false)"));
    EXPECT_EQ (halvane.countReceived (alternativeRequest), 1);
    EXPECT_EQ (halvane.countReceived (halvanePanelQuery), 0) << "1.0.9 is below the panel-mode threshold";
    EXPECT_EQ (ports->countOpenInputs(), 0);
}

TEST_F (Scanning, halvaneFromVersion110WithItsPanelErasedIsInPanelMode)
{
    MidiLogCapture log;
    SimulatedInstrument halvane (*ports, instrument (12, "1.1.0"));
    halvane.setPanelStatusByte (0x01);

    EXPECT_EQ (selector.scanForDevice (12, true), PollingResult::PanelModeDetected);
    EXPECT_EQ (halvane.countReceived (halvanePanelQuery), 1);
    EXPECT_EQ (selector.getPanelStatus(), (int) PollingResult::PanelErased);
    EXPECT_TRUE (log.contains ("DeviceID 000C detected (panel mode detected)"));
}

TEST_F (Scanning, halvaneSilentToFiveAlternativeInquiriesIsInItsBootloader)
{
    MidiLogCapture log;
    auto settings = instrument (12, "1.1.0");
    settings.mode = SimulatedInstrument::Mode::bootloader;
    SimulatedInstrument halvane (*ports, settings);

    const auto start = juce::Time::getMillisecondCounterHiRes();
    EXPECT_EQ (selector.scanForDevice (12, true), PollingResult::BootloaderDetected);
    EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - start, 3400.0);
    EXPECT_TRUE (selector.isBootloaderMode());
    EXPECT_EQ (halvane.countReceived (alternativeRequest), 5);
    EXPECT_TRUE (log.contains ("DeviceID 000C detected (bootloader = true)"));
    EXPECT_EQ (ports->countOpenInputs(), 0);
}

TEST_F (Scanning, queryPanelStateWithoutAnAnswerKeepsTheLastStatus)
{
    auto settings = instrument (12, "1.1.0");
    settings.panelStatusByte = -1;
    SimulatedInstrument halvane (*ports, settings);
    ASSERT_TRUE (selector.selectInput ("Halvane XV"));
    ASSERT_TRUE (selector.selectOutput ("Halvane XV"));
    selector.setDeviceFamily (12);

    EXPECT_EQ (selector.queryPanelState(), PollingResult::Stopped) << "no status ever came: 0";
    halvane.setPanelStatusByte (0x02);
    EXPECT_EQ (selector.queryPanelState(), PollingResult::PanelFirmwareSending);
    halvane.setPanelStatusByte (-1);
    EXPECT_EQ (selector.queryPanelState(), PollingResult::PanelFirmwareSending);
}

TEST_F (Scanning, checkSelectedPortsWantsBothChoicesStillListedWhereverTheyMoved)
{
    SimulatedInstrument quorrel (*ports, instrument (6));
    EXPECT_EQ (selector.checkSelectedPorts(), PollingResult::NoDevice);

    ASSERT_TRUE (selector.selectInput ("Quorrel"));
    EXPECT_EQ (selector.checkSelectedPorts(), PollingResult::NoDevice) << "output still on Auto";
    ASSERT_TRUE (selector.selectOutput ("Quorrel"));
    EXPECT_EQ (selector.checkSelectedPorts(), PollingResult::DeviceDetected);
    EXPECT_FALSE (selector.selectOutput ("Nowhere"));
    EXPECT_EQ (selector.getOutputName(), "Quorrel");

    // A port that comes before the instrument's input moves it to position 1: still there, and
    // the choice follows it.
    ports->plugIn ("Newcomer", "", nullptr, 0);
    EXPECT_EQ (selector.checkSelectedPorts(), PollingResult::DeviceDetected);
    EXPECT_EQ (selector.getInputIndex(), 1);

    ASSERT_TRUE (selector.selectAutoInput());
    EXPECT_EQ (selector.getInputName(), "Auto");
    EXPECT_EQ (selector.getInputIndex(), -1);
}

TEST_F (Scanning, aStopDuringAPollReturnsStoppedPromptlyAndClosesEveryPort)
{
    ports->plugIn ("Desk In", "Desk Out", nullptr);
    SimulatedInstrument quorrel (*ports, instrument (6));
    auto [result, elapsed] = pollOnWorker ([this] { return selector.scanForDevice (6, false); }, 300);

    // Stopped, not an answer: the stop ended the scan's wait for replies.
    EXPECT_EQ (result, PollingResult::Stopped);
    EXPECT_EQ (ports->countOpenInputs(), 0);
}

TEST_F (Scanning, aStopDuringTheAlternativeInquiryReturnsStoppedAndClosesTheInput)
{
    auto settings = instrument (12, "1.1.0");
    settings.mode = SimulatedInstrument::Mode::bootloader;
    SimulatedInstrument halvane (*ports, settings);

    auto [result, elapsed] = pollOnWorker ([this] { return selector.scanForDevice (12, false); }, 1700);

    EXPECT_EQ (result, PollingResult::Stopped);
    EXPECT_GE (halvane.countReceived (alternativeRequest), 1);
    EXPECT_EQ (ports->countOpenInputs(), 0);
}

TEST_F (Scanning, pollsOnAWorkerOpenPortsOnTheMessageThreadAndFindTheInstrument)
{
    SimulatedInstrument dorrick (*ports, instrument (8, "1.2.3"));
    auto [result, elapsed] = pollOnWorker ([this] { return selector.scanForDevice (8, false); });

    EXPECT_EQ (result, PollingResult::DeviceDetected);
    EXPECT_EQ (selector.getFirmwareVersion(), "1.2.3");
    EXPECT_EQ (dorrick.countReceived (identityRequest), 1);
}

TEST_F (Scanning, afterScanAllPortsThePollFollowsTheInstrumentToItsNewPositions)
{
    ports->plugIn ("Desk In", "Desk Out", nullptr);
    SimulatedInstrument quorrel (*ports, instrument (6));
    ASSERT_EQ (selector.scanForDevice (6, false), PollingResult::DeviceDetected);
    ASSERT_EQ (selector.getInputIndex(), 1);

    auto s = quorrel.getSettings();
    s.inputPosition = 0;
    s.outputPosition = 0;
    quorrel.setSettings (s);
    quorrel.enterBootloader();
    ASSERT_TRUE (quorrel.waitForMode (SimulatedInstrument::Mode::bootloader, 1000));
    juce::Thread::sleep (s.reattachMs + 50);

    selector.selectAutoInput();
    selector.selectAutoOutput();
    EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::BootloaderDetected);
    EXPECT_EQ (selector.getInputIndex(), 0);
    EXPECT_EQ (selector.getOutputIndex(), 0);
    EXPECT_EQ (selector.getFirmwareVersion(), "");
    EXPECT_EQ (selector.checkSelectedPorts(), PollingResult::DeviceDetected);
}

TEST_F (Scanning, anInstrumentIsFollowedThroughItsRestartsAndAnotherOfItsKindNeverTakenForIt)
{
    // Two Quorrels: the second, already up to date, is listed all along.
    MidiLogCapture log;
    auto firstSettings = instrument (6);
    firstSettings.portName = "Quorrel A";
    firstSettings.bootloaderPortName = "Quorrel Bootloader";
    firstSettings.reattachMs = 300;
    SimulatedInstrument first (*ports, firstSettings);
    auto secondSettings = instrument (6, "2.2.0");
    secondSettings.portName = "Quorrel B";
    SimulatedInstrument second (*ports, secondSettings);

    ASSERT_EQ (selector.scanForDevice (6, false), PollingResult::DeviceDetected);
    ASSERT_EQ (selector.getOutputName(), "Quorrel A");
    selector.beginUpdate();

    // Away: nothing new is listed, so nothing is asked, the other Quorrel least of all.
    second.clearRecord();
    first.pullCable();
    EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::NoDevice);
    EXPECT_TRUE (log.contains ("Quorrel A : not listed, no Device Inquiry Request sent"));
    EXPECT_EQ (selector.getFirmwareVersion(), "Unknown");

    // Back from its restart under another name: the port that appeared is asked, answers as the
    // Quorrel, and both choices follow it there.
    first.reboot (SimulatedInstrument::Mode::bootloader);
    ASSERT_TRUE (first.waitForMode (SimulatedInstrument::Mode::bootloader, 2000));
    ASSERT_TRUE (pumpUntil ([&] { return ports->getOutputNames().contains ("Quorrel Bootloader"); }, 2000));

    // A port of another name is asked once it has been away a few seconds (beside instruments
    // restarting together, one of its own name may yet come back).
    auto result = PollingResult::NoDevice;

    for (int poll = 0; poll < 6 && result == PollingResult::NoDevice; ++poll)
        result = selector.scanForDevice (6, false);

    EXPECT_EQ (result, PollingResult::BootloaderDetected);
    EXPECT_EQ (selector.getOutputName(), "Quorrel Bootloader");
    EXPECT_EQ (selector.getInputName(), "Quorrel Bootloader");
    EXPECT_EQ (selector.checkSelectedPorts(), PollingResult::DeviceDetected);
    EXPECT_TRUE (log.contains ("MIDI output [Quorrel Bootloader] (Quorrel Bootloader) answers as the instrument that was on "
                               "MIDI output [Quorrel A] (Quorrel A): it is followed there"));

    // Its cable pulled: the other Quorrel, however well it answers, is never taken for it.
    first.pullCable();
    ASSERT_TRUE (pumpUntil ([&] { return ! ports->getOutputNames().contains ("Quorrel Bootloader"); }, 2000));

    for (int poll = 0; poll < 2; ++poll)
        EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::NoDevice);

    EXPECT_EQ (second.countReceived (identityRequest), 0);
    EXPECT_EQ (selector.checkSelectedPorts(), PollingResult::NoDevice);
    EXPECT_EQ (ports->countOpenInputs(), 0);
}

TEST_F (Scanning, thePortCheckBetweenPacketsSeesAPortPluggedInBesideTheInstrumentAfterManyUnchangedChecks)
{
    MidiLogCapture log;
    auto settings = instrument (6);
    settings.portName = "Quorrel A";
    SimulatedInstrument first (*ports, settings);
    ASSERT_EQ (selector.scanForDevice (6, false), PollingResult::DeviceDetected);
    selector.beginUpdate();

    // The checks of a transfer, with the lists unchanged: the bus's generation says so.
    const auto generation = ports->getListsGeneration();

    for (int check = 0; check < 50; ++check)
        ASSERT_EQ (selector.checkSelectedPorts(), PollingResult::DeviceDetected);

    EXPECT_EQ (ports->getListsGeneration(), generation);

    // Another Quorrel plugged in during the transfer: the next check sees it beside the first.
    settings.portName = "Quorrel B";
    SimulatedInstrument second (*ports, settings);
    EXPECT_NE (ports->getListsGeneration(), generation);
    EXPECT_EQ (selector.checkSelectedPorts(), PollingResult::DeviceDetected);

    // The first gone for longer than a port of another name needs to become a candidate: the
    // second, seen beside it, is never asked in its place.
    first.pullCable();
    const auto pulled = juce::Time::getMillisecondCounterHiRes();

    while (juce::Time::getMillisecondCounterHiRes() - pulled < 4000.0)
        EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::NoDevice);

    EXPECT_EQ (second.countReceived (identityRequest), 0);
    EXPECT_TRUE (log.contains ("Quorrel A : not listed, no Device Inquiry Request sent"));
}

TEST_F (Scanning, twoInstrumentsThatComeBackWhereOneWentGetNothingButTheQuestionUntilOneLeaves)
{
    MidiLogCapture log;
    auto settings = instrument (6);
    settings.bootloaderPortName = "Quorrel Bootloader";
    settings.reattachMs = 200;
    SimulatedInstrument quorrel (*ports, settings);
    ASSERT_EQ (selector.scanForDevice (6, false), PollingResult::DeviceDetected);
    selector.beginUpdate();

    // While it restarts, another Quorrel in its bootloader is plugged in.
    quorrel.enterBootloader();
    auto strangerSettings = instrument (6);
    strangerSettings.portName = "Quorrel Bootloader 2";
    strangerSettings.mode = SimulatedInstrument::Mode::bootloader;
    auto stranger = std::make_unique<SimulatedInstrument> (*ports, strangerSettings);
    ASSERT_TRUE (quorrel.waitForMode (SimulatedInstrument::Mode::bootloader, 2000));
    ASSERT_TRUE (pumpUntil ([&] { return ports->getOutputNames().contains ("Quorrel Bootloader"); }, 2000));

    for (int poll = 0; poll < 6 && ! selector.isFollowedInstrumentAmbiguous(); ++poll)
        EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::NoDevice);

    EXPECT_TRUE (selector.isFollowedInstrumentAmbiguous());
    EXPECT_TRUE (log.lines().joinIntoString ("\n").contains ("both answer as the instrument that was on MIDI output [Quorrel] (Quorrel)"));

    // Nothing but the question reaches either of them: no erase, no image.
    EXPECT_EQ (selector.openSelectedOutput(), nullptr);

    // The stranger unplugged: the one left is followed, and commands go to it alone.
    stranger.reset();
    EXPECT_EQ (selector.scanForDevice (6, false), PollingResult::BootloaderDetected);
    EXPECT_FALSE (selector.isFollowedInstrumentAmbiguous());
    EXPECT_EQ (selector.getOutputName(), "Quorrel Bootloader");
    EXPECT_NE (selector.openSelectedOutput(), nullptr);
}

TEST_F (Scanning, quorrelAndDorrickAwayAreAskedNowhereAndFoundBackOnTheirPorts)
{
    for (int family : { 6, 8 })
    {
        MidiLogCapture log;
        selector.reset();
        auto settings = instrument (family, "1.2.3");
        settings.reattachMs = 400;
        SimulatedInstrument device (*ports, settings);
        const auto name = SimulatedInstrument::instrumentNameFor (family);
        ASSERT_EQ (selector.scanForDevice ((juce::uint16) family, false), PollingResult::DeviceDetected);
        selector.beginUpdate();

        // Away: nothing is asked.
        device.pullCable();
        EXPECT_EQ (selector.scanForDevice ((juce::uint16) family, false), PollingResult::NoDevice);
        EXPECT_TRUE (log.contains (name + " : not listed, no Device Inquiry Request sent")) << family;

        // Back on a port of its old name from its bootloader: asked, as any port that appeared
        // while it was away is, and found there.
        device.reboot (SimulatedInstrument::Mode::bootloader);
        ASSERT_TRUE (device.waitForMode (SimulatedInstrument::Mode::bootloader, 2000));
        ASSERT_TRUE (pumpUntil ([&] { return ports->getOutputNames().contains (name); }, 2000));
        EXPECT_EQ (selector.scanForDevice ((juce::uint16) family, false), PollingResult::BootloaderDetected);
        EXPECT_TRUE (log.contains ("MIDI output [" + name + "] (" + name + ") answers as the instrument that was on MIDI output ["
                                   + name + "] (" + name + "): it is followed there")) << family;
        EXPECT_EQ (selector.getInputName(), name);
    }
}

TEST_F (Scanning, positionAndNameOfAChoiceAlwaysDescribeTheSamePort)
{
    // The user's choice (message thread), the input pick (input thread) and the engine's reads
    // meet here; whatever the interleaving, a choice read back is one port, or Auto.
    ports->plugIn ("Alpha", "Alpha", nullptr);
    ports->plugIn ("Beta", "Beta", nullptr);
    ASSERT_TRUE (selector.selectOutput ("Beta"));
    selector.setDeviceFamily (6);
    const auto replyData = midiBytes ({ 0x7e, 0x7f, 0x06, 0x02, 0x04, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x41, 0x10 });
    const auto reply = juce::MidiMessage::createSysExMessage (replyData.data(), (int) replyData.size());

    auto hammer = [&] (juce::StringArray choices, std::function<void()> read)
    {
        std::atomic<bool> done { false };
        std::thread user ([&]
        {
            for (int i = 0; ! done; ++i)
                selector.selectInput (choices[i % choices.size()]);
        });
        std::thread replies ([&]
        {
            while (! done)
                selector.handleIncomingMidiMessage ("Beta", reply);
        });

        for (const auto end = juce::Time::getMillisecondCounterHiRes() + 400; juce::Time::getMillisecondCounterHiRes() < end;)
            read();

        done = true;
        user.join();
        replies.join();
    };

    int reads = 0, mismatches = 0;
    hammer ({ "Alpha", "Beta", "Auto" }, [&]
    {
        const auto choice = selector.getInputChoice();
        const bool samePort = (choice.index == -1 && choice.name == "Auto")
                           || (choice.index == 0 && choice.name == "Alpha")
                           || (choice.index == 1 && choice.name == "Beta");
        mismatches += samePort ? 0 : 1;
        ++reads;
    });

    EXPECT_GT (reads, 100);
    EXPECT_EQ (mismatches, 0);

    // Both inputs stay where they are, so the engine's port check never finds the choice gone.
    ASSERT_TRUE (selector.selectInput ("Alpha"));
    int portsMissing = 0;
    hammer ({ "Alpha", "Beta" }, [&]
    {
        portsMissing += selector.checkSelectedPorts() == PollingResult::DeviceDetected ? 0 : 1;
    });

    EXPECT_EQ (portsMissing, 0);
}
