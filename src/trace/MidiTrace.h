#pragma once

#include <juce_core/juce_core.h>

#include <vector>

/** A recorded MIDI exchange in its plain-text form, and the reader and line formats for it.

    A trace starts with the line "# Vorn Firmware Updater MIDI trace 1", then "# key value"
    lines (version, device, definitions, package), then one line per event:

        <ms since start> ports in "<name>"... out "<name>"...
        <ms since start> out "<port>" <hex bytes>
        <ms since start> in "<port>" <hex bytes>
        <ms since start> out "<port>" image "<entry>" packets=<n> bytes=<n> sha256=<hex>

    Port and entry names are quoted; a quote or backslash inside is escaped with a backslash.
    A trace comes from outside (a user sends it in): parse() bounds every size and refuses a
    malformed one with the line number and a reason.
*/
class MidiTrace final
{
public:
    struct Event
    {
        enum class Kind { ports, out, in, image };

        Kind kind = Kind::out;
        double ms = 0.0;
        int line = 0;                      // line number in the trace text
        juce::String port;                 // out, in, image
        std::vector<juce::uint8> bytes;    // out, in
        juce::StringArray inputs, outputs; // ports
        juce::String entry;                // image
        juce::int64 packets = 0, byteCount = 0;
        juce::String sha256;               // image, 64 lower-case hex digits
    };

    static constexpr const char* firstLine = "# Vorn Firmware Updater MIDI trace 1";
    static constexpr juce::int64 maximumTextSize = 16 * 1024 * 1024;
    static constexpr int maximumMessageBytes = 65536;
    static constexpr int maximumPorts = 64;
    static constexpr int maximumNameLength = 256;

    juce::StringPairArray notes;      // the "# key value" header lines
    std::vector<Event> events;

    /** Reads a trace; on error returns "line N: reason" and leaves result as it was. */
    static juce::String parse (const juce::String& text, MidiTrace& result);

    /** Reads a trace from its bytes as a file holds them: bytes that are not valid UTF-8 are
        refused ("line N: not valid UTF-8") before any text is made of them. */
    static juce::String parseBytes (const void* data, size_t numBytes, MidiTrace& result);

    /** Reads a trace file (at most maximumTextSize bytes); errors name the file. */
    static juce::String load (const juce::File& file, MidiTrace& result);

    /** One event as a line (without the line break). */
    static juce::String formatEvent (const Event& event);

    static juce::String quote (const juce::String& name);
    static juce::String toHex (const juce::uint8* data, size_t size);
    /** "<kind> "<port>" <bytes or image summary>": an event without its time, for messages. */
    static juce::String describe (const Event& event);
};
