#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_devices/juce_audio_devices.h>

#include <cstdint>
#include <memory>

/** Receives complete MIDI messages from an open input port.
    Called on a thread of the port backend's own (never the thread that opened the port). */
class MidiPortReceiver
{
public:
    virtual ~MidiPortReceiver() = default;

    /** sourceName is the name of the input port the message arrived on. */
    virtual void handleIncomingMidiMessage (const juce::String& sourceName, const juce::MidiMessage& message) = 0;
};

/** An opened MIDI input. Deleting it stops and closes it. */
class MidiInputPort
{
public:
    virtual ~MidiInputPort() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

/** An opened MIDI output. Deleting it closes it. Any one thread may send on it at a time. */
class MidiOutputPort
{
public:
    virtual ~MidiOutputPort() = default;

    /** Sends one message (or one raw block of bytes wrapped in a MidiMessage) at once.
        Fails, with the reason as its text, when the system did not take the bytes: nothing of a
        failed send may be counted as sent. */
    [[nodiscard]] virtual juce::Result sendMessageNow (const juce::MidiMessage& message) = 0;

    /** Says that the messages that follow carry a firmware image of that many bytes. A real
        port has no use for it; a simulated instrument takes its fault shares (a cable pulled
        part-way) of it, since the image itself says its length nowhere before its end. */
    virtual void announceImage (size_t totalBytes) { juce::ignoreUnused (totalBytes); }
};

/** The seam between the updater and the platform's MIDI service: ordered port names per
    direction and opening by position. JuceMidiPorts talks to the real devices;
    VirtualMidiPorts is a software bus for simulated instruments.

    All functions may be called from any thread. Opening is done wherever it is called; the
    selector moves opens from worker threads onto the message thread itself.
*/
class MidiPorts
{
public:
    virtual ~MidiPorts() = default;

    virtual juce::StringArray getInputNames() = 0;
    virtual juce::StringArray getOutputNames() = 0;

    /** The same lists with each port's identifier: stable while the port exists, and different for
        two ports of the same name (ALSA "client:port" on Linux, the framework's identifier
        elsewhere). Ports without identifiers of their own (a software bus) use their names. */
    virtual juce::Array<juce::MidiDeviceInfo> getInputDevices()  { return withNamesAsIdentifiers (getInputNames()); }
    virtual juce::Array<juce::MidiDeviceInfo> getOutputDevices() { return withNamesAsIdentifiers (getOutputNames()); }

    /** True when other programs may send to these ports too (the system's MIDI service): then an
        updater takes a port's lock before it sends anything there. A software bus of this
        process's own needs none. */
    virtual bool areSharedWithOtherPrograms() const { return false; }

    /** Whether an input and an output may belong to one instrument (on Linux: one ALSA client).
        True where the ports do not tell. */
    virtual bool belongTogether (const juce::MidiDeviceInfo& input, const juce::MidiDeviceInfo& output) const
    {
        juce::ignoreUnused (input, output);
        return true;
    }

    /** Where the port's device is plugged in, in a form that survives its restarts: on Linux the
        USB path of a USB device's sound card ("usb-0000:00:14.0-2", from the card's long name),
        which stays the same when the instrument comes back from its bootloader under another
        name and another client number. Empty where the system does not tell (virtual ports, a
        software bus, other systems). */
    virtual juce::String locationOf (const juce::MidiDeviceInfo& port)
    {
        juce::ignoreUnused (port);
        return {};
    }

    /** What identifies the port's device through its restarts, for following it and naming its
        lock: its USB location where the system tells one (locationOf). A program's client does
        not qualify: the framework gives up its client with its last port, and the program's
        device comes back as another client, maybe under the number another device had. */
    virtual juce::String placeOf (const juce::MidiDeviceInfo& port) { return locationOf (port); }

    /** A number that changes whenever the port lists, or what placeOf() says of their ports, may
        have changed: when it is the same before one reading of a list and after another, both
        readings gave the same lists. Lets a caller that checks the lists every few milliseconds
        skip work that depends on them alone. 0 where the backend cannot tell: every reading may
        differ. Any thread. */
    virtual std::uint64_t getListsGeneration() { return 0; }

    static juce::Array<juce::MidiDeviceInfo> withNamesAsIdentifiers (const juce::StringArray& names)
    {
        juce::Array<juce::MidiDeviceInfo> devices;

        for (auto& name : names)
            devices.add ({ name, name });

        return devices;
    }

    /** Opens the input at that position of getInputNames(); nullptr if it cannot be opened.
        The receiver must outlive the returned port. The port is not started. */
    virtual std::unique_ptr<MidiInputPort> openInput (int index, MidiPortReceiver& receiver) = 0;

    /** Opens the output at that position of getOutputNames(); nullptr if it cannot be opened. */
    virtual std::unique_ptr<MidiOutputPort> openOutput (int index) = 0;

    /** Opens exactly that input (one of getInputDevices()), wherever it is listed now; nullptr when
        it is not listed any more (see openOutputDevice). The port is not started. */
    virtual std::unique_ptr<MidiInputPort> openInputDevice (const juce::MidiDeviceInfo& device, MidiPortReceiver& receiver)
    {
        const auto inputs = getInputDevices();

        for (int i = 0; i < inputs.size(); ++i)
            if (inputs.getReference (i) == device)
                return openInput (i, receiver);

        return nullptr;
    }

    /** Opens exactly that output (one of getOutputDevices()), wherever it is listed now; nullptr
        when it is not listed any more. A position read from an earlier list can name another port
        by the time it is opened, when ports came and went meanwhile: what is sent must never reach
        an instrument that was not the one chosen (another updater's, in the middle of its image). */
    virtual std::unique_ptr<MidiOutputPort> openOutputDevice (const juce::MidiDeviceInfo& device)
    {
        const auto outputs = getOutputDevices();

        for (int i = 0; i < outputs.size(); ++i)
            if (outputs.getReference (i) == device)
                return openOutput (i);

        return nullptr;
    }

    /** Closes the ports that are kept open for reuse after their users let go of them (where a
        backend keeps any). Call before the program ends, after the engine has stopped. */
    virtual void closeIdlePorts() {}

    /** The ports of the platform's own MIDI service. Defined by the platform backend
        (native/JuceMidiPorts.cpp), so that code above the seam never includes a backend. */
    static std::shared_ptr<MidiPorts> makeSystemPorts();
};
