#include "UpdaterDefinitions.h"

#include "DefinitionsDocument.h"
#include "../base/AppLog.h"

#include <cmath>
#include <limits>

namespace
{
const juce::String appWillQuit ("\nThe app will quit.");

[[noreturn]] void fail (const juce::String& message)
{
    // The program quits after showing the message; the log keeps the reason for support.
    logLine ("Definitions error: " + juce::StringArray::fromLines (message).joinIntoString (" ").trim());
    throw UpdaterDefinitions::FirmwareUpdaterException (message);
}

/** The file's bytes; none when it cannot be read, which the loader refuses like a document
    that does not parse. */
juce::MemoryBlock readDocumentFile (const juce::File& file)
{
    juce::MemoryBlock bytes;
    DefinitionsDocument::readFile (file, bytes);
    return bytes;
}

// The polling-result words, in the order of their results (NoDevice first).
const char* const pollingResultWords[] = { "no device", "device detected", "bootloader detected",
                                           "panel mode detected", "panel no update", "panel erased",
                                           "panel firmware sending", "panel firmware succeeded",
                                           "panel update failed" };

bool hasName (const juce::XmlElement& element, const char* name)
{
    // juce::XmlElement::hasTagName() ignores case; names in definitions are exact.
    return element.getTagName() == name;
}

float toFloat (double value)
{
    constexpr auto largest = (double) std::numeric_limits<float>::max();
    return (float) juce::jlimit (-largest, largest, value);
}

juce::uint16 deviceIdFromHex (const juce::String& text)
{
    const auto upperCase = text.toUpperCase();
    int value = 0;

    for (auto p = upperCase.getCharPointer(); ! p.isEmpty(); ++p)
        value = value * 16 + juce::CharacterFunctions::getHexDigitValue (*p);

    return (juce::uint16) value;
}
} // namespace

//==============================================================================
juce::String UpdaterDefinitions::State::getAttribute (const juce::String& attributeName) const
{
    const auto found = attributes.find (attributeName);
    return found != attributes.end() ? found->second : juce::String();
}

UpdaterDefinitions::State* UpdaterDefinitions::StatesMachine::findState (const juce::String& stateName) const
{
    const auto found = states.find (stateName);
    return found != states.end() ? found->second.get() : nullptr;
}

//==============================================================================
UpdaterDefinitions::UpdaterDefinitions (const juce::String& documentText, const juce::String& name, bool console)
    : tailBytesToSkip (tailBytesToSkipFor (name)),
      deviceName (name),
      consoleMode (console)
{
    const auto root = DefinitionsDocument::parse (documentText);
    load (root.get());
}

UpdaterDefinitions::UpdaterDefinitions (const juce::MemoryBlock& documentBytes, const juce::String& name, bool console)
    : tailBytesToSkip (tailBytesToSkipFor (name)),
      deviceName (name),
      consoleMode (console)
{
    const auto root = DefinitionsDocument::parse (documentBytes.getData(), documentBytes.getSize());
    load (root.get());
}

UpdaterDefinitions::UpdaterDefinitions (const juce::File& documentFile, const juce::String& name, bool console)
    : UpdaterDefinitions (readDocumentFile (documentFile), name, console)
{
}

UpdaterDefinitions::~UpdaterDefinitions() = default;

UpdaterDefinitions::StatesMachine* UpdaterDefinitions::getMachine() const
{
    const auto found = machines.find ({ deviceName, consoleMode });
    return found != machines.end() ? found->second.get() : nullptr;
}

namespace
{
    void addFirmwareKinds (const UpdaterDefinitions::State::InstructionList& list, juce::StringArray& kinds)
    {
        for (auto& instruction : list)
        {
            if (auto* send = dynamic_cast<const UpdaterDefinitions::SendSysExInstruction*> (instruction.get()))
            {
                if (send->sendsFirmware())
                    kinds.addIfNotAlreadyThere (send->getMessageKind());
            }
            else if (auto* check = dynamic_cast<const UpdaterDefinitions::CheckInstruction*> (instruction.get()))
            {
                addFirmwareKinds (check->getInstructions(), kinds);
            }
        }
    }
}

juce::StringArray UpdaterDefinitions::getFirmwareMessageKinds() const
{
    juce::StringArray kinds;

    if (auto* machine = getMachine())
        for (auto& state : machine->states)
            addFirmwareKinds (state.second->instructions, kinds);

    return kinds;
}

int UpdaterDefinitions::tailBytesToSkipFor (const juce::String& name)
{
    if (name == "Halvane XV")   return 2;
    if (name == "Dorrick")      return 0;
    if (name == "Quorrel")      return 0;

    return 2;
}

PollingResult UpdaterDefinitions::pollingResultFromWord (const juce::String& word)
{
    const auto lowerCase = word.toLowerCase();

    for (int i = 0; i < juce::numElementsInArray (pollingResultWords); ++i)
        if (lowerCase == pollingResultWords[i])
            return static_cast<PollingResult> (i + 1);

    return PollingResult::NoDevice;
}

juce::String UpdaterDefinitions::wordForPollingResult (PollingResult result)
{
    const auto index = static_cast<int> (result) - 1;
    return juce::isPositiveAndBelow (index, juce::numElementsInArray (pollingResultWords)) ? pollingResultWords[index] : "";
}

bool UpdaterDefinitions::pollingModePolls (const juce::String& pollingMode)
{
    const auto mode = pollingMode.toLowerCase();
    return isEndPollingMode (mode) || mode == "panel state" || mode == "scan all ports";
}

bool UpdaterDefinitions::isEndPollingMode (const juce::String& endPollingMode)
{
    const auto mode = endPollingMode.toLowerCase();
    return mode == "midi device inquiry" || mode == "midi device inquiry 2" || mode == "midi ports";
}

juce::String UpdaterDefinitions::getTimeoutTargetFor (const State& state) const
{
    // An empty own timeoutState names no State, as if it were not there at all.
    const auto ownTarget = state.getAttribute ("timeoutState");
    return ownTarget.isNotEmpty() ? ownTarget : timeoutState;
}

int UpdaterDefinitions::readInteger (const juce::String& text)
{
    auto p = text.getCharPointer();

    // The white space that the C library's isspace() accepts.
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;

    bool negative = false;

    if (*p == '-' || *p == '+')
        negative = (p.getAndAdvance() == '-');

    // atoi() leaves overflow undefined; saturate instead.
    constexpr juce::int64 limit = (juce::int64) std::numeric_limits<int>::max() + 1;
    juce::int64 value = 0;

    for (; *p >= '0' && *p <= '9'; ++p)
        value = std::min (limit, value * 10 + (juce::int64) (*p - '0'));

    if (negative)
        return (int) -value;

    return (int) std::min (value, limit - 1);
}

double UpdaterDefinitions::readDecimal (const juce::String& text)
{
    auto p = text.getCharPointer();
    const auto value = juce::CharacterFunctions::readDoubleValue (p);

    // The framework also reads "inf" and "nan" and overflows to infinity; none is a usable time.
    return std::isfinite (value) ? value : 0.0;
}

//==============================================================================
void UpdaterDefinitions::load (const juce::XmlElement* root)
{
    loadDefinitions (root);

    if (getMachine() == nullptr)
        fail ("No <FirmwareUpdater> element for '" + deviceName + "' with consoleMode = "
              + (consoleMode ? "true" : "false") + ".\n" + appWillQuit);
}

void UpdaterDefinitions::loadDefinitions (const juce::XmlElement* root)
{
    if (root == nullptr || ! hasName (*root, "FirmwareUpdaters"))
        fail ("<FirmwareUpdaters> must be the root element.\n" + appWillQuit);

    for (auto* element : root->getChildIterator())
    {
        if (! hasName (*element, "FirmwareUpdater"))
            continue;

        const auto& elementDeviceName = element->getStringAttribute ("deviceName");
        const bool elementConsoleMode = element->getStringAttribute ("consoleMode") == "true";

        if (elementDeviceName.isEmpty())
            fail ("deviceName argument is missing or empty.\n" + appWillQuit);

        if (elementDeviceName != deviceName || elementConsoleMode != consoleMode)
            continue;

        const auto& communicationMode = element->getStringAttribute ("communicationMode");
        const auto& midiDeviceId = element->getStringAttribute ("MIDIDeviceID");
        const auto& fileNamePattern = element->getStringAttribute ("fileNamePattern");
        const auto& initialState = element->getStringAttribute ("initialState");
        const auto& timeoutText = element->getStringAttribute ("timeout");

        timeout = timeoutText.isEmpty() ? -1 : readInteger (timeoutText);
        timeoutState = element->getStringAttribute ("timeoutState");

        juce::String errors;

        if (communicationMode.isEmpty())    errors << "communicationMode argument is missing or empty.\n";
        if (midiDeviceId.isEmpty())         errors << "MIDIDeviceID argument is missing or empty.\n";
        if (fileNamePattern.isEmpty())      errors << "fileNamePattern argument is missing or empty.\n";
        if (initialState.isEmpty())         errors << "initinalState argument is missing or empty.\n";
        if (midiDeviceId.length() != 4)     errors << "MIDIDeviceID must have a size of 4 hexadecimal numbers.\n";

        if (! midiDeviceId.containsOnly ("0123456789ABCDEF"))
            errors << "MIDIDeviceID must only contain hexadecimal numbers.\n";

        if (timeout == -1)                  errors << "timeout argument is missing or empty.\n";
        if (timeoutState.isEmpty())         errors << "timeoutState argument is missing or empty.\n";

        if (errors.isNotEmpty())
            fail (errors + appWillQuit);

        deviceId = deviceIdFromHex (midiDeviceId);

        const DefinitionKey key { elementDeviceName, elementConsoleMode };

        if (machines.count (key) != 0)
            fail ("Multiple <FirmwareUpdater> elements for '" + deviceName + "' with consoleMode = "
                  + (consoleMode ? "true" : "false") + ".\n" + appWillQuit);

        auto machine = std::make_unique<StatesMachine> (initialState);

        for (auto* stateElement : element->getChildIterator())
        {
            if (! hasName (*stateElement, "State"))
                continue;

            const auto& stateName = stateElement->getStringAttribute ("name");
            auto state = std::make_unique<State> (stateName);

            for (int i = 0; i < stateElement->getNumAttributes(); ++i)
                if (stateElement->getAttributeName (i) != "name")
                    state->attributes.emplace (stateElement->getAttributeName (i), stateElement->getAttributeValue (i));

            if (stateName.isEmpty())
                fail ("Missing or empty State name.\n" + appWillQuit);

            if (state->getAttribute ("pollingMode").isEmpty())
                fail ("State '" + stateName + "' : pollingMode attribute is missing.\n" + appWillQuit);

            if (machine->findState (stateName) != nullptr)
                fail ("State '" + stateName + "' is duplicated.\n" + appWillQuit);

            machine->states.emplace (stateName, std::move (state));
        }

        if (machine->findState (initialState) == nullptr)
            fail ("initialState '" + initialState + "' does not exist.\n" + appWillQuit);

        if (machine->findState (timeoutState) == nullptr)
            fail ("timeoutState '" + timeoutState + "' does not exist.\n" + appWillQuit);

        for (auto* stateElement : element->getChildIterator())
        {
            if (! hasName (*stateElement, "State"))
                continue;

            auto* state = machine->findState (stateElement->getStringAttribute ("name"));
            jassert (state != nullptr);
            state->instructions = parseInstructions (*stateElement, *machine, *state);
        }

        machines.emplace (key, std::move (machine));
    }
}

UpdaterDefinitions::State::InstructionList UpdaterDefinitions::parseInstructions (const juce::XmlElement& element,
                                                                                   StatesMachine& machine,
                                                                                   State& state)
{
    State::InstructionList list;

    for (auto* child : element.getChildIterator())
    {
        const auto attribute = [child] (const char* name) -> const juce::String& { return child->getStringAttribute (name); };

        if (hasName (*child, "TextField"))
        {
            list.push_back (std::make_unique<TextFieldInstruction> (attribute ("name"),
                                                                    attribute ("text") + child->getAllSubText(),
                                                                    attribute ("visible") != "false"));
        }
        else if (hasName (*child, "Button"))
        {
            list.push_back (std::make_unique<ButtonInstruction> (attribute ("name"), attribute ("text"),
                                                                 attribute ("state"), attribute ("gotoState")));
        }
        else if (hasName (*child, "Print"))
        {
            list.push_back (std::make_unique<PrintInstruction> (attribute ("text")));
        }
        else if (hasName (*child, "SendSysEx"))
        {
            auto packetSize = readInteger (attribute ("packetSize"));

            if (packetSize < 32 || packetSize > 256)
                packetSize = 256;

            auto waitTime = toFloat (readDecimal (attribute ("waitTime")));

            if (! (waitTime > 0.0f))
                waitTime = 0.5f;

            State::Transitions transitions;

            for (auto* pollingState : child->getChildIterator())
            {
                if (! hasName (*pollingState, "PollingState"))
                    continue;

                const auto& value = pollingState->getStringAttribute ("value");
                const auto& target = pollingState->getStringAttribute ("gotoState");

                if (machine.findState (target) == nullptr)
                    fail ("State '" + state.getName() + "' gotoState '" + target + "' in PollingState '" + value
                          + "'does not exist.\n" + appWillQuit);

                transitions.emplace (pollingResultFromWord (value), target);
            }

            list.push_back (std::make_unique<SendSysExInstruction> (attribute ("messageKind"), attribute ("endPollingMode"),
                                                                    packetSize, waitTime, std::move (transitions)));
        }
        else if (hasName (*child, "Wait"))
        {
            list.push_back (std::make_unique<WaitInstruction> (std::max (0.0f, toFloat (readDecimal (attribute ("time"))))));
        }
        else if (hasName (*child, "GotoState"))
        {
            list.push_back (std::make_unique<GotoStateInstruction> (attribute ("state")));
        }
        else if (hasName (*child, "Check"))
        {
            // Nesting is bounded by DefinitionsDocument::maxNestingDepth, so this recursion is too.
            auto nested = parseInstructions (*child, machine, state);
            list.push_back (std::make_unique<CheckInstruction> (attribute ("name"), attribute ("value") == "true",
                                                                std::move (nested)));
        }
        else if (hasName (*child, "PollingState"))
        {
            const auto& value = attribute ("value");
            const auto& target = attribute ("gotoState");

            if (machine.findState (target) == nullptr)
                fail ("State '" + state.getName() + "' gotoState '" + target + "' in PollingState '" + value
                      + "' does not exist.\n" + appWillQuit);

            state.pollingStates.emplace (pollingResultFromWord (value), target);
        }
        else if (! child->isTextElement() || child->getText().containsNonWhitespaceChars())
        {
            logLine ("Unknown instruction : " + child->getTagName());
        }
    }

    return list;
}
