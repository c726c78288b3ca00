#include <gtest/gtest.h>

#include <cstdlib>
#include <juce_gui_basics/juce_gui_basics.h>

#include "midi/MIDIPortsSelector.h"
#include "support/SecondProgram.h"

// The framework is initialised once for the whole test program: message manager,
// message thread (this one) and the rest that the program's classes rely on.
int main (int argc, char** argv)
{
    // A test that needs a second process starts this program again as that process.
    int secondProgramExitCode = 0;

    if (SecondProgram::runIfAsked (argc, argv, secondProgramExitCode))
        return secondProgramExitCode;

    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;

    // Locks taken by the tests go to a folder of their own, never to the machine's shared one
    // (POSIX: lock files; Windows' locks are named mutexes).
    const auto lockFolder = juce::File::createTempFile ("vfu-test-locks");

   #if ! JUCE_WINDOWS
    if (std::getenv ("VFU_LOCK_FOLDER") == nullptr && lockFolder.createDirectory())
        ::setenv ("VFU_LOCK_FOLDER", lockFolder.getFullPathName().toRawUTF8(), 1);
   #endif

    const auto result = RUN_ALL_TESTS();
    lockFolder.deleteRecursively();

    // Tests plug software buses into the process-wide selector, which lives until static
    // destruction; a bus's delivery thread must end while the framework is still there.
    MIDIPortsSelector::getInstance().setPorts (nullptr);
    return result;
}
