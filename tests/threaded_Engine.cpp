// The engine's run loop, reports, transitions, timeouts and stops, with custom definitions
// and a MIDI bus without any instrument. Full updates against a simulated instrument are in
// threaded_EngineUpdate.cpp.

#include "support/EngineTestSupport.h"
#include "midi/MIDIPortsSelector.h"
#include "midi/VirtualMidiPorts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{
class EngineWithoutDevice : public ::testing::Test
{
protected:
    void SetUp() override
    {
        MIDIPortsSelector::getInstance().reset();
        MIDIPortsSelector::getInstance().setPorts (std::make_shared<VirtualMidiPorts>());
    }

    void TearDown() override
    {
        engine.reset();
        MIDIPortsSelector::getInstance().reset();
    }

    void start (const juce::String& states, const juce::String& initial, int timeout = 60, const juce::String& timeoutState = {})
    {
        engine = std::make_unique<FirmwareUpdater> (quorrelDocument (states, initial, timeout, timeoutState),
                                                    "Quorrel", false, &callback, juce::StringArray());
        engine->startThread();
    }

    // Long enough for a busy machine under a sanitizer; a test that passes never waits for all of it.
    bool waitForState (const juce::String& name, int timeoutMs = 30000)
    {
        return pumpUntil ([&] { return callback.lastState() == name; }, timeoutMs);
    }


    LogCapture log;
    RecordingCallback callback;
    std::unique_ptr<FirmwareUpdater> engine;
};

const juce::String idleWithButtons =
    "<State name=\"A\" pollingMode=\"none\">"
    "  <TextField name=\"InstructionsField\" text=\"Hello \">world</TextField>"
    "  <Button name=\"InstallCancel\" text=\"Install\" state=\"enabled\" gotoState=\"B\"/>"
    "  <Print text=\"printed\"/>"
    "</State>"
    "<State name=\"B\" pollingMode=\"none\">"
    "  <Button name=\"InstallCancel\" text=\"Cancel\" state=\"disabled\" gotoState=\"B\"/>"
    "  <Button name=\"Other\" text=\"x\" state=\"enabled\" gotoState=\"A\"/>"
    "</State>";
}

TEST_F (EngineWithoutDevice, theFirstReportsOfARunComeInListOrder)
{
    start (idleWithButtons, "A");
    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("print") == 1; }, 30000));

    const juce::StringArray expected { "state none > A", "progress 0.00", "text InstructionsField=Hello world",
                                       "button InstallCancel=Install enabled", "print printed" };
    EXPECT_EQ (callback.events(), expected);
}

TEST_F (EngineWithoutDevice, aButtonPressMovesToItsTargetAndADisabledOrUnknownButtonDoesNot)
{
    start (idleWithButtons, "A");
    ASSERT_TRUE (waitForState ("A"));

    engine->buttonPressed ("InstallCancel", callback.lastState());
    ASSERT_TRUE (waitForState ("B"));
    EXPECT_EQ (callback.states(), (juce::StringArray { "none > A", "A > B" }));

    // In B the button is disabled: its press is not taken.
    EXPECT_FALSE (engine->buttonPressed ("InstallCancel", callback.lastState()));

    // An unknown button changes nothing; the other one goes back.
    engine->buttonPressed ("Nothing", callback.lastState());
    pumpFor (100);
    EXPECT_EQ (callback.lastState(), "B");
    engine->buttonPressed ("Other", callback.lastState());
    EXPECT_TRUE (waitForState ("A"));
}

TEST_F (EngineWithoutDevice, aPressCountsOnlyForTheStateThatShowedTheButtonAndOnlyWhileItIsEnabled)
{
    // "Sending" moves on to "Error" by itself, as a transfer that fails does; a Cancel clicked
    // just before that move arrives when the same button already says Install.
    start ("<State name=\"Sending\" pollingMode=\"none\">"
           "  <Button name=\"InstallCancel\" text=\"Cancel\" state=\"enabled\" gotoState=\"Cancelled\"/>"
           "  <GotoState state=\"Error\"/>"
           "</State>"
           "<State name=\"Error\" pollingMode=\"none\">"
           "  <Button name=\"InstallCancel\" text=\"Install\" state=\"enabled\" gotoState=\"Erase\"/>"
           "</State>"
           "<State name=\"Erase\" pollingMode=\"none\">"
           "  <Button name=\"InstallCancel\" text=\"Cancel\" state=\"disabled\" gotoState=\"Cancelled\"/>"
           "</State>"
           "<State name=\"Cancelled\" pollingMode=\"none\"/>", "Sending");
    ASSERT_TRUE (waitForState ("Error"));

    EXPECT_FALSE (engine->buttonPressed ("InstallCancel", "Sending"));
    EXPECT_TRUE (engine->buttonPressed ("InstallCancel", "Error"));
    ASSERT_TRUE (waitForState ("Erase"));
    EXPECT_FALSE (engine->buttonPressed ("InstallCancel", "Erase"));

    EXPECT_EQ (callback.states(), (juce::StringArray { "none > Sending", "Sending > Error", "Error > Erase" }));
}

TEST_F (EngineWithoutDevice, theLaterOfTwoMatchingButtonsWinsAndButtonsInsideChecksDoNotReact)
{
    start ("<State name=\"A\" pollingMode=\"none\">"
           "  <Button name=\"InstallCancel\" state=\"enabled\" gotoState=\"B\"/>"
           "  <Button name=\"InstallCancel\" state=\"enabled\" gotoState=\"C\"/>"
           "  <Check name=\"versionNumber\" value=\"false\"><Button name=\"InstallCancel\" state=\"enabled\" gotoState=\"B\"/></Check>"
           "</State>"
           "<State name=\"B\" pollingMode=\"none\"/><State name=\"C\" pollingMode=\"none\"/>", "A");
    ASSERT_TRUE (waitForState ("A"));
    engine->buttonPressed ("InstallCancel", callback.lastState());
    EXPECT_TRUE (waitForState ("C"));
}

TEST_F (EngineWithoutDevice, aButtonThatACheckDisabledTakesNoPressThoughItsStatesOwnButtonEnabledIt)
{
    start ("<State name=\"A\" pollingMode=\"none\">"
           "  <Button name=\"InstallCancel\" state=\"enabled\" gotoState=\"B\"/>"
           "  <Check name=\"versionNumber\" value=\"false\"><Button name=\"InstallCancel\" state=\"disabled\"/></Check>"
           "</State>"
           "<State name=\"B\" pollingMode=\"none\"/>", "A");
    // The window shows the button disabled once the Check's Button has been reported.
    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("button InstallCancel= disabled") == 1; }, 30000));
    EXPECT_FALSE (engine->buttonPressed ("InstallCancel", "A"));
    EXPECT_EQ (callback.states(), (juce::StringArray { "none > A" }));
}

TEST_F (EngineWithoutDevice, aButtonThatACheckEnabledStaysEnabledWhileTheStatePollsBackToItself)
{
    // Ports whose lists count the engine's looks: each poll of "midi ports" reads them once, and
    // the State's table names the State itself.
    struct CountingPorts final : MidiPorts
    {
        std::atomic<int> looks { 0 };
        juce::StringArray getInputNames() override  { ++looks; return { "In" }; }
        juce::StringArray getOutputNames() override { return { "Out" }; }
        std::unique_ptr<MidiInputPort> openInput (int, MidiPortReceiver&) override { return {}; }
        std::unique_ptr<MidiOutputPort> openOutput (int) override { return {}; }
    };
    auto ports = std::make_shared<CountingPorts>();
    auto& selector = MIDIPortsSelector::getInstance();
    selector.setPorts (ports);
    ASSERT_TRUE (selector.selectInput ("In") && selector.selectOutput ("Out"));

    start ("<State name=\"A\" pollingMode=\"midi ports\">"
           "  <Button name=\"InstallCancel\" state=\"disabled\" gotoState=\"B\"/>"
           "  <Check name=\"versionNumber\" value=\"false\"><Button name=\"InstallCancel\" state=\"enabled\"/></Check>"
           "  <PollingState value=\"device detected\" gotoState=\"A\"/><PollingState value=\"no device\" gotoState=\"A\"/>"
           "</State><State name=\"B\" pollingMode=\"none\"/>", "A");
    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("button InstallCancel= enabled") == 1; }, 30000));

    // Two looks after the window was told: at least one whole pass has led back into A.
    const int seen = ports->looks;
    ASSERT_TRUE (pumpUntil ([&] { return ports->looks >= seen + 2; }, 30000));
    EXPECT_TRUE (engine->buttonPressed ("InstallCancel", "A"));
    EXPECT_TRUE (waitForState ("B"));
}

TEST_F (EngineWithoutDevice, aPressTakenWhileTheEngineWasStoppedIsDroppedByTheRestart)
{
    start ("<State name=\"Start\" pollingMode=\"none\">"
           "  <Button name=\"Go\" state=\"enabled\" gotoState=\"Gone\"/><Button name=\"Other\" state=\"enabled\" gotoState=\"Elsewhere\"/>"
           "</State><State name=\"Gone\" pollingMode=\"none\"/><State name=\"Elsewhere\" pollingMode=\"none\"/>", "Start");
    ASSERT_TRUE (waitForState ("Start"));
    ASSERT_TRUE (engine->stopEngine (30000));

    // The click the window saw before the restart.
    EXPECT_TRUE (engine->buttonPressed ("Go", "Start"));
    engine->startThread();
    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("state none > Start") == 2; }, 30000));

    engine->buttonPressed ("Other", "Start");
    ASSERT_TRUE (waitForState ("Elsewhere"));
    EXPECT_EQ (callback.states(), (juce::StringArray { "none > Start", "none > Start", "Start > Elsewhere" }));
}

TEST_F (EngineWithoutDevice, aGotoStateLetsTheRestOfTheListRunAndTheLastOneWins)
{
    start ("<State name=\"A\" pollingMode=\"none\">"
           "  <GotoState state=\"B\"/><Print text=\"after the jump\"/><GotoState state=\"C\"/><Print text=\"end\"/>"
           "</State>"
           "<State name=\"B\" pollingMode=\"none\"/><State name=\"C\" pollingMode=\"none\"/>", "A");

    ASSERT_TRUE (waitForState ("C"));
    EXPECT_EQ (callback.states(), (juce::StringArray { "none > A", "A > C" }));
    EXPECT_EQ (callback.count ("print"), 2);
}

TEST_F (EngineWithoutDevice, aJumpToAStateThatDoesNotExistIsLoggedAndTheEngineCarriesOn)
{
    start ("<State name=\"A\" pollingMode=\"none\">"
           "  <GotoState state=\"Nowhere\"/>"
           "  <Button name=\"InstallCancel\" state=\"enabled\" gotoState=\"Missing too\"/>"
           "</State>", "A");
    ASSERT_TRUE (waitForState ("A"));
    engine->buttonPressed ("InstallCancel", callback.lastState());
    EXPECT_TRUE (pumpUntil ([&] { return log.contains ("State 'Missing too' does not exist, staying in State 'A'"); }, 30000));
    pumpFor (100);

    EXPECT_EQ (callback.states(), (juce::StringArray { "none > A" }));
    EXPECT_TRUE (log.contains ("State 'Nowhere' does not exist, staying in State 'A'"));
    EXPECT_TRUE (engine->isThreadRunning());
}

TEST_F (EngineWithoutDevice, aPollingStateTimesOutToItsOwnOrTheDefinitionsTimeoutState)
{
    start ("<State name=\"Polling\" pollingMode=\"MIDI Device inquiry\"/>"
           "<State name=\"Fallback\" pollingMode=\"none\"><GotoState state=\"Own\"/></State>"
           "<State name=\"Own\" pollingMode=\"midi device inquiry\" timeoutState=\"Final\"/>"
           "<State name=\"Final\" pollingMode=\"none\"/>", "Polling", 1, "Fallback");

    const auto started = juce::Time::getMillisecondCounter();
    ASSERT_TRUE (waitForState ("Final"));
    const auto elapsed = juce::Time::getMillisecondCounter() - started;

    EXPECT_EQ (callback.states(), (juce::StringArray { "none > Polling", "Polling > Fallback", "Fallback > Own", "Own > Final" }));
    EXPECT_GE (elapsed, 1900u); // one second in each polling State, although every cycle said "no device"
}

TEST_F (EngineWithoutDevice, anEmptyOwnTimeoutStateTimesOutToTheDefinitionsTimeoutState)
{
    start ("<State name=\"Polling\" pollingMode=\"MIDI Device inquiry\" timeoutState=\"\"/>"
           "<State name=\"Fallback\" pollingMode=\"none\"/>", "Polling", 1, "Fallback");

    ASSERT_TRUE (waitForState ("Fallback"));
    EXPECT_EQ (callback.states(), (juce::StringArray { "none > Polling", "Polling > Fallback" }));
    EXPECT_FALSE (log.contains ("does not exist"));
}

TEST_F (EngineWithoutDevice, aNoDeviceTransitionIsTakenBeforeTheTimeout)
{
    start ("<State name=\"Polling\" pollingMode=\"midi device inquiry\">"
           "  <PollingState value=\"gone\" gotoState=\"Absent\"/>"
           "</State>"
           "<State name=\"Absent\" pollingMode=\"none\"/>", "Polling", 60);

    EXPECT_TRUE (waitForState ("Absent"));
}

TEST_F (EngineWithoutDevice, aTimeoutOfZeroTimesOutInEveryCycle)
{
    start ("<State name=\"Polling\" pollingMode=\"midi device inquiry\">"
           "  <PollingState value=\"no device\" gotoState=\"Wrong\"/>"
           "</State>"
           "<State name=\"Wrong\" pollingMode=\"none\"/>"
           "<State name=\"Timed out\" pollingMode=\"none\"/>", "Polling", 0, "Timed out");

    ASSERT_TRUE (waitForState ("Timed out"));
    EXPECT_EQ (callback.states(), (juce::StringArray { "none > Polling", "Polling > Timed out" }));
}

TEST_F (EngineWithoutDevice, scanAllPortsResetsBothChoicesOnEveryEntry)
{
    // A port pair that never answers, chosen before each entry: every poll lasts a second.
    auto ports = std::make_shared<VirtualMidiPorts>();
    ports->plugIn ("Desk In", "Desk Out", nullptr);
    auto& selector = MIDIPortsSelector::getInstance();
    selector.setPorts (ports);

    auto chooseTheDesk = [&]
    {
        ASSERT_TRUE (selector.selectInput ("Desk In"));
        ASSERT_TRUE (selector.selectOutput ("Desk Out"));
    };

    chooseTheDesk();
    start ("<State name=\"Scan\" pollingMode=\"Scan all ports\"/>"
           "<State name=\"Away\" pollingMode=\"none\"><GotoState state=\"Scan\"/></State>", "Scan", 0, "Away");

    for (int entry = 1; entry <= 2; ++entry)
    {
        ASSERT_TRUE (pumpUntil ([&] { return log.count ("Scan all ports") >= entry; }, 30000));
        EXPECT_EQ (selector.getInputName(), "Auto") << entry;
        EXPECT_EQ (selector.getOutputName(), "Auto") << entry;
        chooseTheDesk();
    }
}

TEST_F (EngineWithoutDevice, returningToTheInitialStateReportsNoneAsTheStateLeft)
{
    start (idleWithButtons, "A");
    ASSERT_TRUE (waitForState ("A"));
    engine->buttonPressed ("InstallCancel", callback.lastState());
    ASSERT_TRUE (waitForState ("B"));

    engine->returnToInitialState();
    ASSERT_TRUE (waitForState ("A"));
    EXPECT_EQ (callback.states()[2], "none > A");
}

TEST_F (EngineWithoutDevice, aRestartBeginsAgainAtTheInitialStateFromNone)
{
    start (idleWithButtons, "A");
    ASSERT_TRUE (waitForState ("A"));
    engine->buttonPressed ("InstallCancel", callback.lastState());
    ASSERT_TRUE (waitForState ("B"));

    ASSERT_TRUE (engine->stopEngine (30000));
    engine->startThread();
    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("print printed") == 2; }, 30000));
    EXPECT_EQ (callback.states(), (juce::StringArray { "none > A", "A > B", "none > A" }));
}

TEST_F (EngineWithoutDevice, aButtonPressDoesNotShortenAWait)
{
    start ("<State name=\"A\" pollingMode=\"none\">"
           "  <Button name=\"InstallCancel\" state=\"enabled\" gotoState=\"B\"/><Wait time=\"0.6\"/><Print text=\"waited\"/>"
           "</State><State name=\"B\" pollingMode=\"none\"/>", "A");
    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("button") == 1; }, 30000));
    const auto pressed = juce::Time::getMillisecondCounter();
    engine->buttonPressed ("InstallCancel", callback.lastState());

    ASSERT_TRUE (waitForState ("B"));
    EXPECT_GE (juce::Time::getMillisecondCounter() - pressed, 500u);
    EXPECT_EQ (callback.count ("print waited"), 1);
}

TEST_F (EngineWithoutDevice, aButtonPressEndsTheWaitAfterAnEraseWithinAFewSteps)
{
    start ("<State name=\"Erase\" pollingMode=\"none\">"
           "  <Button name=\"InstallCancel\" state=\"enabled\" gotoState=\"Cancelled\"/><SendSysEx messageKind=\"erase\"/>"
           "</State><State name=\"Cancelled\" pollingMode=\"none\"/>", "Erase");
    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("button") == 1; }, 30000));
    pumpFor (300);
    engine->buttonPressed ("InstallCancel", callback.lastState());

    // Well before the erase wait's full 10 s, which only a press that does not end it would take.
    EXPECT_TRUE (waitForState ("Cancelled", 8000));
}

TEST_F (EngineWithoutDevice, stoppingEndsPromptlyWhileTheEngineWaitsForAReport)
{
    start (idleWithButtons, "A");
    juce::Thread::sleep (200); // the engine now waits for its first report, which nobody runs
    EXPECT_TRUE (engine->stopEngine (30000));
    pumpFor (50); // the abandoned report must not run after the stop
    EXPECT_EQ (callback.events().size(), 0);
}

TEST_F (EngineWithoutDevice, stoppingEndsPromptlyDuringAWaitAndDuringTheEraseWait)
{
    start ("<State name=\"A\" pollingMode=\"none\"><Wait time=\"3600\"/></State>", "A");
    ASSERT_TRUE (waitForState ("A"));
    pumpFor (100);
    EXPECT_TRUE (engine->stopEngine (30000));

    // The erase wait lasts 10 s: a stop that did not end it would take that long.
    engine.reset();
    start ("<State name=\"A\" pollingMode=\"none\"><SendSysEx messageKind=\"erase\"/></State>", "A");
    ASSERT_TRUE (waitForState ("A"));
    pumpFor (100);
    EXPECT_TRUE (engine->stopEngine (8000));
}

TEST_F (EngineWithoutDevice, aStateWithoutPollingNeverTimesOut)
{
    start ("<State name=\"A\" pollingMode=\"none\"/><State name=\"T\" pollingMode=\"none\"/>", "A", 0, "T");
    ASSERT_TRUE (waitForState ("A"));
    pumpFor (500);
    EXPECT_EQ (callback.states(), (juce::StringArray { "none > A" }));
}

TEST_F (EngineWithoutDevice, aStatesOwnMissingTimeoutStateIsLoggedOncePerEntry)
{
    // With a timeout of 0 every poll cycle (one each 100 ms here) times out again.
    start ("<State name=\"A\" pollingMode=\"midi ports\" timeoutState=\"Nowhere\"/>", "A", 0);
    const juce::String missing ("State 'Nowhere' does not exist, staying in State 'A'");
    ASSERT_TRUE (waitForState ("A"));
    ASSERT_TRUE (pumpUntil ([&] { return log.count (missing) == 1; }, 30000));
    pumpFor (800);
    EXPECT_EQ (log.count (missing), 1);

    engine->returnToInitialState();
    ASSERT_TRUE (pumpUntil ([&] { return callback.states().size() == 2; }, 30000));
    ASSERT_TRUE (pumpUntil ([&] { return log.count (missing) == 2; }, 30000));
    pumpFor (800);
    EXPECT_EQ (log.count (missing), 2);
}

namespace
{
    /** Records the reports as RecordingCallback does and lets a test act inside a State report,
        on the message thread, as the window does when the user picks a port at that moment. */
    class HookedCallback final : public FirmwareUpdaterCallback
    {
    public:
        void stateChanged (const juce::String& from, const juce::String& to) override
        {
            recorder.stateChanged (from, to);

            if (onStateChanged)
                onStateChanged (to);
        }

        void setTextField (const juce::String& n, const juce::String& t, bool v) override { recorder.setTextField (n, t, v); }
        void setButton (const juce::String& n, const juce::String& t, bool e) override    { recorder.setButton (n, t, e); }
        void print (const juce::String& text) override                                     { recorder.print (text); }
        void setProgress (double progress) override                                        { recorder.setProgress (progress); }

        RecordingCallback recorder;
        std::function<void (const juce::String&)> onStateChanged;
    };

    /** Every State's instructions (its "print in <name>") run after the report of that State, and
        every report leaves the State reported before it, or "none" after a return to the start. */
    ::testing::AssertionResult entriesAreOneStep (const juce::StringArray& events)
    {
        juce::String entered;

        for (auto& event : events)
        {
            if (event.startsWith ("state "))
            {
                const auto from = event.substring (6).upToFirstOccurrenceOf (" > ", false, false);

                if (from != "none" && from != entered)
                    return ::testing::AssertionFailure() << "'" << event << "' after entering " << entered;

                entered = event.fromFirstOccurrenceOf (" > ", false, false);
            }
            else if (event.startsWith ("print in ") && event.substring (9) != entered)
            {
                return ::testing::AssertionFailure() << "the instructions of " << event.substring (9)
                                                     << " ran after entering " << entered;
            }
        }

        return ::testing::AssertionSuccess();
    }

    const juce::String pingPong =
        "<State name=\"A\" pollingMode=\"none\"><Print text=\"in A\"/><GotoState state=\"B\"/></State>"
        "<State name=\"B\" pollingMode=\"none\"><Print text=\"in B\"/>%s</State>";
}

TEST_F (EngineWithoutDevice, aPortChoiceWhileAStateIsReportedRunsThatStatesInstructionsAndThenReturns)
{
    HookedCallback hooked;
    engine = std::make_unique<FirmwareUpdater> (quorrelDocument (pingPong.replace ("%s", ""), "A"),
                                                "Quorrel", false, &hooked, juce::StringArray());
    int returns = 0;
    hooked.onStateChanged = [&] (const juce::String& to)
    {
        if (to == "B" && returns < 3)
        {
            ++returns;
            engine->returnToInitialState();
        }
    };

    engine->startThread();
    ASSERT_TRUE (pumpUntil ([&] { return hooked.recorder.count ("print in B") == 4; }, 30000))
        << hooked.recorder.events().joinIntoString (" | ");
    pumpFor (200);

    const auto events = hooked.recorder.events();
    EXPECT_TRUE (entriesAreOneStep (events)) << events.joinIntoString (" | ");
    EXPECT_EQ (hooked.recorder.states(), (juce::StringArray { "none > A", "A > B", "none > A", "A > B",
                                                              "none > A", "A > B", "none > A", "A > B" }));
    engine.reset(); // before the callback goes
}

TEST_F (EngineWithoutDevice, portChoicesRacingStateEntriesNeverSplitAnEntry)
{
    HookedCallback hooked;
    engine = std::make_unique<FirmwareUpdater> (quorrelDocument (pingPong.replace ("%s", "<GotoState state=\"A\"/>"), "A"),
                                                "Quorrel", false, &hooked, juce::StringArray());
    engine->startThread();

    // The window calls returnToInitialState() on the message thread; another thread makes the
    // moments of the calls independent of the engine's reports, which the test thread runs.
    std::atomic<bool> racing { true };
    std::thread chooser ([&]
    {
        juce::Random random (42);

        while (racing.load())
        {
            engine->returnToInitialState();
            juce::Thread::sleep (1 + random.nextInt (15));
        }
    });

    pumpFor (2000);
    racing = false;
    chooser.join();
    ASSERT_TRUE (engine->stopEngine (30000));

    const auto events = hooked.recorder.events();
    EXPECT_GT (hooked.recorder.count ("state none > A"), 10);
    EXPECT_GT (hooked.recorder.count ("state A > B"), 10);
    EXPECT_TRUE (entriesAreOneStep (events));
    engine.reset();
}
