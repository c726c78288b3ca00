#include "InstrumentTool.h"

#include "InstrumentIdentity.h"
#include "TrafficPrinter.h"
#include "base/OutsideText.h"
#include "base/BuildConstants.h"
#include "simulator/SystemVirtualPorts.h"
#include "simulator/SimulatorConfig.h"

#include <iostream>
#include <optional>

#if ! JUCE_WINDOWS
 #include "app/QuitSignalPipe.h"
 #include <poll.h>
#endif

namespace
{
    // The size of the shipped firmware image: what a pull-cable-at share is taken of unless told.
    constexpr size_t defaultImageBytes = 359740;

    const int knownFamilies[] { 6, 8, 11, 12 };

    void printUsage (std::ostream& out)
    {
        out << "usage: vfu-instrument [--device NAME] [--name PORTNAME] [--image-bytes N]\n"
               "                      [--line-rate BYTES_PER_S] [--stall BYTE:MS] [--reply-pieces N] [SETTINGS]\n"
               "       vfu-instrument --usb [--usb-controller N] [--usb-keep-name] [--usb-renumber]\n"
               "                      [--device NAME] [--name PORTNAME] [--image-bytes N] [--stall BYTE:MS] [SETTINGS]\n"
               "       vfu-instrument --tcp HOST:PORT [--tcp-bootloader HOST:PORT]\n"
               "                      [--device NAME] [--name PORTNAME] [--image-bytes N] [--stall BYTE:MS] [SETTINGS]\n"
               "       vfu-instrument --help\n"
               "\n"
               "Puts a simulated " << BuildConstants::deviceName << " on this computer's MIDI service as a virtual\n"
               "MIDI device, so that the updater (or any MIDI program) finds it as it finds one on USB.\n"
               "It answers the identity request, goes into its bootloader, erases, takes firmware\n"
               "images and restarts with the new version; its ports vanish while it restarts.\n"
               "\n"
               "  --device NAME     Quorrel, Dorrick, Vantoline or Halvane XV (default "
            << BuildConstants::deviceName << ")\n"
               "  --name PORTNAME   the name of its ports (default: the device's name), so that several\n"
               "                    simulated instruments can be told apart on one computer\n"
               "  --image-bytes N   the image size that pull-cable-at takes its share of (default 359740)\n"
               "  --line-rate BYTES_PER_S\n"
               "                    puts it behind a hardware port's cable at that speed (DIN MIDI: 3125):\n"
               "                    what it is sent goes through a 4,096-byte buffer in 32-byte chunks; a\n"
               "                    chunk that does not fit is lost with the rest of its event, and it\n"
               "                    prints \"MIDI output buffer overrun\"; its replies go out in 256-byte pieces\n"
               "  --stall BYTE:MS   with --line-rate, --usb or --tcp: stops reading for MS ms once BYTE bytes of a\n"
               "                    SysEx (a firmware image) have arrived, as a bootloader writing its flash\n"
               "  --reply-pieces N  its replies go out in pieces of at most N bytes (default 256 with\n"
               "                    --line-rate, else whole)\n"
               "  SETTINGS          key=value pairs separated by ';', as in VFU_SIMULATE:\n"
               "                      version, mode, bootloader-after, reattach-ms, pull-cable-at,\n"
               "                      corrupt-image, silent\n"
               "\n"
               "A real USB MIDI device (Linux, as root): with --usb the instrument is a USB MIDI gadget\n"
               "(configfs, libcomposite, usb_f_midi) on a dummy USB controller (dummy_hcd), which this\n"
               "computer's own USB host side enumerates as any instrument: card \"Vorn Quorrel at\n"
               "usb-dummy_hcd.0-1, ...\", sequencer client \"Quorrel\", port \"Quorrel MIDI 1\". When its\n"
               "ports appear it prints the USB location, the card and the sequencer client. It restarts\n"
               "as a USB device does: the host sees it leave and come back.\n"
               "  --usb             be a USB MIDI gadget on dummy_udc.0 (USB IDs 1209:0007, bootloader 0008)\n"
               "  --usb-controller N\n"
               "                    on dummy_udc.N instead (at usb-dummy_hcd.N-1): one instrument per\n"
               "                    controller, one vfu-instrument each\n"
               "  --usb-keep-name   its bootloader keeps the normal USB name and ID (by default it comes\n"
               "                    back as \"<name> Bootloader\", 1209:0008, as real instruments do)\n"
               "  --usb-renumber    each time it goes away, a filler USB MIDI device (\"Vorn Filler\",\n"
               "                    1209:0009) is plugged into the last free controller, or pulled out when\n"
               "                    it is in: the kernel gives the lowest free card number to the next card,\n"
               "                    so the instrument comes back under another card and sequencer client\n"
               "                    every time. Needs one more controller than instruments.\n"
               "  With --usb a pulled cable (pull-cable-at) unbinds the gadget and the instrument stays\n"
               "  away. --stall stops reading its raw MIDI device: the gadget holds about 4,400 bytes (its\n"
               "  raw MIDI buffer of 4,096 and what is on its way) and the kernel drops the rest; it\n"
               "  prints how many bytes were dropped. It removes its gadgets when it ends (also\n"
               "  after Ctrl-C or SIGTERM), and removes one that a killed run left behind when it starts.\n"
               "  Without root, configfs, the controller or usb_f_midi it ends with exit status 2.\n"
               "\n"
               "A port of the Windows test MIDI driver (scripts/with-winmm.sh): with --tcp\n"
               "the instrument listens on that IPv4 address while it runs its application, and on the\n"
               "--tcp-bootloader address (default: the same) while it runs its bootloader; the driver's\n"
               "port for an address is plugged in while the instrument listens there. Several programs'\n"
               "drivers may connect at once: it hears them all and answers to all. --stall stops reading\n"
               "for MS ms: the driver's send waits, as a USB host waits for a busy device, and nothing is\n"
               "lost. A pulled cable closes the connections.\n"
               "\n"
               "It prints one line per message it receives or sends (a firmware image as its size and\n"
               "SHA-256) and per change of its ports. Ctrl-C or SIGTERM ends it.\n";
    }

    int usageError (const juce::String& message)
    {
        std::cerr << "vfu-instrument: " << message << "\n";
        printUsage (std::cerr);
        return 2;
    }

    juce::String modeText (SimulatedInstrument::Mode mode)
    {
        switch (mode)
        {
            case SimulatedInstrument::Mode::normal:     return "normal";
            case SimulatedInstrument::Mode::bootloader: return "bootloader";
            case SimulatedInstrument::Mode::absent:     break;
        }

        return "absent";
    }
}

namespace
{
    // A whole number from 1 to 999,999,999, or nothing.
    std::optional<int> wholeNumber (const juce::String& text)
    {
        if (text.isEmpty() || text.length() > 9 || ! text.containsOnly ("0123456789") || text.getIntValue() < 1)
            return {};

        return text.getIntValue();
    }
}

int InstrumentTool::run (const juce::StringArray& arguments)
{
    int family = BuildConstants::deviceFamily;
    size_t imageBytes = defaultImageBytes;
    SystemVirtualPorts::Line line;
    bool stallGiven = false;
    juce::String settingsText, portName;
    bool settingsGiven = false;
    Usb usb;
    Tcp tcp;
    bool tcpBootloaderGiven = false;

    for (int i = 0; i < arguments.size(); ++i)
    {
        const auto& arg = arguments[i];

        if (arg == "--help" || arg == "-h")
        {
            printUsage (std::cout);
            return 0;
        }

        if (arg == "--usb" || arg == "--usb-keep-name" || arg == "--usb-renumber")
        {
            usb.wanted = true;
            usb.options.keepName = usb.options.keepName || arg == "--usb-keep-name";
            usb.options.renumber = usb.options.renumber || arg == "--usb-renumber";
            continue;
        }

        if (arg == "--device" || arg == "--image-bytes" || arg == "--name" || arg == "--line-rate" || arg == "--stall"
            || arg == "--reply-pieces" || arg == "--usb-controller" || arg == "--tcp" || arg == "--tcp-bootloader")
        {
            if (i + 1 >= arguments.size())
                return usageError (arg + " needs a value");

            const auto value = arguments[++i];

            if (arg == "--name")
            {
                // What ALSA keeps of a port name: up to 63 bytes of printable text.
                if (value.trim().isEmpty() || value.getNumBytesAsUTF8() > 63 || ! OutsideText::isPrintable (value))
                    return usageError ("bad port name '" + OutsideText::withControlsEscaped (value) + "' (1 to 63 bytes of printable text)");

                portName = value;
            }
            else if (arg == "--device")
            {
                family = 0;

                for (auto known : knownFamilies)
                    if (SimulatedInstrument::instrumentNameFor (known) == value)
                        family = known;

                if (family == 0)
                    return usageError ("unknown device '" + value + "' (known: Quorrel, Dorrick, Vantoline, Halvane XV)");
            }
            else if (arg == "--image-bytes")
            {
                const auto bytes = wholeNumber (value);

                if (! bytes)
                    return usageError ("bad value '" + value + "' for --image-bytes (expected a whole number of bytes from 1)");

                imageBytes = (size_t) *bytes;
            }
            else if (arg == "--usb-controller")
            {
                if (value.isEmpty() || value.length() > 2 || ! value.containsOnly ("0123456789"))
                    return usageError ("bad value '" + value + "' for --usb-controller (expected a controller number from 0 to 99)");

                usb.wanted = true;
                usb.options.controller = "dummy_udc." + juce::String (value.getIntValue());
            }
            else if (arg == "--tcp" || arg == "--tcp-bootloader")
            {
                const auto address = TcpPortHost::Address::parse (value);

                if (! address)
                    return usageError ("bad value '" + value + "' for " + arg + " (expected HOST:PORT, HOST an IPv4 address)");

                tcp.wanted = tcp.wanted || arg == "--tcp";
                (arg == "--tcp" ? tcp.options.application : tcp.options.bootloader) = *address;
                tcpBootloaderGiven = tcpBootloaderGiven || arg == "--tcp-bootloader";
            }
            else if (arg == "--line-rate")
            {
                const auto rate = wholeNumber (value);

                if (! rate)
                    return usageError ("bad value '" + value + "' for --line-rate (expected bytes per second from 1)");

                line.cabled = true;
                line.cable.bytesPerSecond = *rate;
            }
            else if (arg == "--stall")
            {
                const auto byte = wholeNumber (value.upToFirstOccurrenceOf (":", false, false));
                const auto ms = wholeNumber (value.fromFirstOccurrenceOf (":", false, false));

                if (! byte || ! ms)
                    return usageError ("bad value '" + value + "' for --stall (expected BYTE:MS, two whole numbers from 1)");

                line.cable.stallAtSysexByte = (size_t) *byte;
                line.cable.stallMs = *ms;
                stallGiven = true;
            }
            else
            {
                const auto bytes = wholeNumber (value);

                if (! bytes)
                    return usageError ("bad value '" + value + "' for --reply-pieces (expected a whole number of bytes from 1)");

                line.replyPieceBytes = *bytes;
            }

            continue;
        }

        if (arg.startsWith ("--") || settingsGiven)
            return usageError ("unexpected argument '" + arg + "'");

        settingsText = arg;
        settingsGiven = true;
    }

    if (tcpBootloaderGiven && ! tcp.wanted)
        return usageError ("--tcp-bootloader needs --tcp");

    if (tcp.wanted)
    {
        if (usb.wanted || line.cabled || line.replyPieceBytes > 0)
            return usageError ("--tcp is a port of its own: not with --usb, --line-rate or --reply-pieces");

        if (! tcpBootloaderGiven)
            tcp.options.bootloader = tcp.options.application;

        tcp.options.stallAtSysexByte = line.cable.stallAtSysexByte;
        tcp.options.stallMs = line.cable.stallMs;
        return runInstrument (family, settingsText, imageBytes, portName, line, usb, tcp);
    }

    if (usb.wanted && (line.cabled || line.replyPieceBytes > 0))
        return usageError ("--line-rate and --reply-pieces are for virtual ports; a USB device has its own line");

    if (stallGiven && ! line.cabled && ! usb.wanted)
        return usageError ("--stall needs --line-rate, --usb or --tcp");

    if (usb.wanted)
    {
        usb.options.stallAtSysexByte = line.cable.stallAtSysexByte;
        usb.options.stallMs = line.cable.stallMs;
        line.cable.stallAtSysexByte = 0;

        const auto problem = UsbGadgetPorts::checkSystem (usb.options.controller);

        if (problem.isNotEmpty())
        {
            std::cerr << "vfu-instrument: cannot be a USB device: " << problem << "\n";
            return 2;
        }

        return runInstrument (family, settingsText, imageBytes, portName, line, usb, {});
    }

    // Replies from a hardware port reach the reader in the kernel's pieces.
    if (line.cabled && line.replyPieceBytes == 0)
        line.replyPieceBytes = 256;

    if (! SystemVirtualPorts::systemOffersVirtualPorts())
    {
        std::cerr << "vfu-instrument: this system offers no virtual MIDI ports\n";
        return 2;
    }

    return runInstrument (family, settingsText, imageBytes, portName, line, usb, {});
}

int InstrumentTool::runInstrument (int family, const juce::String& settingsText, size_t imageBytes,
                                   const juce::String& portName, const SystemVirtualPorts::Line& line, const Usb& usb,
                                   const Tcp& tcp)
{
   #if JUCE_WINDOWS
    juce::ignoreUnused (family, settingsText, imageBytes, portName, line, usb, tcp);
    return 2;
   #else
    SimulatorConfig config;
    const auto error = SimulatorConfig::parse (settingsText, family, config);

    if (error.isNotEmpty())
    {
        std::cerr << error << "\n";
        return 2;
    }

    if (config.replayFile.isNotEmpty())
    {
        std::cerr << "vfu-instrument: replay is for the demo mode only (a trace's timing follows the software bus)\n";
        return 2;
    }

    // Before the ports exist, so that a signal during start-up is not lost.
    QuitSignalPipe signals { 1 };
    const InstrumentIdentity identity { SimulatedInstrument::instrumentNameFor (family) };

    std::atomic<SimulatedInstrument*> current { nullptr };

    TrafficPrinter printer ([&current]() -> juce::String
    {
        auto* instrument = current.load();

        if (instrument == nullptr)
            return {};

        return modeText (instrument->getMode()) + (instrument->isErased() ? ", erased" : "")
               + ", firmware " + instrument->getVersion();
    });

    auto settings = config.toSettings (family);
    settings.assumedImageBytes = imageBytes;

    if (portName.isNotEmpty())
        settings.portName = portName;

    std::unique_ptr<DevicePortHost> ports;
    const auto startsInBootloader = settings.mode == SimulatedInstrument::Mode::bootloader;

    // Asked when the ports are made: by then a restarting instrument has its new mode, and the
    // first time (inside the instrument's constructor) it has the mode it starts in.
    const auto inBootloader = [&current, startsInBootloader]
    {
        auto* instrument = current.load();
        return instrument != nullptr ? instrument->getMode() == SimulatedInstrument::Mode::bootloader : startsInBootloader;
    };

    if (tcp.wanted)
    {
        auto options = tcp.options;
        options.inBootloader = inBootloader;
        ports = std::make_unique<TcpPortHost> (&printer, options);
    }
    else if (usb.wanted)
    {
        // A pulled USB cable stays pulled.
        settings.cableReturnMs = -1;

        auto options = usb.options;
        options.inBootloader = inBootloader;

        auto usbPorts = std::make_unique<UsbGadgetPorts> (&printer, [&printer] (const juce::String& text) { printer.print (text); },
                                                          options);
        const auto problem = usbPorts->prepare();

        if (problem.isNotEmpty())
        {
            std::cerr << "vfu-instrument: cannot be a USB device: " << problem << "\n";
            return 2;
        }

        ports = std::move (usbPorts);
    }
    else
    {
        ports = std::make_unique<SystemVirtualPorts> (&printer, line);
    }

    auto instrument = std::make_unique<SimulatedInstrument> (*ports, settings);
    current = instrument.get();

    const auto name = SimulatedInstrument::instrumentNameFor (family);

    if (! printer.havePortsAppeared())
    {
        current = nullptr;
        instrument.reset();
        if (tcp.wanted)
            std::cerr << "vfu-instrument: cannot listen on " << tcp.options.application.toString() << " for the " << name << "\n";
        else
            std::cerr << "vfu-instrument: " << (usb.wanted ? "the USB gadget made no ports for the " : "the system's MIDI service made no ports for the ")
                      << name << (usb.wanted ? "\n" : " (is there an ALSA sequencer?)\n");
        return 1;
    }

    juce::String lineText;

    if (line.cabled)
        lineText << ", behind a cable of " << line.cable.bytesPerSecond << " bytes/s";

    if (tcp.wanted)
        lineText << ", on TCP " << tcp.options.application.toString() << " (bootloader " << tcp.options.bootloader.toString() << ")";

    if (line.cable.stallAtSysexByte > 0)
        lineText << " that stalls for " << line.cable.stallMs << " ms at byte " << (juce::int64) line.cable.stallAtSysexByte;

    if (line.replyPieceBytes > 0)
        lineText << ", replies in pieces of " << line.replyPieceBytes << " bytes";

    if (usb.wanted)
    {
        lineText << ", a USB device on " << usb.options.controller;

        if (usb.options.stallAtSysexByte > 0)
            lineText << " that stalls for " << usb.options.stallMs << " ms at byte " << (juce::int64) usb.options.stallAtSysexByte;
    }

    printer.print (name + " firmware " + instrument->getVersion() + ", " + modeText (instrument->getMode())
                   + (config.silent ? ", silent" : "") + lineText + "; Ctrl-C ends it");

    if (signals.isOpen())
    {
        pollfd fd { signals.readEnd(), POLLIN, 0 };

        while (::poll (&fd, 1, -1) < 0 && errno == EINTR)
        {
        }
    }
    else
    {
        std::cerr << "vfu-instrument: no signal pipe; it runs until killed\n";

        for (;;)
            juce::Thread::sleep (60 * 60 * 1000);
    }

    printer.print ("stopping");
    current = nullptr;
    instrument.reset();
    return 0;
   #endif
}
