#pragma once

#include <juce_core/juce_core.h>

/** Text that comes from outside the program (files users send, names other programs give their
    MIDI ports). The framework's strings walk UTF-8 with a character pointer that trusts each lead
    byte: a sequence cut short would make it step past the end of the bytes. So outside bytes are
    checked before a string is built from them. Any thread. */
namespace OutsideText
{
    /** True when the bytes are well-formed UTF-8 (no overlong form, no surrogate) and hold no
        zero byte. */
    bool isValidUtf8 (const void* data, size_t numBytes);

    /** The bytes as text (a UTF-8 byte order mark at the start is skipped) when isValidUtf8();
        false, with result empty, otherwise. */
    bool decodeUtf8 (const void* data, size_t numBytes, juce::String& result);

    /** A name another program gave (an ALSA port's): read as UTF-8 when it is valid UTF-8,
        otherwise each byte as one Latin-1 character, so that it is shown whatever it holds. */
    juce::String fromSystemName (const char* name);

    /** The text with each control character (below U+0020, U+007F to U+009F) written as \xHH,
        so that a name cannot break a line, fake another one or steer a terminal. */
    juce::String withControlsEscaped (const juce::String& text);

    /** True when the text holds no control character (see withControlsEscaped()). */
    bool isPrintable (const juce::String& text);
}
