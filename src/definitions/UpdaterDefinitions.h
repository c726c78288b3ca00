#pragma once

#include "PollingResult.h"

#include <juce_core/juce_core.h>

#include <map>
#include <memory>
#include <vector>

/** The definitions half of the updater: the object model of one device's state machine and
    the loader that builds it from a FirmwareUpdaters document.

    FirmwareUpdater derives from this class, so the nested types are reachable as
    FirmwareUpdater::StatesMachine, FirmwareUpdater::FirmwareUpdaterException and so on.
    The model is built once, on the constructing thread, and only read afterwards, so any
    thread may read it without locks.
*/
class UpdaterDefinitions
{
public:
    /** A definitions error; the message ends in "The app will quit.". Thrown by value. */
    class FirmwareUpdaterException
    {
    public:
        explicit FirmwareUpdaterException (juce::String messageText) : message (std::move (messageText)) {}
        const juce::String& getMessage() const noexcept { return message; }

    private:
        juce::String message;
    };

    class StatesMachine
    {
    public:
        class State
        {
        public:
            class Instruction
            {
            public:
                virtual ~Instruction() = default;
            };

            using InstructionList = std::vector<std::unique_ptr<Instruction>>;
            using Transitions = std::map<PollingResult, juce::String>;

            explicit State (juce::String stateName) : name (std::move (stateName)) {}
            virtual ~State() = default;

            const juce::String& getName() const noexcept { return name; }

            /** Every attribute of the State element except name ("pollingMode", "timeoutState", ...). */
            std::map<juce::String, juce::String> attributes;
            InstructionList instructions;
            Transitions pollingStates;

            /** The attribute's value, or an empty text when it is absent. */
            juce::String getAttribute (const juce::String& attributeName) const;

        private:
            juce::String name;

            JUCE_DECLARE_NON_COPYABLE (State)
        };

        explicit StatesMachine (juce::String initialStateName) : initialState (std::move (initialStateName)) {}
        virtual ~StatesMachine() = default;

        /** The State of that name, or nullptr. */
        State* findState (const juce::String& stateName) const;

        juce::String initialState;
        std::map<juce::String, std::unique_ptr<State>> states;

        JUCE_DECLARE_NON_COPYABLE (StatesMachine)
    };

    using State = StatesMachine::State;
    using Instruction = State::Instruction;

    class TextFieldInstruction final : public Instruction
    {
    public:
        TextFieldInstruction (juce::String n, juce::String t, bool v) : name (std::move (n)), text (std::move (t)), visible (v) {}
        const juce::String& getName() const noexcept { return name; }
        const juce::String& getText() const noexcept { return text; }
        bool isVisible() const noexcept { return visible; }

    private:
        juce::String name, text;
        bool visible;
    };

    class ButtonInstruction final : public Instruction
    {
    public:
        ButtonInstruction (juce::String n, juce::String t, juce::String s, juce::String g)
            : name (std::move (n)), text (std::move (t)), state (std::move (s)), gotoState (std::move (g)) {}
        const juce::String& getName() const noexcept { return name; }
        const juce::String& getText() const noexcept { return text; }
        const juce::String& getState() const noexcept { return state; }
        const juce::String& getGotoState() const noexcept { return gotoState; }

    private:
        juce::String name, text, state, gotoState;
    };

    class PrintInstruction final : public Instruction
    {
    public:
        explicit PrintInstruction (juce::String t) : text (std::move (t)) {}
        const juce::String& getText() const noexcept { return text; }

    private:
        juce::String text;
    };

    class SendSysExInstruction final : public Instruction
    {
    public:
        SendSysExInstruction (juce::String kind, juce::String endMode, int size, float wait, State::Transitions transitions)
            : messageKind (std::move (kind)), endPollingMode (std::move (endMode)), packetSize (size), waitTime (wait),
              pollingStates (std::move (transitions)) {}
        const juce::String& getMessageKind() const noexcept { return messageKind; }
        const juce::String& getEndPollingMode() const noexcept { return endPollingMode; }
        int getPacketSize() const noexcept { return packetSize; }
        float getWaitTime() const noexcept { return waitTime; }
        const State::Transitions& getPollingStates() const noexcept { return pollingStates; }

        /** True when this send is a firmware transfer (every kind but "erase" and "panel update state"). */
        bool sendsFirmware() const { return messageKind != "erase" && messageKind != "panel update state"; }

    private:
        juce::String messageKind, endPollingMode;
        int packetSize;
        float waitTime;
        State::Transitions pollingStates;
    };

    class WaitInstruction final : public Instruction
    {
    public:
        explicit WaitInstruction (float seconds) : time (seconds) {}
        float getTime() const noexcept { return time; }

    private:
        float time;
    };

    class GotoStateInstruction final : public Instruction
    {
    public:
        explicit GotoStateInstruction (juce::String s) : state (std::move (s)) {}
        const juce::String& getState() const noexcept { return state; }

    private:
        juce::String state;
    };

    class CheckInstruction final : public Instruction
    {
    public:
        CheckInstruction (juce::String n, bool v, State::InstructionList nested)
            : name (std::move (n)), value (v), instructions (std::move (nested)) {}
        const juce::String& getName() const noexcept { return name; }
        bool getValue() const noexcept { return value; }
        const State::InstructionList& getInstructions() const noexcept { return instructions; }

    private:
        juce::String name;
        bool value;
        State::InstructionList instructions;
    };

    /** Key of the machines map: (device name, console mode), ordered by name then false < true. */
    using DefinitionKey = std::pair<juce::String, bool>;

    /** Loads the document text and keeps the definition of deviceName / consoleMode.
        Throws FirmwareUpdaterException on the first violation; a document that is not
        well-formed XML (see DefinitionsDocument) is the root-element error. */
    UpdaterDefinitions (const juce::String& documentText, const juce::String& deviceName, bool consoleMode);

    /** Loads the document's bytes: UTF-8 (byte-order mark optional) or UTF-16 with a
        byte-order mark. Throws like the constructor above. */
    UpdaterDefinitions (const juce::MemoryBlock& documentBytes, const juce::String& deviceName, bool consoleMode);

    /** Reads and loads the file's bytes: UTF-8 (byte-order mark optional) or UTF-16 with a
        byte-order mark. A file that is missing, no regular file, unreadable or does not parse
        is the root-element error. */
    UpdaterDefinitions (const juce::File& documentFile, const juce::String& deviceName, bool consoleMode);

    virtual ~UpdaterDefinitions();

    /** The selected machine, or nullptr when the document had none for this device. */
    StatesMachine* getMachine() const;

    /** The message kinds of every firmware transfer the selected machine can send ("quorrel-fw-$(version)"),
        each once, Check instructions included: what a package must hold to be installable. */
    juce::StringArray getFirmwareMessageKinds() const;

    const juce::String& getDeviceName() const noexcept { return deviceName; }
    bool isConsoleMode() const noexcept { return consoleMode; }
    juce::uint16 getDeviceId() const noexcept { return deviceId; }
    int getTimeout() const noexcept { return timeout; }
    const juce::String& getTimeoutState() const noexcept { return timeoutState; }
    int getTailBytesToSkip() const noexcept { return tailBytesToSkip; }

    /** 2 unless the device is "Dorrick" or "Quorrel". */
    static int tailBytesToSkipFor (const juce::String& deviceName);

    /** Maps a polling-result word (compared after lower-casing) to its result; unknown words give NoDevice. */
    static PollingResult pollingResultFromWord (const juce::String& word);

    /** The lower-case word of a result ("device detected"); empty for Stopped. */
    static juce::String wordForPollingResult (PollingResult result);

    /** True when a State with this pollingMode (compared after lower-casing) polls the instrument,
        "scan all ports" included; with any other word the State neither polls nor times out. */
    static bool pollingModePolls (const juce::String& pollingMode);

    /** True for the three modes (compared after lower-casing) that may poll after a firmware
        transfer; any other endPollingMode means no polling after it. */
    static bool isEndPollingMode (const juce::String& endPollingMode);

    /** The State a timed-out state moves to: its own timeoutState attribute when it has one,
        else the definition's. The name may be of no State (the loader checks only the latter). */
    juce::String getTimeoutTargetFor (const State& state) const;

    /** atoi(): optional white space and sign, then digits up to the first non-digit; 0 without digits. */
    static int readInteger (const juce::String& text);

    /** Decimal reading like strtod(); 0 for text that is not a number. */
    static double readDecimal (const juce::String& text);

protected:
    int tailBytesToSkip = 0;
    juce::String deviceName;
    juce::uint16 deviceId = 0;
    bool consoleMode = false;
    int timeout = -1;
    juce::String timeoutState;
    std::map<DefinitionKey, std::unique_ptr<StatesMachine>> machines;

private:
    void load (const juce::XmlElement* root);
    void loadDefinitions (const juce::XmlElement* root);
    State::InstructionList parseInstructions (const juce::XmlElement& element, StatesMachine& machine, State& state);

    JUCE_DECLARE_NON_COPYABLE (UpdaterDefinitions)
};
