#pragma once

#include "ProgressLine.h"
#include "TerminalInput.h"
#include "TerminalOutput.h"
#include "UpdateOutcome.h"
#include "engine/FirmwareUpdater.h"

#include <functional>
#include <map>

class MIDIPortsSelector;

/** The terminal's side of the engine, as the main component is the window's: it prints what the
    engine reports (each changed text once, the button as a prompt, progress), turns keys into
    button presses, and ends the run with an exit status when the update is over, no instrument
    turned up in time, or the user interrupts.

    When the terminal hangs up before the erase, the run stops as for Ctrl-C; after it, the update
    carries on to its end (stopping would leave the instrument without firmware), and a prompt
    that nobody can answer any more counts as Cancel.

    Everything runs on the message thread: the engine's reports (while the engine waits), keys,
    Ctrl-C and the timers. The engine is stopped only from outside its reports.
*/
class TerminalFrontEnd final : public FirmwareUpdaterCallback,
                               private TerminalInput::Listener
{
public:
    struct Settings
    {
        bool yes = false;
        int timeoutSeconds = -1;
        juce::String port; // --port, named in the JSON result
    };

    /** A --json line: {"event": type, ...fields}. */
    static juce::var jsonEvent (const char* type, std::initializer_list<std::pair<const char*, juce::var>> fields);

    TerminalFrontEnd (Settings settings, TerminalOutput& output, MIDIPortsSelector& selector);
    ~TerminalFrontEnd() override;

    /** Starts the engine, key input and the time-out. onFinished gets the exit status once, after the engine has stopped. */
    void start (FirmwareUpdater& engine, std::function<void (int)> onFinished);

    // FirmwareUpdaterCallback ------------------------------------------------------------------
    void stateChanged (const juce::String& from, const juce::String& to) override;
    void setTextField (const juce::String& name, const juce::String& text, bool visible) override;
    void setButton (const juce::String& name, const juce::String& text, bool enabled) override;
    void print (const juce::String& text) override;
    void setProgress (double progress) override;

private:
    class OneShotTimer;

    void keyPressed (char key) override;
    void interruptRequested() override;
    void inputEnded() override;
    void hungUp (bool processEndsSoon) override;
    bool installWaitsForKey() const;
    UpdateOutcome::Result unansweredPrompt() const;

    /** Presses the button for the State that showed it; true when the engine took the press. */
    bool pressButton();
    void finishLater (UpdateOutcome::Result result);
    void finish (UpdateOutcome::Result result);
    void settleThenFinish();
    void noteReportedVersion();
    juce::String describeWhereItStood() const;
    /** Asks the engine to stop unless it has begun changing the firmware, then describes where the run stood. */
    juce::String stopAndDescribe();
    ProgressLine::Plan planTransfer() const;
    static double now();
    static juce::String tidy (const juce::String& text);

    const Settings settings;
    TerminalOutput& output;
    MIDIPortsSelector& selector;
    FirmwareUpdater* engine = nullptr;
    std::unique_ptr<UpdateOutcome> outcome;
    ProgressLine::Plan transferPlan;
    std::unique_ptr<ProgressLine> progressLine;
    std::unique_ptr<TerminalInput> input;
    std::unique_ptr<OneShotTimer> timeoutTimer, settleTimer, ambiguityTimer;
    bool ambiguityTold = false; // message thread
    std::function<void (int)> finished;

    std::map<juce::String, juce::String> fieldTexts;
    juce::String currentState, buttonName, buttonState, buttonText, lastPrompt;
    bool buttonEnabled = false, inputOver = false;
    bool sessionGone = false;                       // the terminal hung up: nobody reads or types
    double lastProgress = 0.0;
    int lastPercentEvent = -1;
    juce::String versionBefore, versionAfter;       // as the instrument reported them
    bool transferring = false, transferDone = false;
    bool ending = false;                            // the run's result is decided
    std::optional<UpdateOutcome::Result> settling;  // decided, waiting for the State's last texts
    juce::String settlingInstructions;
    bool done = false;

    JUCE_DECLARE_NON_COPYABLE (TerminalFrontEnd)
};
