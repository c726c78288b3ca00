// vfu-instrument: a simulated instrument that any MIDI program can talk to.

#include "InstrumentTool.h"

int main (int argc, char* argv[])
{
    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (juce::String (juce::CharPointer_UTF8 (argv[i])));

    InstrumentTool tool;
    return tool.run (arguments);
}
