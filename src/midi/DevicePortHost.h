#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

/** Where a simulated device's MIDI ports live: the software bus of the tests and the demo mode
    (VirtualMidiPorts), or the operating system's MIDI service (SystemVirtualPorts). A device
    plugs in a pair of ports, talks to the updater through them, and pulls them out again as a
    USB instrument does when it restarts.

    Names are seen from the updater: the input is where the device's messages arrive, the output
    is where the updater's messages to the device go.
*/
class DevicePortHost
{
public:
    /** A device attached to the host. */
    class Device
    {
    public:
        virtual ~Device() = default;

        /** Bytes the updater sent to this device (possibly a raw slice of a SysEx stream). Called
            on a thread of the host's choosing (the software bus: the sending thread). */
        virtual void receivedFromUpdater (const juce::MidiMessage& message) = 0;

        /** The updater announced an image of that many bytes on this device's output (see
            MidiOutputPort::announceImage). Only the software bus can tell. */
        virtual void imageAnnounced (size_t totalBytes) { juce::ignoreUnused (totalBytes); }
    };

    using PlugId = int;

    virtual ~DevicePortHost() = default;

    /** Plugs in an input named inputName and an output named outputName (an empty name: no port
        in that direction). position -1 appends; a host that cannot place ports ignores it. device
        may be null (an output that goes nowhere) and must outlive the plug. Returns the plug's id,
        0 when the ports could not be made. */
    virtual PlugId plugIn (const juce::String& inputName, const juce::String& outputName, Device* device,
                           int inputPosition = -1, int outputPosition = -1) = 0;

    /** The ports of that plug vanish. Waits for a call into its device that runs on another
        thread; may be called from inside that call. Unknown or already pulled ids are ignored. */
    virtual void pullOut (PlugId plug) = 0;

    virtual bool isPluggedIn (PlugId plug) const = 0;

    /** A message from the device to the updater, delivered on a thread of the host's own. Dropped
        if the plug is pulled out before delivery. */
    virtual void sendToUpdater (PlugId plug, const juce::MidiMessage& message) = 0;
};
