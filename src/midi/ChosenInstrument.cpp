#include "ChosenInstrument.h"

#include "PortAccess.h"
#include "../base/AppLog.h"

const juce::String ChosenInstrument::autoName ("Auto");

ChosenInstrument::ChosenInstrument (PortAccess& portAccess) : access (portAccess) {}

ChosenInstrument::PortChoice ChosenInstrument::getInput() const
{
    const juce::ScopedLock sl (lock);
    return input;
}

ChosenInstrument::PortChoice ChosenInstrument::getOutput() const
{
    const juce::ScopedLock sl (lock);
    return output;
}

void ChosenInstrument::setInput (int index, const juce::String& name)
{
    const juce::ScopedLock sl (lock);
    input = { index, name, {} };
}

void ChosenInstrument::setOutput (int index, const juce::String& name, const juce::String& identifier)
{
    const juce::ScopedLock sl (lock);
    output = { index, name, identifier };
}

void ChosenInstrument::reset()
{
    {
        const juce::ScopedLock sl (lock);
        input = { -1, autoName, {} };
        output = { -1, autoName, {} };
        followed.clear();
        restricted = false;
        asking = {};
        presentInGeneration = 0;
    }

    ambiguous = false;
}

void ChosenInstrument::restrictToOutput (const juce::String& identifier)
{
    auto ports = access.getPorts();
    const auto outputs = ports->getOutputDevices();
    juce::MidiDeviceInfo only;

    for (auto& port : outputs)
        if (port.identifier == identifier)
            only = port;

    const auto location = only.identifier.isNotEmpty() ? ports->placeOf (only) : juce::String();
    const juce::ScopedLock sl (lock);
    restricted = only.identifier.isNotEmpty();
    presentInGeneration = 0;

    if (restricted)
        followed.follow (only, location, outputs);
    else
        followed.clear();
}

void ChosenInstrument::startFollowing (const juce::MidiDeviceInfo& port, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    const auto location = access.getPorts()->placeOf (port);
    const juce::ScopedLock sl (lock);

    // Under restrictToOutput the instrument is already followed, and nothing else ever is.
    if (! restricted || followed.lockKey() == FollowedInstrument::lockKeyFor (port, location))
    {
        followed.follow (port, location, outputs);
        presentInGeneration = 0;
    }
}

void ChosenInstrument::stopFollowingUnlessRestricted()
{
    {
        const juce::ScopedLock sl (lock);

        if (restricted)
            return;

        followed.clear();
        presentInGeneration = 0;
        ambiguous = false;
    }

    access.unguardNames();
}

juce::MidiDeviceInfo ChosenInstrument::lastSeenOutput() const
{
    const juce::ScopedLock sl (lock);
    return followed.getOutput();
}

int ChosenInstrument::inputBelongingTo (const juce::MidiDeviceInfo& port, const juce::Array<juce::MidiDeviceInfo>& inputs)
{
    // The chosen input if it still belongs with the output, else one of the output's name, else
    // the first that belongs with it (a name may be on several ports).
    auto ports = access.getPorts();
    const auto chosen = getInput();
    int position = -1;

    for (int i = 0; i < inputs.size(); ++i)
    {
        const auto& candidate = inputs.getReference (i);

        if (! ports->belongTogether (candidate, port))
            continue;

        if (candidate.identifier == chosen.identifier && candidate.name == chosen.name)
            return i;

        if (position < 0 || (candidate.name == port.name && inputs[position].name != port.name))
            position = i;
    }

    return position;
}

std::optional<FollowedInstrument::Sighting> ChosenInstrument::locate (const juce::Array<juce::MidiDeviceInfo>& outputs,
                                                                      std::uint64_t listsGeneration)
{
    FollowedInstrument located;

    {
        const juce::ScopedLock sl (lock);

        if (! followed.isFollowing())
            return std::nullopt;

        // The same lists as when it was last found present there: it still is, and the ports
        // beside it are those already seen (the port check between packets asks every few ms).
        if (listsGeneration != 0 && listsGeneration == presentInGeneration)
        {
            FollowedInstrument::Sighting unchanged;
            unchanged.where = FollowedInstrument::Whereabouts::present;
            unchanged.output = followed.getOutput();
            return unchanged;
        }

        located = followed;
    }

    auto ports = access.getPorts();
    const auto before = located.getOutput();
    const auto sighting = located.locate (outputs, [&ports] (const juce::MidiDeviceInfo& port) { return ports->placeOf (port); });
    const bool present = sighting.where == FollowedInstrument::Whereabouts::present;
    const bool moved = present && ! samePort (sighting.output, before);

    {
        const juce::ScopedLock sl (lock);

        // The user may have chosen other ports meanwhile: then this one is followed no more.
        if (! samePort (followed.getOutput(), before))
            return sighting;

        followed = located;
        presentInGeneration = present ? listsGeneration : 0;

        if (moved && output.identifier == before.identifier && output.name == before.name)
            output = { outputs.indexOf (sighting.output), sighting.output.name, sighting.output.identifier };
    }

    if (moved)
    {
        const auto inputs = ports->getInputDevices();
        const auto inputAt = inputBelongingTo (sighting.output, inputs);

        {
            const juce::ScopedLock sl (lock);

            if (input.name != autoName && inputAt >= 0)
                input = { inputAt, inputs[inputAt].name, inputs[inputAt].identifier };
        }

        logLine ("MIDI output [" + before.name + "] (" + before.identifier + ") is at [" + sighting.output.name + "] ("
                 + sighting.output.identifier + ") now, at " + located.getLocation());
    }

    // Without a location its lock is named after its port, which the system may give another
    // instrument now: it is let go, and the port it comes back on is claimed when it answers.
    if (! present && located.getLocation().isEmpty())
    {
        auto locks = access.getLocks();

        if (locks->holds (before.identifier))
        {
            locks->release (before.identifier);
            logLine ("MIDI output [" + before.name + "] (" + before.identifier + ") is gone: let go");
        }
    }

    return sighting;
}

std::optional<juce::MidiDeviceInfo> ChosenInstrument::followedOutput (const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    const auto sighting = locate (outputs);

    if (! sighting)
        return std::nullopt;

    if (sighting->where != FollowedInstrument::Whereabouts::present || ambiguous.load())
        return juce::MidiDeviceInfo();

    return sighting->output;
}

void ChosenInstrument::foundAt (const juce::MidiDeviceInfo& port, const juce::String& place,
                                const juce::Array<juce::MidiDeviceInfo>& outputs, const juce::Array<juce::MidiDeviceInfo>& inputs)
{
    const auto inputAt = inputBelongingTo (port, inputs);
    const juce::ScopedLock sl (lock);
    followed.foundAt (port, place, outputs);
    presentInGeneration = 0;

    if (output.name != autoName)
        output = { outputs.indexOf (port), port.name, port.identifier };

    if (input.name != autoName && inputAt >= 0)
        input = { inputAt, inputs[inputAt].name, inputs[inputAt].identifier };
}

void ChosenInstrument::setAsking (const juce::MidiDeviceInfo& port)
{
    const juce::ScopedLock sl (lock);
    asking = port;
}

void ChosenInstrument::pickInput (const juce::String& sourceName)
{
    if (getInput().index != -1)
        return;

    auto ports = access.getPorts();
    const auto inputs = ports->getInputDevices();
    juce::MidiDeviceInfo asked;

    {
        const juce::ScopedLock sl (lock);
        asked = asking;
    }

    // Two instruments of one model have inputs of one name: the one that belongs with the output
    // asked is theirs.
    int index = -1;

    for (int i = 0; i < inputs.size() && index < 0; ++i)
        if (inputs[i].name == sourceName && (asked.identifier.isEmpty() || ports->belongTogether (inputs[i], asked)))
            index = i;

    // A source that is no longer listed cannot be chosen by position: storing position -1 with
    // an empty name would leave a choice that is neither Auto nor a port. The choice stays Auto.
    if (index < 0)
        return;

    {
        // The user may have chosen an input since the check above; that choice wins.
        const juce::ScopedLock sl (lock);

        if (input.index != -1)
            return;

        input = { index, inputs[index].name, inputs[index].identifier };
    }

    logLine ("Select MIDI input " + juce::String (index) + " : [" + inputs[index].name + "]");
}

void ChosenInstrument::renameInputIfUnchanged (const PortChoice& before, const juce::String& name)
{
    const juce::ScopedLock sl (lock);

    if (input.index == before.index && input.name == before.name)
        input.name = name;
}

void ChosenInstrument::moveChosenInput (int position, const juce::Array<juce::MidiDeviceInfo>& inputs)
{
    const juce::ScopedLock sl (lock);

    if (input.name != autoName)
        input = { position, inputs[position].name, inputs[position].identifier };
}

bool ChosenInstrument::wouldTake (const juce::String& outputName) const
{
    const juce::ScopedLock sl (lock);
    return output.name == autoName || output.name == outputName;
}

void ChosenInstrument::takeOutput (int position, const juce::String& name, const juce::String& identifier)
{
    const juce::ScopedLock sl (lock);

    if (output.name == autoName || output.name == name)
        output = { position, name, identifier };
}

void ChosenInstrument::followPositions (const PortChoice& in, int inputAt, const PortChoice& out, int outputAt)
{
    const juce::ScopedLock sl (lock);

    if (input.index == in.index && input.name == in.name && input.identifier == in.identifier)
        input.index = inputAt;

    if (output.index == out.index && output.name == out.name && output.identifier == out.identifier)
        output.index = outputAt;
}
