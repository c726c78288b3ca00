#pragma once

#include "ReplayedInstrument.h"
#include "SimulatedInstrument.h"

#include <memory>

/** The demo mode's settings, read from the value of the VFU_SIMULATE environment variable:
    key=value pairs separated by ';', all optional:
      version           firmware version of the instrument, one its family's identity reply can
                        report (default 2.1.12)
      mode              normal | bootloader (default normal)
      bootloader-after  seconds after its first identity reply in normal mode until the simulated
                        user puts it into its bootloader, or never (default 5)
      reattach-ms       how long its ports are away when it reboots (default 1500)
      pull-cable-at     percent of a firmware image after which the cable is pulled (default none)
      corrupt-image     true: every image is rejected (default false)
      silent            true: its ports are there but it answers nothing (default false)
      replay            a MIDI trace file: a replayed instrument plays its device side instead
                        (the other keys are then ignored)
*/
struct SimulatorConfig
{
    juce::String version { "2.1.12" };
    bool bootloaderMode = false;
    int bootloaderAfterSeconds = 5;   // -1: never
    int reattachMs = 1500;
    int pullCableAtPercent = -1;      // -1: never
    bool corruptImage = false;
    bool silent = false;
    juce::String replayFile;          // empty: a simulated instrument

    /** Reads the variable's value into result for an instrument of that device family; returns
        an error text (empty on success), also for a version that family's replies cannot report.
        On error result is left as it was. */
    static juce::String parse (const juce::String& text, int deviceFamily, SimulatorConfig& result);

    /** The instrument settings this configuration stands for, for a device family. */
    SimulatedInstrument::Settings toSettings (int deviceFamily) const;
};

/** A virtual MIDI bus with one simulated instrument plugged in. Hand `ports` to the selector
    (MIDIPortsSelector::getInstance().setPorts (demo->ports)); keep the object alive while the
    updater may use the ports, and destroy it on the message thread at shutdown. */
struct DemoSimulation
{
    std::shared_ptr<VirtualMidiPorts> ports;
    std::unique_ptr<SimulatedInstrument> instrument; // destroyed first, while the bus is still there
    std::unique_ptr<ReplayedInstrument> replayed;    // instead of instrument, for a replay

    ~DemoSimulation();
};

/** The bus with the configured instrument; nullptr when a trace to replay cannot be read (the
    reason goes to standard error, and the program carries on without simulation). */
std::unique_ptr<DemoSimulation> createDemoSimulation (const SimulatorConfig& config, int deviceFamily);

/** Demo mode as both front ends start it: when VFU_SIMULATE is set to a valid value, a simulated
    instrument of the family on a software bus, already handed to the selector; nullptr when the
    variable is not set, or when its value is bad (said on standard error: the program then runs
    on the real ports). Message thread. */
std::unique_ptr<DemoSimulation> startDemoSimulationFromEnvironment (int deviceFamily);

/** Hands the selector back to the real ports and destroys the simulation. Message thread. */
void stopDemoSimulation (std::unique_ptr<DemoSimulation>& demo);
