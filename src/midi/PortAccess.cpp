#include "PortAccess.h"

#include "PollThread.h"
#include "../base/AppLog.h"
#include "../base/NameGuard.h"

namespace
{
    bool samePort (const juce::MidiDeviceInfo& a, const juce::MidiDeviceInfo& b)
    {
        return a.identifier == b.identifier && a.name == b.name;
    }

    juce::String describe (const juce::MidiDeviceInfo& output)
    {
        return "MIDI output [" + output.name + "] (" + output.identifier + ")";
    }
}

void PortAccess::setPorts (std::shared_ptr<MidiPorts> newPorts)
{
    auto newLocks = std::make_shared<PortLocks> (newPorts != nullptr && newPorts->areSharedWithOtherPrograms());

    {
        const juce::ScopedLock sl (lock);
        std::swap (ports, newPorts);
        std::swap (locks, newLocks);
    }

    // The ports replaced end here, outside the lock: a software bus waits for its delivery thread.
}

std::shared_ptr<MidiPorts> PortAccess::getPorts() const
{
    const juce::ScopedLock sl (lock);

    if (ports == nullptr)
    {
        ports = MidiPorts::makeSystemPorts();
        locks = std::make_shared<PortLocks> (true);
    }

    return ports;
}

std::shared_ptr<PortLocks> PortAccess::getLocks() const
{
    getPorts();
    const juce::ScopedLock sl (lock);
    return locks;
}

juce::String PortAccess::lockKeyOf (const juce::MidiDeviceInfo& output)
{
    return FollowedInstrument::lockKeyFor (output, getPorts()->placeOf (output));
}

//==============================================================================
bool PortAccess::mayTalkTo (const juce::MidiDeviceInfo& output, Use use)
{
    // While an instrument is updated, nothing else is talked to but the ports that may be it.
    if (use != Use::candidate)
        if (const auto only = followedOutput (getPorts()->getOutputDevices()); only && ! samePort (*only, output))
            return false;

    return mayTalkToUnfollowed (output, use);
}

bool PortAccess::mayTalkToUnfollowed (const juce::MidiDeviceInfo& output, Use use)
{
    auto portLocks = getLocks();
    const auto key = lockKeyOf (output);

    if (portLocks->holds (key))
        return true;

    juce::String error;
    const auto outcome = use == Use::command ? claimOutput (output, error) : portLocks->ask (key, error);

    if (outcome == PortLocks::Outcome::granted)
    {
        // A scan leaves alone an instrument of a name that another updater is updating: without a
        // place that survives restarts, it may be that one, away for a moment and back as a new port.
        if (use == Use::scan && isGuardedElsewhere (output))
        {
            portLocks->release (key);
            tellOnce (output.identifier, describe (output) + " may be the instrument that another updater is updating"
                                         " (one of this name is away, restarting): nothing is sent to it", true);
            return false;
        }

        return true;
    }

    // A claim given up because of a stop is no refusal worth a line.
    if (! PollThread::stopRequested())
        tellRefused (output, outcome, error);

    return outcome == PortLocks::Outcome::unavailable;
}

bool PortAccess::mayHearInput (const juce::MidiDeviceInfo& input, const juce::MidiDeviceInfo& asked,
                               const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    auto midiPorts = getPorts();

    if (! midiPorts->belongTogether (input, asked))
        return false;

    // Replies that another updater's instrument sends to it must not be taken for an answer here.
    if (! getLocks()->isEnabled())
        return true;

    for (auto& output : outputs)
        if (! samePort (output, asked) && midiPorts->belongTogether (input, output) && isHeldElsewhere (output))
            return false;

    return true;
}

bool PortAccess::isHeldElsewhere (const juce::MidiDeviceInfo& output)
{
    auto portLocks = getLocks();
    const auto key = lockKeyOf (output);

    if (portLocks->holds (key))
        return false;

    juce::String error;
    const auto outcome = portLocks->ask (key, error);

    if (outcome == PortLocks::Outcome::granted)
        portLocks->release (key);

    // A lock file that is something else than a file is no lock, and its port is left alone.
    if (outcome == PortLocks::Outcome::held || outcome == PortLocks::Outcome::failed)
    {
        tellRefused (output, outcome, error);
        return true;
    }

    return isGuardedElsewhere (output);
}

PortLocks::Outcome PortAccess::claimOutput (const juce::MidiDeviceInfo& output, juce::String& error)
{
    auto portLocks = getLocks();
    const auto key = lockKeyOf (output);

    if (portLocks->owns (key))
        return PortLocks::Outcome::granted;

    const auto outcome = portLocks->claim (key, error,
                                            [] { return PollThread::stopRequested() || PollThread::applicationIsQuitting(); });

    if (outcome == PortLocks::Outcome::failed)
        tellRefused (output, outcome, error);

    if (outcome != PortLocks::Outcome::unavailable)
        return outcome;

    // A lock folder that cannot hold locks keeps other updaters' locks from this one as much as
    // this one's from them: the port is used as a single updater on a computer uses it.
    tellRefused (output, outcome, error);
    return PortLocks::Outcome::granted;
}

void PortAccess::endAsking (const juce::MidiDeviceInfo& output)
{
    auto portLocks = getLocks();
    const auto key = lockKeyOf (output);

    if (! portLocks->owns (key))
        portLocks->release (key);
}

//==============================================================================
void PortAccess::follow (const juce::MidiDeviceInfo& output, bool restrict)
{
    auto midiPorts = getPorts();
    const auto outputs = midiPorts->getOutputDevices();
    const auto location = midiPorts->placeOf (output);

    {
        const juce::ScopedLock sl (lock);
        restricted = restricted || restrict;
        followed.follow (output, location, outputs);
        presentInGeneration = 0;
    }

    ambiguous = false;
    guardName (output);
}

void PortAccess::stopFollowing()
{
    {
        const juce::ScopedLock sl (lock);

        if (restricted || ! followed.isFollowing())
            return;

        followed.clear();
        presentInGeneration = 0;
    }

    ambiguous = false;
    imageIncomplete = false;
    unguardNames();
}

bool PortAccess::isFollowing() const
{
    const juce::ScopedLock sl (lock);
    return followed.isFollowing();
}

bool PortAccess::isRestricted() const
{
    const juce::ScopedLock sl (lock);
    return restricted;
}

juce::MidiDeviceInfo PortAccess::lastSeenOutput() const
{
    const juce::ScopedLock sl (lock);
    return followed.getOutput();
}

std::optional<PortAccess::Sighting> PortAccess::locate (const juce::Array<juce::MidiDeviceInfo>& outputs,
                                                        std::uint64_t listsGeneration)
{
    FollowedInstrument located;
    Sighting sighting;

    {
        const juce::ScopedLock sl (lock);

        if (! followed.isFollowing())
            return std::nullopt;

        // The same lists as when it was last found present there: it still is, and the ports
        // beside it are those already seen (the port check between packets asks every few ms).
        if (listsGeneration != 0 && listsGeneration == presentInGeneration)
        {
            sighting.where = FollowedInstrument::Whereabouts::present;
            sighting.output = followed.getOutput();
            return sighting;
        }

        located = followed;
    }

    auto midiPorts = getPorts();
    const auto before = located.getOutput();
    static_cast<FollowedInstrument::Sighting&> (sighting) = located.locate (outputs, [&midiPorts] (const juce::MidiDeviceInfo& port)
                                                                           { return midiPorts->placeOf (port); });
    const bool present = sighting.where == FollowedInstrument::Whereabouts::present;

    {
        const juce::ScopedLock sl (lock);

        // Followed no more meanwhile (the update ended, the user chose again).
        if (! samePort (followed.getOutput(), before))
            return sighting;

        followed = located;
        presentInGeneration = present ? listsGeneration : 0;
    }

    if (present && ! samePort (sighting.output, before))
    {
        sighting.movedFrom = before;
        logLine (describe (before) + " is at [" + sighting.output.name + "] (" + sighting.output.identifier + ") now, at "
                 + located.getLocation());
    }

    // Without a place its lock is named after its port, which the system may give another
    // instrument now (a bench neighbour's, restarting too): held on, it would keep that instrument
    // from its own updater. The name guard covers it meanwhile, and the port it comes back on is
    // claimed when it answers.
    if (! present && located.getLocation().isEmpty())
    {
        auto portLocks = getLocks();

        if (portLocks->isEnabled() && portLocks->holds (before.identifier))
        {
            portLocks->release (before.identifier);
            logLine (describe (before) + " is gone: its lock is let go until it answers again");
        }
    }

    return sighting;
}

std::optional<juce::MidiDeviceInfo> PortAccess::followedOutput (const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    const auto sighting = locate (outputs);

    if (! sighting)
        return std::nullopt;

    if (sighting->where != FollowedInstrument::Whereabouts::present)
        return juce::MidiDeviceInfo();

    return sighting->output;
}

void PortAccess::foundAt (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    const auto place = getPorts()->placeOf (output);

    {
        const juce::ScopedLock sl (lock);
        followed.follow (output, place, outputs);
        presentInGeneration = 0;
    }

    // The lock of the port it left goes: that port may be another instrument's by now.
    getLocks()->releaseAllBut (lockKeyOf (output));
    ambiguous = false;
    guardName (output);
}

bool PortAccess::mayBeTheUpdatedInstrument (const juce::MidiDeviceInfo& output, bool fromBootloader)
{
    if (fromBootloader || ! imageIncomplete.load() || ! isFollowing())
        return true;

    tellOnce ("running " + output.identifier, describe (output) + " answers from running firmware, which the instrument being"
                                              " updated cannot do before its whole image has arrived: it is another instrument");
    return false;
}

//==============================================================================
void PortAccess::guardName (const juce::MidiDeviceInfo& output)
{
    // Only where the instrument has no place that survives its restarts, and only on a system
    // where other programs (other updaters) share the ports.
    if (! getLocks()->isEnabled() || getPorts()->placeOf (output).isNotEmpty())
        return;

    {
        const juce::ScopedLock sl (lock);

        if (guardedNames.contains (output.name))
            return;

        guardedNames.add (output.name);
    }

    juce::String error;

    if (! NameGuard::hold (output.name, error))
        logLine ("MIDI output [" + output.name + "]: other updaters cannot be told that it is being updated: " + error);
}

void PortAccess::unguardNames()
{
    juce::StringArray names;

    {
        const juce::ScopedLock sl (lock);
        names.swapWith (guardedNames);
    }

    for (auto& name : names)
        NameGuard::release (name);
}

bool PortAccess::isGuardedElsewhere (const juce::MidiDeviceInfo& output)
{
    return getLocks()->isEnabled() && getPorts()->placeOf (output).isEmpty() && NameGuard::isHeldElsewhere (output.name);
}

//==============================================================================
void PortAccess::releasePorts()
{
    std::shared_ptr<PortLocks> held;

    {
        const juce::ScopedLock sl (lock);
        held = locks;
    }

    if (held != nullptr)
        held->releaseAllBut ({});

    unguardNames();
}

void PortAccess::reset()
{
    {
        const juce::ScopedLock sl (lock);
        followed.clear();
        restricted = false;
        presentInGeneration = 0;
        told.clear();
        heldElsewhere.clear();
    }

    ambiguous = false;
    imageIncomplete = false;
    releasePorts();
}

void PortAccess::closeIdlePorts()
{
    std::shared_ptr<MidiPorts> open;

    {
        const juce::ScopedLock sl (lock);
        open = ports;
    }

    if (open != nullptr)
        open->closeIdlePorts();
}

juce::StringArray PortAccess::getPortsHeldElsewhere() const
{
    const juce::ScopedLock sl (lock);
    return heldElsewhere;
}

void PortAccess::tellOnce (const juce::String& key, const juce::String& line, bool isHeldElsewhere)
{
    {
        const juce::ScopedLock sl (lock);

        if (isHeldElsewhere)
            heldElsewhere.addIfNotAlreadyThere (key);

        if (told.contains (key))
            return;

        told.add (key);
    }

    logLine (line);
}

void PortAccess::logRefusal (const juce::String& outputName, const juce::Result& sent)
{
    if (sent.failed())
        logLine ("MIDI output [" + outputName + "] refused the request: " + sent.getErrorMessage());
}

void PortAccess::tellRefused (const juce::MidiDeviceInfo& output, PortLocks::Outcome outcome, const juce::String& error)
{
    if (outcome == PortLocks::Outcome::held)
        tellOnce (output.identifier, describe (output) + " is in use by another updater or program (its locks: "
                                     + getLocks()->describe (lockKeyOf (output)) + "): nothing is sent to it", true);
    else if (outcome == PortLocks::Outcome::unavailable)
        tellOnce ("unlockable " + output.identifier, describe (output) + " cannot be locked, so other updaters cannot be"
                                                     " kept away from it; it is used without its lock: " + error);
    else if (outcome == PortLocks::Outcome::failed)
        tellOnce (output.identifier, describe (output) + " cannot be locked, so nothing is sent to it: " + error);
}
