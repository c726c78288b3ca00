#pragma once

#include <juce_core/juce_core.h>

/** The file of the running program, where its appended firmware archive is and beside which
    packages and a StateMachines.xml are looked for. Any thread. */
namespace RunningExecutable
{
    /** On Linux the file the kernel names (/proc/self/exe, links resolved): the framework's
        answer is the name the program was started with, taken relative to the current folder,
        which is wrong for every program found through PATH. Elsewhere, and when the kernel's
        name cannot be had, the framework's answer. */
    juce::File getFile();
}
