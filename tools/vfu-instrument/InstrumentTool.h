#pragma once

#include "midi/SystemVirtualPorts.h"

/** vfu-instrument's command: reads the command line, puts the simulated instrument on the
    system's MIDI service, prints its traffic and ends on SIGINT or SIGTERM.

    Exit status: 0 after a signal, 1 when the system made no ports, 2 for a usage error, a bad
    setting, or a system without virtual MIDI ports. */
class InstrumentTool final
{
public:
    int run (const juce::StringArray& arguments);

private:
    int runInstrument (int family, const juce::String& settingsText, size_t imageBytes, const juce::String& portName,
                       const SystemVirtualPorts::Line& line);
};
