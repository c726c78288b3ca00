#include "DefinitionsDocument.h"

#include <cstring>
#include <vector>

namespace
{
constexpr juce::juce_wchar replacementCharacter = 0xfffd;

bool isAcceptableCodePoint (juce::uint32 c) noexcept
{
    return c <= 0x10ffff && (c < 0xd800 || c > 0xdfff);
}

juce::String fromCodePoints (std::vector<juce::juce_wchar>& codePoints)
{
    codePoints.push_back (0);
    return juce::String (juce::CharPointer_UTF32 (codePoints.data()));
}

juce::String decodeUtf8 (const juce::uint8* bytes, size_t numBytes)
{
    std::vector<juce::juce_wchar> out;
    out.reserve (numBytes);

    for (size_t i = 0; i < numBytes;)
    {
        const auto lead = bytes[i];

        if (lead == 0)
            break;

        if (lead < 0x80)
        {
            out.push_back ((juce::juce_wchar) lead);
            ++i;
            continue;
        }

        size_t extra = 0;
        juce::uint32 value = 0, minimum = 0;

        if ((lead & 0xe0) == 0xc0)      { extra = 1; value = lead & 0x1fu; minimum = 0x80; }
        else if ((lead & 0xf0) == 0xe0) { extra = 2; value = lead & 0x0fu; minimum = 0x800; }
        else if ((lead & 0xf8) == 0xf0) { extra = 3; value = lead & 0x07u; minimum = 0x10000; }

        bool valid = extra > 0 && extra < numBytes - i;

        for (size_t k = 1; valid && k <= extra; ++k)
        {
            const auto next = bytes[i + k];

            if ((next & 0xc0) != 0x80)
                valid = false;
            else
                value = (value << 6) | (next & 0x3fu);
        }

        if (valid && value >= minimum && isAcceptableCodePoint (value))
        {
            out.push_back ((juce::juce_wchar) value);
            i += extra + 1;
        }
        else
        {
            // Drop only the lead byte, so that a following good sequence survives.
            out.push_back (replacementCharacter);
            ++i;
        }
    }

    return fromCodePoints (out);
}

juce::String decodeUtf16 (const juce::uint8* bytes, size_t numBytes, bool bigEndian)
{
    std::vector<juce::juce_wchar> out;
    out.reserve (numBytes / 2);

    const auto unitAt = [&] (size_t index) -> juce::uint32
    {
        const auto a = (juce::uint32) bytes[index * 2], b = (juce::uint32) bytes[index * 2 + 1];
        return bigEndian ? ((a << 8) | b) : ((b << 8) | a);
    };

    const auto numUnits = numBytes / 2;

    for (size_t i = 0; i < numUnits;)
    {
        const auto unit = unitAt (i++);

        if (unit == 0)
            break;

        if (unit >= 0xd800 && unit <= 0xdbff && i < numUnits)
        {
            const auto low = unitAt (i);

            if (low >= 0xdc00 && low <= 0xdfff)
            {
                out.push_back ((juce::juce_wchar) (0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00)));
                ++i;
                continue;
            }
        }

        out.push_back (isAcceptableCodePoint (unit) ? (juce::juce_wchar) unit : replacementCharacter);
    }

    return fromCodePoints (out);
}

//==============================================================================
/** Follows juce::XmlDocument's reading of a document step by step, without building anything,
    to learn what the parser would do with it: how deep it would recurse, whether it would meet
    a construct it mishandles, and which carriage returns it would read as text content.

    It has to track the parser exactly (not the XML standard), because the parser reads
    malformed input in its own way and it is the parser's recursion that must stay bounded.
*/
class ParserShadow
{
public:
    explicit ParserShadow (const juce::String& text) : start (text.getCharPointer()), input (start) {}

    /** False when the parser must not be given this document. */
    bool run()
    {
        if (input.isEmpty())
            return true;

        skipNextWhiteSpace();

        if (juce::CharacterFunctions::compareUpTo (input, juce::CharPointer_ASCII ("<?xml"), 5) == 0)
        {
            const auto headerEnd = juce::CharacterFunctions::find (input, juce::CharPointer_ASCII ("?>"));

            if (headerEnd.isEmpty())
                return true;

            input = headerEnd + 2;
            skipNextWhiteSpace();
        }

        // Document type declarations let the parser expand entities into further elements
        // and even read other files; a definitions document has no use for them.
        if (juce::CharacterFunctions::compareUpTo (input, juce::CharPointer_ASCII ("<!DOCTYPE"), 9) == 0)
            return false;

        auto outcome = readOpenTag();
        int depth = outcome == Opened::withChildren ? 1 : 0;

        while (depth > 0 && ! refused)
        {
            if (depth > DefinitionsDocument::maxNestingDepth)
                return false;

            const auto before = input;

            switch (readChildStep())
            {
                case Step::leave:   --depth; break;
                case Step::descend: ++depth; break;
                case Step::stay:
                    // Text after a processing instruction sends the parser round this loop
                    // forever without reading anything.
                    if (input == before)
                        return false;

                    break;
            }
        }

        return ! refused;
    }

    /** Byte offsets (from the start of the text) of the carriage returns read as content. */
    const std::vector<size_t>& getContentCarriageReturns() const noexcept { return carriageReturns; }

private:
    enum class Opened { nothing, withoutChildren, withChildren };
    enum class Step { stay, descend, leave };

    juce::String::CharPointerType start, input;
    bool outOfData = false, refused = false;
    std::vector<size_t> carriageReturns;

    static bool isIdentifierChar (juce::juce_wchar c) noexcept
    {
        return juce::CharacterFunctions::isLetterOrDigit (c) || c == '_' || c == '-' || c == ':' || c == '.';
    }

    juce::String::CharPointerType findEndOfToken (juce::String::CharPointerType p) const noexcept
    {
        while (isIdentifierChar (*p))
            ++p;

        return p;
    }

    juce::juce_wchar readNextChar() noexcept
    {
        const auto c = input.getAndAdvance();

        if (c == 0)
        {
            outOfData = true;
            --input;
        }

        return c;
    }

    /** Steps over an opening of that length and on past the terminator; at the end of the
        text it marks the input as used up and returns false. */
    bool skipPast (int openingLength, const char* terminator)
    {
        input += openingLength;
        const auto found = input.indexOf (juce::CharPointer_ASCII (terminator));

        if (found < 0)
        {
            outOfData = true;
            return false;
        }

        input += found + (int) std::strlen (terminator);
        return true;
    }

    void skipNextWhiteSpace()
    {
        for (;;)
        {
            input.incrementToEndOfWhitespace();

            if (input.isEmpty())
            {
                outOfData = true;
                break;
            }

            if (*input == '<')
            {
                if (input[1] == '!' && input[2] == '-' && input[3] == '-')
                {
                    if (! skipPast (4, "-->"))
                        break;

                    continue;
                }

                if (input[1] == '?')
                {
                    if (! skipPast (2, "?>"))
                        break;

                    continue;
                }
            }

            break;
        }
    }

    void readEntity()
    {
        ++input;

        if (input.compareIgnoreCaseUpTo (juce::CharPointer_ASCII ("amp;"), 4) == 0)        input += 4;
        else if (input.compareIgnoreCaseUpTo (juce::CharPointer_ASCII ("quot;"), 5) == 0)  input += 5;
        else if (input.compareIgnoreCaseUpTo (juce::CharPointer_ASCII ("apos;"), 5) == 0)  input += 5;
        else if (input.compareIgnoreCaseUpTo (juce::CharPointer_ASCII ("lt;"), 3) == 0)    input += 3;
        else if (input.compareIgnoreCaseUpTo (juce::CharPointer_ASCII ("gt;"), 3) == 0)    input += 3;
        else if (*input == '#')
        {
            ++input;

            if (*input == 'x' || *input == 'X')
            {
                ++input;
                int numChars = 0;

                while (input[0] != ';')
                {
                    if (input[0] == 0)
                    {
                        // The parser would step over the end of the text here.
                        refused = true;
                        return;
                    }

                    if (juce::CharacterFunctions::getHexDigitValue (input[0]) < 0 || ++numChars > 8)
                        break;

                    ++input;
                }

                ++input;
            }
            else if (input[0] >= '0' && input[0] <= '9')
            {
                int numChars = 0;

                for (;;)
                {
                    const auto c = input[0];

                    if (c == 0)
                        return;

                    if (c == ';' || ++numChars > 12)
                        break;

                    ++input;
                }

                ++input;
            }
        }
        else
        {
            const auto closingSemiColon = input.indexOf ((juce::juce_wchar) ';');

            if (closingSemiColon < 0)
            {
                outOfData = true;
            }
            else
            {
                // An unknown entity whose name starts with '<' is parsed as elements, with a
                // recursion of its own that the nesting bound would not see.
                if (*input == '<')
                    refused = true;

                input += closingSemiColon + 1;
            }
        }
    }

    void readQuotedString()
    {
        const auto quote = readNextChar();

        while (! outOfData && ! refused)
        {
            const auto c = readNextChar();

            if (c == quote)
                break;

            --input;

            if (c == '&')
            {
                readEntity();
                continue;
            }

            for (;;)
            {
                const auto character = *input;

                if (character == quote)
                {
                    ++input;
                    return;
                }

                if (character == '&')
                    break;

                if (character == 0)
                {
                    outOfData = true;
                    break;
                }

                ++input;
            }
        }
    }

    /** The opening tag of an element, up to the point where the parser would read its children. */
    Opened readOpenTag()
    {
        skipNextWhiteSpace();

        if (outOfData || *input != '<')
            return Opened::nothing;

        ++input;
        auto endOfToken = findEndOfToken (input);

        if (endOfToken == input)
        {
            skipNextWhiteSpace();
            endOfToken = findEndOfToken (input);

            if (endOfToken == input)
                return Opened::nothing;
        }

        input = endOfToken;

        for (;;)
        {
            skipNextWhiteSpace();
            const auto c = *input;

            if (c == '/' && input[1] == '>')
            {
                input += 2;
                return Opened::withoutChildren;
            }

            if (c == '>')
            {
                ++input;
                return Opened::withChildren;
            }

            if (isIdentifierChar (c))
            {
                input = findEndOfToken (input);
                skipNextWhiteSpace();

                if (readNextChar() != '=')
                    return Opened::withoutChildren;

                skipNextWhiteSpace();
                const auto nextChar = *input;

                if (nextChar == '"' || nextChar == '\'')
                {
                    readQuotedString();

                    if (refused)
                        return Opened::withoutChildren;

                    continue;
                }
            }

            return Opened::withoutChildren;
        }
    }

    /** One turn of the parser's loop over an element's children. */
    Step readChildStep()
    {
        const auto preWhitespaceInput = input;
        skipNextWhiteSpace();

        if (outOfData)
            return Step::leave;

        if (*input == '<')
        {
            const auto c1 = input[1];

            if (c1 == '/')
            {
                const auto closeTag = input.indexOf ((juce::juce_wchar) '>');

                if (closeTag >= 0)
                    input += closeTag + 1;

                return Step::leave;
            }

            if (c1 == '!' && juce::CharacterFunctions::compareUpTo (input + 2, juce::CharPointer_ASCII ("[CDATA["), 7) == 0)
            {
                input += 9;

                for (;;)
                {
                    const auto c0 = *input;

                    if (c0 == 0)
                    {
                        outOfData = true;
                        break;
                    }

                    if (c0 == ']' && input[1] == ']' && input[2] == '>')
                    {
                        input += 3;
                        break;
                    }

                    ++input;
                }

                return Step::stay;
            }

            switch (readOpenTag())
            {
                case Opened::nothing:         return Step::leave;
                case Opened::withoutChildren: return Step::stay;
                case Opened::withChildren:    return Step::descend;
            }

            return Step::leave;
        }

        // A block of character data, read from before its leading white space.
        input = preWhitespaceInput;

        for (;;)
        {
            const auto c = *input;

            if (c == '<')
            {
                if (input[1] == '!' && input[2] == '-' && input[3] == '-')
                {
                    input += 4;
                    const auto closeComment = input.indexOf (juce::CharPointer_ASCII ("-->"));

                    if (closeComment < 0)
                    {
                        outOfData = true;
                        return Step::leave;
                    }

                    input += closeComment + 3;
                    continue;
                }

                break;
            }

            if (c == 0)
            {
                outOfData = true;
                return Step::leave;
            }

            if (c == '&')
            {
                readEntity();

                if (refused)
                    return Step::leave;

                continue;
            }

            for (;; ++input)
            {
                const auto nextChar = *input;

                if (nextChar == '\r')
                {
                    carriageReturns.push_back ((size_t) (input.getAddress() - start.getAddress()));
                    continue;
                }

                if (nextChar == '<' || nextChar == '&')
                    break;

                if (nextChar == 0)
                {
                    outOfData = true;
                    return Step::leave;
                }
            }
        }

        return Step::stay;
    }
};
} // namespace

//==============================================================================
juce::String DefinitionsDocument::decode (const void* data, size_t numBytes)
{
    if (data == nullptr || numBytes == 0)
        return {};

    const auto* bytes = static_cast<const juce::uint8*> (data);

    if (numBytes >= 2 && bytes[0] == 0xff && bytes[1] == 0xfe)
        return decodeUtf16 (bytes + 2, numBytes - 2, false);

    if (numBytes >= 2 && bytes[0] == 0xfe && bytes[1] == 0xff)
        return decodeUtf16 (bytes + 2, numBytes - 2, true);

    if (numBytes >= 3 && bytes[0] == 0xef && bytes[1] == 0xbb && bytes[2] == 0xbf)
        return decodeUtf8 (bytes + 3, numBytes - 3);

    return decodeUtf8 (bytes, numBytes);
}

juce::String DefinitionsDocument::readFile (const juce::File& file)
{
    if (! file.existsAsFile() || file.getSize() > maxFileSize)
        return {};

    juce::FileInputStream in (file);

    if (! in.openedOk())
        return {};

    juce::MemoryBlock bytes;
    in.readIntoMemoryBlock (bytes, (juce::pointer_sized_int) (maxFileSize + 1));

    if ((juce::int64) bytes.getSize() > maxFileSize)
        return {};

    return decode (bytes.getData(), bytes.getSize());
}

bool DefinitionsDocument::prepareForParser (const juce::String& documentText, juce::String& prepared)
{
    // Re-decode the text so that the parser only ever walks well-formed UTF-8 (it steps
    // backwards through characters), and drop a byte-order mark that the caller left in.
    auto text = decodeUtf8 (reinterpret_cast<const juce::uint8*> (documentText.toRawUTF8()),
                            documentText.getNumBytesAsUTF8());

    if (text[0] == 0xfeff)
        text = text.substring (1);

    ParserShadow shadow (text);

    if (! shadow.run())
        return false;

    const auto& carriageReturns = shadow.getContentCarriageReturns();

    if (carriageReturns.empty())
    {
        prepared = text;
        return true;
    }

    const auto* raw = text.toRawUTF8();
    const auto numBytes = text.getNumBytesAsUTF8();
    juce::MemoryOutputStream out (numBytes + carriageReturns.size() * 5);
    size_t done = 0;

    for (auto offset : carriageReturns)
    {
        out.write (raw + done, offset - done);
        out << "&#13;";
        done = offset + 1;
    }

    out.write (raw + done, numBytes - done);
    prepared = out.toUTF8();

    // The inserted references can change how a malformed document reads (a stray '&' takes
    // everything up to the next ';' as an entity name), so check the text the parser gets.
    return ParserShadow (prepared).run();
}

std::unique_ptr<juce::XmlElement> DefinitionsDocument::parse (const juce::String& documentText)
{
    juce::String prepared;

    if (! prepareForParser (documentText, prepared))
        return {};

    return juce::XmlDocument (prepared).getDocumentElement();
}
