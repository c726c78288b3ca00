#include "definitions/DefinitionsDocument.h"
#include "definitions/UpdaterDefinitions.h"

#include <gtest/gtest.h>
#if ! JUCE_WINDOWS
 #include <sys/stat.h>
#endif

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

juce::String errorOfBytes (const juce::MemoryBlock& bytes)
{
    try
    {
        UpdaterDefinitions definitions (bytes, "Quorrel", false);
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

TEST (DefinitionsDocument, everyDocumentThatIsNotWellFormedGetsTheRootElementMessage)
{
    const auto good = documentWithTexts ("a", "b");
    const auto lastEndTag = good.lastIndexOf ("</FirmwareUpdaters>");

    auto nested = [] (int depth)
    {
        // Root plus depth - 1 levels below it.
        return "<FirmwareUpdaters>" + juce::String::repeatedString ("<a>", depth - 1)
             + juce::String::repeatedString ("</a>", depth - 1) + "</FirmwareUpdaters>";
    };

    auto bytesOf = [] (const juce::String& text) { return juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8()); };
    auto withBytes = [] (const juce::String& before, std::initializer_list<unsigned char> raw, const juce::String& after)
    {
        juce::MemoryBlock bytes (before.toRawUTF8(), before.getNumBytesAsUTF8());

        for (auto b : raw)
            bytes.append (&b, 1);

        bytes.append (after.toRawUTF8(), after.getNumBytesAsUTF8());
        return bytes;
    };

    auto utf16WithoutMark = utf16Bytes (good, false);
    utf16WithoutMark.removeSection (0, 2);
    auto utf16LoneSurrogate = utf16Bytes ("<FirmwareUpdaters>", false);
    utf16LoneSurrogate.append ("\x00\xd8", 2);
    const auto endTag = utf16Bytes ("</FirmwareUpdaters>", false);
    utf16LoneSurrogate.append (static_cast<const char*> (endTag.getData()) + 2, endTag.getSize() - 2);
    auto utf16OddLength = utf16Bytes (good, true);
    utf16OddLength.append ("x", 1);

    const std::pair<const char*, juce::MemoryBlock> refused[] = {
        { "empty", {} },
        { "white space only", bytesOf (" \r\n ") },
        { "cut off in its last end tag", bytesOf (good.substring (0, lastEndTag + 10)) },
        { "without its last end tag", bytesOf (good.substring (0, lastEndTag)) },
        { "an end tag that does not match", bytesOf (good.replace ("</State>", "</Stat>")) },
        { "text after the root element", bytesOf (good + "trailing") },
        { "a second element after the root", bytesOf (good + "<FirmwareUpdaters/>") },
        { "a bare & in text", bytesOf (documentWithTexts ("a", "Q & A")) },
        { "a bare < in text", bytesOf (documentWithTexts ("a", "1 < 2")) },
        { "a bare < in an attribute", bytesOf (documentWithTexts ("1 < 2", "b")) },
        { "an undefined entity", bytesOf (documentWithTexts ("a", "&nbsp;")) },
        { "an entity without its ;", bytesOf (documentWithTexts ("a", "&amp b")) },
        { "a malformed character reference", bytesOf (documentWithTexts ("a", "&#xZZ;")) },
        { "a reference to character 0", bytesOf (documentWithTexts ("&#0;", "b")) },
        { "an unterminated reference at the end", bytesOf ("<FirmwareUpdaters>&#x") },
        { "a duplicate attribute", bytesOf (good.replace ("pollingMode=\"none\"", "pollingMode=\"none\" pollingMode=\"x\"")) },
        { "an unterminated comment", bytesOf (good.replace ("<State ", "<!-- <State ")) },
        { "a stray quote in a tag", bytesOf ("<FirmwareUpdaters><a \"" + juce::String::repeatedString ("<b>", 1000)) },
        { "an entity name starting with <", bytesOf ("<FirmwareUpdaters>&<a><a>;</FirmwareUpdaters>") },
        { "a truncated UTF-8 sequence", withBytes (documentWithTexts ("a", "x"), { 0xc3 }, "") },
        { "a UTF-8 lead byte without its continuation", withBytes ("<FirmwareUpdaters>a", { 0xc3 }, "b</FirmwareUpdaters>") },
        { "an overlong UTF-8 form", withBytes ("<FirmwareUpdaters>", { 0xc0, 0xaf }, "</FirmwareUpdaters>") },
        { "a UTF-8 encoded surrogate", withBytes ("<FirmwareUpdaters>", { 0xed, 0xa0, 0x80 }, "</FirmwareUpdaters>") },
        { "a NUL byte", withBytes ("<FirmwareUpdaters>a", { 0x00 }, "b</FirmwareUpdaters>") },
        { "Latin-1 bytes, even when declared", withBytes ("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><FirmwareUpdaters>", { 0xfc }, "</FirmwareUpdaters>") },
        { "UTF-16 without a byte-order mark", utf16WithoutMark },
        { "UTF-16 with a lone surrogate", utf16LoneSurrogate },
        { "UTF-16 with an odd number of bytes", utf16OddLength },
        { "a document type declaration", bytesOf ("<!DOCTYPE r [<!ENTITY e \"<FirmwareUpdater/>\">]><FirmwareUpdaters>&e;</FirmwareUpdaters>") },
        { "a plain document type declaration", bytesOf ("<!DOCTYPE FirmwareUpdaters>" + good.fromFirstOccurrenceOf ("?>", false, false)) },
        { "a processing instruction inside the root", bytesOf ("<FirmwareUpdaters><a> <?pi?>text</a></FirmwareUpdaters>") },
        { "nesting one level too deep", bytesOf (nested (DefinitionsDocument::maxNestingDepth + 1)) },
        { "nesting far too deep", bytesOf (nested (200000)) },
    };

    juce::TemporaryFile temp (".xml");

    for (auto& [form, bytes] : refused)
    {
        EXPECT_EQ (errorOfBytes (bytes), rootMessage) << form;

        // The same bytes as a file, and as text where they are text at all.
        ASSERT_TRUE (temp.getFile().replaceWithData (bytes.getData(), bytes.getSize())) << form;
        EXPECT_EQ (errorOfFile (temp.getFile()), rootMessage) << form;

        if (juce::CharPointer_UTF8::isValidString (static_cast<const char*> (bytes.getData()), (int) bytes.getSize()))
        {
            EXPECT_EQ (errorOf (bytes.toString()), rootMessage) << form;
        }
    }

    // The limits themselves still load: the deepest nesting accepted and processing
    // instructions outside the root element (the nested document has no Quorrel definition).
    const auto noDefinition = errorOf (nested (DefinitionsDocument::maxNestingDepth));
    EXPECT_TRUE (noDefinition.startsWith ("No <FirmwareUpdater> element")) << noDefinition;
    EXPECT_EQ (errorOf ("<?pi before?>" + good.fromFirstOccurrenceOf ("?>", false, false) + "<?pi after?>"), "(loaded)");
}

TEST (DefinitionsDocument, wellFormedFormsLoadAsBefore)
{
    const auto good = documentWithTexts ("a", "b");
    const juce::StringArray expected { "a", "b" };

    // Comments anywhere, a declared encoding that the byte-order mark overrules, references.
    const juce::StringArray forms {
        "<!-- before -->" + good.fromFirstOccurrenceOf ("?>", false, false) + "<!-- after -->\r\n",
        good.replace ("<State ", "<!-- a comment --><State ").replace ("</State>", "<!-- x --></State>"),
        documentWithTexts ("a", "<!-- in -->b<!-- text -->"),
        documentWithTexts ("&#97;", "&#x62;"),
        good.replace ("encoding=\"UTF-8\"", "encoding=\"utf-8\" standalone=\"yes\""),
        good.fromFirstOccurrenceOf ("?>", false, false).trimStart(),
    };

    for (auto& form : forms)
    {
        SCOPED_TRACE (form.toStdString());
        EXPECT_EQ (textsOf (UpdaterDefinitions (form, "Quorrel", false)), expected);
    }

    // A document larger than the bound is refused even when well-formed.
    const auto padded = good.replace ("</State>", "<!--" + juce::String::repeatedString (" ", (int) DefinitionsDocument::maxFileSize) + "--></State>");
    EXPECT_EQ (errorOf (padded), rootMessage);
    EXPECT_EQ (textsOf (UpdaterDefinitions (good.replace ("</State>", "<!--" + juce::String::repeatedString (" ", (int) DefinitionsDocument::maxFileSize - good.length() - 8) + "--></State>"), "Quorrel", false)), expected);
}

#if ! JUCE_WINDOWS
TEST (DefinitionsDocument, aDefinitionsFileThatIsNoRegularFileIsRefusedWithoutBlocking)
{
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("vfu-definitions-" + juce::Uuid().toString());
    ASSERT_TRUE (folder.createDirectory());
    const auto fifo = folder.getChildFile ("StateMachines.xml");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);

    // Opening a FIFO for reading would wait for a writer for ever.
    EXPECT_EQ (errorOfFile (fifo), rootMessage);

    const auto link = folder.getChildFile ("link.xml");
    ASSERT_TRUE (fifo.createSymbolicLink (link, true));
    EXPECT_EQ (errorOfFile (link), rootMessage);
    EXPECT_EQ (errorOfFile (juce::File ("/dev/null")), rootMessage);

    // A link to a good document is read through.
    const auto document = folder.getChildFile ("real.xml");
    ASSERT_TRUE (document.replaceWithText (documentWithTexts ("a", "b")));
    ASSERT_TRUE (document.createSymbolicLink (link, true));
    EXPECT_EQ (errorOfFile (link), "(loaded)");

    folder.deleteRecursively();
}
#endif
