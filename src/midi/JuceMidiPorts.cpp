#include "JuceMidiPorts.h"

#include <juce_audio_devices/juce_audio_devices.h>

#if JUCE_LINUX
 #include <alsa/asoundlib.h>
 #include <unistd.h>
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

    class JuceOutputPort final : public MidiOutputPort
    {
    public:
        explicit JuceOutputPort (std::unique_ptr<juce::MidiOutput> outputToUse) : output (std::move (outputToUse)) {}

        void sendMessageNow (const juce::MidiMessage& message) override { output->sendMessageNow (message); }

    private:
        std::unique_ptr<juce::MidiOutput> output;
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
    // The port lists are read ten times a second while no instrument answers. Without the
    // sequencer's device node there are no ports at all, and asking the framework would open
    // (and fail to open) the sequencer once per list: a stat is all it takes to know.
    bool mayHaveMidiPorts()
    {
       #if JUCE_LINUX
        return access ("/dev/snd/seq", F_OK) == 0;
       #else
        return true;
       #endif
    }
}

JuceMidiPorts::JuceMidiPorts()
{
   #if JUCE_LINUX
    snd_lib_error_set_handler (ignoreAlsaError);
   #endif
}

juce::StringArray JuceMidiPorts::getInputNames()
{
    if (! mayHaveMidiPorts())
        return {};

    return namesOf (juce::MidiInput::getAvailableDevices());
}

juce::StringArray JuceMidiPorts::getOutputNames()
{
    if (! mayHaveMidiPorts())
        return {};

    return namesOf (juce::MidiOutput::getAvailableDevices());
}

std::unique_ptr<MidiInputPort> JuceMidiPorts::openInput (int index, MidiPortReceiver& receiver)
{
    const auto devices = juce::MidiInput::getAvailableDevices();

    if (! juce::isPositiveAndBelow (index, devices.size()))
        return nullptr;

    auto port = std::make_unique<JuceInputPort> (receiver);

    if (! port->open (devices.getReference (index).identifier))
        return nullptr;

    return port;
}

std::unique_ptr<MidiOutputPort> JuceMidiPorts::openOutput (int index)
{
    const auto devices = juce::MidiOutput::getAvailableDevices();

    if (! juce::isPositiveAndBelow (index, devices.size()))
        return nullptr;

    if (auto output = juce::MidiOutput::openDevice (devices.getReference (index).identifier))
        return std::make_unique<JuceOutputPort> (std::move (output));

    return nullptr;
}
