#pragma once

#include "MidiPorts.h"
#include "PortLocks.h"

#include <memory>

/** Who may send to which port: the ports a selector works over, the locks it takes on them (see
    PortLocks), the name guards it holds for an instrument without a place that survives its
    restarts (see NameGuard), and what it has said in the log about ports it passed over.

    Each port that a scan passes over, because another updater holds it or its lock cannot be
    taken, is named once in the log. Any thread may call; its own lock guards the ports, the
    lock set and the bookkeeping, and is never held while a lock is taken, a guard is held or a
    line is logged. claimOutput() may wait (see PortLocks::claim), without any lock held.
*/
class PortAccess final
{
public:
    /** The ports; without setPorts(), the system's own, made on first use. */
    void setPorts (std::shared_ptr<MidiPorts> newPorts);
    std::shared_ptr<MidiPorts> getPorts() const;
    std::shared_ptr<PortLocks> getLocks() const;

    /** What the port's lock is named after: its place and number where known, else its identifier. */
    juce::String lockKeyOf (const juce::MidiDeviceInfo& output);

    /** Takes the output as an updater does (see MIDIPortsSelector::claimOutput); a granted claim
        also guards its name. Waits while another updater's scan asks the port; gives up when the
        calling thread is asked to stop or the application quits. */
    PortLocks::Outcome claimOutput (const juce::MidiDeviceInfo& output, juce::String& error);

    /** Whether this updater may send to the output now: a scan asks its lock (held on until
        released), an update claims it; a port held elsewhere is named once in the log. A candidate
        (a port that appeared while the followed instrument was away) is asked even when its name
        is guarded elsewhere. */
    bool mayTalkTo (const juce::MidiDeviceInfo& output, bool scanning, bool candidate);

    /** Whether a scan may listen to this input: false when an output that belongs with it is held
        by another updater, cannot be locked, or has a name another updater guards. */
    bool mayHearInput (const juce::MidiDeviceInfo& input, const juce::Array<juce::MidiDeviceInfo>& outputs);

    /** Holds the NameGuard of the output's name while its instrument is followed (no place). */
    void guardName (const juce::MidiDeviceInfo& output);
    void unguardNames();

    /** Logs the line unless one was logged for that identifier already. */
    void tellOnce (const juce::String& identifier, const juce::String& line, bool heldElsewhere);

    juce::StringArray getPortsHeldElsewhere() const;

    /** Lets go of every lock and name guard. */
    void releasePorts();

    /** Closes the ports the backend keeps open between polls. */
    void closeIdlePorts();

    /** Logs a request that the system refused to send. */
    static void logRefusal (const juce::String& outputName, const juce::Result& sent);

    /** Forgets what was logged about ports passed over. */
    void forgetToldPorts();

private:
    /** Whether the output's lock could be taken now (taken and let go at once). */
    PortLocks::Outcome probeOutput (const juce::MidiDeviceInfo& output, juce::String& error);
    bool isGuardedElsewhere (const juce::MidiDeviceInfo& output);
    void tellRefused (const juce::MidiDeviceInfo& output, PortLocks::Outcome outcome, const juce::String& error);

    juce::CriticalSection lock;
    // Guarded by lock:
    mutable std::shared_ptr<MidiPorts> ports;
    mutable std::shared_ptr<PortLocks> locks;   // made with the ports
    juce::StringArray guardedNames;             // the NameGuards held for the followed instrument
    juce::StringArray told;                     // identifiers already named in the log as held or unlockable
    juce::StringArray heldElsewhere;            // of those, the ones another updater held
};
