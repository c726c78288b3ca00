// Measures what the engine costs in CPU while it waits and while it sends a firmware image:
//
//   vfu-bench idle [seconds]        a State with polling "none"
//   vfu-bench poll [seconds]        polling with no instrument (one silent MIDI port pair, and no ports at all)
//   vfu-bench send [bytes] [trace]  sending an image (default 359,740 bytes) to a simulated Quorrel,
//                                   recording a MIDI trace into the file "trace" when it is given
//   vfu-bench check [calls]         the port check that runs between the packets of a transfer, with
//                                   the instrument followed among 16 port pairs (default 200,000 calls)
//
// Figures are process CPU time (user + system) as a share of one core over the measured span.

#include "engine/FirmwareUpdater.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FirmwarePackageWriter.h"
#include "firmware/SysexSender.h"
#include "midi/MIDIPortsSelector.h"
#include "trace/MidiTraceRecorder.h"
#include "midi/VirtualMidiPorts.h"
#include "simulator/SimulatedInstrument.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <sys/resource.h>

#include <iostream>
#include <thread>

namespace
{
class QuietCallback final : public FirmwareUpdaterCallback
{
public:
    void stateChanged (const juce::String&, const juce::String&) override {}
    void setTextField (const juce::String&, const juce::String&, bool) override {}
    void setButton (const juce::String&, const juce::String&, bool) override {}
    void print (const juce::String&) override {}
    void setProgress (double) override {}
};

double processCpuSeconds()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    return (double) usage.ru_utime.tv_sec + (double) usage.ru_utime.tv_usec / 1e6
         + (double) usage.ru_stime.tv_sec + (double) usage.ru_stime.tv_usec / 1e6;
}

// The scenarios run on a worker thread while the main thread runs the real message loop,
// which blocks between messages as the application's does; waiting here sleeps in long steps.
void waitUntil (const std::function<bool()>& done, double maxSeconds)
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + maxSeconds * 1000.0;

    while (! done() && juce::Time::getMillisecondCounterHiRes() < end)
        juce::Thread::sleep (200);
}

juce::String document (const juce::String& states, const juce::String& initial)
{
    return "<FirmwareUpdaters><FirmwareUpdater deviceName=\"Quorrel\" communicationMode=\"MIDI\" MIDIDeviceID=\"0006\""
           " fileNamePattern=\"quorrel-fw-\" initialState=\"" + initial + "\" timeout=\"3600\" timeoutState=\"" + initial + "\">"
         + states + "</FirmwareUpdater></FirmwareUpdaters>";
}

struct Span
{
    double cpuStart = processCpuSeconds();
    double wallStart = juce::Time::getMillisecondCounterHiRes();

    void report (const juce::String& what) const
    {
        const auto cpu = processCpuSeconds() - cpuStart;
        const auto wall = (juce::Time::getMillisecondCounterHiRes() - wallStart) / 1000.0;
        std::cout << what << ": wall " << juce::String (wall, 2) << " s, CPU " << juce::String (cpu, 3)
                  << " s = " << juce::String (100.0 * cpu / wall, 2) << " % of one core" << std::endl;
    }
};

void measureWhileWaiting (const juce::String& what, const juce::String& states, const juce::String& initial, double seconds)
{
    QuietCallback callback;
    FirmwareUpdater engine (document (states, initial), "Quorrel", false, &callback, {});
    engine.startThread();
    waitUntil ([&] { return engine.getCurrentStateName() == initial; }, 5.0);
    waitUntil ([] { return false; }, 1.5); // settle past the first poll

    Span span;
    waitUntil ([] { return false; }, seconds);
    span.report (what);
    engine.stopEngine (5000);
}

int idle (double seconds)
{
    MIDIPortsSelector::getInstance().setPorts (std::make_shared<VirtualMidiPorts>());
    measureWhileWaiting ("waiting in a State with polling \"none\"", "<State name=\"Idle\" pollingMode=\"none\"/>", "Idle", seconds);
    return 0;
}

int poll (double seconds)
{
    const juce::String states ("<State name=\"Idle, no device\" pollingMode=\"MIDI Device inquiry\"/>");

    auto bus = std::make_shared<VirtualMidiPorts>();
    MIDIPortsSelector::getInstance().setPorts (bus);
    measureWhileWaiting ("polling with no MIDI ports at all", states, "Idle, no device", seconds);

    SimulatedInstrument::Settings silent;
    silent.silent = true;
    SimulatedInstrument instrument (*bus, silent);
    MIDIPortsSelector::getInstance().reset();
    MIDIPortsSelector::getInstance().setPorts (bus);
    measureWhileWaiting ("polling a MIDI port pair that never answers", states, "Idle, no device", seconds);
    MIDIPortsSelector::getInstance().setPorts (nullptr);
    return 0;
}

int send (int imageBytes, const juce::String& traceFile)
{
    const auto folder = juce::File::createTempFile ("bench");
    folder.createDirectory();

    juce::String error;
    juce::Array<FirmwarePackageWriter::Image> images;
    images.add ({ "quorrel-fw-2.1.13.syx", FirmwareImage::make (6, "2.1.13", imageBytes, false, error) });

    if (error.isNotEmpty() || ! FirmwarePackageWriter::write (folder.getChildFile ("quorrel-fw-2.1.13.vfw"), images, error))
    {
        std::cerr << error << std::endl;
        return 1;
    }

    auto bus = std::make_shared<VirtualMidiPorts>();
    MIDIPortsSelector::getInstance().setPorts (bus);

    SimulatedInstrument::Settings settings;
    settings.mode = SimulatedInstrument::Mode::bootloader;
    settings.erased = true;
    SimulatedInstrument instrument (*bus, settings);

    if (traceFile.isNotEmpty())
    {
        const auto traceError = MidiTraceRecorder::enableTracing (juce::File::getCurrentWorkingDirectory().getChildFile (traceFile), "Quorrel");

        if (traceError.isNotEmpty())
        {
            std::cerr << traceError << std::endl;
            return 1;
        }
    }

    const juce::String states =
        "<State name=\"Find\" pollingMode=\"MIDI Device inquiry\"><PollingState value=\"bootloader detected\" gotoState=\"Send\"/></State>"
        "<State name=\"Send\" pollingMode=\"none\">"
        "  <SendSysEx messageKind=\"quorrel-fw-$(version)\" packetSize=\"256\" waitTime=\"0.082\"/><GotoState state=\"Sent\"/>"
        "</State>"
        "<State name=\"Sent\" pollingMode=\"none\"/>";

    QuietCallback callback;
    {
        FirmwareUpdater engine (document (states, "Find"), "Quorrel", false, &callback, { folder.getFullPathName() });
        engine.selectFirmwareVersion ("2.1.13");
        engine.startThread();
        waitUntil ([&] { return engine.getCurrentStateName() == "Send"; }, 30.0);

        Span span;
        waitUntil ([&] { return engine.getCurrentStateName() == "Sent"; }, 600.0);
        span.report ("sending " + juce::String (imageBytes) + " bytes in 256-byte packets");
        engine.stopEngine (5000);
    }

    // The pacing alone: the pauses after the packets that the sender cuts the image into.
    int packets = 0;
    juce::int64 pacingMs = 0;

    for (auto remaining = (juce::int64) imageBytes; remaining > 0; ++packets)
    {
        const auto length = SysexSender::nextPacketLength (remaining, 256);
        pacingMs += SysexSender::pauseMillisecondsFor ((int) length, 0.082f);
        remaining -= length;
    }

    std::cout << "pacing alone: " << juce::String ((double) pacingMs / 1000.0, 2) << " s for " << packets << " packets" << std::endl;
    instrument.waitForMode (SimulatedInstrument::Mode::normal, 3000);
    std::cout << "instrument now reports " << instrument.getVersion() << std::endl;

    MidiTraceRecorder::disableTracing();
    MIDIPortsSelector::getInstance().setPorts (nullptr);
    folder.deleteRecursively();
    return 0;
}

int check (int calls)
{
    // The engine's check between packets, alone: its own thread's CPU per call.
    auto ports = std::make_shared<VirtualMidiPorts>();

    for (int i = 0; i < 16; ++i)
        ports->plugIn ("Synth " + juce::String (i) + " In", "Synth " + juce::String (i) + " Out", nullptr);

    auto& selector = MIDIPortsSelector::getInstance();
    selector.setPorts (ports);
    selector.restrictToOutput ("Synth 7 Out");
    selector.selectInput ("Synth 7 In");
    selector.selectOutput ("Synth 7 Out");

    Span span;
    int detected = 0;

    for (int i = 0; i < calls; ++i)
        detected += selector.checkSelectedPorts() == PollingResult::DeviceDetected ? 1 : 0;

    const auto cpu = processCpuSeconds() - span.cpuStart;
    span.report (juce::String (calls) + " port checks (" + juce::String (detected) + " found the ports)");
    std::cout << "per check: " << juce::String (cpu * 1e6 / juce::jmax (1, calls), 2) << " us of CPU" << std::endl;

    selector.reset();
    selector.setPorts (nullptr);
    return detected == calls ? 0 : 1;
}

int runScenario (const juce::String& mode, const juce::String& value, const juce::String& extra)
{
    if (mode == "baseline")
    {
        Span span;
        waitUntil ([] { return false; }, value.isEmpty() ? 10.0 : value.getDoubleValue());
        span.report ("message loop alone, no engine");
        return 0;
    }

    if (mode == "idle")  return idle (value.isEmpty() ? 10.0 : value.getDoubleValue());
    if (mode == "poll")  return poll (value.isEmpty() ? 10.0 : value.getDoubleValue());
    if (mode == "send")  return send (value.isEmpty() ? 359740 : value.getIntValue(), extra);
    if (mode == "check") return check (value.isEmpty() ? 200000 : value.getIntValue());

    std::cerr << "usage: vfu-bench baseline|idle|poll [seconds] | send [bytes] [trace file] | check [calls]" << std::endl;
    return 2;
}
}

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    const juce::String mode = argc > 1 ? argv[1] : "";
    const juce::String value = argc > 2 ? argv[2] : "";
    const juce::String extra = argc > 3 ? argv[3] : "";
    int result = 0;

    std::thread scenario ([&]
    {
        result = runScenario (mode, value, extra);
        juce::MessageManager::callAsync ([] { juce::MessageManager::getInstance()->stopDispatchLoop(); });
    });

    juce::MessageManager::getInstance()->runDispatchLoop();
    scenario.join();
    return result;
}
