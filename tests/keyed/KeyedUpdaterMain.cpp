// vfu-update as a build with a maker's key would be, the key given at run time in
// VFU_TEST_PACKAGE_PUBLIC_KEY, so that the tests need no second build. Never shipped.

#include "ConsoleUpdater.h"

#include <juce_events/juce_events.h>

#include <cstdlib>

int main (int argc, char* argv[])
{
    ConsoleUpdater::prepareProcess();
    juce::ScopedJuceInitialiser_GUI juceInitialiser;

    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (juce::String (juce::CharPointer_UTF8 (argv[i])));

    const auto* key = std::getenv ("VFU_TEST_PACKAGE_PUBLIC_KEY");
    ConsoleUpdater updater (key != nullptr ? juce::String::fromUTF8 (key) : juce::String());
    return updater.run (arguments);
}
