#include "base/OutsideText.h"
#include "FirmwareTool.h"

int main (int argc, char* argv[])
{
    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (OutsideText::fromSystemName (argv[i]));

    return FirmwareTool().run (arguments);
}
