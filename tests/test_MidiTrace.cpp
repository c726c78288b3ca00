// The MIDI trace reader: what a support person receives from a user is outside input.

#include "base/OutsideText.h"
#include "trace/MidiTrace.h"

#include <gtest/gtest.h>

#include <cstring>

#if ! JUCE_WINDOWS
 #include <sys/stat.h>
#endif

namespace
{
juce::String refusal (const juce::String& body)
{
    MidiTrace trace;
    return MidiTrace::parse (juce::String (MidiTrace::firstLine) + "\n# device Quorrel\n" + body, trace);
}
}

TEST (MidiTraceReader, readsEveryKindOfLineWithQuotedNamesAndNotes)
{
    MidiTrace trace;
    const auto error = MidiTrace::parse (juce::String (MidiTrace::firstLine) + "\n"
                                         "# version 2.1.12\n"
                                         "# definitions inbuilt\n"
                                         "0.000 ports in \"Quorrel \\\"2\\\"\" \"A\\\\B\" out\n"
                                         "1.500 out \"Quorrel\" f0 7e 7F 06 01 F7\n"
                                         "\n"
                                         "20.125 in \"Quorrel\" F0 01 F7\n"
                                         "20.125 out \"Quorrel\" image \"quorrel-fw-2.1.13.syx\" packets=3 bytes=700 sha256="
                                         + juce::String::repeatedString ("ab", 32) + "\n",
                                         trace);
    ASSERT_TRUE (error.isEmpty()) << error;
    EXPECT_EQ (trace.notes["version"], "2.1.12");
    EXPECT_EQ (trace.notes["definitions"], "inbuilt");
    ASSERT_EQ (trace.events.size(), 4u);

    EXPECT_EQ (trace.events[0].inputs, juce::StringArray ("Quorrel \"2\"", "A\\B"));
    EXPECT_TRUE (trace.events[0].outputs.isEmpty());
    EXPECT_EQ (trace.events[1].bytes, (std::vector<juce::uint8> { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 }));
    EXPECT_DOUBLE_EQ (trace.events[1].ms, 1.5);
    EXPECT_EQ (trace.events[2].line, 7);
    EXPECT_EQ (trace.events[3].kind, MidiTrace::Event::Kind::image);
    EXPECT_EQ (trace.events[3].entry, "quorrel-fw-2.1.13.syx");
    EXPECT_EQ (trace.events[3].packets, 3);
    EXPECT_EQ (trace.events[3].byteCount, 700);

    // Written out again, each line reads back as it was.
    for (auto& event : trace.events)
    {
        MidiTrace again;
        ASSERT_TRUE (MidiTrace::parse (juce::String (MidiTrace::firstLine) + "\n" + MidiTrace::formatEvent (event), again).isEmpty());
        EXPECT_EQ (MidiTrace::describe (again.events[0]), MidiTrace::describe (event));
    }
}

TEST (MidiTraceReader, refusesAMalformedTraceWithTheLineNumberAndAReason)
{
    MidiTrace untouched;
    EXPECT_EQ (MidiTrace::parse ("0.000 out \"A\" F0 F7", untouched).upToFirstOccurrenceOf (":", true, false), "line 1:");
    EXPECT_TRUE (MidiTrace::parse ({}, untouched).startsWith ("line 1: not a MIDI trace"));
    EXPECT_TRUE (untouched.events.empty());

    EXPECT_EQ (refusal ("abc out \"A\" F0"), "line 3: a time in milliseconds was expected");
    EXPECT_EQ (refusal ("-1.000 out \"A\" F0"), "line 3: a time in milliseconds was expected");
    EXPECT_EQ (refusal ("1e9 out \"A\" F0"), "line 3: a time in milliseconds was expected");
    EXPECT_EQ (refusal ("1.000 sideways \"A\" F0"), "line 3: unknown direction 'sideways' (expected out, in or ports)");
    EXPECT_EQ (refusal ("1.000 out A F0"), "line 3: a quoted name was expected");
    EXPECT_EQ (refusal ("1.000 out \"A F0"), "line 3: a quoted name is not closed");
    EXPECT_EQ (refusal ("1.000 out \"A\\"), "line 3: a quoted name is not closed");
    EXPECT_EQ (refusal ("1.000 out \"A\""), "line 3: a message has no bytes");
    EXPECT_EQ (refusal ("1.000 in \"A\" F0 7G"), "line 3: '7G' is not a byte in hex");
    EXPECT_EQ (refusal ("1.000 in \"A\" F07E"), "line 3: 'F07E' is not a byte in hex");
    EXPECT_EQ (refusal ("2.000 in \"A\" F0\n1.000 in \"A\" F0"), "line 4: the time goes back");
    EXPECT_EQ (refusal ("1.000 ports \"A\""), "line 3: 'in' was expected after 'ports'");
    EXPECT_EQ (refusal ("1.000 ports in \"A\""), "line 3: 'out' was expected after the input names");
    EXPECT_EQ (refusal ("1.000 ports in out \"A\" B"), "line 3: unexpected text after the output names");
    EXPECT_EQ (refusal ("1.000 out \"A\" image \"x\" packets=1 bytes=x sha256=00"), "line 3: an image needs packets=<count> bytes=<count>");
    EXPECT_EQ (refusal ("1.000 out \"A\" image \"x\" packets=1 bytes=2 sha256=00"), "line 3: an image needs sha256=<64 lower-case hex digits>");

    const char broken[] = { '1', ' ', 'i', 'n', ' ', '"', 'A', '"', ' ', 'F', '0', ' ', (char) 0xff, 0 };
    EXPECT_EQ (refusal (juce::String::fromUTF8 (broken, (int) sizeof (broken) - 1)), "line 3: not valid UTF-8");

    // Bounds: a name, a message and a port list each have a limit.
    EXPECT_EQ (refusal ("1.000 in \"" + juce::String::repeatedString ("n", 257) + "\" F0"), "line 3: a name is longer than 256 characters");
    EXPECT_EQ (refusal ("1.000 in \"A\"" + juce::String::repeatedString (" F0", 65537)), "line 3: a message is longer than 65536 bytes");
    EXPECT_EQ (refusal ("1.000 ports in" + juce::String::repeatedString (" \"A\"", 65) + " out"), "line 3: more than 64 ports");
}

#if ! JUCE_WINDOWS
TEST (MidiTraceReader, aFifoNamedLikeATraceIsRefusedWithoutWaitingForAWriter)
{
    const juce::TemporaryFile fifo (".trace");
    ASSERT_EQ (::mkfifo (fifo.getFile().getFullPathName().toRawUTF8(), 0600), 0);

    MidiTrace trace;
    const auto error = MidiTrace::load (fifo.getFile(), trace);
    EXPECT_TRUE (error.endsWith (": not a regular file that can be read")) << error;
    fifo.getFile().deleteFile();
}
#endif

// Traces are shared for bug reports: bytes that are not UTF-8 (a lead byte whose continuation
// bytes are missing, also at the very end) are refused with their line before any text is made of
// them, and names other programs give their ports are read as UTF-8 when they are, shown whatever
// they hold, and shown with their control characters escaped.
TEST (MidiTraceReader, bytesThatAreNotUtf8AreRefusedWithTheirLineAndOutsideNamesAreReadSafely)
{
    MidiTrace trace;
    const auto fuzzed = juce::String ("IyBWb3JuIEZpcm13YXJlIFVwZGF0ZXIgTUlESSB0cmFjZSAxCiMgdmVyOCBdMSBGNwoxNTIyOC43NzMgb3V0ICJRdW9ycmVsIuCWqejgJ6mWqZbglqlVCmwtZnLUvVJyZXLUvS8fcmFjZSAxCiBNSURJIHRyYWNlIDEKIyB2ZXI4IF0xIEY3CjE1MjI4Ljc3MyBvdXQgIlF1b3JyZWwi4Jap4JapJ+iWqeCWqVUKbC1mctS9UnJlctQjIHZlcnLUvVJyIDdGZA==");
    juce::MemoryOutputStream decoded;
    ASSERT_TRUE (juce::Base64::convertFromBase64 (decoded, fuzzed));
    EXPECT_EQ (MidiTrace::parseBytes (decoded.getData(), decoded.getDataSize(), trace), "line 3: not valid UTF-8");

    juce::TemporaryFile file;
    const char cutAtTheEnd[] = "# Vorn Firmware Updater MIDI trace 1\n0.000 out \"Quorrel\xe2\x82";
    ASSERT_TRUE (file.getFile().replaceWithData (cutAtTheEnd, sizeof (cutAtTheEnd) - 1));
    EXPECT_TRUE (MidiTrace::load (file.getFile(), trace).endsWith (": line 2: not valid UTF-8"));
    const char zeroByte[] = "# Vorn Firmware Updater MIDI trace 1\n0.000 out \"Q\0\" F0 F7\n";
    EXPECT_EQ (MidiTrace::parseBytes (zeroByte, sizeof (zeroByte) - 1, trace), "line 2: not valid UTF-8");

    // Forms the framework's own check lets through, whose strings then overrun their storage: an
    // overlong form (the fuzzer's find, in a note line), a surrogate, and a code point past U+10FFFF.
    for (const auto* form : { "\xe0\x96\xa9", "\xc1\xbf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf0\x8f\xbf\xbf" })
    {
        juce::MemoryOutputStream text;
        text << "# Vorn Firmware Updater MIDI trace 1\n#note ";
        text.write (form, std::strlen (form));
        EXPECT_EQ (MidiTrace::parseBytes (text.getData(), text.getDataSize(), trace), "line 2: not valid UTF-8") << form;
    }

    const char* edges = "\xd6\xa9 \xe0\xa0\x80 \xed\x9f\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf";
    EXPECT_TRUE (OutsideText::isValidUtf8 (edges, std::strlen (edges)));
    EXPECT_TRUE (trace.events.empty());

    EXPECT_EQ (OutsideText::fromSystemName ("Q\xc3\xa9"), juce::String (juce::CharPointer_UTF8 ("Q\xc3\xa9")));
    EXPECT_EQ (OutsideText::fromSystemName ("Q\xe9"), juce::String (juce::CharPointer_UTF8 ("Q\xc3\xa9")));
    EXPECT_EQ (OutsideText::fromSystemName ("Q\xe2\x82").length(), 3);
    EXPECT_EQ (OutsideText::withControlsEscaped ("Q\a\x1b[2J\nfake"), "Q\\x07\\x1b[2J\\x0afake");
    EXPECT_FALSE (OutsideText::isPrintable ("Quorrel\x1b"));
    EXPECT_TRUE (OutsideText::isPrintable (juce::CharPointer_UTF8 ("Qu\xc3\xb6rrel 2")));
}
