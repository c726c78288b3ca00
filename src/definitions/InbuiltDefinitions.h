#pragma once

#include <juce_core/juce_core.h>

/** The definitions document compiled into the program (resources/StateMachines.xml),
    used when no "StateMachines.xml" stands beside the executable. Any thread.
*/
class InbuiltDefinitions final
{
public:
    /** The document as text, with its line breaks as stored (CR LF). */
    static juce::String getText();

    /** The console-mode document (resources/StateMachinesConsole.xml): the same States and SysEx,
        with instructions written for a terminal. */
    static juce::String getConsoleText();

    /** The console-mode document when consoleMode is true, else the windowed one. */
    static juce::String getText (bool consoleMode);

private:
    InbuiltDefinitions() = delete;
};
