#include "definitions/UpdaterDefinitions.h"
#include "base/AppLog.h"

#include <gtest/gtest.h>

using Definitions = UpdaterDefinitions;

namespace
{
const juce::String quit ("\n\nThe app will quit.");
const juce::String afterLines ("\nThe app will quit."); // after collected lines, which end in a line break

juce::String updaterElement (const juce::String& attributes, const juce::String& content)
{
    return "<FirmwareUpdater " + attributes + ">" + content + "</FirmwareUpdater>";
}

const juce::String goodAttributes ("deviceName=\"Quorrel\" communicationMode=\"MIDI\" MIDIDeviceID=\"0006\" "
                                   "fileNamePattern=\"quorrel-fw-\" initialState=\"Idle\" timeout=\"60\" timeoutState=\"Idle\"");

/** A document with one Quorrel definition whose states are given. */
juce::String quorrelWith (const juce::String& states, const juce::String& attributes = goodAttributes)
{
    return "<FirmwareUpdaters>" + updaterElement (attributes, states) + "</FirmwareUpdaters>";
}

juce::String withAttribute (const juce::String& name, const juce::String& value)
{
    juce::StringArray parts;
    parts.addTokens (goodAttributes, " ", "\"");
    for (int i = parts.size(); --i >= 0;)
        if (parts[i].startsWith (name + "="))
            parts.remove (i);

    if (value.isNotEmpty())
        parts.add (name + "=\"" + value + "\"");

    return parts.joinIntoString (" ");
}

const juce::String idleState ("<State name=\"Idle\" pollingMode=\"none\"/>");

juce::String errorOf (const juce::String& text, const juce::String& device = "Quorrel", bool console = false)
{
    try
    {
        Definitions definitions (text, device, console);
    }
    catch (const Definitions::FirmwareUpdaterException& e)
    {
        return e.getMessage();
    }

    return "(loaded)";
}

std::unique_ptr<Definitions> load (const juce::String& text, const juce::String& device = "Quorrel", bool console = false)
{
    return std::make_unique<Definitions> (text, device, console);
}

/** The lines that loading the document writes to the log, without their time stamps. */
juce::StringArray loaderLogLines (const juce::String& text)
{
    juce::TemporaryFile logFile;
    AppLog::createLogAt (logFile.getFile(), "test");
    errorOf (text);
    AppLog::closeLog();

    juce::StringArray found;

    for (auto& line : juce::StringArray::fromLines (logFile.getFile().loadFileAsString()))
        if (line.contains (" - Unknown instruction : ") || line.contains (" - Definitions error: "))
            found.add (line.fromFirstOccurrenceOf (" - ", false, false));

    return found;
}

// The name is a plain C string: a juce::String made for the call would be a temporary that the
// returned reference might seem to come from (GCC 14's -Wdangling-reference).
const Definitions::State& stateOf (const Definitions& definitions, const char* name)
{
    auto* state = definitions.getMachine()->findState (name);

    if (state == nullptr)
        throw std::runtime_error (std::string ("no state ") + name);

    return *state;
}

template <typename Kind>
const Kind& instructionAt (const Definitions::State::InstructionList& list, size_t index)
{
    if (index >= list.size())
        throw std::runtime_error ("no instruction at that index");

    auto* instruction = dynamic_cast<const Kind*> (list[index].get());

    if (instruction == nullptr)
        throw std::runtime_error ("instruction of another kind");

    return *instruction;
}
} // namespace

//==============================================================================
TEST (DefinitionsLoader, aDocumentWithoutTheFirmwareUpdatersRootIsRefused)
{
    const auto expected = "<FirmwareUpdaters> must be the root element." + quit;

    EXPECT_EQ (errorOf (""), expected);
    EXPECT_EQ (errorOf ("   \r\n "), expected);
    EXPECT_EQ (errorOf (updaterElement (goodAttributes, idleState)), expected);
    EXPECT_EQ (errorOf ("<FirmwareUpdaters><FirmwareUpdater"), expected);
    EXPECT_EQ (errorOf ("<firmwareupdaters>" + updaterElement (goodAttributes, idleState) + "</firmwareupdaters>"), expected);
}

TEST (DefinitionsLoader, missingAttributesAreCollectedInTheirFixedOrder)
{
    auto attributes = withAttribute ("MIDIDeviceID", {});
    attributes = attributes.replace ("timeout=\"60\"", "");

    EXPECT_EQ (errorOf (quorrelWith (idleState, attributes)),
               "MIDIDeviceID argument is missing or empty.\n"
               "MIDIDeviceID must have a size of 4 hexadecimal numbers.\n"
               "timeout argument is missing or empty.\n" + afterLines);

    EXPECT_EQ (errorOf (quorrelWith (idleState, "deviceName=\"Quorrel\"")),
               "communicationMode argument is missing or empty.\n"
               "MIDIDeviceID argument is missing or empty.\n"
               "fileNamePattern argument is missing or empty.\n"
               "initinalState argument is missing or empty.\n"
               "MIDIDeviceID must have a size of 4 hexadecimal numbers.\n"
               "timeout argument is missing or empty.\n"
               "timeoutState argument is missing or empty.\n" + afterLines);
}

TEST (DefinitionsLoader, midiDeviceIdMustBeFourUpperCaseHexDigits)
{
    const juce::String sizeLine ("MIDIDeviceID must have a size of 4 hexadecimal numbers.\n");
    const juce::String digitLine ("MIDIDeviceID must only contain hexadecimal numbers.\n");

    EXPECT_EQ (errorOf (quorrelWith (idleState, withAttribute ("MIDIDeviceID", "000b"))), digitLine + afterLines);
    EXPECT_EQ (errorOf (quorrelWith (idleState, withAttribute ("MIDIDeviceID", "00B"))), sizeLine + afterLines);
    EXPECT_EQ (errorOf (quorrelWith (idleState, withAttribute ("MIDIDeviceID", "0000B"))), sizeLine + afterLines);
    EXPECT_EQ (errorOf (quorrelWith (idleState, withAttribute ("MIDIDeviceID", "0x6"))), sizeLine + digitLine + afterLines);
    EXPECT_EQ (errorOf (quorrelWith (idleState, withAttribute ("MIDIDeviceID", " 006"))), digitLine + afterLines);

    EXPECT_EQ (load (quorrelWith (idleState, withAttribute ("MIDIDeviceID", "0006")))->getDeviceId(), 6);
    EXPECT_EQ (load (quorrelWith (idleState, withAttribute ("MIDIDeviceID", "0009")))->getDeviceId(), 9);
    EXPECT_EQ (load (quorrelWith (idleState, withAttribute ("MIDIDeviceID", "00A0")))->getDeviceId(), 160);
    EXPECT_EQ (load (quorrelWith (idleState, withAttribute ("MIDIDeviceID", "FFFF")))->getDeviceId(), 0xffff);
}

TEST (DefinitionsLoader, timeoutIsReadLikeAtoiAndMinusOneCountsAsMissing)
{
    EXPECT_EQ (load (quorrelWith (idleState, withAttribute ("timeout", "abc")))->getTimeout(), 0);
    EXPECT_EQ (load (quorrelWith (idleState, withAttribute ("timeout", "45s")))->getTimeout(), 45);
    EXPECT_EQ (load (quorrelWith (idleState, withAttribute ("timeout", " +7")))->getTimeout(), 7);
    EXPECT_EQ (errorOf (quorrelWith (idleState, withAttribute ("timeout", "-1"))), "timeout argument is missing or empty.\n" + afterLines);
}

TEST (DefinitionsLoader, readIntegerFollowsAtoiWithoutOverflow)
{
    EXPECT_EQ (Definitions::readInteger (""), 0);
    EXPECT_EQ (Definitions::readInteger ("x12"), 0);
    EXPECT_EQ (Definitions::readInteger ("\t\n\v\f\r 12x"), 12);
    EXPECT_EQ (Definitions::readInteger ("-0032"), -32);
    EXPECT_EQ (Definitions::readInteger ("+-3"), 0);
    EXPECT_EQ (Definitions::readInteger ("- 3"), 0);
    EXPECT_EQ (Definitions::readInteger ("1 2"), 1);
    EXPECT_EQ (Definitions::readInteger ("2147483647"), 2147483647);
    EXPECT_EQ (Definitions::readInteger ("99999999999999999999999"), std::numeric_limits<int>::max());
    EXPECT_EQ (Definitions::readInteger ("-99999999999999999999999"), std::numeric_limits<int>::min());
}

TEST (DefinitionsLoader, readDecimalGivesZeroForTextThatIsNoFiniteNumber)
{
    EXPECT_DOUBLE_EQ (Definitions::readDecimal ("0.02"), 0.02);
    EXPECT_DOUBLE_EQ (Definitions::readDecimal (" 5.0s"), 5.0);
    EXPECT_DOUBLE_EQ (Definitions::readDecimal ("-3"), -3.0);
    EXPECT_DOUBLE_EQ (Definitions::readDecimal ("1e2"), 100.0);
    EXPECT_DOUBLE_EQ (Definitions::readDecimal ("abc"), 0.0);
    EXPECT_DOUBLE_EQ (Definitions::readDecimal (""), 0.0);
    EXPECT_DOUBLE_EQ (Definitions::readDecimal ("inf"), 0.0);
    EXPECT_DOUBLE_EQ (Definitions::readDecimal ("nan"), 0.0);
    EXPECT_DOUBLE_EQ (Definitions::readDecimal ("1e999"), 0.0);
}

TEST (DefinitionsLoader, pollingResultWordsAreCaseInsensitiveAndUnknownOnesMeanNoDevice)
{
    EXPECT_EQ (Definitions::pollingResultFromWord ("no device"), PollingResult::NoDevice);
    EXPECT_EQ (Definitions::pollingResultFromWord ("Device Detected"), PollingResult::DeviceDetected);
    EXPECT_EQ (Definitions::pollingResultFromWord ("BOOTLOADER DETECTED"), PollingResult::BootloaderDetected);
    EXPECT_EQ (Definitions::pollingResultFromWord ("Panel mode detected"), PollingResult::PanelModeDetected);
    EXPECT_EQ (Definitions::pollingResultFromWord ("panel no update"), PollingResult::PanelNoUpdate);
    EXPECT_EQ (Definitions::pollingResultFromWord ("Panel erased"), PollingResult::PanelErased);
    EXPECT_EQ (Definitions::pollingResultFromWord ("panel firmware sending"), PollingResult::PanelFirmwareSending);
    EXPECT_EQ (Definitions::pollingResultFromWord ("panel firmware succeeded"), PollingResult::PanelFirmwareSucceeded);
    EXPECT_EQ (Definitions::pollingResultFromWord ("panel update failed"), PollingResult::PanelUpdateFailed);
    EXPECT_EQ (Definitions::pollingResultFromWord ("gone"), PollingResult::NoDevice);
    EXPECT_EQ (Definitions::pollingResultFromWord (" device detected"), PollingResult::NoDevice);
}

TEST (DefinitionsLoader, tailBytesAreSkippedForEveryDeviceButDorrickAndQuorrel)
{
    EXPECT_EQ (Definitions::tailBytesToSkipFor ("Halvane XV"), 2);
    EXPECT_EQ (Definitions::tailBytesToSkipFor ("Dorrick"), 0);
    EXPECT_EQ (Definitions::tailBytesToSkipFor ("Quorrel"), 0);
    EXPECT_EQ (Definitions::tailBytesToSkipFor ("Vantoline"), 2);
    EXPECT_EQ (Definitions::tailBytesToSkipFor ("quorrel"), 2);
    EXPECT_EQ (load (quorrelWith (idleState))->getTailBytesToSkip(), 0);
}

TEST (DefinitionsLoader, onlyTheMatchingDeviceAndConsoleModeIsSelected)
{
    const auto other = updaterElement ("deviceName=\"Vantoline\"", {});
    const auto console = updaterElement (withAttribute ("consoleMode", "true").replace ("\"Idle\"", "\"Console\""),
                                         "<State name=\"Console\" pollingMode=\"none\"/>");
    const auto windowedTrue = updaterElement (withAttribute ("consoleMode", "TRUE"), idleState);

    // Another device's element may lack everything but its name; the console one is skipped.
    auto definitions = load ("<FirmwareUpdaters>" + other + console + windowedTrue + "</FirmwareUpdaters>");
    EXPECT_EQ (definitions->getMachine()->initialState, "Idle");

    auto consoleDefinitions = load ("<FirmwareUpdaters>" + other + console + windowedTrue + "</FirmwareUpdaters>", "Quorrel", true);
    EXPECT_EQ (consoleDefinitions->getMachine()->initialState, "Console");
    EXPECT_TRUE (consoleDefinitions->isConsoleMode());

    EXPECT_EQ (errorOf ("<FirmwareUpdaters>" + updaterElement ("communicationMode=\"MIDI\"", {}) + quorrelWith (idleState) + "</FirmwareUpdaters>"),
               "deviceName argument is missing or empty.\n" + afterLines);
}

TEST (DefinitionsLoader, noDefinitionForTheDeviceIsReportedAfterTheWholeDocument)
{
    const auto document = "<FirmwareUpdaters>" + updaterElement (withAttribute ("consoleMode", "true"), idleState)
                        + updaterElement ("deviceName=\"Vantoline\"", {}) + "</FirmwareUpdaters>";

    EXPECT_EQ (errorOf (document), "No <FirmwareUpdater> element for 'Quorrel' with consoleMode = false." + quit);
    EXPECT_EQ (errorOf (document, "Halvane XV", true), "No <FirmwareUpdater> element for 'Halvane XV' with consoleMode = true." + quit);

    // An element further on without a deviceName is still found.
    EXPECT_EQ (errorOf (document.replace ("</FirmwareUpdaters>", "<FirmwareUpdater/></FirmwareUpdaters>")),
               "deviceName argument is missing or empty.\n" + afterLines);
}

TEST (DefinitionsLoader, aSecondElementForTheSameKeyReportsItsAttributesBeforeTheDuplicate)
{
    const auto first = updaterElement (goodAttributes, idleState);

    EXPECT_EQ (errorOf ("<FirmwareUpdaters>" + first + first + "</FirmwareUpdaters>"),
               "Multiple <FirmwareUpdater> elements for 'Quorrel' with consoleMode = false." + quit);
    EXPECT_EQ (errorOf ("<FirmwareUpdaters>" + first + updaterElement (withAttribute ("fileNamePattern", {}), idleState) + "</FirmwareUpdaters>"),
               "fileNamePattern argument is missing or empty.\n" + afterLines);
}

TEST (DefinitionsLoader, stateErrorsComeInDocumentOrderBeforeInitialAndTimeoutState)
{
    EXPECT_EQ (errorOf (quorrelWith ("<State pollingMode=\"none\"/>" + idleState)), "Missing or empty State name." + quit);
    EXPECT_EQ (errorOf (quorrelWith ("<State/>")), "Missing or empty State name." + quit);
    EXPECT_EQ (errorOf (quorrelWith ("<State name=\"Idle\"/>")), "State 'Idle' : pollingMode attribute is missing." + quit);
    EXPECT_EQ (errorOf (quorrelWith ("<State name=\"Idle\" pollingMode=\"\"/>")), "State 'Idle' : pollingMode attribute is missing." + quit);
    EXPECT_EQ (errorOf (quorrelWith (idleState + idleState)), "State 'Idle' is duplicated." + quit);

    // A state that is neither initial nor timeout state, with a bad transition, comes last.
    const auto badTransition = "<State name=\"B\" pollingMode=\"none\"><PollingState value=\"x\" gotoState=\"Nowhere\"/></State>";
    EXPECT_EQ (errorOf (quorrelWith (badTransition, withAttribute ("initialState", "Start"))), "initialState 'Start' does not exist." + quit);
    EXPECT_EQ (errorOf (quorrelWith (badTransition + idleState, withAttribute ("timeoutState", "Later"))), "timeoutState 'Later' does not exist." + quit);
    EXPECT_EQ (errorOf (quorrelWith (badTransition + idleState)), "State 'B' gotoState 'Nowhere' in PollingState 'x' does not exist." + quit);
}

TEST (DefinitionsLoader, badTransitionTargetsUseTwoMessageForms)
{
    EXPECT_EQ (errorOf (quorrelWith ("<State name=\"Idle\" pollingMode=\"none\"><Check name=\"c\" value=\"true\">"
                                     "<PollingState value=\"Device detected\" gotoState=\"Gone\"/></Check></State>")),
               "State 'Idle' gotoState 'Gone' in PollingState 'Device detected' does not exist." + quit);

    EXPECT_EQ (errorOf (quorrelWith ("<State name=\"Idle\" pollingMode=\"none\"><SendSysEx messageKind=\"fw\">"
                                     "<PollingState value=\"No device\" gotoState=\"Gone\"/></SendSysEx></State>")),
               "State 'Idle' gotoState 'Gone' in PollingState 'No device'does not exist." + quit);

    // Names are compared exactly.
    EXPECT_EQ (errorOf (quorrelWith ("<State name=\"Idle\" pollingMode=\"none\"><PollingState value=\"\" gotoState=\"idle\"/></State>")),
               "State 'Idle' gotoState 'idle' in PollingState '' does not exist." + quit);
}

TEST (DefinitionsLoader, unresolvedGotoButtonAndTimeoutStatesAreLeftToTheEngine)
{
    auto definitions = load (quorrelWith ("<State name=\"Idle\" pollingMode=\"none\" timeoutState=\"Elsewhere\">"
                                          "<GotoState state=\"Nowhere\"/><Button name=\"b\" gotoState=\"Void\"/></State>"));
    const auto& idle = stateOf (*definitions, "Idle");
    EXPECT_EQ (idle.getAttribute ("timeoutState"), "Elsewhere");
    EXPECT_EQ (instructionAt<Definitions::GotoStateInstruction> (idle.instructions, 0).getState(), "Nowhere");
    EXPECT_EQ (instructionAt<Definitions::ButtonInstruction> (idle.instructions, 1).getGotoState(), "Void");
}

TEST (DefinitionsLoader, theFirstTransitionForAResultWinsWhereverItStands)
{
    auto definitions = load (quorrelWith (
        "<State name=\"Idle\" pollingMode=\"MIDI Device Inquiry\" extra=\"kept\">"
        "  <Check name=\"versionNumber\" value=\"false\">"
        "    <Check name=\"other\" value=\"true\"><PollingState value=\"Device Detected\" gotoState=\"B\"/></Check>"
        "  </Check>"
        "  <PollingState value=\"device detected\" gotoState=\"Idle\"/>"
        "  <PollingState value=\"gone\" gotoState=\"B\"/>"
        "  <PollingState value=\"No device\" gotoState=\"Idle\"/>"
        "  <SendSysEx messageKind=\"fw\">"
        "    <PollingState value=\"Bootloader detected\" gotoState=\"Idle\"/>"
        "    <Other/>"
        "    <PollingState value=\"bootloader detected\" gotoState=\"B\"/>"
        "  </SendSysEx>"
        "</State><State name=\"B\" pollingMode=\"none\"/>"));

    const auto& idle = stateOf (*definitions, "Idle");
    const Definitions::State::Transitions expected { { PollingResult::NoDevice, "B" }, { PollingResult::DeviceDetected, "B" } };
    EXPECT_EQ (idle.pollingStates, expected);
    EXPECT_EQ (idle.getAttribute ("pollingMode"), "MIDI Device Inquiry");
    EXPECT_EQ (idle.getAttribute ("extra"), "kept");
    EXPECT_EQ (idle.getAttribute ("name"), "");

    // Transitions are no steps: only the Check and the SendSysEx are instructions.
    ASSERT_EQ (idle.instructions.size(), 2u);
    const auto& outer = instructionAt<Definitions::CheckInstruction> (idle.instructions, 0);
    EXPECT_EQ (outer.getName(), "versionNumber");
    EXPECT_FALSE (outer.getValue());
    const auto& inner = instructionAt<Definitions::CheckInstruction> (outer.getInstructions(), 0);
    EXPECT_TRUE (inner.getValue());
    EXPECT_TRUE (inner.getInstructions().empty());

    const auto& send = instructionAt<Definitions::SendSysExInstruction> (idle.instructions, 1);
    const Definitions::State::Transitions sendExpected { { PollingResult::BootloaderDetected, "Idle" } };
    EXPECT_EQ (send.getPollingStates(), sendExpected);
}

TEST (DefinitionsLoader, instructionFieldsTakeTheirDefaultsAndBounds)
{
    auto sendWith = [] (const juce::String& attributes)
    {
        auto definitions = load (quorrelWith ("<State name=\"Idle\" pollingMode=\"none\"><SendSysEx messageKind=\"q-$(version)\" " + attributes + "/></State>"));
        const auto& send = instructionAt<Definitions::SendSysExInstruction> (stateOf (*definitions, "Idle").instructions, 0);
        return std::make_pair (send.getPacketSize(), send.getWaitTime());
    };

    EXPECT_EQ (sendWith ("packetSize=\"16\"").first, 256);
    EXPECT_EQ (sendWith ("packetSize=\"31\"").first, 256);
    EXPECT_EQ (sendWith ("packetSize=\"32\"").first, 32);
    EXPECT_EQ (sendWith ("packetSize=\"255\"").first, 255);
    EXPECT_EQ (sendWith ("packetSize=\"300\"").first, 256);
    EXPECT_EQ (sendWith ("packetSize=\"-300\"").first, 256);
    EXPECT_EQ (sendWith ("packetSize=\"64 bytes\"").first, 64);
    EXPECT_EQ (sendWith ("").first, 256);

    EXPECT_FLOAT_EQ (sendWith ("waitTime=\"0\"").second, 0.5f);
    EXPECT_FLOAT_EQ (sendWith ("waitTime=\"-1\"").second, 0.5f);
    EXPECT_FLOAT_EQ (sendWith ("waitTime=\"abc\"").second, 0.5f);
    EXPECT_FLOAT_EQ (sendWith ("waitTime=\"0.02\"").second, 0.02f);
    EXPECT_FLOAT_EQ (sendWith ("waitTime=\"1e300\"").second, std::numeric_limits<float>::max());

    auto waitOf = [] (const juce::String& time)
    {
        auto definitions = load (quorrelWith ("<State name=\"Idle\" pollingMode=\"none\"><Wait time=\"" + time + "\"/></State>"));
        return instructionAt<Definitions::WaitInstruction> (stateOf (*definitions, "Idle").instructions, 0).getTime();
    };

    EXPECT_FLOAT_EQ (waitOf ("-3"), 0.0f);
    EXPECT_FLOAT_EQ (waitOf ("abc"), 0.0f);
    EXPECT_FLOAT_EQ (waitOf ("2.5"), 2.5f);
}

TEST (DefinitionsLoader, textFieldsJoinAttributeAndContentAsWritten)
{
    auto definitions = load (quorrelWith (
        "<State name=\"Idle\" pollingMode=\"none\">"
        "<TextField name=\"F\" text=\"A\">B</TextField>"
        "<TextField name=\"G\" text=\"  two&#10;lines &amp; more  \" visible=\"False\">\n  x <b>y</b> &lt;z&gt;\n  </TextField>"
        "<TextField name=\"H\" visible=\"false\"/>"
        "<Print text=\"to stdout\"/>"
        "</State>"));

    const auto& list = stateOf (*definitions, "Idle").instructions;
    const auto& f = instructionAt<Definitions::TextFieldInstruction> (list, 0);
    EXPECT_EQ (f.getName(), "F");
    EXPECT_EQ (f.getText(), "AB");
    EXPECT_TRUE (f.isVisible());

    const auto& g = instructionAt<Definitions::TextFieldInstruction> (list, 1);
    EXPECT_EQ (g.getText(), "  two\nlines & more  \n  x y <z>\n  ");
    EXPECT_TRUE (g.isVisible());

    const auto& h = instructionAt<Definitions::TextFieldInstruction> (list, 2);
    EXPECT_EQ (h.getText(), "");
    EXPECT_FALSE (h.isVisible());

    EXPECT_EQ (instructionAt<Definitions::PrintInstruction> (list, 3).getText(), "to stdout");
}

TEST (DefinitionsLoader, unknownElementsAreLoggedOnlyInsideStatesAndChecks)
{
    const auto lines = loaderLogLines (
        "<FirmwareUpdaters><Note/>stray text"
        + updaterElement (goodAttributes,
                          "<Note/>"
                          "<State name=\"Idle\" pollingMode=\"none\">\r\n  <Note/> <textfield name=\"x\"/>"
                          "<Check name=\"c\" value=\"true\"><Nested/></Check>"
                          "  loose text  <!-- <Commented/> -->\r\n"
                          "</State>")
        + "</FirmwareUpdaters>");

    EXPECT_EQ (lines, juce::StringArray ({ "Unknown instruction : Note", "Unknown instruction : textfield",
                                           "Unknown instruction : Nested", "Unknown instruction : " }));
}

TEST (DefinitionsLoader, aDefinitionsErrorAlsoReachesTheLogOnOneLine)
{
    EXPECT_EQ (loaderLogLines (quorrelWith ("<Unknown/>" + idleState + idleState)),
               juce::StringArray ("Definitions error: State 'Idle' is duplicated.  The app will quit."));
}
