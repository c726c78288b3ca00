#include "ChosenInstrument.h"

#include "PortAccess.h"
#include "../base/AppLog.h"

const juce::String ChosenInstrument::autoName ("Auto");

ChosenInstrument::ChosenInstrument (PortAccess& portAccess) : access (portAccess) {}

ChosenInstrument::PortChoice ChosenInstrument::getInput() const
{
    const juce::ScopedLock sl (lock);
    return input;
}

ChosenInstrument::PortChoice ChosenInstrument::getOutput() const
{
    const juce::ScopedLock sl (lock);
    return output;
}

void ChosenInstrument::setInput (int index, const juce::String& name, const juce::String& identifier)
{
    const juce::ScopedLock sl (lock);
    input = { index, name, identifier };
}

void ChosenInstrument::setOutput (int index, const juce::String& name, const juce::String& identifier)
{
    const juce::ScopedLock sl (lock);
    output = { index, name, identifier };
}

void ChosenInstrument::reset()
{
    const juce::ScopedLock sl (lock);
    input = { -1, autoName, {} };
    output = { -1, autoName, {} };
    asking = {};
}

int ChosenInstrument::inputBelongingTo (const juce::MidiDeviceInfo& port, const juce::Array<juce::MidiDeviceInfo>& inputs)
{
    // The chosen input if it still belongs with the output, else one of the output's name, else
    // the first that belongs with it (a name may be on several ports).
    auto ports = access.getPorts();
    const auto chosen = getInput();
    int position = -1;

    for (int i = 0; i < inputs.size(); ++i)
    {
        const auto& candidate = inputs.getReference (i);

        if (! ports->belongTogether (candidate, port))
            continue;

        if (candidate.identifier == chosen.identifier && candidate.name == chosen.name)
            return i;

        if (position < 0 || (candidate.name == port.name && inputs[position].name != port.name))
            position = i;
    }

    return position;
}

void ChosenInstrument::moveTo (const juce::MidiDeviceInfo& port, const juce::Array<juce::MidiDeviceInfo>& outputs,
                               const juce::Array<juce::MidiDeviceInfo>& inputs)
{
    const auto inputAt = inputBelongingTo (port, inputs);
    const juce::ScopedLock sl (lock);

    if (output.name != autoName)
        output = { outputs.indexOf (port), port.name, port.identifier };

    if (input.name != autoName && inputAt >= 0)
        input = { inputAt, inputs[inputAt].name, inputs[inputAt].identifier };
}

void ChosenInstrument::setAsking (const juce::MidiDeviceInfo& port)
{
    const juce::ScopedLock sl (lock);
    asking = port;
}

void ChosenInstrument::pickInput (const juce::String& sourceName)
{
    if (getInput().index != -1)
        return;

    auto ports = access.getPorts();
    const auto inputs = ports->getInputDevices();
    juce::MidiDeviceInfo asked;

    {
        const juce::ScopedLock sl (lock);
        asked = asking;
    }

    // Two instruments of one model have inputs of one name: the one that belongs with the output
    // asked is theirs.
    int index = -1;

    for (int i = 0; i < inputs.size() && index < 0; ++i)
        if (inputs[i].name == sourceName && (asked.identifier.isEmpty() || ports->belongTogether (inputs[i], asked)))
            index = i;

    // A source that is no longer listed cannot be chosen by position: storing position -1 with
    // an empty name would leave a choice that is neither Auto nor a port. The choice stays Auto.
    if (index < 0)
        return;

    {
        // The user may have chosen an input since the check above; that choice wins.
        const juce::ScopedLock sl (lock);

        if (input.index != -1)
            return;

        input = { index, inputs[index].name, inputs[index].identifier };
    }

    logLine ("Select MIDI input " + juce::String (index) + " : [" + inputs[index].name + "]");
}

void ChosenInstrument::renameInputIfUnchanged (const PortChoice& before, const juce::String& name)
{
    const juce::ScopedLock sl (lock);

    if (input.index == before.index && input.name == before.name)
        input.name = name;
}

bool ChosenInstrument::wouldTake (const juce::String& outputName) const
{
    const juce::ScopedLock sl (lock);
    return output.name == autoName || output.name == outputName;
}

void ChosenInstrument::takeOutput (int position, const juce::String& name, const juce::String& identifier)
{
    const juce::ScopedLock sl (lock);

    if (output.name == autoName || output.name == name)
        output = { position, name, identifier };
}

void ChosenInstrument::followPositions (const PortChoice& in, int inputAt, const PortChoice& out, int outputAt)
{
    const juce::ScopedLock sl (lock);

    if (input.index == in.index && input.name == in.name && input.identifier == in.identifier)
        input.index = inputAt;

    if (output.index == out.index && output.name == out.name && output.identifier == out.identifier)
        output.index = outputAt;
}
