#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <functional>

/** The instrument an updater talks to, followed through its restarts.

    A USB instrument that restarts (into its bootloader, after an erase, with new firmware) loses
    its ports and gets new ones, often under another name and another client number, sometimes
    the number another instrument had. So it is followed by what survives a restart, never by a
    list position or a number alone:

    - where the system tells where a port's device is plugged in (its USB location), by that
      location: a port at the same location is the same instrument, whatever its name; a
      (see MidiPorts::placeOf);
    - elsewhere, by elimination: a port that was listed while the instrument was still there is
      another instrument and is never followed. A port that appeared after it vanished is a
      candidate, to be taken only when it answers as the instrument; two that answer cannot be
      told apart (see MIDIPortsSelector).

    A plain value, without threads or locks of its own: its owner guards it.
*/
class FollowedInstrument final
{
public:
    using LocationOf = std::function<juce::String (const juce::MidiDeviceInfo&)>;

    /** From now on the instrument is the one on this output; outputs is the list it was found in. */
    void follow (const juce::MidiDeviceInfo& output, const juce::String& location,
                 const juce::Array<juce::MidiDeviceInfo>& outputs);

    /** Follows nothing any more. */
    void clear();

    bool isFollowing() const noexcept { return output.identifier.isNotEmpty(); }
    const juce::MidiDeviceInfo& getOutput() const noexcept { return output; }
    const juce::String& getLocation() const noexcept { return location; } // its place (MidiPorts::placeOf)

    /** What a lock on the instrument on that port is named after: its place and port number where
        known, else its port's identifier. */
    static juce::String lockKeyFor (const juce::MidiDeviceInfo& output, const juce::String& location);

    enum class Whereabouts
    {
        present,    // on its port, or at its location on another port (output says which)
        away,       // gone, and nothing new is listed that could be it
        candidates  // gone, and these ports appeared since: one of them may be it
    };

    struct Sighting
    {
        Whereabouts where = Whereabouts::away;
        juce::MidiDeviceInfo output;                   // present: its port now
        juce::Array<juce::MidiDeviceInfo> candidates;  // candidates: the ports that appeared since it vanished
    };

    /** Looks for the instrument in the current output list. A port found at its location becomes
        its port. */
    Sighting locate (const juce::Array<juce::MidiDeviceInfo>& outputs, const LocationOf& locationOf);

    static juce::String portNumberOf (const juce::MidiDeviceInfo& port);
    static bool isUsbLocation (const juce::String& place);

private:
    static bool samePort (const juce::MidiDeviceInfo& a, const juce::MidiDeviceInfo& b)
    {
        return a.identifier == b.identifier && a.name == b.name;
    }

    bool wasListedWithIt (const juce::MidiDeviceInfo& port) const;

    juce::MidiDeviceInfo output;
    juce::String location;
    juce::Array<juce::MidiDeviceInfo> others; // listed while it was there: other instruments
    juce::uint32 awaySince = 0;                // ms counter when it was first seen away; 0 while present

    static constexpr juce::uint32 otherNamesAfterMs = 2500;
};
