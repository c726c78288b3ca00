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

    // The framework's check stops at a zero byte and counts in int.
    return data != nullptr && numBytes < (size_t) INT_MAX && std::memchr (data, 0, numBytes) == nullptr
        && juce::CharPointer_UTF8::isValidString (static_cast<const char*> (data), (int) numBytes);
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
