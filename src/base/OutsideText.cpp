#include "OutsideText.h"

#include <climits>
#include <cstring>

namespace
{
    bool isControl (juce::juce_wchar c)
    {
        return c < 0x20 || (c >= 0x7f && c <= 0x9f);
    }
}

bool OutsideText::isValidUtf8 (const void* data, size_t numBytes)
{
    if (numBytes == 0)
        return true;

    if (data == nullptr || numBytes >= (size_t) INT_MAX)
        return false;

    // Well-formed UTF-8 as RFC 3629 has it, checked here rather than by the framework: its check
    // takes overlong forms ("E0 96 A9" for U+05A9) and surrogates, and its strings then count one
    // length for such a character and copy another, past the end of what they allocated.
    const auto* bytes = static_cast<const unsigned char*> (data);

    for (size_t i = 0; i < numBytes;)
    {
        const auto lead = bytes[i];

        if (lead == 0)
            return false;

        if (lead < 0x80)
        {
            ++i;
            continue;
        }

        size_t length = 0;
        unsigned char low = 0x80, high = 0xbf; // the range of the byte after the lead

        if (lead >= 0xc2 && lead <= 0xdf)
        {
            length = 2;
        }
        else if (lead >= 0xe0 && lead <= 0xef)
        {
            length = 3;
            low = lead == 0xe0 ? 0xa0 : 0x80;   // no overlong form
            high = lead == 0xed ? 0x9f : 0xbf;  // no surrogate
        }
        else if (lead >= 0xf0 && lead <= 0xf4)
        {
            length = 4;
            low = lead == 0xf0 ? 0x90 : 0x80;   // no overlong form
            high = lead == 0xf4 ? 0x8f : 0xbf;  // nothing above U+10FFFF
        }
        else
        {
            return false;
        }

        if (numBytes - i < length || bytes[i + 1] < low || bytes[i + 1] > high)
            return false;

        for (size_t k = 2; k < length; ++k)
            if (bytes[i + k] < 0x80 || bytes[i + k] > 0xbf)
                return false;

        i += length;
    }

    return true;
}

bool OutsideText::decodeUtf8 (const void* data, size_t numBytes, juce::String& result)
{
    result.clear();

    if (! isValidUtf8 (data, numBytes))
        return false;

    const auto* bytes = static_cast<const char*> (data);

    if (numBytes >= 3 && juce::CharPointer_UTF8::isByteOrderMark (bytes))
    {
        bytes += 3;
        numBytes -= 3;
    }

    if (numBytes > 0)
        result = juce::String (juce::CharPointer_UTF8 (bytes), juce::CharPointer_UTF8 (bytes + numBytes));

    return true;
}

juce::String OutsideText::fromSystemName (const char* name)
{
    if (name == nullptr)
        return {};

    const auto numBytes = std::strlen (name);
    juce::String text;

    if (decodeUtf8 (name, numBytes, text))
        return text;

    for (size_t i = 0; i < numBytes; ++i)
        text += juce::String::charToString ((juce::juce_wchar) (unsigned char) name[i]);

    return text;
}

juce::String OutsideText::withControlsEscaped (const juce::String& text)
{
    if (isPrintable (text))
        return text;

    juce::String escaped;

    for (auto p = text.getCharPointer(); ! p.isEmpty();)
    {
        const auto c = p.getAndAdvance();

        if (isControl (c))
            escaped << "\\x" << juce::String::toHexString ((int) c).paddedLeft ('0', 2);
        else
            escaped += juce::String::charToString (c);
    }

    return escaped;
}

bool OutsideText::isPrintable (const juce::String& text)
{
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
        if (isControl (p.getAndAdvance()))
            return false;

    return true;
}
