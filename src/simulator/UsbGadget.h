#pragma once

#include <juce_core/juce_core.h>

/** One USB MIDI device made by this machine's own kernel: a gadget in configfs
    (/sys/kernel/config/usb_gadget/NAME) with a single "midi" function of one port each way, bound
    to a USB device controller (UDC) such as dummy_hcd's "dummy_udc.0". The host side of that
    controller then enumerates it as any USB MIDI instrument; the gadget's own end is an ALSA
    card of this machine (card id cardId), whose raw MIDI device is the instrument's end of the
    cable.

    Linux only: elsewhere every call fails with a message.

    Every change says whether it worked: an empty String, or what failed and why.

    Threads: not thread-safe; one owner calls it. A bind or an unbind is a write to configfs that
    the kernel carries out before it returns (the gadget's own card is there, or gone, then).
*/
class UsbGadget final
{
public:
    struct Identity
    {
        int vendorId = 0;
        int productId = 0;
        juce::String manufacturer, product, serialNumber;
    };

    /** Where the kernel keeps gadgets. */
    static juce::String gadgetRoot();

    /** Nothing is made yet. name: the gadget's folder (letters, digits, '-', '_', '.');
        cardId: the id of its own ALSA card (up to 15 letters and digits, unique on the machine). */
    UsbGadget (juce::String name, juce::String cardId);

    /** Removes the gadget from configfs if it was made (unbinding it first). */
    ~UsbGadget();

    /** Makes the gadget's folders and its midi function, after removing a gadget of the same
        name that a killed run left behind (leftOver then says so). */
    juce::String create (bool& leftOver);

    /** The USB IDs and strings the host reads at the next bind. */
    juce::String setIdentity (const Identity& identity);

    juce::String bind (const juce::String& udc);
    juce::String unbind();

    /** Unbinds and removes everything create() made; what could not be removed is in the text. */
    juce::String remove();

    bool isCreated() const noexcept { return created; }
    bool isBound() const noexcept   { return boundTo.isNotEmpty(); }
    const juce::String& getName() const noexcept { return name; }

    /** The number of the gadget's own ALSA card while bound, else -1. */
    int findOwnCard() const;

    /** The midi function's buffer settings as the kernel reports them (0 when unreadable). */
    int readFunctionAttribute (const juce::String& attribute) const;

    /** The UDCs of this machine (/sys/class/udc), and the ones no gadget in configfs is bound to. */
    static juce::StringArray availableControllers();
    static juce::StringArray freeControllers();

private:
    juce::String path (const juce::String& relative) const;
    static juce::String removeTree (const juce::String& gadgetPath);

    const juce::String name, cardId;
    bool created = false;
    juce::String boundTo;

    JUCE_DECLARE_NON_COPYABLE (UsbGadget)
};
