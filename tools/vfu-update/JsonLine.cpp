#include "JsonLine.h"

juce::String JsonLine::format (const juce::var& object)
{
    const auto framework = juce::JSON::toString (object, true);
    juce::String line;
    line.preallocateBytes (framework.getNumBytesAsUTF8() + 16);

    // Backslashes occur only inside strings, each starting an escape: the short escapes of
    // control characters are written as \u00XX, the others (\" \\ \uXXXX) are kept.
    for (auto p = framework.getCharPointer(); ! p.isEmpty();)
    {
        const auto c = p.getAndAdvance();

        if (c != '\\' || p.isEmpty())
        {
            line += juce::String::charToString (c);
            continue;
        }

        const auto escaped = p.getAndAdvance();
        int code = -1;

        switch (escaped)
        {
            case 'a': code = 0x07; break;
            case 'b': code = 0x08; break;
            case 't': code = 0x09; break;
            case 'n': code = 0x0a; break;
            case 'f': code = 0x0c; break;
            case 'r': code = 0x0d; break;
            default: break;
        }

        if (code >= 0)
            line << "\\u00" << juce::String::toHexString (code).paddedLeft ('0', 2);
        else
            line << "\\" << juce::String::charToString (escaped);
    }

    return line;
}
