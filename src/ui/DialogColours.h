#pragma once

#include <juce_graphics/juce_graphics.h>

/** The grey behind the main window's content and both dialogs. */
namespace DialogColours
{
    inline const juce::Colour background { 0xFFD0D0D0 };
}
