#pragma once

#include <juce_events/juce_events.h>

class FirmwareUpdater;

/** Starts the engine's thread again once its previous run has ended, without the message thread
    waiting for that: a thread that is still ending cannot be started, and its end may take as
    long as a MIDI driver holds it. Until then the window keeps answering. Message thread.
*/
class EngineRestart final : private juce::Timer
{
public:
    explicit EngineRestart (FirmwareUpdater& engineToRestart) : engine (engineToRestart) {}
    ~EngineRestart() override { stopTimer(); }

    /** Call after a stop was requested: starts the engine at once if its thread has ended already,
        else as soon as a look at it finds it ended. */
    void startWhenEnded();

    /** True while a restart waits for the previous run to end. */
    bool isPending() const noexcept { return isTimerRunning(); }

private:
    void timerCallback() override;
    bool startIfEnded();

    FirmwareUpdater& engine;
    juce::uint32 requested = 0;
    bool slowStopLogged = false;

    JUCE_DECLARE_NON_COPYABLE (EngineRestart)
};
