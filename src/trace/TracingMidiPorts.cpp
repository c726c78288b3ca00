#include "TracingMidiPorts.h"

namespace
{
    class TracingInput final : public MidiInputPort, private MidiPortReceiver
    {
    public:
        TracingInput (MidiPortReceiver& r, std::shared_ptr<MidiTraceRecorder> rec)
            : receiver (r), recorder (std::move (rec)) {}

        ~TracingInput() override { port.reset(); } // stops deliveries before the members go

        bool open (MidiPorts& ports, int index)
        {
            port = ports.openInput (index, *this);
            return port != nullptr;
        }

        bool open (MidiPorts& ports, const juce::MidiDeviceInfo& device)
        {
            port = ports.openInputDevice (device, *this);
            return port != nullptr;
        }

        void start() override { port->start(); }
        void stop() override  { port->stop(); }

    private:
        void handleIncomingMidiMessage (const juce::String& sourceName, const juce::MidiMessage& message) override
        {
            recorder->recordIn (sourceName, message);
            receiver.handleIncomingMidiMessage (sourceName, message);
        }

        MidiPortReceiver& receiver;
        const std::shared_ptr<MidiTraceRecorder> recorder;
        std::unique_ptr<MidiInputPort> port;
    };

    class TracingOutput final : public MidiOutputPort
    {
    public:
        TracingOutput (std::unique_ptr<MidiOutputPort> p, const juce::String& n, std::shared_ptr<MidiTraceRecorder> rec)
            : port (std::move (p)), name (n), recorder (std::move (rec)) {}

        juce::Result sendMessageNow (const juce::MidiMessage& message) override
        {
            recorder->recordOut (name, message);
            return port->sendMessageNow (message);
        }

        void announceImage (size_t totalBytes) override { port->announceImage (totalBytes); }

    private:
        const std::unique_ptr<MidiOutputPort> port;
        const juce::String name;
        const std::shared_ptr<MidiTraceRecorder> recorder;
    };
}

TracingMidiPorts::TracingMidiPorts (std::shared_ptr<MidiPorts> i, std::shared_ptr<MidiTraceRecorder> r)
    : inner (std::move (i)), recorder (std::move (r))
{
}

juce::StringArray TracingMidiPorts::getInputNames()
{
    const auto names = inner->getInputNames();
    noteLists (&names, nullptr);
    return names;
}

juce::StringArray TracingMidiPorts::getOutputNames()
{
    const auto names = inner->getOutputNames();
    noteLists (nullptr, &names);
    return names;
}

namespace
{
    juce::StringArray namesOf (const juce::Array<juce::MidiDeviceInfo>& devices)
    {
        juce::StringArray names;

        for (auto& device : devices)
            names.add (device.name);

        return names;
    }
}

juce::Array<juce::MidiDeviceInfo> TracingMidiPorts::getInputDevices()
{
    const auto devices = inner->getInputDevices();
    const auto names = namesOf (devices);
    noteLists (&names, nullptr);
    return devices;
}

juce::Array<juce::MidiDeviceInfo> TracingMidiPorts::getOutputDevices()
{
    const auto devices = inner->getOutputDevices();
    const auto names = namesOf (devices);
    noteLists (nullptr, &names);
    return devices;
}

void TracingMidiPorts::noteLists (const juce::StringArray* inputs, const juce::StringArray* outputs)
{
    {
        const juce::ScopedLock sl (listLock);

        if (listed && (inputs == nullptr || *inputs == lastInputs) && (outputs == nullptr || *outputs == lastOutputs))
            return;
    }

    // A change in one direction: read the other too, so that the line shows both lists as they are.
    const auto otherInputs = inputs != nullptr ? *inputs : inner->getInputNames();
    const auto otherOutputs = outputs != nullptr ? *outputs : inner->getOutputNames();

    const juce::ScopedLock sl (listLock);

    if (listed && otherInputs == lastInputs && otherOutputs == lastOutputs)
        return;

    listed = true;
    lastInputs = otherInputs;
    lastOutputs = otherOutputs;
    recorder->recordPorts (lastInputs, lastOutputs);
}

std::unique_ptr<MidiInputPort> TracingMidiPorts::openInput (int index, MidiPortReceiver& receiver)
{
    auto port = std::make_unique<TracingInput> (receiver, recorder);

    if (! port->open (*inner, index))
        return nullptr;

    return port;
}

std::unique_ptr<MidiInputPort> TracingMidiPorts::openInputDevice (const juce::MidiDeviceInfo& device, MidiPortReceiver& receiver)
{
    auto port = std::make_unique<TracingInput> (receiver, recorder);

    if (! port->open (*inner, device))
        return nullptr;

    return port;
}

std::unique_ptr<MidiOutputPort> TracingMidiPorts::openOutputDevice (const juce::MidiDeviceInfo& device)
{
    auto port = inner->openOutputDevice (device);

    if (port == nullptr)
        return nullptr;

    return std::make_unique<TracingOutput> (std::move (port), device.name, recorder);
}

std::unique_ptr<MidiOutputPort> TracingMidiPorts::openOutput (int index)
{
    const auto name = inner->getOutputNames()[index];
    auto port = inner->openOutput (index);

    if (port == nullptr)
        return nullptr;

    return std::make_unique<TracingOutput> (std::move (port), name, recorder);
}
