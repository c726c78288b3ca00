#pragma once

#include "FollowedInstrument.h"
#include "MidiPorts.h"
#include "PortLocks.h"

#include <atomic>
#include <memory>
#include <optional>

/** The one place that decides whether this updater may talk to a port now: the ports it works
    over, the locks it takes on them (see PortLocks), the name guards of other updaters (see
    NameGuard), and, while an update runs, the instrument being updated (see FollowedInstrument),
    which is then the only one talked to, wherever it goes when it restarts.

    Outside an update a port is talked to unless another updater holds it (its lock, or the guard
    of its name while that updater's instrument restarts). During one, only the updated
    instrument's port is, or while it is away the ports that appeared since it vanished, one of
    which may be it (candidates). A lock that cannot be made for another reason than another
    holder is named once in the log and the port used without it.

    Any thread may call: the polls run on the engine thread, the user's choices on the message
    thread. Its own lock guards the ports, the lock set, the instrument and the bookkeeping; it is
    never held while a lock is taken, a port list is read, a guard is held or a line is logged.
    claimOutput() may wait (see PortLocks::claim), without any lock held.
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

    enum class Use
    {
        scan,       // asked who it is, held only while asked
        candidate,  // asked whether it is the updated instrument, back under a new port
        command     // sent what only the instrument being updated may receive
    };

    /** Whether this updater may send to the output now, taking its lock as the use needs. A port
        refused is named once in the log, with the reason. */
    bool mayTalkTo (const juce::MidiDeviceInfo& output, Use use);

    /** Whether the input may be heard while the output is asked: it belongs with the output, and
        no output it belongs with is held by another updater. */
    bool mayHearInput (const juce::MidiDeviceInfo& input, const juce::MidiDeviceInfo& asked,
                       const juce::Array<juce::MidiDeviceInfo>& outputs);

    /** Takes the output as an updater does (see MIDIPortsSelector::claimOutput); a granted claim
        also guards its name. Waits while another updater's scan asks the port; gives up when the
        calling thread is asked to stop or the application quits. A lock that cannot be made is
        named in the log and counts as granted: the port is used without it. */
    PortLocks::Outcome claimOutput (const juce::MidiDeviceInfo& output, juce::String& error);

    /** Lets go of the lock a scan took to ask the output, unless the port is this updater's. */
    void endAsking (const juce::MidiDeviceInfo& output);

    // The instrument being updated -------------------------------------------------------------
    /** From now on only the instrument on this output is talked to, through its restarts, until
        stopFollowing(). restricted: for good (vfu-update --port), stopFollowing() leaves it. */
    void follow (const juce::MidiDeviceInfo& output, bool restricted);

    /** Follows nothing any more, unless restricted; lets go of its name guards. */
    void stopFollowing();

    bool isFollowing() const;
    bool isRestricted() const;

    struct Sighting : FollowedInstrument::Sighting
    {
        juce::MidiDeviceInfo movedFrom; // set when it is present on another port than before
    };

    /** Where the followed instrument is now; nullopt when none is followed. listsGeneration: the
        ports' MidiPorts::getListsGeneration() both before and after outputs were read (0: unknown);
        while it stays that of the last reading that found the instrument present, the lists are
        not searched again. */
    std::optional<Sighting> locate (const juce::Array<juce::MidiDeviceInfo>& outputs, std::uint64_t listsGeneration = 0);

    /** The output the followed instrument is on now: nullopt when none is followed, an empty one
        while it is away. */
    std::optional<juce::MidiDeviceInfo> followedOutput (const juce::Array<juce::MidiDeviceInfo>& outputs);

    juce::MidiDeviceInfo lastSeenOutput() const;

    /** A candidate answered as the followed instrument, alone: it is followed there, and claimed. */
    void foundAt (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& outputs);

    /** True while two candidates answer as the followed instrument. Any thread. */
    bool isAmbiguous() const noexcept         { return ambiguous.load(); }
    void setAmbiguous (bool isAmbiguousNow)   { ambiguous = isAmbiguousNow; }

    /** Between an erase and the last byte of the image the instrument can only answer from its
        bootloader: then an answer from running firmware is another instrument's. */
    void setImageIncomplete (bool incomplete) { imageIncomplete = incomplete; }

    /** Whether an answer from that port (in its bootloader or not) may be the instrument being
        updated; one that cannot be is named once in the log. True when no update runs. */
    bool mayBeTheUpdatedInstrument (const juce::MidiDeviceInfo& output, bool fromBootloader);

    /** Logs the line unless one was logged for that key already. */
    void tellOnce (const juce::String& key, const juce::String& line, bool heldElsewhere = false);

    juce::StringArray getPortsHeldElsewhere() const;

    /** Lets go of every lock and name guard. */
    void releasePorts();

    /** Closes the ports the backend keeps open between polls. */
    void closeIdlePorts();

    /** Logs a request that the system refused to send. */
    static void logRefusal (const juce::String& outputName, const juce::Result& sent);

    /** Follows nothing and forgets what was logged about ports passed over. */
    void reset();

private:
    bool mayTalkToUnfollowed (const juce::MidiDeviceInfo& output, Use use);
    void guardName (const juce::MidiDeviceInfo& output);
    void unguardNames();
    bool isGuardedElsewhere (const juce::MidiDeviceInfo& output);
    /** Whether another updater holds the output: its lock (tried and let go at once) or its name's guard. */
    bool isHeldElsewhere (const juce::MidiDeviceInfo& output);
    void tellRefused (const juce::MidiDeviceInfo& output, PortLocks::Outcome outcome, const juce::String& error);

    juce::CriticalSection lock;
    // Guarded by lock:
    mutable std::shared_ptr<MidiPorts> ports;
    mutable std::shared_ptr<PortLocks> locks;   // made with the ports
    FollowedInstrument followed;                // the instrument being updated
    bool restricted = false;                    // follow(…, true): nothing else is ever talked to
    std::uint64_t presentInGeneration = 0;      // the lists' generation it was last found present in
    juce::StringArray guardedNames;             // the NameGuards held for the followed instrument
    juce::StringArray told;                     // keys already named in the log
    juce::StringArray heldElsewhere;            // identifiers of ports another updater held

    std::atomic<bool> ambiguous { false }, imageIncomplete { false };
};
