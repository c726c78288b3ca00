#include "MidiStreamSplitter.h"

namespace
{
    // A SysEx summarised for a report is kept up to this size; longer ones are cut off there.
    constexpr size_t maxKeptSysex = 64 * 1024 * 1024;
}

void MidiStreamSplitter::read (const std::vector<juce::uint8>& bytes, const Report& report)
{
    read (bytes.data(), bytes.size(), report);
}

void MidiStreamSplitter::read (const juce::uint8* data, size_t size, const Report& report)
{
    for (size_t i = 0; i < size; ++i)
    {
        const auto byte = data[i];

        if (byte >= 0xf8)
        {
            report ({ byte }, true);
            continue;
        }

        if (inSysex)
        {
            if (byte < 0x80)
            {
                if (current.size() < maxKeptSysex)
                    current.push_back (byte);

                continue;
            }

            if (byte == 0xf7)
            {
                current.push_back (byte);
                report (current, true);
                current.clear();
                inSysex = false;
                continue;
            }

            cutOff (report);
        }

        if (byte == 0xf0)
        {
            inSysex = true;
            current.assign (1, byte);
            continue;
        }

        if (byte >= 0x80)
        {
            current.assign (1, byte);
            expected = juce::MidiMessage::getMessageLengthFromFirstByte (byte);
        }
        else if (! current.empty() && current.size() < 3)
        {
            current.push_back (byte);
        }

        if (! current.empty() && (int) current.size() == expected)
        {
            report (current, true);
            current.clear();
        }
    }
}

void MidiStreamSplitter::cutOff (const Report& report)
{
    if (inSysex && ! current.empty())
        report (current, false);

    inSysex = false;
    current.clear();
}
