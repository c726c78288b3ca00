// The MIDI trace reader on arbitrary text: it must refuse or accept, never crash, and whatever it
// accepts must read back the same when written out again.

#include "trace/MidiTrace.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    // As a trace file is read: from its bytes, which need not be UTF-8.
    MidiTrace trace;

    if (MidiTrace::parseBytes (data, size, trace).isNotEmpty())
        return 0;

    juce::String written (MidiTrace::firstLine);

    for (auto& event : trace.events)
        written << "\n" << MidiTrace::formatEvent (event);

    MidiTrace again;

    if (MidiTrace::parse (written, again).isNotEmpty() || again.events.size() != trace.events.size())
        __builtin_trap();

    return 0;
}
