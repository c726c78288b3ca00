#include "UsbGadget.h"

#include "KernelFiles.h"

namespace
{
    const char* const functionFolder = "functions/midi.vfu";
    const char* const configFolder = "configs/c.1";
    const char* const english = "0x409";

    juce::String hex4 (int value)
    {
        return "0x" + juce::String::toHexString (value & 0xffff).paddedLeft ('0', 4);
    }
}

juce::String UsbGadget::gadgetRoot()
{
    return "/sys/kernel/config/usb_gadget";
}

UsbGadget::UsbGadget (juce::String gadgetName, juce::String ownCardId)
    : name (std::move (gadgetName)), cardId (std::move (ownCardId))
{
}

UsbGadget::~UsbGadget()
{
    if (created)
        remove();
}

juce::String UsbGadget::path (const juce::String& relative) const
{
    return gadgetRoot() + "/" + name + (relative.isEmpty() ? juce::String() : "/" + relative);
}

juce::String UsbGadget::create (bool& leftOver)
{
    leftOver = false;

    if (created)
        return {};

    if (KernelFiles::exists (path ({})))
    {
        leftOver = true;
        const auto error = removeTree (path ({}));

        if (error.isNotEmpty())
            return "a gadget " + name + " left behind cannot be removed: " + error;
    }

    const std::pair<juce::String, juce::String> steps[] {
        { "mkdir", "" },
        { "bcdUSB", "0x0200" },
        { "bcdDevice", "0x0100" },
        { "mkdir", juce::String ("strings/") + english },
        { "mkdir", functionFolder },
        { juce::String (functionFolder) + "/in_ports", "1" },
        { juce::String (functionFolder) + "/out_ports", "1" },
        { juce::String (functionFolder) + "/id", cardId },
        { "mkdir", configFolder },
        { "mkdir", juce::String (configFolder) + "/strings/" + english },
        { juce::String (configFolder) + "/strings/" + english + "/configuration", "MIDI" },
        { juce::String (configFolder) + "/MaxPower", "100" },
    };

    created = true; // from here on remove() cleans up whatever was made

    for (const auto& step : steps)
    {
        const auto error = step.first == "mkdir" ? KernelFiles::makeFolder (path (step.second))
                                                 : KernelFiles::write (path (step.first), step.second);

        if (error.isNotEmpty())
        {
            remove();
            return error;
        }
    }

    const auto error = KernelFiles::link (path (functionFolder), path (juce::String (configFolder) + "/midi.vfu"));

    if (error.isNotEmpty())
    {
        remove();
        return error;
    }

    return {};
}

juce::String UsbGadget::setIdentity (const Identity& identity)
{
    if (! created)
        return "the gadget " + name + " is not made";

    const auto strings = juce::String ("strings/") + english + "/";
    const std::pair<juce::String, juce::String> values[] {
        { "idVendor", hex4 (identity.vendorId) },
        { "idProduct", hex4 (identity.productId) },
        { strings + "manufacturer", identity.manufacturer },
        { strings + "product", identity.product },
        { strings + "serialnumber", identity.serialNumber },
    };

    for (const auto& value : values)
    {
        const auto error = KernelFiles::write (path (value.first), value.second);

        if (error.isNotEmpty())
            return error;
    }

    return {};
}

juce::String UsbGadget::bind (const juce::String& udc)
{
    if (! created)
        return "the gadget " + name + " is not made";

    if (boundTo == udc)
        return {};

    if (isBound())
        return "the gadget " + name + " is bound to " + boundTo + " already";

    const auto error = KernelFiles::write (path ("UDC"), udc);

    if (error.isEmpty())
        boundTo = udc;

    return error;
}

juce::String UsbGadget::unbind()
{
    if (! isBound())
        return {};

    const auto error = KernelFiles::write (path ("UDC"), {});

    // Whatever the answer, the kernel no longer has it bound when the UDC file is empty.
    if (error.isEmpty() || KernelFiles::readLine (path ("UDC")).isEmpty())
        boundTo = {};

    return error;
}

juce::String UsbGadget::remove()
{
    if (! created)
        return {};

    const auto error = removeTree (path ({}));
    created = false;
    boundTo = {};
    return error;
}

juce::String UsbGadget::removeTree (const juce::String& gadgetPath)
{
    juce::StringArray errors;
    const auto note = [&errors] (const juce::String& error)
    {
        if (error.isNotEmpty())
            errors.add (error);
    };

    if (KernelFiles::readLine (gadgetPath + "/UDC").isNotEmpty())
        note (KernelFiles::write (gadgetPath + "/UDC", {}));

    // configfs removes a gadget from the inside out: links, then the folders that mkdir made.
    for (const auto& config : KernelFiles::list (gadgetPath + "/configs"))
    {
        const auto configPath = gadgetPath + "/configs/" + config;

        for (const auto& entry : KernelFiles::list (configPath))
            if (KernelFiles::isLink (configPath + "/" + entry))
                note (KernelFiles::unlink (configPath + "/" + entry));

        for (const auto& language : KernelFiles::list (configPath + "/strings"))
            note (KernelFiles::removeFolder (configPath + "/strings/" + language));

        note (KernelFiles::removeFolder (configPath));
    }

    for (const auto& function : KernelFiles::list (gadgetPath + "/functions"))
        note (KernelFiles::removeFolder (gadgetPath + "/functions/" + function));

    for (const auto& language : KernelFiles::list (gadgetPath + "/strings"))
        note (KernelFiles::removeFolder (gadgetPath + "/strings/" + language));

    if (KernelFiles::exists (gadgetPath))
        note (KernelFiles::removeFolder (gadgetPath));

    return errors.joinIntoString ("; ");
}

int UsbGadget::findOwnCard() const
{
    if (! isBound())
        return -1;

    for (const auto& entry : KernelFiles::list ("/sys/class/sound"))
    {
        if (! entry.startsWith ("card") || ! entry.substring (4).containsOnly ("0123456789") || entry.length() > 7)
            continue;

        if (KernelFiles::readLine ("/sys/class/sound/" + entry + "/id") == cardId)
            return entry.substring (4).getIntValue();
    }

    return -1;
}

int UsbGadget::readFunctionAttribute (const juce::String& attribute) const
{
    const auto text = KernelFiles::readLine (path (juce::String (functionFolder) + "/" + attribute));
    return text.containsOnly ("0123456789") && text.length() <= 9 ? text.getIntValue() : 0;
}

juce::StringArray UsbGadget::availableControllers()
{
    return KernelFiles::list ("/sys/class/udc");
}

juce::StringArray UsbGadget::freeControllers()
{
    auto controllers = availableControllers();

    for (const auto& gadget : KernelFiles::list (gadgetRoot()))
        controllers.removeString (KernelFiles::readLine (gadgetRoot() + "/" + gadget + "/UDC"));

    return controllers;
}
