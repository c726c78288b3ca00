#include "VirtualMidiPorts.h"

#include <deque>
#include <optional>
#include <vector>

namespace
{
    // One opened input port's link to the bus. The port object owns it; the bus keeps a shared
    // reference so that a delivery can finish safely while the port is being deleted.
    struct InputListener
    {
        InputListener (MidiPortReceiver& r, const juce::String& n) : receiver (r), name (n) {}

        MidiPortReceiver& receiver;
        const juce::String name;
        juce::CriticalSection callLock; // held while the receiver is called; recursive, so a
                                        // receiver may stop or delete its own port
        bool open = true;               // guarded by callLock
        std::atomic<bool> started { false };
    };

    struct InputPlug
    {
        juce::String name;
        std::atomic<bool> present { true };
        std::vector<std::shared_ptr<InputListener>> listeners; // guarded by the bus lock
    };

    struct OutputPlug
    {
        juce::String name;
        VirtualMidiPorts::Device* device = nullptr;
        juce::CriticalSection callLock; // held while the device is called
        bool present = true;            // guarded by callLock
    };

    struct Plug
    {
        VirtualMidiPorts::PlugId id = 0;
        std::shared_ptr<InputPlug> input;
        std::shared_ptr<OutputPlug> output;
    };

    struct Pending
    {
        std::shared_ptr<InputPlug> input;
        juce::MidiMessage message;
    };
}

struct VirtualMidiPorts::Core
{
    juce::CriticalSection lock;
    std::vector<Plug> plugs;                           // every plug still present
    std::vector<std::shared_ptr<InputPlug>> inputs;    // in list order
    std::vector<std::shared_ptr<OutputPlug>> outputs;  // in list order
    std::deque<Pending> queue;
    bool delivering = false;
    PlugId nextId = 1;
    std::uint64_t listsGeneration = 1;                 // one more with every plug in and out

    juce::WaitableEvent workToDo, idle { true };
};

namespace
{
    class VirtualInputPort final : public MidiInputPort
    {
    public:
        VirtualInputPort (std::shared_ptr<VirtualMidiPorts::Core> c, std::shared_ptr<InputPlug> p,
                          std::shared_ptr<InputListener> l)
            : core (std::move (c)), plug (std::move (p)), listener (std::move (l)) {}

        ~VirtualInputPort() override
        {
            {
                const juce::ScopedLock sl (core->lock);
                auto& list = plug->listeners;
                list.erase (std::remove (list.begin(), list.end(), listener), list.end());
            }

            const juce::ScopedLock sl (listener->callLock);
            listener->open = false;
        }

        void start() override { listener->started = true; }

        void stop() override
        {
            listener->started = false;
            const juce::ScopedLock sl (listener->callLock); // waits for a delivery under way
        }

    private:
        std::shared_ptr<VirtualMidiPorts::Core> core;
        std::shared_ptr<InputPlug> plug;
        std::shared_ptr<InputListener> listener;
    };

    class VirtualOutputPort final : public MidiOutputPort
    {
    public:
        explicit VirtualOutputPort (std::shared_ptr<OutputPlug> p) : plug (std::move (p)) {}

        juce::Result sendMessageNow (const juce::MidiMessage& message) override
        {
            const juce::ScopedLock sl (plug->callLock);

            // A port that has vanished takes nothing, as a real one that was unplugged; one
            // without a device takes everything and passes it nowhere.
            if (! plug->present)
                return juce::Result::fail ("the port is gone");

            if (plug->device != nullptr)
                plug->device->receivedFromUpdater (message);

            return juce::Result::ok();
        }

        void announceImage (size_t totalBytes) override
        {
            const juce::ScopedLock sl (plug->callLock);

            if (plug->present && plug->device != nullptr)
                plug->device->imageAnnounced (totalBytes);
        }

    private:
        std::shared_ptr<OutputPlug> plug;
    };
}

//==============================================================================
class VirtualMidiPorts::DeliveryThread final : public juce::Thread
{
public:
    explicit DeliveryThread (std::shared_ptr<Core> c) : juce::Thread ("VirtualMidiPorts"), core (std::move (c)) {}

    ~DeliveryThread() override
    {
        signalThreadShouldExit();
        core->workToDo.signal();
        stopThread (4000);
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            std::optional<Pending> next;
            std::vector<std::shared_ptr<InputListener>> targets;

            {
                const juce::ScopedLock sl (core->lock);

                if (core->queue.empty())
                {
                    core->delivering = false;
                    core->idle.signal();
                }
                else
                {
                    // Emplaced, not assigned: move-assigning a juce::MidiMessage over one that
                    // holds heap data would leak it.
                    next.emplace (std::move (core->queue.front()));
                    core->queue.pop_front();
                    core->delivering = true;
                    targets = next->input->listeners;
                }
            }

            if (! next.has_value())
            {
                core->workToDo.wait (-1); // a send and the destructor both signal it
                continue;
            }

            for (auto& target : targets)
            {
                const juce::ScopedLock sl (target->callLock);

                if (target->open && target->started && next->input->present)
                    target->receiver.handleIncomingMidiMessage (target->name, next->message);
            }
        }
    }

private:
    std::shared_ptr<Core> core;
};

//==============================================================================
VirtualMidiPorts::VirtualMidiPorts()
    : core (std::make_shared<Core>()),
      thread (std::make_unique<DeliveryThread> (core))
{
    thread->startThread();
}

VirtualMidiPorts::~VirtualMidiPorts()
{
    thread.reset();
}

VirtualMidiPorts::PlugId VirtualMidiPorts::plugIn (const juce::String& inputName, const juce::String& outputName,
                                                   Device* device, int inputPosition, int outputPosition)
{
    const juce::ScopedLock sl (core->lock);

    Plug plug;
    plug.id = core->nextId++;

    auto insertAt = [] (auto& list, auto item, int position)
    {
        const auto size = (int) list.size();
        const auto at = position < 0 ? size : juce::jmin (position, size);
        list.insert (list.begin() + at, std::move (item));
    };

    if (inputName.isNotEmpty())
    {
        plug.input = std::make_shared<InputPlug>();
        plug.input->name = inputName;
        insertAt (core->inputs, plug.input, inputPosition);
    }

    if (outputName.isNotEmpty())
    {
        plug.output = std::make_shared<OutputPlug>();
        plug.output->name = outputName;
        plug.output->device = device;
        insertAt (core->outputs, plug.output, outputPosition);
    }

    core->plugs.push_back (plug);
    ++core->listsGeneration;
    return plug.id;
}

void VirtualMidiPorts::pullOut (PlugId id)
{
    Plug plug;

    {
        const juce::ScopedLock sl (core->lock);
        auto found = std::find_if (core->plugs.begin(), core->plugs.end(), [id] (const Plug& p) { return p.id == id; });

        if (found == core->plugs.end())
            return;

        plug = *found;
        core->plugs.erase (found);
        ++core->listsGeneration;

        if (plug.input != nullptr)
        {
            plug.input->present = false;
            core->inputs.erase (std::remove (core->inputs.begin(), core->inputs.end(), plug.input), core->inputs.end());
        }

        if (plug.output != nullptr)
            core->outputs.erase (std::remove (core->outputs.begin(), core->outputs.end(), plug.output), core->outputs.end());
    }

    // Outside the bus lock: waits for a send to the device that is under way on another thread.
    if (plug.output != nullptr)
    {
        const juce::ScopedLock sl (plug.output->callLock);
        plug.output->present = false;
    }
}

bool VirtualMidiPorts::isPluggedIn (PlugId id) const
{
    const juce::ScopedLock sl (core->lock);
    return std::any_of (core->plugs.begin(), core->plugs.end(), [id] (const Plug& p) { return p.id == id; });
}

void VirtualMidiPorts::sendToUpdater (PlugId id, const juce::MidiMessage& message)
{
    {
        const juce::ScopedLock sl (core->lock);
        auto found = std::find_if (core->plugs.begin(), core->plugs.end(), [id] (const Plug& p) { return p.id == id; });

        if (found == core->plugs.end() || found->input == nullptr)
            return;

        core->queue.push_back ({ found->input, message });
        core->idle.reset();
    }

    core->workToDo.signal();
}

int VirtualMidiPorts::countOpenInputs() const
{
    const juce::ScopedLock sl (core->lock);
    size_t count = 0;

    for (auto& plug : core->plugs)
        if (plug.input != nullptr)
            count += plug.input->listeners.size();

    return (int) count;
}

bool VirtualMidiPorts::waitUntilDelivered (int timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) juce::jmax (0, timeoutMs);

    for (;;)
    {
        {
            const juce::ScopedLock sl (core->lock);

            if (core->queue.empty() && ! core->delivering)
                return true;
        }

        const auto now = juce::Time::getMillisecondCounter();

        if (now >= end)
            return false;

        core->idle.wait ((int) juce::jmin<juce::uint32> (end - now, 10));
    }
}

std::uint64_t VirtualMidiPorts::getListsGeneration()
{
    const juce::ScopedLock sl (core->lock);
    return core->listsGeneration;
}

juce::StringArray VirtualMidiPorts::getInputNames()
{
    const juce::ScopedLock sl (core->lock);
    juce::StringArray names;

    for (auto& input : core->inputs)
        names.add (input->name);

    return names;
}

juce::StringArray VirtualMidiPorts::getOutputNames()
{
    const juce::ScopedLock sl (core->lock);
    juce::StringArray names;

    for (auto& output : core->outputs)
        names.add (output->name);

    return names;
}

std::unique_ptr<MidiInputPort> VirtualMidiPorts::openInput (int index, MidiPortReceiver& receiver)
{
    const juce::ScopedLock sl (core->lock);

    if (! juce::isPositiveAndBelow (index, (int) core->inputs.size()))
        return nullptr;

    auto plug = core->inputs[(size_t) index];
    auto listener = std::make_shared<InputListener> (receiver, plug->name);
    plug->listeners.push_back (listener);
    return std::make_unique<VirtualInputPort> (core, std::move (plug), std::move (listener));
}

std::unique_ptr<MidiOutputPort> VirtualMidiPorts::openOutput (int index)
{
    const juce::ScopedLock sl (core->lock);

    if (! juce::isPositiveAndBelow (index, (int) core->outputs.size()))
        return nullptr;

    return std::make_unique<VirtualOutputPort> (core->outputs[(size_t) index]);
}
