#include "definitions/DefinitionsDocument.h"
#include "definitions/UpdaterDefinitions.h"

#include <gtest/gtest.h>

namespace
{
const juce::String rootMessage ("<FirmwareUpdaters> must be the root element.\n\nThe app will quit.");

/** A small Quorrel document whose first state shows one attribute text and one content text. */
juce::String documentWithTexts (const juce::String& attributeText, const juce::String& contentText, const juce::String& lineEnd = "\r\n")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + lineEnd
         + "<FirmwareUpdaters>" + lineEnd
         + "  <FirmwareUpdater deviceName=\"Quorrel\" communicationMode=\"MIDI\" MIDIDeviceID=\"0006\" fileNamePattern=\"q-\"" + lineEnd
         + "      initialState=\"Idle\" timeout=\"60\" timeoutState=\"Idle\">" + lineEnd
         + "    <State name=\"Idle\" pollingMode=\"none\">" + lineEnd
         + "      <TextField name=\"A\" text=\"" + attributeText + "\"/>" + lineEnd
         + "      <TextField name=\"C\">" + contentText + "</TextField>" + lineEnd
         + "    </State>" + lineEnd
         + "  </FirmwareUpdater>" + lineEnd
         + "</FirmwareUpdaters>" + lineEnd;
}

juce::StringArray textsOf (const UpdaterDefinitions& definitions)
{
    juce::StringArray texts;

    for (auto& instruction : definitions.getMachine()->findState ("Idle")->instructions)
        if (auto* field = dynamic_cast<const UpdaterDefinitions::TextFieldInstruction*> (instruction.get()))
            texts.add (field->getText());

    return texts;
}

juce::String errorOf (const juce::String& text)
{
    try
    {
        UpdaterDefinitions definitions (text, "Quorrel", false);
    }
    catch (const UpdaterDefinitions::FirmwareUpdaterException& e)
    {
        return e.getMessage();
    }

    return "(loaded)";
}

juce::String errorOfFile (const juce::File& file)
{
    try
    {
        UpdaterDefinitions definitions (file, "Quorrel", false);
    }
    catch (const UpdaterDefinitions::FirmwareUpdaterException& e)
    {
        return e.getMessage();
    }

    return "(loaded)";
}

juce::MemoryBlock utf16Bytes (const juce::String& text, bool bigEndian)
{
    juce::MemoryOutputStream out;
    out.writeByte (bigEndian ? (char) 0xfe : (char) 0xff);
    out.writeByte (bigEndian ? (char) 0xff : (char) 0xfe);

    for (auto p = text.getCharPointer(); ! p.isEmpty();)
    {
        auto c = (juce::uint32) p.getAndAdvance();
        juce::uint16 units[2] { (juce::uint16) c, 0 };
        int count = 1;

        if (c >= 0x10000)
        {
            c -= 0x10000;
            units[0] = (juce::uint16) (0xd800 + (c >> 10));
            units[1] = (juce::uint16) (0xdc00 + (c & 0x3ff));
            count = 2;
        }

        for (int i = 0; i < count; ++i)
            bigEndian ? out.writeShortBigEndian ((short) units[i]) : out.writeShort ((short) units[i]);
    }

    return out.getMemoryBlock();
}
} // namespace

//==============================================================================
TEST (DefinitionsDocument, lineBreaksInContentAndAttributesStayAsStored)
{
    const auto content = juce::String ("\r\nFirst line\r\n            \r\n2. Second\r\n        ");
    const auto attribute = juce::String ("Do not use a hub.\r\n        \r\nNOTE: native only.");

    UpdaterDefinitions definitions (documentWithTexts (attribute, content), "Quorrel", false);
    EXPECT_EQ (textsOf (definitions), juce::StringArray (attribute, content));

    // A document stored with LF alone keeps LF; a lone CR is kept too.
    UpdaterDefinitions unixDefinitions (documentWithTexts ("a\nb", "\nc\rd\n  ", "\n"), "Quorrel", false);
    EXPECT_EQ (textsOf (unixDefinitions), juce::StringArray ("a\nb", "\nc\rd\n  "));
}

TEST (DefinitionsDocument, referencesAndCdataInContentAreDecodedOnce)
{
    UpdaterDefinitions definitions (documentWithTexts ("x&#13;&#10;y", "a&#13;b<![CDATA[<raw>\r\n]]>&amp;#13;"), "Quorrel", false);
    EXPECT_EQ (textsOf (definitions), juce::StringArray ("x\r\ny", "a\rb<raw>\r\n&#13;"));
}

TEST (DefinitionsDocument, filesAreReadAsUtf8WithOrWithoutBomOrAsUtf16WithBom)
{
    const auto text = documentWithTexts (juce::String (juce::CharPointer_UTF8 ("Gr\xc3\xbc\xc3\x9f""e \xf0\x9f\x8e\xb9")), "\r\n\xe2\x82\xac\r\n");
    const juce::StringArray expected { juce::String (juce::CharPointer_UTF8 ("Gr\xc3\xbc\xc3\x9f""e \xf0\x9f\x8e\xb9")), "\r\n\xe2\x82\xac\r\n" };
    juce::TemporaryFile temp (".xml");
    const auto& file = temp.getFile();

    auto check = [&] (const juce::MemoryBlock& bytes, const char* form)
    {
        ASSERT_TRUE (file.replaceWithData (bytes.getData(), bytes.getSize())) << form;
        UpdaterDefinitions definitions (file, "Quorrel", false);
        EXPECT_EQ (textsOf (definitions).joinIntoString ("|"), juce::StringArray (expected).joinIntoString ("|")) << form;
    };

    const juce::MemoryBlock utf8 (text.toRawUTF8(), text.getNumBytesAsUTF8());
    juce::MemoryBlock utf8WithBom ("\xef\xbb\xbf", 3);
    utf8WithBom.append (utf8.getData(), utf8.getSize());

    check (utf8, "UTF-8");
    check (utf8WithBom, "UTF-8 with BOM");
    check (utf16Bytes (text, false), "UTF-16 LE");
    check (utf16Bytes (text, true), "UTF-16 BE");
}

TEST (DefinitionsDocument, aMissingEmptyOrBrokenFileGivesTheRootElementMessage)
{
    juce::TemporaryFile temp (".xml");
    EXPECT_EQ (errorOfFile (temp.getFile()), rootMessage);

    ASSERT_TRUE (temp.getFile().replaceWithText (""));
    EXPECT_EQ (errorOfFile (temp.getFile()), rootMessage);

    ASSERT_TRUE (temp.getFile().replaceWithText ("<FirmwareUpdaters><FirmwareUpdater deviceName=\"Quorrel\""));
    EXPECT_EQ (errorOfFile (temp.getFile()), rootMessage);

    // UTF-16 without a byte-order mark is not one of the accepted forms.
    auto bytes = utf16Bytes (documentWithTexts ("a", "b"), false);
    bytes.removeSection (0, 2);
    ASSERT_TRUE (temp.getFile().replaceWithData (bytes.getData(), bytes.getSize()));
    EXPECT_EQ (errorOfFile (temp.getFile()), rootMessage);

    EXPECT_EQ (errorOfFile (juce::File::getSpecialLocation (juce::File::tempDirectory)), rootMessage);
}

TEST (DefinitionsDocument, malformedBytesDecodeToReplacementCharacters)
{
    const char bytes[] = { 'a', (char) 0xc3, 'b', (char) 0xed, (char) 0xa0, (char) 0x80, (char) 0xf0, (char) 0x9f, 'c', (char) 0xc0, (char) 0xaf, 0, 'd' };
    const auto text = DefinitionsDocument::decode (bytes, sizeof (bytes));

    EXPECT_TRUE (text.startsWith ("a"));
    EXPECT_TRUE (text.containsChar ('b') && text.containsChar ('c'));
    EXPECT_FALSE (text.containsChar ('d')) << "the text ends at a NUL";
    EXPECT_TRUE (juce::CharPointer_UTF8::isValidString (text.toRawUTF8(), (int) text.getNumBytesAsUTF8()));
    EXPECT_EQ (text.indexOfChar (0xfffd), 1);

    const unsigned char loneSurrogate[] = { 0xff, 0xfe, 0x00, 0xd8, 'x', 0 };
    EXPECT_EQ (DefinitionsDocument::decode (loneSurrogate, sizeof (loneSurrogate)), juce::String::charToString (0xfffd) + "x");
}

TEST (DefinitionsDocument, hostileDocumentsAreRefusedInsteadOfCrashingTheParser)
{
    auto nested = [] (int depth)
    {
        return "<FirmwareUpdaters>" + juce::String::repeatedString ("<a x=\"</a>\">", depth) + "</FirmwareUpdaters>";
    };

    juce::String prepared;
    EXPECT_TRUE (DefinitionsDocument::prepareForParser (nested (DefinitionsDocument::maxNestingDepth - 1), prepared));
    EXPECT_FALSE (DefinitionsDocument::prepareForParser (nested (DefinitionsDocument::maxNestingDepth), prepared));
    EXPECT_EQ (errorOf (nested (200000)), rootMessage);

    // After a stray quote the parser ends the element and reads on, so the tags after it nest.
    const auto afterStrayQuote = "<FirmwareUpdaters><a \"" + juce::String::repeatedString ("<b>", 100000);
    EXPECT_FALSE (DefinitionsDocument::prepareForParser (afterStrayQuote, prepared));
    EXPECT_EQ (errorOf (afterStrayQuote), rootMessage);

    // An unknown entity whose name starts with '<' would be parsed as elements of its own.
    EXPECT_FALSE (DefinitionsDocument::prepareForParser ("<FirmwareUpdaters>&<a><a>;</FirmwareUpdaters>", prepared));

    // A DTD could define entities and point at other files.
    EXPECT_EQ (errorOf ("<!DOCTYPE r [<!ENTITY e \"<FirmwareUpdater/>\">]><FirmwareUpdaters>&e;</FirmwareUpdaters>"), rootMessage);

    // The parser would read past the end of the text after an unterminated hexadecimal reference.
    EXPECT_EQ (errorOf ("<FirmwareUpdaters>&#x"), rootMessage);
    EXPECT_EQ (errorOf ("<FirmwareUpdaters a=\"&#x"), rootMessage);
}
