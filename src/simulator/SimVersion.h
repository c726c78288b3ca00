#pragma once

#include <juce_core/juce_core.h>

#include <optional>

/** A firmware version as an instrument holds it: a.b.c with an optional pre-release number p. */
struct SimVersion
{
    int major = 0, minor = 0, patch = 0;
    int pre = -1; // the number after "p"; -1 when there is none

    /** "2.1.13" or "1.1.0p0"; nothing for any other text. */
    static std::optional<SimVersion> fromText (const juce::String& text);
    juce::String toText() const;

    bool operator== (const SimVersion& other) const noexcept
    {
        return major == other.major && minor == other.minor && patch == other.patch && pre == other.pre;
    }
};
