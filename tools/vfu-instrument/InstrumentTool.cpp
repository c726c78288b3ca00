#include "InstrumentTool.h"

#include "InstrumentIdentity.h"
#include "TrafficPrinter.h"
#include "app/OutsideText.h"
#include "app/BuildConstants.h"
#include "midi/SystemVirtualPorts.h"
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
               "  --stall BYTE:MS   with --line-rate: stops reading for MS ms once BYTE bytes of a SysEx\n"
               "                    (a firmware image) have arrived, as a bootloader writing its flash\n"
               "  --reply-pieces N  its replies go out in pieces of at most N bytes (default 256 with\n"
               "                    --line-rate, else whole)\n"
               "  SETTINGS          key=value pairs separated by ';', as in VFU_SIMULATE:\n"
               "                      version, mode, bootloader-after, reattach-ms, pull-cable-at,\n"
               "                      corrupt-image, silent\n"
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

    for (int i = 0; i < arguments.size(); ++i)
    {
        const auto& arg = arguments[i];

        if (arg == "--help" || arg == "-h")
        {
            printUsage (std::cout);
            return 0;
        }

        if (arg == "--device" || arg == "--image-bytes" || arg == "--name" || arg == "--line-rate" || arg == "--stall"
            || arg == "--reply-pieces")
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

    if (stallGiven && ! line.cabled)
        return usageError ("--stall needs --line-rate");

    // Replies from a hardware port reach the reader in the kernel's pieces.
    if (line.cabled && line.replyPieceBytes == 0)
        line.replyPieceBytes = 256;

    if (! SystemVirtualPorts::systemOffersVirtualPorts())
    {
        std::cerr << "vfu-instrument: this system offers no virtual MIDI ports\n";
        return 2;
    }

    return runInstrument (family, settingsText, imageBytes, portName, line);
}

int InstrumentTool::runInstrument (int family, const juce::String& settingsText, size_t imageBytes,
                                   const juce::String& portName, const SystemVirtualPorts::Line& line)
{
   #if JUCE_WINDOWS
    juce::ignoreUnused (family, settingsText, imageBytes, portName, line);
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

    SystemVirtualPorts ports (&printer, line);
    auto instrument = std::make_unique<SimulatedInstrument> (ports, settings);
    current = instrument.get();

    const auto name = SimulatedInstrument::instrumentNameFor (family);

    if (! printer.havePortsAppeared())
    {
        current = nullptr;
        instrument.reset();
        std::cerr << "vfu-instrument: the system's MIDI service made no ports for the " << name
                  << " (is there an ALSA sequencer?)\n";
        return 1;
    }

    juce::String lineText;

    if (line.cabled)
        lineText << ", behind a cable of " << line.cable.bytesPerSecond << " bytes/s";

    if (line.cable.stallAtSysexByte > 0)
        lineText << " that stalls for " << line.cable.stallMs << " ms at byte " << (juce::int64) line.cable.stallAtSysexByte;

    if (line.replyPieceBytes > 0)
        lineText << ", replies in pieces of " << line.replyPieceBytes << " bytes";

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
