#pragma once

#include <juce_core/juce_core.h>

#include <memory>

/** Turns the bytes or text of a definitions document into a parsed XML tree.

    The document is outside input, so this is where its hostile forms are stopped before
    juce::XmlDocument sees them: the framework's parser recurses once per nesting level and
    expands a few malformed constructs in ways that would exhaust the stack or read past the
    end of the text. A document that uses them is treated as one that does not parse.

    Line breaks inside text content are kept exactly as stored (CR LF stays CR LF); the
    framework's parser alone would turn them into LF, while it keeps them in attribute values.

    Stateless; any thread.
*/
class DefinitionsDocument final
{
public:
    /** Deepest element nesting accepted. The inbuilt document nests five levels. */
    static constexpr int maxNestingDepth = 256;

    /** Largest definitions file read; anything larger is treated as unreadable. */
    static constexpr juce::int64 maxFileSize = 16 * 1024 * 1024;

    /** Decodes document bytes: UTF-16 with a byte-order mark (either byte order), otherwise
        UTF-8 with or without a byte-order mark. Malformed sequences become U+FFFD; the text
        ends at the first NUL character. */
    static juce::String decode (const void* data, size_t numBytes);

    /** Reads and decodes a file; an empty text when it is missing, unreadable or too large. */
    static juce::String readFile (const juce::File& file);

    /** Parses the document text; nullptr when it does not parse or is refused as hostile. */
    static std::unique_ptr<juce::XmlElement> parse (const juce::String& documentText);

    /** The text handed to juce::XmlDocument: raw carriage returns in text content written as
        character references so that the parser keeps them. False when the document is
        refused (nesting too deep, a DTD, or a construct the parser mishandles). */
    static bool prepareForParser (const juce::String& documentText, juce::String& prepared);

private:
    DefinitionsDocument() = delete;
};
