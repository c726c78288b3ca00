#include "FollowedInstrument.h"

void FollowedInstrument::follow (const juce::MidiDeviceInfo& newOutput, const juce::String& newLocation,
                                 const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    output = newOutput;
    location = newLocation;
    others.clearQuick();

    for (auto& port : outputs)
        if (! samePort (port, output))
            others.add (port);
}

void FollowedInstrument::clear()
{
    output = {};
    location = {};
    others.clearQuick();
}

juce::String FollowedInstrument::lockKey() const
{
    return lockKeyFor (output, location);
}

juce::String FollowedInstrument::lockKeyFor (const juce::MidiDeviceInfo& port, const juce::String& portLocation)
{
    return portLocation.isNotEmpty() ? portLocation : port.identifier;
}

bool FollowedInstrument::wasListedWithIt (const juce::MidiDeviceInfo& port) const
{
    return std::any_of (others.begin(), others.end(), [&port] (const juce::MidiDeviceInfo& other) { return samePort (other, port); });
}

FollowedInstrument::Sighting FollowedInstrument::locate (const juce::Array<juce::MidiDeviceInfo>& outputs,
                                                          const LocationOf& locationOf)
{
    Sighting sighting;

    if (! isFollowing())
        return sighting;

    if (location.isNotEmpty())
    {
        // Its location decides: the same port if it is still there, else the one of its name,
        // else the first port there (a bootloader may name its port otherwise).
        int best = -1, bestScore = -1;

        for (int i = 0; i < outputs.size(); ++i)
        {
            const auto& port = outputs.getReference (i);

            if (locationOf (port) != location)
                continue;

            const auto score = samePort (port, output) ? 2 : (port.name == output.name ? 1 : 0);

            if (score > bestScore)
            {
                best = i;
                bestScore = score;
            }
        }

        if (best >= 0)
        {
            follow (outputs[best], location, outputs);
            sighting.where = Whereabouts::present;
            sighting.output = output;
        }

        return sighting;
    }

    for (auto& port : outputs)
    {
        if (samePort (port, output))
        {
            follow (port, location, outputs);
            sighting.where = Whereabouts::present;
            sighting.output = output;
            return sighting;
        }
    }

    // Away. What was listed with it and has gone since may come back, as a new port.
    others.removeIf ([&outputs] (const juce::MidiDeviceInfo& other)
    {
        return std::none_of (outputs.begin(), outputs.end(), [&other] (const juce::MidiDeviceInfo& port) { return samePort (port, other); });
    });

    for (auto& port : outputs)
        if (! wasListedWithIt (port))
            sighting.candidates.add (port);

    sighting.where = sighting.candidates.isEmpty() ? Whereabouts::away : Whereabouts::candidates;
    return sighting;
}

void FollowedInstrument::foundAt (const juce::MidiDeviceInfo& newOutput, const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    follow (newOutput, location, outputs);
}
