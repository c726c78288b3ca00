#include "JuceMidiPorts.h"

#include "AlsaSysexStream.h"
#include "../app/AppLog.h"

#include <juce_audio_devices/juce_audio_devices.h>

#if JUCE_LINUX
 #include <alsa/asoundlib.h>
#endif

namespace
{
    juce::StringArray namesOf (const juce::Array<juce::MidiDeviceInfo>& devices)
    {
        juce::StringArray names;

        for (const auto& device : devices)
            names.add (device.name);

        return names;
    }

    class JuceInputPort final : public MidiInputPort,
                                private juce::MidiInputCallback
    {
    public:
        explicit JuceInputPort (MidiPortReceiver& receiverToUse) : receiver (receiverToUse) {}

        ~JuceInputPort() override
        {
            // The device is closed before this callback object goes away, so that the
            // framework's input thread never calls into a half-destroyed port.
            input.reset();
        }

        bool open (const juce::String& identifier)
        {
            input = juce::MidiInput::openDevice (identifier, this);
            return input != nullptr;
        }

        void start() override { input->start(); }
        void stop() override  { input->stop(); }

    private:
        void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override
        {
            receiver.handleIncomingMidiMessage (source != nullptr ? source->getName() : juce::String(), message);
        }

        MidiPortReceiver& receiver;
        std::unique_ptr<juce::MidiInput> input;
    };

   #if JUCE_LINUX
    /** True for bytes that make one whole MIDI message; false for a slice of a longer stream. */
    bool isWholeMessage (const juce::MidiMessage& message)
    {
        const auto* raw = message.getRawData();
        const auto size = message.getRawDataSize();

        if (size <= 0 || raw[0] < 0x80)
            return false;

        if (raw[0] == 0xf0)
            return size >= 2 && raw[size - 1] == 0xf7;

        return size == juce::MidiMessage::getMessageLengthFromFirstByte (raw[0]);
    }
   #endif

    class JuceOutputPort final : public MidiOutputPort
    {
    public:
        JuceOutputPort (std::unique_ptr<juce::MidiOutput> outputToUse, const juce::String& identifierToUse)
            : output (std::move (outputToUse)), identifier (identifierToUse) {}

        void sendMessageNow (const juce::MidiMessage& message) override
        {
           #if JUCE_LINUX
            // The framework's ALSA output drops a SysEx that does not end in the same call, so
            // the packets of an image go out through a stream of our own.
            if (! isWholeMessage (message))
            {
                if (sysexStream == nullptr)
                {
                    sysexStream = std::make_unique<AlsaSysexStream> (identifier);

                    if (! sysexStream->isOpen())
                        logLine ("MIDI output [" + output->getName() + "]: the sequencer refused a SysEx stream");
                }

                sysexStream->send (message.getRawData(), (size_t) message.getRawDataSize());
                return;
            }
           #endif

            output->sendMessageNow (message);
        }

    private:
        std::unique_ptr<juce::MidiOutput> output;
        const juce::String identifier;
        std::unique_ptr<AlsaSysexStream> sysexStream; // made on the first slice of a SysEx
    };
}

#if JUCE_LINUX
namespace
{
    // The port lists are read on every poll; on a machine without an ALSA sequencer each read
    // would print the library's "cannot open /dev/snd/seq" to standard error.
    void ignoreAlsaError (const char*, int, const char*, int, const char*, ...) {}
}
#endif

namespace
{
    // A machine may have no sequencer now and one later: ALSA loads its module on the first
    // open, and USB devices come and go. While it cannot be opened, the port lists are empty
    // and the open is tried again only this often (the lists are read ten times a second).
    constexpr double sequencerRetryMs = 3000.0;

    juce::MidiDeviceInfo deviceAt (const juce::Array<juce::MidiDeviceInfo>& devices, int index)
    {
        return juce::isPositiveAndBelow (index, devices.size()) ? devices.getReference (index) : juce::MidiDeviceInfo();
    }
}

JuceMidiPorts::JuceMidiPorts()
{
   #if JUCE_LINUX
    snd_lib_error_set_handler (ignoreAlsaError);
   #endif
}

bool JuceMidiPorts::sequencerAvailable()
{
   #if JUCE_LINUX
    if (sequencerSeen.load())
        return true;

    const auto now = juce::Time::getMillisecondCounterHiRes();

    if (now < nextSequencerAttempt.load())
        return false;

    if (! alsaPorts.open())
    {
        nextSequencerAttempt = now + sequencerRetryMs;
        return false;
    }

    sequencerSeen = true;
   #endif
    return true;
}

juce::Array<juce::MidiDeviceInfo> JuceMidiPorts::availableDevices (bool inputs)
{
   #if JUCE_LINUX
    return alsaPorts.list (inputs);
   #else
    return inputs ? juce::MidiInput::getAvailableDevices() : juce::MidiOutput::getAvailableDevices();
   #endif
}

juce::StringArray JuceMidiPorts::getInputNames()
{
    if (! sequencerAvailable())
        return {};

    const auto devices = availableDevices (true);
    remember (devices, true);
    return namesOf (devices);
}

juce::StringArray JuceMidiPorts::getOutputNames()
{
    if (! sequencerAvailable())
        return {};

    const auto devices = availableDevices (false);
    remember (devices, false);
    return namesOf (devices);
}

void JuceMidiPorts::remember (const juce::Array<juce::MidiDeviceInfo>& devices, bool inputs)
{
    const juce::ScopedLock sl (listLock);
    (inputs ? listedInputs : listedOutputs) = devices;
}

juce::MidiDeviceInfo JuceMidiPorts::deviceToOpen (int index, bool inputs)
{
    // Positions refer to the last list the caller read. A port that vanished since, or moved
    // away from that position, is not opened in place of another one: the open fails instead.
    const auto current = deviceAt (availableDevices (inputs), index);

    juce::MidiDeviceInfo listed;
    bool haveList;

    {
        const juce::ScopedLock sl (listLock);
        const auto& list = inputs ? listedInputs : listedOutputs;
        haveList = ! list.isEmpty();
        listed = deviceAt (list, index);
    }

    if (current.identifier.isEmpty() || (haveList && listed.name != current.name))
        return {};

    return current;
}

std::unique_ptr<MidiInputPort> JuceMidiPorts::openInput (int index, MidiPortReceiver& receiver)
{
    const auto device = deviceToOpen (index, true);

    if (device.identifier.isEmpty())
        return nullptr;

    auto port = std::make_unique<JuceInputPort> (receiver);

    if (! port->open (device.identifier))
        return nullptr;

    return port;
}

std::unique_ptr<MidiOutputPort> JuceMidiPorts::openOutput (int index)
{
    const auto device = deviceToOpen (index, false);

    if (device.identifier.isEmpty())
        return nullptr;

    if (auto output = juce::MidiOutput::openDevice (device.identifier))
        return std::make_unique<JuceOutputPort> (std::move (output), device.identifier);

    return nullptr;
}
