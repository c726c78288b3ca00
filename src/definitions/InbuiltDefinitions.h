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

private:
    InbuiltDefinitions() = delete;
};
