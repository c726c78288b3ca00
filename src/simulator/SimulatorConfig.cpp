#include "SimulatorConfig.h"
#include "SimIdentityReply.h"
#include "../midi/MIDIPortsSelector.h"
#include "../base/OutsideText.h"

#include <cstdlib>
#include <iostream>

namespace
{
    const char* const knownKeys = "version, mode, bootloader-after, reattach-ms, pull-cable-at, corrupt-image, silent, replay";

    bool readWholeNumber (const juce::String& text, int low, int high, int& result)
    {
        if (text.isEmpty() || text.length() > 9 || ! text.containsOnly ("0123456789"))
            return false;

        const auto value = text.getIntValue();

        if (value < low || value > high)
            return false;

        result = value;
        return true;
    }

    juce::String badValue (const juce::String& key, const juce::String& value, const juce::String& expected)
    {
        return "VFU_SIMULATE: bad value '" + value + "' for " + key + " (expected " + expected + ")";
    }
}

juce::String SimulatorConfig::parse (const juce::String& text, int deviceFamily, SimulatorConfig& result)
{
    auto config = result;

    for (auto item : juce::StringArray::fromTokens (text, ";", {}))
    {
        item = item.trim();

        if (item.isEmpty())
            continue;

        if (! item.containsChar ('='))
            return "VFU_SIMULATE: '" + item + "' is not a key=value pair";

        const auto key = item.upToFirstOccurrenceOf ("=", false, false).trim();
        const auto value = item.fromFirstOccurrenceOf ("=", false, false).trim();

        if (key == "version")
        {
            const auto version = SimVersion::fromText (value);

            if (! version || version->major > 127 || version->minor > 127 || version->patch > 127 || version->pre > 126)
                return badValue (key, value, "a version such as 2.1.13 or 1.1.0p1");

            // Otherwise the updater would show another version than the one asked for.
            if (! SimIdentityReply::canCarry (deviceFamily, *version))
                return badValue (key, value, "a version that the " + SimulatedInstrument::instrumentNameFor (deviceFamily)
                                               + " can report: " + SimIdentityReply::describeCarried (deviceFamily));

            config.version = value;
        }
        else if (key == "mode")
        {
            if (value != "normal" && value != "bootloader")
                return badValue (key, value, "normal or bootloader");

            config.bootloaderMode = value == "bootloader";
        }
        else if (key == "bootloader-after")
        {
            if (value == "never")
                config.bootloaderAfterSeconds = -1;
            else if (! readWholeNumber (value, 0, 86400, config.bootloaderAfterSeconds))
                return badValue (key, value, "whole seconds from 0 to 86400, or never");
        }
        else if (key == "reattach-ms")
        {
            if (! readWholeNumber (value, 0, 600000, config.reattachMs))
                return badValue (key, value, "milliseconds from 0 to 600000");
        }
        else if (key == "pull-cable-at")
        {
            if (! readWholeNumber (value, 0, 100, config.pullCableAtPercent))
                return badValue (key, value, "a percentage from 0 to 100");
        }
        else if (key == "corrupt-image")
        {
            if (value != "true" && value != "false")
                return badValue (key, value, "true or false");

            config.corruptImage = value == "true";
        }
        else if (key == "silent")
        {
            if (value != "true" && value != "false")
                return badValue (key, value, "true or false");

            config.silent = value == "true";
        }
        else if (key == "replay")
        {
            if (value.isEmpty())
                return badValue (key, value, "the path of a MIDI trace file");

            config.replayFile = value;
        }
        else
        {
            return "VFU_SIMULATE: unknown key '" + key + "' (known keys: " + knownKeys + ")";
        }
    }

    result = config;
    return {};
}

SimulatedInstrument::Settings SimulatorConfig::toSettings (int deviceFamily) const
{
    SimulatedInstrument::Settings settings;
    settings.family = deviceFamily;
    settings.version = version;
    settings.mode = bootloaderMode ? SimulatedInstrument::Mode::bootloader : SimulatedInstrument::Mode::normal;
    settings.replyLatencyMs = 20;
    settings.reattachMs = reattachMs;
    settings.eraseReattachMs = juce::jmin (reattachMs, 500);
    settings.bootloaderAfterMs = bootloaderAfterSeconds < 0 ? -1 : bootloaderAfterSeconds * 1000;
    settings.pullCableAtPercent = pullCableAtPercent;
    settings.cableReturnMs = pullCableAtPercent >= 0 ? reattachMs : -1; // the demo's user plugs it back in
    settings.rejectImages = corruptImage;
    settings.silent = silent;
    return settings;
}

DemoSimulation::~DemoSimulation()
{
    instrument.reset();
    replayed.reset();
}

std::unique_ptr<DemoSimulation> createDemoSimulation (const SimulatorConfig& config, int deviceFamily)
{
    auto demo = std::make_unique<DemoSimulation>();
    demo->ports = std::make_shared<VirtualMidiPorts>();

    if (config.replayFile.isNotEmpty())
    {
        MidiTrace trace;
        const auto error = MidiTrace::load (juce::File::getCurrentWorkingDirectory().getChildFile (config.replayFile), trace);

        if (error.isNotEmpty())
        {
            std::cerr << "VFU_SIMULATE: " << error << " (running without simulation)" << std::endl;
            return nullptr;
        }

        demo->replayed = std::make_unique<ReplayedInstrument> (*demo->ports, std::move (trace));
        return demo;
    }

    demo->instrument = std::make_unique<SimulatedInstrument> (*demo->ports, config.toSettings (deviceFamily));
    return demo;
}

std::unique_ptr<DemoSimulation> startDemoSimulationFromEnvironment (int deviceFamily)
{
    const auto* value = std::getenv ("VFU_SIMULATE");

    if (value == nullptr)
        return {};

    SimulatorConfig config;
    const auto error = SimulatorConfig::parse (OutsideText::fromSystemName (value), deviceFamily, config);

    if (error.isNotEmpty())
    {
        // The error names the variable itself.
        std::cerr << error.toStdString() << " (running without simulation)" << std::endl;
        return {};
    }

    auto demo = createDemoSimulation (config, deviceFamily);

    if (demo != nullptr)
        MIDIPortsSelector::getInstance().setPorts (demo->ports);

    return demo;
}

void stopDemoSimulation (std::unique_ptr<DemoSimulation>& demo)
{
    if (demo == nullptr)
        return;

    MIDIPortsSelector::getInstance().setPorts (nullptr);
    demo.reset();
}
