#include "EmbeddedFont.h"

#include "VfuBinaryData.h"

namespace
{
    const juce::Typeface::Ptr& embeddedTypeface()
    {
        // A function-local static is initialised exactly once, also when first uses race.
        static const juce::Typeface::Ptr typeface = juce::Typeface::createSystemTypefaceFor (
            VfuBinaryData::DejaVuSansLatin_ttf, (size_t) VfuBinaryData::DejaVuSansLatin_ttfSize);
        return typeface;
    }
}

juce::Font embeddedFont (float height)
{
    return juce::Font (embeddedTypeface()).withHeight (height);
}
