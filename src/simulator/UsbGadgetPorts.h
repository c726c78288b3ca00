#pragma once

#include "UsbGadget.h"
#include "UsbHostCard.h"
#include "SystemVirtualPorts.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct _snd_rawmidi;

/** Puts a simulated device behind a real USB MIDI device of this machine's own kernel: a USB
    gadget (UsbGadget) on a USB device controller whose host side is on the same machine
    (dummy_hcd), so that the kernel's snd-usb-audio enumerates it as an instrument plugged in over
    USB (card "Vorn Quorrel at usb-dummy_hcd.0-1, ...", sequencer client "Quorrel", port
    "Quorrel MIDI 1"). Linux only; elsewhere plugIn fails.

    plugIn binds the gadget under the device's name (its bootloader, by default, under
    "<name> Bootloader" and another product ID, as real instruments re-enumerate), opens the
    gadget's own raw MIDI device and waits until the host side lists the card and its sequencer
    client; pullOut closes the raw MIDI device, unbinds the gadget and waits until the host side
    has let the card go. The destructor removes the gadget from configfs.

    With renumber, each time the device goes away a filler gadget ("Vorn Filler", on another free
    controller) is plugged in, or, when it is plugged in already, pulled out: the kernel gives the
    lowest free card number to the next card, so the device comes back under another card, and so
    another sequencer client, every time.

    A stall: once stallAtSysexByte bytes of a SysEx have been read, the reader stops reading for
    stallMs, as a bootloader writing its flash; what the gadget's raw MIDI buffer cannot hold
    meanwhile the kernel drops.

    Threads: every function may be called from any thread. The device hears from the updater on
    this host's reader thread ("UsbGadgetPorts"), and may pull its ports out from inside that
    call. plugIn and pullOut wait (sleeping in short steps, ended by the destructor) for the host
    side, so they are called on a thread that may wait: the instrument's scheduler. The monitor and
    the notice function are called on the reader thread and on the threads that call plugIn,
    pullOut and sendToUpdater, never under a lock of this host.
*/
class UsbGadgetPorts final : public DevicePortHost
{
public:
    struct Options
    {
        juce::String controller { "dummy_udc.0" }; // the UDC the gadget binds to
        int vendorId = 0x1209;                     // pid.codes' test IDs
        int productId = 0x0007;
        int bootloaderProductId = 0x0008;
        int fillerProductId = 0x0009;
        bool keepName = false;                     // the bootloader under the normal name and ID
        std::function<bool()> inBootloader;        // asked at every plugIn; null: never
        bool renumber = false;
        size_t stallAtSysexByte = 0;               // 0: never stalls
        int stallMs = 0;
        int hostTimeoutMs = 20000;                 // how long the host side may take to list the card
    };

    /** Empty when this system can carry the gadget: running as root, configfs with usb_gadget
        (libcomposite), and the controller. Otherwise what is missing, for the user. */
    static juce::String checkSystem (const juce::String& controller);

    /** notice: lines for the user (where the host found the device, short writes, failures). */
    UsbGadgetPorts (SystemVirtualPorts::Monitor* monitor, std::function<void (const juce::String&)> notice, Options options);
    ~UsbGadgetPorts() override;

    /** Makes the gadget (and removes one that a killed run left behind); empty on success. Called
        by plugIn too; call it first to tell a system that cannot make gadgets from one that can. */
    juce::String prepare();

    PlugId plugIn (const juce::String& inputName, const juce::String& outputName, Device* device,
                   int inputPosition = -1, int outputPosition = -1) override;
    void pullOut (PlugId plug) override;
    bool isPluggedIn (PlugId plug) const override;
    void sendToUpdater (PlugId plug, const juce::MidiMessage& message) override;

    /** Where the host side last found the device (card -1: not found). */
    UsbHostCard getHostSide() const;

    /** The gadget's "midi" function settings: its USB request size and count. */
    int getRequestBytes() const;
    int getRequestCount() const;

private:
    class Reader;

    void say (const juce::String& text) const;
    bool waitUntil (const std::function<bool()>& condition, int timeoutMs) const;
    juce::String hostPrefix (const juce::String& controller) const;
    std::vector<UsbHostCard> hostCards (const juce::String& controller, const juce::String& product) const;
    void joinRetiredReaders();
    void switchFiller();
    void closeRawMidi();

    SystemVirtualPorts::Monitor* const monitor;
    const std::function<void (const juce::String&)> notice;
    const Options options;

    // The gadgets, the filler and lastPlug are changed by one plugIn or pullOut at a time (the
    // one that set changing).
    UsbGadget gadget;
    std::unique_ptr<UsbGadget> filler;   // made at the first renumbering
    juce::String fillerController;
    bool fillerPlugged = false;
    PlugId lastPlug = 0;
    std::unique_ptr<Reader> reader;
    std::vector<std::unique_ptr<Reader>> retired; // readers that ended on their own thread

    mutable std::mutex stateMutex;
    PlugId current = 0;            // guarded by stateMutex
    bool changing = false;         // a plugIn or pullOut is under way, guarded by stateMutex
    juce::String portName;         // guarded by stateMutex
    UsbHostCard hostSide;          // guarded by stateMutex

    std::mutex ioMutex;
    _snd_rawmidi* rawMidiIn = nullptr;  // the gadget's raw MIDI device, guarded by ioMutex
    _snd_rawmidi* rawMidiOut = nullptr;

    std::atomic<bool> stopping { false };
    int wakeFd = -1;               // written to end waits (an eventfd)

    JUCE_DECLARE_NON_COPYABLE (UsbGadgetPorts)
};
