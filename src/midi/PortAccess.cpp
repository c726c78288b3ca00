#include "PortAccess.h"

#include "FollowedInstrument.h"
#include "PollThread.h"
#include "../base/AppLog.h"
#include "../base/NameGuard.h"

void PortAccess::setPorts (std::shared_ptr<MidiPorts> newPorts)
{
    auto newLocks = std::make_shared<PortLocks> (newPorts != nullptr && newPorts->areSharedWithOtherPrograms());

    {
        const juce::ScopedLock sl (lock);
        std::swap (ports, newPorts);
        std::swap (locks, newLocks);
    }

    // The ports replaced may end here, and a software bus waits for its delivery thread, which
    // hands replies to the selector: never under this lock.
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

PortLocks::Outcome PortAccess::claimOutput (const juce::MidiDeviceInfo& output, juce::String& error)
{
    const auto outcome = getLocks()->claim (lockKeyOf (output), error,
                                            [] { return PollThread::stopRequested() || PollThread::applicationIsQuitting(); });

    if (outcome == PortLocks::Outcome::granted)
        guardName (output);

    return outcome;
}

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

void PortAccess::forgetToldPorts()
{
    const juce::ScopedLock sl (lock);
    told.clear();
    heldElsewhere.clear();
}

void PortAccess::tellOnce (const juce::String& identifier, const juce::String& line, bool isHeldElsewhere)
{
    {
        const juce::ScopedLock sl (lock);

        if (isHeldElsewhere)
            heldElsewhere.addIfNotAlreadyThere (identifier);

        if (told.contains (identifier))
            return;

        told.add (identifier);
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
    const auto port = "MIDI output [" + output.name + "] (" + output.identifier + ")";

    if (outcome == PortLocks::Outcome::held)
        tellOnce (output.identifier, port + " is in use by another updater or program (its locks: " + getLocks()->describe (lockKeyOf (output)) + "): nothing is sent to it", true);
    else if (outcome == PortLocks::Outcome::failed)
        tellOnce (output.identifier, port + " cannot be locked, so nothing is sent to it: " + error, false);
}

bool PortAccess::mayTalkTo (const juce::MidiDeviceInfo& output, bool scanning, bool candidate)
{
    auto portLocks = getLocks();
    const auto key = lockKeyOf (output);

    if (portLocks->holds (key))
        return true;

    juce::String error;
    const auto outcome = scanning ? portLocks->ask (key, error) : claimOutput (output, error);

    if (outcome == PortLocks::Outcome::granted)
    {
        // A scan leaves alone an instrument of a name that another updater is updating: without
        // a place that survives restarts, it may be that one, away for a moment and back as a
        // new port.
        if (scanning && ! candidate && isGuardedElsewhere (output))
        {
            portLocks->release (key);
            tellOnce (output.identifier, "MIDI output [" + output.name + "] (" + output.identifier + ") may be the instrument that"
                                         " another updater is updating (one of this name is away, restarting): nothing is sent to it", true);
            return false;
        }

        return true;
    }

    // A claim given up because of a stop is no refusal worth a line.
    if (outcome == PortLocks::Outcome::held || ! PollThread::stopRequested())
        tellRefused (output, outcome, error);

    return false;
}

PortLocks::Outcome PortAccess::probeOutput (const juce::MidiDeviceInfo& output, juce::String& error)
{
    auto portLocks = getLocks();
    const auto key = lockKeyOf (output);

    if (portLocks->holds (key))
        return PortLocks::Outcome::granted;

    const auto outcome = portLocks->ask (key, error);

    if (outcome == PortLocks::Outcome::granted)
        portLocks->release (key);

    return outcome;
}

bool PortAccess::mayHearInput (const juce::MidiDeviceInfo& input, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    // Replies that another updater's instrument sends to it must not be taken for an answer here:
    // the inputs of an instrument whose output is held elsewhere are not opened.
    if (! getLocks()->isEnabled())
        return true;

    auto midiPorts = getPorts();

    for (auto& output : outputs)
    {
        if (! midiPorts->belongTogether (input, output))
            continue;

        juce::String error;
        const auto outcome = probeOutput (output, error);
        tellRefused (output, outcome, error);

        if (outcome != PortLocks::Outcome::granted || isGuardedElsewhere (output))
            return false;
    }

    return true;
}
