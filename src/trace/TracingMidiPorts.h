#pragma once

#include "MidiTraceRecorder.h"
#include "../midi/MidiPorts.h"

#include <memory>

/** Wraps other MidiPorts (real or virtual) and records on a MidiTraceRecorder everything that
    passes: messages sent on its outputs, messages arriving on its inputs, and every change of the
    port lists it is asked for. Behaves exactly like the wrapped ports otherwise.

    Threads: as the wrapped ports; recording adds only a short lock on the calling thread.
*/
class TracingMidiPorts final : public MidiPorts
{
public:
    TracingMidiPorts (std::shared_ptr<MidiPorts> inner, std::shared_ptr<MidiTraceRecorder> recorder);


    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    juce::Array<juce::MidiDeviceInfo> getInputDevices() override;
    juce::Array<juce::MidiDeviceInfo> getOutputDevices() override;
    bool areSharedWithOtherPrograms() const override { return inner->areSharedWithOtherPrograms(); }
    bool belongTogether (const juce::MidiDeviceInfo& input, const juce::MidiDeviceInfo& output) const override
    {
        return inner->belongTogether (input, output);
    }

    juce::String locationOf (const juce::MidiDeviceInfo& port) override
    {
        return inner->locationOf (port);
    }

    juce::String placeOf (const juce::MidiDeviceInfo& port) override
    {
        return inner->placeOf (port);
    }
    std::uint64_t getListsGeneration() override { return inner->getListsGeneration(); }
    std::unique_ptr<MidiInputPort> openInput (int index, MidiPortReceiver& receiver) override;
    std::unique_ptr<MidiInputPort> openInputDevice (const juce::MidiDeviceInfo& device, MidiPortReceiver& receiver) override;
    std::unique_ptr<MidiOutputPort> openOutput (int index) override;
    std::unique_ptr<MidiOutputPort> openOutputDevice (const juce::MidiDeviceInfo& device) override;
    void closeIdlePorts() override { inner->closeIdlePorts(); }

private:
    void noteLists (const juce::StringArray* inputs, const juce::StringArray* outputs);

    const std::shared_ptr<MidiPorts> inner;
    const std::shared_ptr<MidiTraceRecorder> recorder;

    juce::CriticalSection listLock;
    juce::StringArray lastInputs, lastOutputs; // guarded by listLock
    bool listed = false;                       // guarded by listLock

    JUCE_DECLARE_NON_COPYABLE (TracingMidiPorts)
};
