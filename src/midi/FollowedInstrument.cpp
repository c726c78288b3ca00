#include "FollowedInstrument.h"

void FollowedInstrument::follow (const juce::MidiDeviceInfo& newOutput, const juce::String& newLocation,
                                 const juce::Array<juce::MidiDeviceInfo>& outputs)
{
    awaySince = 0;
    output = newOutput;
    location = newLocation;
    others.clearQuick();

    for (auto& port : outputs)
        if (! samePort (port, output))
            others.add (port);
}

void FollowedInstrument::clear()
{
    awaySince = 0;
    output = {};
    location = {};
    others.clearQuick();
}

juce::String FollowedInstrument::lockKeyFor (const juce::MidiDeviceInfo& port, const juce::String& portLocation)
{
    // A device may have several ports (an interface with an instrument on each): its place and
    // the port's number within it.
    return portLocation.isNotEmpty() ? portLocation + "-" + portNumberOf (port) : port.identifier;
}

juce::String FollowedInstrument::portNumberOf (const juce::MidiDeviceInfo& port)
{
    const auto number = port.identifier.fromLastOccurrenceOf (port.identifier.containsChar (':') ? ":" : "-", false, false);
    return number.isNotEmpty() && number.length() <= 5 && number.containsOnly ("0123456789") ? number : juce::String ("0");
}

bool FollowedInstrument::isUsbLocation (const juce::String& place)
{
    return place.startsWith ("usb-");
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
        // Its place decides: the same port if it is still there, else the one of its number
        // there, else of its name, else the first port there (a bootloader may name its port
        // otherwise).
        int best = -1, bestScore = -1;

        for (int i = 0; i < outputs.size(); ++i)
        {
            const auto& port = outputs.getReference (i);

            if (locationOf (port) != location)
                continue;

            const auto score = samePort (port, output) ? 3
                             : portNumberOf (port) == portNumberOf (output) ? 2
                             : port.name == output.name ? 1 : 0;

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
            return sighting;
        }

        // A USB location is where it is plugged in: nothing else is it. A program's device that
        // comes back as another client is looked for as below.
        if (isUsbLocation (location))
            return sighting;
    }

    // Its own port, unless it has been seen away since it was last found: a port listed under its
    // old number and name after that may be another instrument that the system numbered so, and
    // is asked as the other ports that appeared since are.
    for (auto& port : outputs)
    {
        if (samePort (port, output) && awaySince == 0)
        {
            follow (port, location, outputs);
            sighting.where = Whereabouts::present;
            sighting.output = output;
            return sighting;
        }
    }

    // Away. A port that was listed with it stays another instrument's, also when it vanishes and
    // comes back meanwhile (instruments restart together on a bench, and a system gives a port
    // back its old number): only a port never seen beside it may be it. One of its own name is
    // asked first; one of another name (a bootloader may call itself otherwise) only once it has
    // been away a while, so that beside instruments restarting together it does not take the
    // first of the others to come back for itself.
    const auto now = juce::Time::getMillisecondCounter();

    if (awaySince == 0)
        awaySince = juce::jmax (1u, now);

    juce::Array<juce::MidiDeviceInfo> ofItsName, ofOtherNames;

    for (auto& port : outputs)
        if (! wasListedWithIt (port))
            (port.name == output.name ? ofItsName : ofOtherNames).add (port);

    if (! ofItsName.isEmpty())
        sighting.candidates = ofItsName;
    else if (now - awaySince >= otherNamesAfterMs)
        sighting.candidates = ofOtherNames;

    sighting.where = sighting.candidates.isEmpty() ? Whereabouts::away : Whereabouts::candidates;
    return sighting;
}
