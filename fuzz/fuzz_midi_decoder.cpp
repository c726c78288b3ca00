// Feeds arbitrary bytes to the reply decoder as MIDI messages, under each device family.
// Input layout: byte 0 picks the family, byte 1 the split rule; the rest is cut into messages.
#include "midi/MIDIPortsSelector.h"
#include "midi/VirtualMidiPorts.h"

#include <cstddef>
#include <cstdint>

namespace
{
    MIDIPortsSelector& selector()
    {
        static auto ports = []
        {
            auto p = std::make_shared<VirtualMidiPorts>();
            p->plugIn ("Fuzz In", "Fuzz Out", nullptr);
            return p;
        }();

        static MIDIPortsSelector instance;
        instance.setPorts (ports);
        return instance;
    }
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;

    static const juce::uint16 families[] = { 6, 8, 11, 12, 0xffff, 0x0f, 0x7f };
    auto& s = selector();
    s.reset();
    s.setDeviceFamily (families[data[0] % std::size (families)]);

    const auto chunk = (size_t) (data[1] % 24) + 1;
    const bool wholeSysex = (data[1] & 0x80) != 0;
    data += 2;
    size -= 2;

    // Either each chunk becomes one raw message, or the whole rest is wrapped as one SysEx.
    if (wholeSysex)
    {
        s.handleIncomingMidiMessage ("Fuzz In", juce::MidiMessage::createSysExMessage (data, (int) size));
        return 0;
    }

    for (size_t offset = 0; offset < size; offset += chunk)
    {
        const auto length = std::min (chunk, size - offset);
        s.handleIncomingMidiMessage ("Fuzz In", juce::MidiMessage (data + offset, (int) length));
    }

    return 0;
}
