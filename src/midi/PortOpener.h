#pragma once

#include <functional>

#include "MidiPorts.h"

#include <memory>
#include <vector>

class PortAccess;

/** Opens the ports a poll uses (exactly the ports chosen, or by position), on the message thread:
    a poll on a worker thread hands the open over and waits for it, giving up (nullptr) when its
    thread is asked to stop or the application quits, so that a message thread that is itself
    waiting for the worker never deadlocks with it. On the message thread (or without one) the
    open is done at once.

    Inputs are opened started, for the receiver given (which decodes on the backend's input
    thread). Called on the polling thread; holds no lock of its own.
*/
class PortOpener final
{
public:
    PortOpener (PortAccess& access, MidiPortReceiver& receiver);

    std::unique_ptr<MidiInputPort> openInputAt (int index);

    /** Opens exactly that input, not whatever is listed at its old position now. */
    std::unique_ptr<MidiInputPort> openInput (const juce::MidiDeviceInfo& device);

    /** Opens exactly that output, not whatever is listed at its old position now (see
        MidiPorts::openOutputDevice). */
    std::unique_ptr<MidiOutputPort> openOutput (const juce::MidiDeviceInfo& device);

    /** Stops the inputs, then closes them. */
    static void closeInputs (std::vector<std::unique_ptr<MidiInputPort>>& inputs);

private:
    using OpenInput = std::function<std::unique_ptr<MidiInputPort> (MidiPorts&, MidiPortReceiver&)>;

    /** Opens an input on the message thread and starts it. */
    std::unique_ptr<MidiInputPort> openStartedInput (OpenInput open);

    PortAccess& access;
    MidiPortReceiver& receiver;
};
