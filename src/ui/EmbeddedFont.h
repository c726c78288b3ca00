#pragma once

#include <juce_graphics/juce_graphics.h>

/** A plain font of the one typeface compiled into the program, at the given height.

    The typeface is created from the embedded bytes on the first call (from any thread; racing
    first calls create it once) and kept for the life of the process. */
juce::Font embeddedFont (float height);
