#pragma once

#include "../base/InstrumentLock.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>

/** The locks of the MIDI output ports that one updater (a selector, or vfu-update --list) talks
    to. Each port has two InstrumentLocks, named after its identifier:

    - "talk": held by whoever sends to the port. A scan takes it only while it asks the port who
      it is; an updater holds it for as long as the port is its instrument's.
    - "owner": held, together with talk, by the updater whose instrument is on the port.

    So a scan passes over a port whose talk lock is held (by an updater, or by another scan for a
    second), while an updater that has the owner lock knows that whoever holds talk is only
    asking, and waits for it. Two updaters never wait for each other: the owner lock decides.

    Without locking (a software bus, demo mode) every request is granted at once. Any thread may
    call; claim() waits without any lock held.
*/
class PortLocks final
{
public:
    explicit PortLocks (bool enabled);
    ~PortLocks();

    enum class Outcome
    {
        granted,
        held,         // another updater (or its scan) has the port
        failed,       // the lock cannot be taken for another reason; error says why
        unavailable   // the lock folder cannot hold locks at all (missing, not writable); error says why
    };

    /** For a scan: the talk lock, without waiting. */
    Outcome ask (const juce::String& identifier, juce::String& error);

    /** For an updater: the owner lock, tried a few times over about 80 ms (a scan holds it only
        for an instant), then the talk lock, waiting for a scan that holds it (up to
        maxScanWaitMs). shouldStop (may be null) is asked before and during every pause, and a stop
        ends either wait at once; on a juce::Thread a stop that wakes the thread (stopThread,
        notify) ends a pause as it comes. */
    Outcome claim (const juce::String& identifier, juce::String& error, const std::function<bool()>& shouldStop);

    /** The files (or names) of the port's locks, for messages; empty without locking. */
    juce::String describe (const juce::String& identifier);

    /** True while this set holds the port's talk lock (asked or claimed). */
    bool holds (const juce::String& identifier) const;
    bool owns (const juce::String& identifier) const;

    void release (const juce::String& identifier);
    /** Lets go of every port but the one named (empty: of all). */
    void releaseAllBut (const juce::String& identifier);

    bool isEnabled() const noexcept { return enabled; }

    /** The longest that claim() waits for a scan; a scan asks for about a second. */
    static constexpr int maxScanWaitMs = 20000;

private:
    struct Port
    {
        std::unique_ptr<InstrumentLock> talk, owner;
    };

    Port& portFor (const juce::String& identifier); // under mutex
    bool isHeld (const juce::String& identifier, std::unique_ptr<InstrumentLock> Port::* lock) const;

    const bool enabled;
    mutable std::mutex mutex;
    std::map<juce::String, Port> ports; // guarded by mutex, as is every use of its locks

    JUCE_DECLARE_NON_COPYABLE (PortLocks)
};
