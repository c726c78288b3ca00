#pragma once

#include <juce_core/juce_core.h>

#include <functional>

/** A second program for tests that need two processes (two programs sharing one file): the
    test program itself, started again with "--second-program NAME ARGUMENTS...", runs the part
    registered under NAME instead of its tests. The same way works on Linux and under Wine.

    Parts are registered by static Registration objects beside the tests that use them; main()
    calls runIfAsked() first; a test calls start() on its own thread.
*/
namespace SecondProgram
{
    /** A part: given its arguments, returns the program's exit code (0 when it worked). */
    using Part = std::function<int (const juce::StringArray& arguments)>;

    struct Registration
    {
        Registration (const char* name, Part part);
    };

    /** Starts this test program as the named part with the arguments; false when it could not be
        started. Standard output and errors come back through the process's pipe. */
    bool start (juce::ChildProcess& process, const juce::String& name, const juce::StringArray& arguments);

    /** When the command line asks for a second program, runs it and sets exitCode (2 for an
        unknown part); false when this run is the tests. */
    bool runIfAsked (int argc, char** argv, int& exitCode);
}
