#pragma once

#include "midi/DevicePortHost.h"
#include "simulator/SystemVirtualPorts.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

/** Puts a simulated device on TCP addresses, where the project's test MIDI driver for Windows
    (scripts/with-winmm.sh) connects a port to each: plugged in, the device listens on its
    address and takes every connection; pulled out, it closes them and refuses new ones. A
    device in its bootloader listens on another address than in its application, so that its
    restart is an unplug and a plug of another port, as a USB instrument's is.

    The bytes are raw MIDI both ways. What arrives on any connection reaches the device in the
    slices it came in; replies go to every connection. A stall (a bootloader writing its flash)
    stops reading for a while once that many bytes of a SysEx have arrived: the sender is held
    back by TCP's flow control, as a USB host is by the device, and nothing is lost.

    Threads: every function may be called from any thread. Each plug has a thread of its own
    that accepts and reads; the device hears from the updater there, and the monitor is told
    there and on the threads that call plugIn, pullOut and sendToUpdater. POSIX only.
*/
class TcpPortHost final : public DevicePortHost
{
public:
    struct Address
    {
        juce::String host;
        int port = 0;

        juce::String toString() const { return host + ":" + juce::String (port); }

        /** "HOST:PORT" with an IPv4 host; nothing otherwise. */
        static std::optional<Address> parse (const juce::String& text);
    };

    struct Options
    {
        Address application;
        Address bootloader;                   // may be the application's
        std::function<bool()> inBootloader;   // asked at every plugIn
        size_t stallAtSysexByte = 0;          // 0: never stalls
        int stallMs = 0;
    };

    TcpPortHost (SystemVirtualPorts::Monitor* monitor, Options options);
    ~TcpPortHost() override;

    PlugId plugIn (const juce::String& inputName, const juce::String& outputName, Device* device,
                   int inputPosition = -1, int outputPosition = -1) override;
    void pullOut (PlugId plug) override;
    bool isPluggedIn (PlugId plug) const override;
    void sendToUpdater (PlugId plug, const juce::MidiMessage& message) override;

private:
    class Plug;

    /** The plug of that id (nullptr when none), taken out of the map when remove is set. */
    std::shared_ptr<Plug> findPlug (PlugId id, bool remove);

    SystemVirtualPorts::Monitor* const monitor;
    const Options options;

    mutable std::mutex mutex;
    std::map<PlugId, std::shared_ptr<Plug>> plugs;   // guarded by mutex
    std::vector<std::shared_ptr<Plug>> ended;        // pulled from their own thread; joined later
    PlugId lastPlug = 0;                             // guarded by mutex

    JUCE_DECLARE_NON_COPYABLE (TcpPortHost)
};
