#include "PortOpener.h"

#include "PollThread.h"
#include "PortAccess.h"

#include <juce_events/juce_events.h>

namespace
{
    /** Runs a port open on the message thread when called from another thread, waiting for it in
        short steps. Gives up (nullptr) when this thread is asked to stop or the application quits,
        so that a message thread that is itself waiting for this thread never deadlocks with it. */
    template <typename Port>
    std::unique_ptr<Port> openOnMessageThread (std::function<std::unique_ptr<Port>()> open)
    {
        auto* mm = juce::MessageManager::getInstanceWithoutCreating();

        if (mm == nullptr || mm->isThisTheMessageThread())
            return open();

        if (mm->hasStopMessageBeenSent() || PollThread::stopRequested())
            return nullptr;

        struct Request
        {
            enum { waiting, running, abandoned };
            std::atomic<int> phase { waiting };
            juce::WaitableEvent done;
            std::function<std::unique_ptr<Port>()> open;
            std::unique_ptr<Port> port;
        };

        auto request = std::make_shared<Request>();
        request->open = std::move (open);

        const auto posted = juce::MessageManager::callAsync ([request]
        {
            int expected = Request::waiting;

            if (request->phase.compare_exchange_strong (expected, Request::running))
                request->port = request->open();

            request->done.signal();
        });

        if (! posted)
            return nullptr;

        while (! request->done.wait (10))
        {
            if (PollThread::stopRequested() || PollThread::applicationIsQuitting())
            {
                int expected = Request::waiting;

                if (request->phase.compare_exchange_strong (expected, Request::abandoned))
                    return nullptr;

                // The open is already running on the message thread; it ends shortly.
                request->done.wait (-1);
                break;
            }
        }

        return std::move (request->port);
    }
}

PortOpener::PortOpener (PortAccess& portAccess, MidiPortReceiver& replyReceiver)
    : access (portAccess), receiver (replyReceiver)
{
}

std::unique_ptr<MidiInputPort> PortOpener::openInputAt (int index)
{
    return openStartedInput ([index] (MidiPorts& ports, MidiPortReceiver& r) { return ports.openInput (index, r); });
}

std::unique_ptr<MidiInputPort> PortOpener::openInput (const juce::MidiDeviceInfo& device)
{
    return openStartedInput ([device] (MidiPorts& ports, MidiPortReceiver& r) { return ports.openInputDevice (device, r); });
}

std::unique_ptr<MidiInputPort> PortOpener::openStartedInput (OpenInput open)
{
    auto ports = access.getPorts();

    return openOnMessageThread<MidiInputPort> ([this, ports, open]() -> std::unique_ptr<MidiInputPort>
    {
        auto input = open (*ports, receiver);

        if (input != nullptr)
            input->start();

        return input;
    });
}

std::unique_ptr<MidiOutputPort> PortOpener::openOutput (const juce::MidiDeviceInfo& device)
{
    auto ports = access.getPorts();
    return openOnMessageThread<MidiOutputPort> ([ports, device] { return ports->openOutputDevice (device); });
}

void PortOpener::closeInputs (std::vector<std::unique_ptr<MidiInputPort>>& inputs)
{
    for (auto& input : inputs)
        input->stop();

    inputs.clear();
}
