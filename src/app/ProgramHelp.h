#pragma once

#include <juce_core/juce_core.h>

/** What the windowed program prints for --help and --version, before anything of the framework
    starts: a user or a packager may ask on a machine without a display. Other arguments are
    ignored, as the window takes none. Call from main().
*/
class ProgramHelp final
{
public:
    /** The text for standard output when the arguments ask for help or the version, else an
        empty text (the program then starts as usual). */
    static juce::String answerFor (const juce::StringArray& arguments);

private:
    ProgramHelp() = delete;
};
