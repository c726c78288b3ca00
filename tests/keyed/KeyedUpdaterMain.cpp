// vfu-update as a build with a maker's key would be, the key given at run time in
// VFU_TEST_PACKAGE_PUBLIC_KEY, so that the tests need no second build. Never shipped.

#include "ConsoleUpdater.h"

#include <cstdlib>

int main (int argc, char* argv[])
{
    const auto* key = std::getenv ("VFU_TEST_PACKAGE_PUBLIC_KEY");
    return ConsoleUpdater::runProcess (argc, argv, key != nullptr ? juce::String::fromUTF8 (key) : juce::String());
}
