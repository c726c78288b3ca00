#pragma once

#include "support/EngineTestSupport.h"
#include "midi/MIDIPortsSelector.h"
#include "ui/MainComponent.h"

#include <gtest/gtest.h>

/** Port lists with fixed names that open nothing: enough for the window's lists and for
    port choices, while no poll ever finds an instrument. */
class FixedNamePorts final : public MidiPorts
{
public:
    juce::StringArray getInputNames() override  { return { "Quorrel MIDI In", "Thru In" }; }
    juce::StringArray getOutputNames() override { return { "Quorrel MIDI Out", "Thru Out" }; }
    std::unique_ptr<MidiInputPort> openInput (int, MidiPortReceiver&) override { return {}; }
    std::unique_ptr<MidiOutputPort> openOutput (int) override { return {}; }
};

/** Writes a verified firmware package "quorrel-fw-<version>.vfw" for the Quorrel into folder. */
juce::File writeQuorrelPackage (const juce::File& folder, const juce::String& version);

/** Fresh folders beside and on the "desktop", the log captured, and the main component in a
    real window on screen, built from the definitions text the test gives. */
class MainWindowTest : public ::testing::Test
{
protected:
    MainWindowTest();
    ~MainWindowTest() override;

    /** Builds the window; the engine starts unless the component reports a fatal error. */
    MainComponent& open (const juce::String& definitions);

    /** Runs the message loop until the log shows the engine entering that State after the entry
        that the previous wait found (after the window opened, for the first wait). */
    bool waitForState (const juce::String& stateName, int timeoutMs = 5000);

    /** How often the log says that State was entered from "none" (a fresh run of the engine). */
    int runsStartedIn (const juce::String& stateName) const;

    juce::Component& child (const juce::String& name) const;
    juce::Label& label (const juce::String& name) const;
    juce::ComboBox& list (const juce::String& name) const;
    juce::TextButton& installCancel() const;

    /** Clicks the component's "InstallCancel" as the user would (the click arrives asynchronously). */
    void clickInstallCancel();

    juce::File root, executableFolder, desktopFolder;
    LogCapture log;
    MIDIPortsSelector selector;
    juce::StringArray fatalReports; // "title|message"
    std::unique_ptr<juce::DocumentWindow> window;
    MainComponent* main = nullptr;

private:
    int linesAlreadyAwaited = 0;
};

/** Runs action on the first modal dialog window that opens, from inside its modal loop. */
void whenDialogOpens (std::function<void (juce::DialogWindow&)> action);

/** A Quorrel document whose States poll nothing and move only on clicks:
    "Idle, no device" -Install-> "Firmware download" -Cancel-> "Update cancelled" -OK-> "Idle, no device". */
juce::String clickDrivenDocument();
