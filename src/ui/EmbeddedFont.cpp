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
    // JUCE 8 describes a font by its FontOptions and deprecates the constructor from a typeface;
    // JUCE 7 has no FontOptions.
   #if JUCE_MAJOR_VERSION >= 8
    return juce::Font (juce::FontOptions (embeddedTypeface()).withHeight (height));
   #else
    return juce::Font (embeddedTypeface()).withHeight (height);
   #endif
}
