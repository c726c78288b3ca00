#pragma once

#include <juce_core/juce_core.h>

/** The lock that lets one updater at a time talk to an instrument model on this computer. The
    window program and vfu-update take the same lock, named after the device, for as long as they
    may send to the instrument: two engines erasing and writing one instrument at once would ruin
    its firmware. A simulated instrument (demo mode) belongs to its process alone and needs none.
    Owned and used on the message thread; released when destroyed. */
class InstrumentLock final
{
public:
    explicit InstrumentLock (const juce::String& deviceName);
    ~InstrumentLock();

    /** Takes the lock without waiting; false while another process holds it. */
    bool tryEnter();

    /** What the updater that came second tells its user. */
    static juce::String busyMessageFor (const juce::String& deviceName);

private:
    juce::InterProcessLock lock;
    bool held = false;

    JUCE_DECLARE_NON_COPYABLE (InstrumentLock)
};
