// vfu-update: the firmware updater in a terminal, for scripts, service benches and SSH sessions.

#include "ConsoleUpdater.h"

#include <juce_events/juce_events.h>

int main (int argc, char* argv[])
{
    ConsoleUpdater::prepareProcess();

    // The message loop runs without any window: engine reports and port opens need it, a display does not.
    juce::ScopedJuceInitialiser_GUI juceInitialiser;

    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (juce::String (juce::CharPointer_UTF8 (argv[i])));

    ConsoleUpdater updater;
    return updater.run (arguments);
}
