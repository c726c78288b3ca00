#pragma once

#include <juce_core/juce_core.h>

/** Firmware version texts ("2.1.13", "1.1.0p0") as ordered integers:
    ((a * 100 + b) * 100 + c) * 100 + d, where d is the number after "p", or 99 without one. */
int parseVersionNumber (const juce::String& text);

/** "a.b.c" when d is 99, else "a.b.cpd". */
juce::String formatVersionNumber (int number);
