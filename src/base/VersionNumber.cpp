#include "VersionNumber.h"

namespace
{
    int leadingDigitsValue (const juce::String& token)
    {
        // Saturate rather than overflow: a version text is outside input.
        juce::int64 value = 0;

        for (auto p = token.getCharPointer(); p.isDigit(); ++p)
            value = juce::jmin<juce::int64> (value * 10 + (*p - '0'), 1000000);

        return (int) value;
    }
}

int parseVersionNumber (const juce::String& text)
{
    juce::StringArray tokens;
    tokens.addTokens (text, ".p", {});

    auto token = [&tokens] (int index) { return index < tokens.size() ? leadingDigitsValue (tokens[index]) : 0; };

    const juce::int64 a = token (0), b = token (1), c = token (2);
    const juce::int64 d = tokens.size() == 4 ? token (3) : 99;
    const auto number = ((a * 100 + b) * 100 + c) * 100 + d;
    return (int) juce::jlimit<juce::int64> (0, std::numeric_limits<int>::max(), number);
}

juce::String formatVersionNumber (int number)
{
    const int a = number / 1000000;
    const int b = (number % 1000000) / 10000;
    const int c = (number % 10000) / 100;
    const int d = number % 100;

    if (d == 99)
        return juce::String (a) + "." + juce::String (b) + "." + juce::String (c);

    return juce::String (a) + "." + juce::String (b) + "." + juce::String (c) + "p" + juce::String (d);
}
