#pragma once

#include <juce_core/juce_core.h>

/** One object of vfu-update's --json output as one line of strict JSON. The framework's writer
    puts BEL as "\a", which JSON does not know; here every control character in a string is
    written as \u00XX, so any JSON reader takes any port name or text. Any thread. */
namespace JsonLine
{
    juce::String format (const juce::var& object);
}
