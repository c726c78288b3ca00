#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

class PortAccess;

/** The ports this updater talks to the instrument on: the input and output chosen (a port, or
    Auto while a poll looks for one), and the output an identity request was last sent to, whose
    inputs an identity reply picks from.

    Any thread may call: the user's choices arrive on the message thread, the polls run on the
    engine thread, a reply picks the input on the port backend's input thread. One lock guards
    the choices; it is never held while a port list is read or a line is logged.
*/
class ChosenInstrument final
{
public:
    /** One direction's choice: a position in the port list and the name found there, or
        -1 and "Auto". Both always change together, so a copy describes one port. */
    struct PortChoice
    {
        int index = -1;
        juce::String name;
        juce::String identifier; // empty while Auto, or where the choice was made by name only
    };

    static const juce::String autoName;

    explicit ChosenInstrument (PortAccess& access);

    PortChoice getInput() const;
    PortChoice getOutput() const;
    void setInput (int index, const juce::String& name, const juce::String& identifier = {});
    void setOutput (int index, const juce::String& name, const juce::String& identifier = {});

    /** Both choices Auto, nothing asked. */
    void reset();

    /** The instrument being updated is on this output now: the choices that are not Auto move
        onto its ports. */
    void moveTo (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& outputs,
                 const juce::Array<juce::MidiDeviceInfo>& inputs);

    /** The position in inputs of the input that belongs with the output: the chosen one if it
        still does, else one of the output's name, else the first (-1: none). */
    int inputBelongingTo (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& inputs);

    // Steps of the polls -----------------------------------------------------------------------
    /** The output an identity request goes to now; a reply picks the input that belongs with it. */
    void setAsking (const juce::MidiDeviceInfo& output);

    /** An identity reply arrived on that input: while the input is Auto, it becomes the choice
        (input thread). */
    void pickInput (const juce::String& sourceName);

    /** The input chosen before still there, under the name listed at its position now. */
    void renameInputIfUnchanged (const PortChoice& before, const juce::String& name);

    /** Whether an answer on the output of that name counts: the output is Auto or that one. */
    bool wouldTake (const juce::String& outputName) const;

    /** The output answered: it becomes the choice, unless another one has been chosen since. */
    void takeOutput (int position, const juce::String& name, const juce::String& identifier);

    /** The choices stand at these positions now, unless others have been chosen since. */
    void followPositions (const PortChoice& in, int inputAt, const PortChoice& out, int outputAt);

private:
    PortAccess& access;

    juce::CriticalSection lock;
    // Guarded by lock:
    juce::MidiDeviceInfo asking;            // the output an identity request was last sent to
    PortChoice input { -1, autoName, {} }, output { -1, autoName, {} };
};
