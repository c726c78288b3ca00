#include "MidiTrace.h"
#include "../base/OutsideText.h"
#include "../base/RegularFile.h"

namespace
{
    constexpr double maximumMs = 1.0e10;
    constexpr juce::int64 maximumImageBytes = 256 * 1024 * 1024;

    /** Splits one line into words: bare words, or quoted names with backslash escapes. */
    class LineReader
    {
    public:
        explicit LineReader (juce::String::CharPointerType p) : pos (p) {}

        bool atEnd()
        {
            skipSpaces();
            return pos.isEmpty();
        }

        /** A bare word (no quotes); empty at the end of the line. */
        juce::String word()
        {
            skipSpaces();
            auto start = pos;

            while (! pos.isEmpty() && ! pos.isWhitespace() && *pos != '"')
                ++pos;

            return juce::String (start, pos);
        }

        bool nextIsQuoted()
        {
            skipSpaces();
            return *pos == '"';
        }

        /** A quoted name; false (with a reason) when it is not one. */
        bool quoted (juce::String& result, juce::String& error)
        {
            skipSpaces();

            if (*pos != '"')
            {
                error = "a quoted name was expected";
                return false;
            }

            ++pos;
            juce::String text;
            int length = 0;

            for (;;)
            {
                if (pos.isEmpty())
                {
                    error = "a quoted name is not closed";
                    return false;
                }

                auto c = pos.getAndAdvance();

                if (c == '"')
                    break;

                if (c == '\\')
                {
                    if (pos.isEmpty())
                    {
                        error = "a quoted name is not closed";
                        return false;
                    }

                    c = pos.getAndAdvance();
                }

                if (++length > MidiTrace::maximumNameLength)
                {
                    error = "a name is longer than " + juce::String (MidiTrace::maximumNameLength) + " characters";
                    return false;
                }

                text += juce::String::charToString (c);
            }

            result = text;
            return true;
        }

    private:
        void skipSpaces()
        {
            while (! pos.isEmpty() && pos.isWhitespace())
                ++pos;
        }

        juce::String::CharPointerType pos;
    };

    bool readNumber (const juce::String& text, double low, double high, double& result)
    {
        if (text.isEmpty() || text.length() > 20 || ! text.containsOnly ("0123456789.")
            || text.indexOfChar ('.') != text.lastIndexOfChar ('.') || text.startsWithChar ('.') || text.endsWithChar ('.'))
            return false;

        const auto value = text.getDoubleValue();

        if (! (value >= low && value <= high))
            return false;

        result = value;
        return true;
    }

    bool readCount (const juce::String& word, const juce::String& key, juce::int64 high, juce::int64& result)
    {
        if (! word.startsWith (key + "="))
            return false;

        const auto digits = word.fromFirstOccurrenceOf ("=", false, false);

        if (digits.isEmpty() || digits.length() > 12 || ! digits.containsOnly ("0123456789"))
            return false;

        result = digits.getLargeIntValue();
        return result <= high;
    }

    bool readHexBytes (LineReader& reader, std::vector<juce::uint8>& bytes, juce::String& error)
    {
        while (! reader.atEnd())
        {
            const auto word = reader.word();

            if (word.length() != 2 || ! word.containsOnly ("0123456789abcdefABCDEF"))
            {
                error = "'" + word.substring (0, 20) + "' is not a byte in hex";
                return false;
            }

            if ((int) bytes.size() >= MidiTrace::maximumMessageBytes)
            {
                error = "a message is longer than " + juce::String (MidiTrace::maximumMessageBytes) + " bytes";
                return false;
            }

            bytes.push_back ((juce::uint8) word.getHexValue32());
        }

        if (bytes.empty())
        {
            error = "a message has no bytes";
            return false;
        }

        return true;
    }

    bool readPorts (LineReader& reader, MidiTrace::Event& event, juce::String& error)
    {
        if (reader.word() != "in")
        {
            error = "'in' was expected after 'ports'";
            return false;
        }

        for (auto* list : { &event.inputs, &event.outputs })
        {
            while (reader.nextIsQuoted())
            {
                juce::String name;

                if (! reader.quoted (name, error))
                    return false;

                if (list->size() >= MidiTrace::maximumPorts)
                {
                    error = "more than " + juce::String (MidiTrace::maximumPorts) + " ports";
                    return false;
                }

                list->add (name);
            }

            if (list == &event.inputs && reader.word() != "out")
            {
                error = "'out' was expected after the input names";
                return false;
            }
        }

        if (! reader.atEnd())
        {
            error = "unexpected text after the output names";
            return false;
        }

        return true;
    }

    bool readImage (LineReader& reader, MidiTrace::Event& event, juce::String& error)
    {
        event.kind = MidiTrace::Event::Kind::image;

        if (! reader.quoted (event.entry, error))
            return false;

        if (! readCount (reader.word(), "packets", maximumImageBytes, event.packets)
            || ! readCount (reader.word(), "bytes", maximumImageBytes, event.byteCount))
        {
            error = "an image needs packets=<count> bytes=<count>";
            return false;
        }

        const auto digest = reader.word();

        if (! digest.startsWith ("sha256=") || digest.length() != 7 + 64
            || ! digest.substring (7).containsOnly ("0123456789abcdef"))
        {
            error = "an image needs sha256=<64 lower-case hex digits>";
            return false;
        }

        event.sha256 = digest.substring (7);

        if (! reader.atEnd())
        {
            error = "unexpected text after the digest";
            return false;
        }

        return true;
    }

    /** The number of the first line that is not valid UTF-8 (or holds a zero byte), or 0. The
        framework's strings and the line reader step through characters, and a broken sequence
        must not make them step past the end. */
    int firstLineNotUtf8 (const char* bytes, size_t size)
    {
        int number = 1;

        for (size_t start = 0; start < size; ++number)
        {
            auto end = start;

            while (end < size && bytes[end] != '\n')
                ++end;

            if (! OutsideText::isValidUtf8 (bytes + start, end - start))
                return number;

            start = end + 1;
        }

        return 0;
    }

    bool readEvent (const juce::String& line, MidiTrace::Event& event, juce::String& error)
    {
        LineReader reader (line.getCharPointer());

        if (! readNumber (reader.word(), 0.0, maximumMs, event.ms))
        {
            error = "a time in milliseconds was expected";
            return false;
        }

        const auto direction = reader.word();

        if (direction == "ports")
        {
            event.kind = MidiTrace::Event::Kind::ports;
            return readPorts (reader, event, error);
        }

        if (direction != "out" && direction != "in")
        {
            error = "unknown direction '" + direction.substring (0, 20) + "' (expected out, in or ports)";
            return false;
        }

        event.kind = direction == "out" ? MidiTrace::Event::Kind::out : MidiTrace::Event::Kind::in;

        if (! reader.quoted (event.port, error))
            return false;

        if (direction == "out" && reader.word() == "image")
            return readImage (reader, event, error);

        // Not an image: read the bytes again from after the port name.
        LineReader again (line.getCharPointer());
        again.word();
        again.word();
        juce::String ignored;
        again.quoted (ignored, error);
        return readHexBytes (again, event.bytes, error);
    }
}

juce::String MidiTrace::parse (const juce::String& text, MidiTrace& result)
{
    if (text.getNumBytesAsUTF8() > (size_t) maximumTextSize)
        return "line 1: the trace is larger than 16 MiB";

    if (const auto broken = firstLineNotUtf8 (text.toRawUTF8(), text.getNumBytesAsUTF8()))
        return "line " + juce::String (broken) + ": not valid UTF-8";

    MidiTrace trace;
    const auto lines = juce::StringArray::fromLines (text);
    double lastMs = 0.0;

    if (lines.isEmpty() || lines[0].trimEnd() != firstLine)
        return "line 1: not a MIDI trace (the first line must be \"" + juce::String (firstLine) + "\")";

    for (int i = 1; i < lines.size(); ++i)
    {
        const auto line = lines[i].trim();
        const auto number = "line " + juce::String (i + 1) + ": ";

        if (line.isEmpty())
            continue;

        if (line.startsWithChar ('#'))
        {
            const auto note = line.substring (1).trim();
            trace.notes.set (note.upToFirstOccurrenceOf (" ", false, false), note.fromFirstOccurrenceOf (" ", false, false));
            continue;
        }

        Event event;
        event.line = i + 1;
        juce::String error;

        if (! readEvent (line, event, error))
            return number + error;

        if (event.ms < lastMs)
            return number + "the time goes back";

        lastMs = event.ms;
        trace.events.push_back (std::move (event));
    }

    result = std::move (trace);
    return {};
}

juce::String MidiTrace::parseBytes (const void* data, size_t numBytes, MidiTrace& result)
{
    if (numBytes > (size_t) maximumTextSize)
        return "line 1: the trace is larger than 16 MiB";

    if (const auto broken = firstLineNotUtf8 (static_cast<const char*> (data), numBytes))
        return "line " + juce::String (broken) + ": not valid UTF-8";

    juce::String text;
    OutsideText::decodeUtf8 (data, numBytes, text);
    return parse (text, result);
}

juce::String MidiTrace::load (const juce::File& file, MidiTrace& result)
{
    if (! file.existsAsFile())
        return file.getFullPathName() + ": no such file";

    if (file.getSize() > maximumTextSize)
        return file.getFullPathName() + ": line 1: the trace is larger than 16 MiB";

    // A trace comes from outside: a FIFO or device named like one must not block the reader.
    juce::MemoryBlock bytes;

    if (! RegularFile::read (file, maximumTextSize, bytes))
        return file.getFullPathName() + ": not a regular file that can be read";

    const auto error = parseBytes (bytes.getData(), bytes.getSize(), result);
    return error.isEmpty() ? juce::String() : file.getFullPathName() + ": " + error;
}

juce::String MidiTrace::quote (const juce::String& name)
{
    return "\"" + name.replace ("\\", "\\\\").replace ("\"", "\\\"") + "\"";
}

juce::String MidiTrace::toHex (const juce::uint8* data, size_t size)
{
    return juce::String::toHexString (data, (int) size).toUpperCase();
}

juce::String MidiTrace::describe (const Event& event)
{
    switch (event.kind)
    {
        case Event::Kind::ports:
        {
            juce::String text ("ports in");

            for (auto& name : event.inputs)
                text << " " << quote (name);

            text << " out";

            for (auto& name : event.outputs)
                text << " " << quote (name);

            return text;
        }

        case Event::Kind::image:
            return "out " + quote (event.port) + " image " + quote (event.entry) + " packets=" + juce::String (event.packets)
                 + " bytes=" + juce::String (event.byteCount) + " sha256=" + event.sha256;

        case Event::Kind::out:
        case Event::Kind::in:
        default:
            return juce::String (event.kind == Event::Kind::in ? "in " : "out ") + quote (event.port) + " "
                 + toHex (event.bytes.data(), event.bytes.size());
    }
}

juce::String MidiTrace::formatEvent (const Event& event)
{
    return juce::String (event.ms, 3) + " " + describe (event);
}
