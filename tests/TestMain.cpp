#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include "midi/MIDIPortsSelector.h"

// The framework is initialised once for the whole test program: message manager,
// message thread (this one) and the rest that the program's classes rely on.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    const auto result = RUN_ALL_TESTS();

    // Tests plug software buses into the process-wide selector, which lives until static
    // destruction; a bus's delivery thread must end while the framework is still there.
    MIDIPortsSelector::getInstance().setPorts (nullptr);
    return result;
}
