#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

// The framework is initialised once for the whole test program: message manager,
// message thread (this one) and the rest that the program's classes rely on.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
