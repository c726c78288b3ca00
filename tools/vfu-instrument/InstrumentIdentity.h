#pragma once

#include <juce_events/juce_events.h>

/** Names this process after the instrument for the framework's MIDI code, which names its ALSA
    sequencer client after the running application (as a USB instrument's client carries the
    instrument's name; Wine, for one, lists ports as "client - port"). It is never run: it only
    has to exist while the ports are made. One at a time, on the main thread. */
class InstrumentIdentity final : public juce::JUCEApplicationBase
{
public:
    explicit InstrumentIdentity (const juce::String& instrumentName) : name (instrumentName) {}

    const juce::String getApplicationName() override    { return name; }
    const juce::String getApplicationVersion() override { return {}; }
    bool moreThanOneInstanceAllowed() override          { return true; }
    void initialise (const juce::String&) override      {}
    void shutdown() override                            {}
    void anotherInstanceStarted (const juce::String&) override {}
    void systemRequestedQuit() override                 {}
    void suspended() override                           {}
    void resumed() override                             {}
    void unhandledException (const std::exception*, const juce::String&, int) override {}

private:
    const juce::String name;

    JUCE_DECLARE_NON_COPYABLE (InstrumentIdentity)
};
