#pragma once

#include "MidiPorts.h"

/** The platform's MIDI devices through juce::MidiInput and juce::MidiOutput.

    Any thread may list ports; opening happens on the calling thread (the selector moves opens
    from worker threads onto the message thread). Incoming messages arrive on the framework's
    MIDI input thread and are handed on with the name of the device they came from.
*/
class JuceMidiPorts final : public MidiPorts
{
public:
    JuceMidiPorts();

    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    std::unique_ptr<MidiInputPort> openInput (int index, MidiPortReceiver& receiver) override;
    std::unique_ptr<MidiOutputPort> openOutput (int index) override;

private:
    JUCE_DECLARE_NON_COPYABLE (JuceMidiPorts)
};
