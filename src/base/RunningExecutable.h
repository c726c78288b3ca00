#pragma once

#include <juce_core/juce_core.h>

/** The file of the running program, where its appended firmware archive is and beside which
    packages and a StateMachines.xml are looked for. Any thread. */
namespace RunningExecutable
{
    /** On Linux the file the kernel has mapped this code from (/proc/self/maps, links resolved),
        else the one /proc/self/exe names. The framework's answer is the name the program was
        started with, taken relative to the current folder, which is wrong for every program found
        through PATH; /proc/self/exe names the dynamic loader when the program was started through
        it (ld-linux-x86-64.so.2 PROGRAM), and so does the auxiliary vector's AT_EXECFN. The
        mapping of the running code names the program's own file however it was started.
        Elsewhere, and when the kernel's name cannot be had, the framework's answer. */
    juce::File getFile();
}
