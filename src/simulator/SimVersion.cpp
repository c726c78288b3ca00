#include "SimVersion.h"

std::optional<SimVersion> SimVersion::fromText (const juce::String& text)
{
    auto number = [] (const juce::String& token) -> std::optional<int>
    {
        if (token.isEmpty() || token.length() > 6 || ! token.containsOnly ("0123456789"))
            return {};

        return token.getIntValue();
    };

    const auto main = text.upToFirstOccurrenceOf ("p", false, false);
    const auto parts = juce::StringArray::fromTokens (main, ".", {});

    if (parts.size() != 3)
        return {};

    SimVersion version;
    const auto a = number (parts[0]), b = number (parts[1]), c = number (parts[2]);

    if (! a || ! b || ! c)
        return {};

    version.major = *a;
    version.minor = *b;
    version.patch = *c;

    if (text.containsChar ('p'))
    {
        const auto p = number (text.fromFirstOccurrenceOf ("p", false, false));

        if (! p)
            return {};

        version.pre = *p;
    }

    return version;
}

juce::String SimVersion::toText() const
{
    auto text = juce::String (major) + "." + juce::String (minor) + "." + juce::String (patch);
    return pre >= 0 ? text + "p" + juce::String (pre) : text;
}
