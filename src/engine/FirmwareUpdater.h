#pragma once

#include "FirmwareUpdaterCallback.h"
#include "../definitions/UpdaterDefinitions.h"
#include "../firmware/FirmwarePackageStore.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>

class MIDIPortsSelector;
class SysexSender;

/** The update engine: a thread "FirmwareUpdater" that walks the device's state machine,
    runs each State's instructions, polls the instrument and moves on poll results,
    time-outs and button presses.

    Created, started, restarted and destroyed on the message thread. buttonPressed() and
    returnToInitialState() are called on the message thread; everything else runs on the
    engine thread. Reports reach the interface through FirmwareUpdaterCallback on the
    message thread while the engine waits; a stop request ends that wait.
*/
class FirmwareUpdater final : public UpdaterDefinitions,
                              public juce::Thread
{
public:
    /** Loads the definitions text, then finds the firmware packages in the given folders, signed
        by the maker whose public key is given (the build's own by default). sourceLogLine, when
        given, is logged between the two, so that a program's log names its definitions before
        any line about packages. Throws FirmwareUpdaterException. */
    FirmwareUpdater (const juce::String& definitionsText, const juce::String& deviceName, bool consoleMode,
                     FirmwareUpdaterCallback* callback, const juce::StringArray& firmwareSearchFolders,
                     const juce::String& packagePublicKey = PackageSignature::builtInPublicKey(),
                     const juce::String& sourceLogLine = {});

    /** Loads the definitions file, then finds the firmware packages. Throws FirmwareUpdaterException. */
    FirmwareUpdater (const juce::File& definitionsFile, const juce::String& deviceName, bool consoleMode,
                     FirmwareUpdaterCallback* callback, const juce::StringArray& firmwareSearchFolders,
                     const juce::String& packagePublicKey = PackageSignature::builtInPublicKey(),
                     const juce::String& sourceLogLine = {});

    /** The engine a program starts with: from the definitions file when it exists, else from the
        inbuilt text. Logs which of the two it uses, right after they have loaded (before the
        package search), and notes it in a MIDI trace. Throws
        FirmwareUpdaterException like the constructors. */
    static std::unique_ptr<FirmwareUpdater> createFromFileOrInbuilt (const juce::File& definitionsFile,
                                                                     const juce::String& inbuiltText,
                                                                     const juce::String& deviceName, bool consoleMode,
                                                                     FirmwareUpdaterCallback* callback,
                                                                     const juce::StringArray& firmwareSearchFolders,
                                                                     const juce::String& packagePublicKey
                                                                         = PackageSignature::builtInPublicKey());

    /** Stops the thread (waiting up to 5000 ms) before packages and definitions go away. */
    ~FirmwareUpdater() override;

    void run() override;

    // Message thread ---------------------------------------------------------------------------
    /** A click on the button buttonName that the State stateName showed. It counts only while the
        engine is still in (or moving to) that State, the State's own Button of that name gives a
        target, and the button is enabled as the instructions run so far last set it (a Button in
        a Check included); a click that crossed a move to another State changes nothing. True when
        taken. */
    bool buttonPressed (const juce::String& buttonName, const juce::String& stateName);
    void returnToInitialState();

    /** Asks the engine thread to stop only if mayStop accepts the State it is in or moving to (its
        name; empty before the first). Decided under the lock the engine takes to enter a State,
        and no State entry begins after the request, so a stop that is granted never lands in a
        State that mayStop would refuse. True when the stop was requested. */
    bool signalStopIf (const std::function<bool (const juce::String& stateName)>& mayStop);

    /** Asks the engine thread to stop unless it has begun changing the instrument's firmware (sent
        an erase or begun sending an image). Decided under the lock the engine takes before such a
        send, so that afterwards hasChangedFirmware() is final: a stop that is granted comes before
        any such send, and a refused one after it. True when the stop was requested. */
    bool signalStopBeforeFirmwareChange();

    /** True once an erase went out or an image began to be sent: from then on the instrument may be
        left without complete firmware. Any thread. */
    bool hasChangedFirmware() const noexcept { return firmwareChanged.load(); }

    bool getAdvancedMode() const noexcept { return advancedMode; }
    void setAdvancedMode (bool on) noexcept { advancedMode = on; }

    /** The package entry a firmware transfer sends: its message kind with the selected version
        in place of "$(version)", and ".syx". */
    juce::String firmwareEntryNameFor (const SendSysExInstruction& instruction) const;

    juce::StringArray getFirmwareVersions() const { return packageStore.getFirmwareVersions(); }
    bool selectFirmwareVersion (const juce::String& version);
    /** Selects the package read from that file by the search; false, with the reason the search
        refused it, when it holds none (another package of its version is never taken instead). */
    bool selectFirmwarePackageFile (const juce::File& file, juce::String& reason);
    juce::String getSelectedVersion() const { return packageStore.getSelectedVersion(); }
    FirmwarePackageStore& getPackageStore() noexcept { return packageStore; }

    /** Asks the engine thread to stop and waits up to timeoutMs for it; every wait of the engine,
        a firmware transfer included, ends promptly on that request. True when the thread has ended. */
    bool stopEngine (int timeoutMs);

    /** Names the engine's thread, and the sender thread it waits for if any, for a log line at
        quit when stopEngine() has not ended it ("Thread 'FirmwareUpdater' (waiting for ...)"). Any thread. */
    juce::String describeRunningThreads() const;

    /** The selector the engine polls through; the process-wide one unless a test gives another. */
    void setSelector (MIDIPortsSelector& selectorToUse) noexcept { selector = &selectorToUse; }

    /** Tests only: called on the engine thread when a transfer's sender has started, before the
        engine first looks at it, so that a test can let the sender finish first. Set before
        startThread(). */
    std::function<void (const SysexSender&)> afterSenderStarted;

    /** Name of the State the engine is in (or has been told to move to); any thread. */
    juce::String getCurrentStateName() const;
    double getProgress() const noexcept { return progress.load(); }

private:
    void initialiseEngine (FirmwareUpdaterCallback* callback, const juce::StringArray& firmwareSearchFolders,
                           const juce::String& sourceLogLine);
    /** Reports the move into currentState and runs its instructions; false when a stop request
        came first and nothing was entered. */
    bool enterState();
    bool hasStateToEnter() const;
    /** Whether entering the State ends an update: its verdict, an error, a cancel, or the start. */
    bool endsUpdate (const State& state) const;
    /** True while the engine is still in that State, with no move pending. */
    bool isSettledIn (const State* state) const;
    void pollLoop (State& state, const juce::String& mode);
    void pollCycle (State& state, const juce::String& mode, const State::Transitions& table);
    void pacedPollCycle (State& state, const juce::String& mode, const State::Transitions& table);
    PollingResult pollOnce (const juce::String& mode);

    void runInstructions (const State::InstructionList& list);
    void runSendSysEx (const SendSysExInstruction& instruction);
    /** Sends one command; with changesFirmware, only if no stop was requested first (and then it
        counts as a change of the firmware). True when the output took it. */
    bool sendSingleCommand (const juce::MidiMessage& message, bool changesFirmware);
    /** Marks the firmware as changing unless a stop was requested first; false then. */
    bool beginFirmwareChange();
    void waitAfterErase();
    void transferFirmware (const SendSysExInstruction& instruction);
    void runEndPolling (const SendSysExInstruction& instruction);
    void moveTo (const juce::String& stateName);
    bool sleepUnlessStopped (int milliseconds);

    /** Runs fn on the message thread and waits for it; returns at once when stopping or quitting. */
    void report (std::function<void()> fn);
    bool shouldStop() const;

    State* getCurrent() const;
    void setCurrent (State* state);
    void presetButtonsOf (const State* state); // with stateLock held
    juce::String takePendingState();
    juce::String peekPendingState() const;

    FirmwarePackageStore packageStore;
    MIDIPortsSelector* selector;
    StatesMachine* machine = nullptr;

    mutable std::mutex stateLock; // guards currentState, previousState, _pendingState and enabledButtons
    State* currentState = nullptr;
    State* previousState = nullptr;
    juce::String _pendingState;
    std::map<juce::String, bool> enabledButtons; // what the Button instructions run so far last set

    // Engine thread only: the State whose instructions run, and whether its own missing
    // timeoutState has been logged since it was entered.
    State* enteredState = nullptr;
    bool missingTimeoutStateLogged = false;

    std::atomic<bool> senderAlive { false };
    std::atomic<bool> firmwareChanged { false }; // set under stateLock, read anywhere
    std::atomic<juce::int64> lastEventTime { 0 };
    std::atomic<double> progress { 0.0 };
    std::atomic<bool> advancedMode { false };

    JUCE_DECLARE_NON_COPYABLE (FirmwareUpdater)
};
