#include "DefinitionsDocument.h"
#include "../base/RegularFile.h"

#include <cstring>

namespace
{
/** The text of a document that Expat accepted, so its encoding is known to be sound. */
juce::String decodeAccepted (const void* data, size_t numBytes)
{
    if (! ExpatDocumentCheck::hasUtf16ByteOrderMark (data, numBytes))
        return juce::String::createStringFromData (data, (int) numBytes);

    // createStringFromData() takes each UTF-16 unit as a character of its own and so would
    // split surrogate pairs; the framework's UTF-16 reader joins them.
    const auto* bytes = static_cast<const juce::uint8*> (data);
    const bool bigEndian = bytes[0] == 0xfe;
    const auto numUnits = (numBytes - 2) / 2;
    juce::HeapBlock<juce::CharPointer_UTF16::CharType> units (numUnits + 1);

    for (size_t i = 0; i < numUnits; ++i)
    {
        const auto first = (unsigned int) bytes[2 + 2 * i], second = (unsigned int) bytes[3 + 2 * i];
        units[i] = (juce::CharPointer_UTF16::CharType) (bigEndian ? (first << 8) | second : (second << 8) | first);
    }

    units[numUnits] = 0;
    return juce::String (juce::CharPointer_UTF16 (units.get()));
}

/** Index just past the first occurrence of the terminator at or after start, or the end. */
size_t indexPast (const char* text, size_t numBytes, size_t start, const char* terminator)
{
    const auto* found = std::strstr (text + start, terminator);
    return found != nullptr ? (size_t) (found - text) + std::strlen (terminator) : numBytes;
}

bool startsWith (const char* text, const char* prefix)
{
    return std::strncmp (text, prefix, std::strlen (prefix)) == 0;
}
} // namespace

//==============================================================================
juce::String DefinitionsDocument::prepareForParser (const juce::String& documentText)
{
    // The document is well-formed, so markup is found by its opening characters alone and
    // quoted attribute values are the only place where a '>' does not end a tag.
    const auto* text = documentText.toRawUTF8();
    const auto numBytes = documentText.getNumBytesAsUTF8();
    juce::MemoryOutputStream out (numBytes + 256);
    int depth = 0;
    size_t i = 0;

    while (i < numBytes)
    {
        const auto c = text[i];

        if (c != '<')
        {
            if (c == '\r' && depth > 0)
                out << "&#13;";
            else
                out.writeByte (c);

            ++i;
            continue;
        }

        const auto* markup = text + i;
        size_t end;

        if (startsWith (markup, "<!--"))
        {
            end = indexPast (text, numBytes, i + 4, "-->");
        }
        else if (startsWith (markup, "<![CDATA["))
        {
            end = indexPast (text, numBytes, i + 9, "]]>");
        }
        else if (startsWith (markup, "<?"))
        {
            end = indexPast (text, numBytes, i + 2, "?>");
        }
        else if (markup[1] == '/')
        {
            end = indexPast (text, numBytes, i + 2, ">");
            --depth;
        }
        else
        {
            char quote = 0;

            for (end = i + 1; end < numBytes; ++end)
            {
                const auto t = text[end];

                if (quote != 0)
                    quote = (t == quote) ? 0 : quote;
                else if (t == '"' || t == '\'')
                    quote = t;
                else if (t == '>')
                    break;
            }

            if (end < numBytes && text[end - 1] != '/')
                ++depth;

            end = std::min (end + 1, numBytes);
        }

        out.write (markup, end - i);
        i = end;
    }

    return out.toUTF8();
}

std::unique_ptr<juce::XmlElement> DefinitionsDocument::parse (const void* data, size_t numBytes)
{
    if (numBytes > (size_t) maxFileSize || ! ExpatDocumentCheck::accepts (data, numBytes))
        return {};

    return juce::XmlDocument (prepareForParser (decodeAccepted (data, numBytes))).getDocumentElement();
}

std::unique_ptr<juce::XmlElement> DefinitionsDocument::parse (const juce::String& documentText)
{
    return parse (documentText.toRawUTF8(), documentText.getNumBytesAsUTF8());
}

//==============================================================================
bool DefinitionsDocument::readFile (const juce::File& file, juce::MemoryBlock& bytes)
{
    return RegularFile::read (file, maxFileSize, bytes);
}
