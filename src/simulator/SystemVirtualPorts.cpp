#include "SystemVirtualPorts.h"

#include "../midi/native/AlsaPiecewiseOutput.h"
#include "MidiStreamSplitter.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <cstring>

namespace
{
    /** Receives what the updater sends to one virtual input, on the framework's MIDI input
        thread, and hands it on as raw slices of the byte stream, each byte once: the framework
        reports a long SysEx as growing parts (each holding everything so far) and then whole. */
    class SliceCallback final : public juce::MidiInputCallback
    {
    public:
        using Sink = std::function<void (const juce::uint8*, size_t)>;

        explicit SliceCallback (Sink sinkToUse) : sink (std::move (sinkToUse)) {}

        void handlePartialSysexMessage (juce::MidiInput*, const juce::uint8* data, int numBytesSoFar, double) override
        {
            const auto size = (size_t) juce::jmax (0, numBytesSoFar);

            if (continuesPending (data, size))
            {
                sink (data + delivered, size - delivered);
            }
            else
            {
                // Another SysEx began: everything it holds is new.
                pendingStart.assign (data, data + juce::jmin (size, prefixBytes));
                delivered = 0;
                sink (data, size);
            }

            delivered = size;
        }

        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            const auto* raw = message.getRawData();
            const auto size = (size_t) juce::jmax (0, message.getRawDataSize());

            if (size == 0)
                return;

            // Real-time bytes may arrive in the middle of a SysEx without ending it.
            if (raw[0] >= 0xf8)
            {
                sink (raw, size);
                return;
            }

            if (message.isSysEx() && delivered > 0 && continuesPending (raw, size))
                sink (raw + delivered, size - delivered);
            else
                sink (raw, size);

            delivered = 0;
            pendingStart.clear();
        }

    private:
        static constexpr size_t prefixBytes = 16;

        bool continuesPending (const juce::uint8* data, size_t size) const
        {
            return delivered > 0 && size > delivered && size >= pendingStart.size()
                   && std::memcmp (data, pendingStart.data(), pendingStart.size()) == 0;
        }

        Sink sink;
        size_t delivered = 0;                  // bytes of the current SysEx handed on so far
        std::vector<juce::uint8> pendingStart; // its first bytes, to tell it from a new one
    };
}

//==============================================================================
class SystemVirtualPorts::Plug
{
public:
    Plug (const juce::String& in, const juce::String& out, Device* d) : inputName (in), outputName (out), device (d) {}

    const juce::String inputName, outputName;
    Device* const device;
    std::unique_ptr<SimMidiCable> cable;           // deleted after toDevice and callback
    std::unique_ptr<SliceCallback> callback;
    std::unique_ptr<juce::MidiInput> toDevice;     // deleted before callback
    std::unique_ptr<juce::MidiOutput> fromDevice;
    std::unique_ptr<AlsaPiecewiseOutput> fromDeviceInPieces; // in place of fromDevice
    MidiStreamSplitter reader;                           // on the dispatcher thread, or by the owner after pullOut
};

class SystemVirtualPorts::Dispatcher final : public juce::Thread
{
public:
    explicit Dispatcher (SystemVirtualPorts& o) : juce::Thread ("SystemVirtualPorts"), owner (o) {}

    void run() override
    {
        for (;;)
        {
            Slice slice;

            {
                std::unique_lock<std::mutex> lock (owner.queueMutex);
                owner.queueChanged.wait (lock, [this] { return owner.stopping || ! owner.queue.empty(); });

                if (owner.stopping)
                    return;

                slice = std::move (owner.queue.front());
                owner.queue.pop_front();
                owner.dispatching = slice.plug;
            }

            owner.dispatch (std::move (slice));

            {
                const std::lock_guard<std::mutex> lock (owner.queueMutex);
                owner.dispatching = 0;
            }

            owner.queueChanged.notify_all();
        }
    }

private:
    SystemVirtualPorts& owner;
};

//==============================================================================
#if JUCE_LINUX || JUCE_BSD || JUCE_MAC || JUCE_IOS
 #define VFU_SYSTEM_VIRTUAL_PORTS 1
#else
 #define VFU_SYSTEM_VIRTUAL_PORTS 0
#endif

bool SystemVirtualPorts::systemOffersVirtualPorts()
{
    return VFU_SYSTEM_VIRTUAL_PORTS != 0;
}

SystemVirtualPorts::SystemVirtualPorts (Monitor* monitorToUse)
    : SystemVirtualPorts (monitorToUse, Line())
{
}

SystemVirtualPorts::SystemVirtualPorts (Monitor* monitorToUse, Line lineToUse)
    : monitor (monitorToUse),
      line (lineToUse),
      dispatcher (std::make_unique<Dispatcher> (*this))
{
    dispatcher->startThread();
}

SystemVirtualPorts::~SystemVirtualPorts()
{
    std::vector<PlugId> remaining;

    {
        const juce::ScopedLock sl (portLock);

        for (auto& entry : plugs)
            remaining.push_back (entry.first);
    }

    for (auto id : remaining)
        pullOut (id);

    {
        const std::lock_guard<std::mutex> lock (queueMutex);
        stopping = true;
    }

    queueChanged.notify_all();
    dispatcher->stopThread (-1);
}

DevicePortHost::PlugId SystemVirtualPorts::plugIn (const juce::String& inputName, const juce::String& outputName,
                                                    Device* device, int, int)
{
   #if ! VFU_SYSTEM_VIRTUAL_PORTS
    juce::ignoreUnused (inputName, outputName, device);
    return 0;
   #else
    PlugId id;

    {
        const juce::ScopedLock sl (portLock);
        id = ++lastPlug;

        auto plug = std::make_unique<Plug> (inputName, outputName, device);

        if (inputName.isNotEmpty() && line.replyPieceBytes > 0)
        {
            plug->fromDeviceInPieces = std::make_unique<AlsaPiecewiseOutput> (inputName, inputName, line.replyPieceBytes);

            if (! plug->fromDeviceInPieces->isOpen())
                return 0;
        }
        else if (inputName.isNotEmpty())
        {
            plug->fromDevice = juce::MidiOutput::createNewDevice (inputName);

            if (plug->fromDevice == nullptr)
                return 0;
        }

        if (outputName.isNotEmpty())
        {
            if (line.cabled)
            {
                plug->cable = std::make_unique<SimMidiCable> (line.cable,
                    [this, id] (const juce::uint8* data, size_t size) { queueFromSystem (id, data, size); },
                    [this, outputName] (size_t lost, size_t eventBytes)
                    {
                        if (monitor != nullptr)
                            monitor->cableOverrun (outputName, lost, eventBytes);
                    });
            }

            // The framework's input thread only hands each event on, so the sequencer never
            // finds this client's input full.
            plug->callback = std::make_unique<SliceCallback> ([this, id, cable = plug->cable.get()] (const juce::uint8* data, size_t size)
            {
                if (cable != nullptr)
                    cable->write (data, size);
                else
                    queueFromSystem (id, data, size);
            });

            plug->toDevice = juce::MidiInput::createNewDevice (outputName, plug->callback.get());

            if (plug->toDevice == nullptr)
                return 0;

            plug->toDevice->start();
        }

        plugs[id] = std::move (plug);
    }

    if (monitor != nullptr)
        monitor->portsChanged (inputName, outputName, true);

    return id;
   #endif
}

void SystemVirtualPorts::pullOut (PlugId id)
{
    std::unique_ptr<Plug> plug;

    {
        const juce::ScopedLock sl (portLock);
        const auto found = plugs.find (id);

        if (found == plugs.end())
            return;

        plug = std::move (found->second);
        plugs.erase (found);
    }

    // A call into its device on the dispatcher thread ends first, unless this is that call.
    if (juce::Thread::getCurrentThread() != dispatcher.get())
    {
        std::unique_lock<std::mutex> lock (queueMutex);
        queueChanged.wait (lock, [this, id] { return dispatching != id; });
    }

    {
        const juce::ScopedLock sl (portLock);
        plug->toDevice.reset();
        plug->fromDevice.reset();
        plug->fromDeviceInPieces.reset();
    }

    // What is still in the cable's buffer goes with the port. Not under the lock: the cable's
    // thread may be handing bytes on.
    plug->cable.reset();
    reportSysexCutOff (*plug);

    if (monitor != nullptr)
        monitor->portsChanged (plug->inputName, plug->outputName, false);
}

bool SystemVirtualPorts::isPluggedIn (PlugId id) const
{
    const juce::ScopedLock sl (portLock);
    return plugs.find (id) != plugs.end();
}

void SystemVirtualPorts::sendToUpdater (PlugId id, const juce::MidiMessage& message)
{
    juce::String name;
    int error = 0;

    {
        // The send is a non-blocking hand-over to the system; the lock keeps the port alive for it.
        const juce::ScopedLock sl (portLock);
        const auto found = plugs.find (id);

        if (found == plugs.end())
            return;

        auto& plug = *found->second;

        if (plug.fromDeviceInPieces != nullptr)
            error = plug.fromDeviceInPieces->send (message);
        else if (plug.fromDevice != nullptr)
            plug.fromDevice->sendMessageNow (message); // the framework does not say whether it went
        else
            return;

        name = plug.inputName;
    }

    if (monitor == nullptr)
        return;

    if (error < 0)
        monitor->messageRefused (name, message, error);
    else
        monitor->messageSent (name, message);
}

void SystemVirtualPorts::queueFromSystem (PlugId id, const juce::uint8* data, size_t size)
{
    if (size == 0)
        return;

    {
        const std::lock_guard<std::mutex> lock (queueMutex);

        if (stopping)
            return;

        queue.push_back ({ id, std::vector<juce::uint8> (data, data + size) });
    }

    queueChanged.notify_all();
}

void SystemVirtualPorts::dispatch (Slice slice)
{
    Plug* plug = nullptr;

    {
        const juce::ScopedLock sl (portLock);
        const auto found = plugs.find (slice.plug);

        if (found != plugs.end())
            plug = found->second.get();
    }

    // pullOut waits for this call to end before it deletes the plug, except when the device
    // itself pulls it out from inside receivedFromUpdater: so the plug is not touched after that.
    if (plug == nullptr)
        return;

    if (monitor != nullptr)
    {
        plug->reader.read (slice.bytes, [this, plug] (const std::vector<juce::uint8>& bytes, bool complete)
        {
            monitor->messageReceived (plug->outputName, bytes, complete);
        });
    }

    if (plug->device != nullptr)
        plug->device->receivedFromUpdater (juce::MidiMessage (slice.bytes.data(), (int) slice.bytes.size(), 0.0));
}

void SystemVirtualPorts::reportSysexCutOff (Plug& plug)
{
    if (monitor == nullptr)
        return;

    plug.reader.cutOff ([this, &plug] (const std::vector<juce::uint8>& bytes, bool complete)
    {
        monitor->messageReceived (plug.outputName, bytes, complete);
    });
}
