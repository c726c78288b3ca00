#pragma once

#include "simulator/SystemVirtualPorts.h"
#include "simulator/UsbGadgetPorts.h"
#include "TcpPortHost.h"

/** vfu-instrument's command: reads the command line, puts the simulated instrument on the
    system's MIDI service, prints its traffic and ends on SIGINT or SIGTERM.

    With --usb the instrument is a USB MIDI gadget of the kernel's own dummy controllers instead
    (UsbGadgetPorts); with --tcp it listens on TCP addresses for the Windows test driver
    (TcpPortHost).

    Exit status: 0 after a signal, 1 when the system made no ports, 2 for a usage error, a bad
    setting, a system without virtual MIDI ports, or (--usb) a system that cannot make USB gadgets. */
class InstrumentTool final
{
public:
    int run (const juce::StringArray& arguments);

private:
    struct Usb
    {
        bool wanted = false;
        UsbGadgetPorts::Options options;
    };

    struct Tcp
    {
        bool wanted = false;
        TcpPortHost::Options options;
    };

    int runInstrument (int family, const juce::String& settingsText, size_t imageBytes, const juce::String& portName,
                       const SystemVirtualPorts::Line& line, const Usb& usb, const Tcp& tcp);
};
