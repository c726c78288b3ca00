// vfu-instrument: a simulated instrument that any MIDI program can talk to.

#include "base/OutsideText.h"
#include "InstrumentTool.h"

int main (int argc, char* argv[])
{
    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (OutsideText::fromSystemName (argv[i]));

    InstrumentTool tool;
    return tool.run (arguments);
}
