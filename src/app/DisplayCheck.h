#pragma once

#include <juce_core/juce_core.h>

/** Finds out, before the framework opens its first window, whether the windowed program can
    reach a display at all. Without one the framework would crash on its first window.

    On Linux and BSD the framework draws through X11: the display is the one that DISPLAY
    names, and it must accept a connection. Other platforms always have a desktop.
    Call from main(), before the application starts.
*/
class DisplayCheck final
{
public:
    /** Why no display can be used ("DISPLAY is not set", ...), or an empty text when one can. */
    static juce::String findProblem();

    /** The text for standard error when the program cannot start for that reason. */
    static juce::String messageFor (const juce::String& problem);

private:
    DisplayCheck() = delete;
};
