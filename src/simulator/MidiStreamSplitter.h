#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <functional>
#include <vector>

/** Cuts a raw MIDI byte stream, handed over in slices of any size, back into messages: complete
    ones, and a SysEx cut off by a status byte or by cutOff(). Real-time bytes inside a SysEx are
    messages of their own and do not end it. A SysEx is kept up to 64 MiB; longer ones are
    reported at that size.

    Threads: one caller at a time. */
class MidiStreamSplitter final
{
public:
    using Report = std::function<void (const std::vector<juce::uint8>&, bool complete)>;

    void read (const std::vector<juce::uint8>& bytes, const Report& report);
    void read (const juce::uint8* data, size_t size, const Report& report);

    /** The stream ended: a SysEx in progress is reported as cut off. */
    void cutOff (const Report& report);

private:
    std::vector<juce::uint8> current;
    bool inSysex = false;
    int expected = 0;
};
