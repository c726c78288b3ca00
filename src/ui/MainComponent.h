#pragma once

#include "../engine/FirmwareUpdaterCallback.h"
#include "QuietProgressBar.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <memory>

class EngineRestart;
class FirmwareUpdater;
class MIDIPortsSelector;

/** The content of the main window: the instrument's name, the instructions of the engine's
    current State, the installed and available versions, the transfer's progress and the one
    action button; in advanced mode also the MIDI port and firmware version lists.

    It creates the update engine for its device, is the engine's FirmwareUpdaterCallback and
    hands the user's clicks and choices back to it. It also serves as the look of its three
    drop-down lists.

    Everything here runs on the message thread: construction, destruction, the dialogs, the
    listeners and the engine's reports (which the engine hands over to the message thread and
    waits for).
*/
class MainComponent final : public juce::Component,
                            public FirmwareUpdaterCallback,
                            public juce::Button::Listener,
                            public juce::ComboBox::Listener,
                            public juce::LookAndFeel_V2
{
public:
    /** Where the component looks for its definitions and packages, and how it ends the program
        on a fatal start-up error. forApplication() gives the real ones; tests pass their own. */
    struct Environment
    {
        /** Holds the optional "StateMachines.xml" and is the first firmware search folder. */
        juce::File executableFolder;
        /** The second firmware search folder. */
        juce::File desktopFolder;
        /** The definitions document used when executableFolder holds no "StateMachines.xml". */
        juce::String inbuiltDefinitions;
        /** The selector the engine polls through and the port lists come from; nullptr: the process-wide one. */
        MIDIPortsSelector* selector = nullptr;
        /** Shows a fatal start-up error and requests the quit; empty: a modal warning box, then the quit. */
        std::function<void (const juce::String& title, const juce::String& message)> reportFatal;

        /** The running executable's folder, the user's desktop and the inbuilt definitions. */
        static Environment forApplication();
    };

    explicit MainComponent (const juce::String& deviceName);
    MainComponent (const juce::String& deviceName, Environment environment);

    /** Destroys the engine first (stopping its thread), then the children. */
    ~MainComponent() override;

    /** Shows or hides the lists (640 x 408 or 640 x 320); restarts a running engine when its mode
        changes. A change is refused (false, nothing changes) while the engine is in a State that
        erases, sends or waits for the instrument: the restart would abandon the update. Returns
        without waiting for the engine to stop: it starts again once its previous run has ended. */
    bool setAdvancedMode (bool on);

    /** Modal dialogs of the menu bar; both return after their dialog has closed. */
    void showAboutBox();
    void showPreferences();

    bool isAdvancedMode() const noexcept            { return advancedMode; }
    bool areSettingsEnabled() const noexcept        { return settingsEnabled; }
    FirmwareUpdater* getFirmwareUpdater() noexcept  { return firmwareUpdater.get(); }

    //==============================================================================
    void paint (juce::Graphics&) override;
    void resized() override;

    void stateChanged (const juce::String& from, const juce::String& to) override;
    void setTextField (const juce::String& name, const juce::String& text, bool visible) override;
    void setButton (const juce::String& name, const juce::String& text, bool enabled) override;
    void print (const juce::String& text) override;
    void setProgress (double fraction) override;

    void buttonClicked (juce::Button*) override;
    void comboBoxChanged (juce::ComboBox*) override;

    juce::Font getComboBoxFont (juce::ComboBox&) override;
    void drawPopupMenuItem (juce::Graphics&, const juce::Rectangle<int>& area,
                            bool isSeparator, bool isActive, bool isHighlighted, bool isTicked,
                            bool hasSubMenu, const juce::String& text, const juce::String& shortcutKeyText,
                            const juce::Drawable* icon, const juce::Colour* textColour) override;

private:
    /** Shows content in a modal dialog with the window's look; returns the modal result (0 for Escape or close). */
    int runDialog (const juce::String& title, juce::Component& content);

    void createChildren();
    void createEngine();
    void fillLists();
    void reportFatal (const juce::String& title, const juce::String& message);
    MIDIPortsSelector& selector() const;
    juce::Label* addLabel (const juce::String& name, const juce::String& text, float fontHeight,
                           juce::Justification justification, bool boxed);

    Environment environment;

    juce::String deviceName;
    std::unique_ptr<FirmwareUpdater> firmwareUpdater;
    std::unique_ptr<EngineRestart> engineRestart; // made with the engine, destroyed before it
    bool advancedMode = false;
    bool settingsEnabled = false;
    juce::String shownState; // the State of the last stateChanged report
    double progress = 0.0;
    juce::LookAndFeel_V3 defaultLook;

    std::unique_ptr<juce::Label> instructionsField;
    std::unique_ptr<QuietProgressBar> progressBar;
    std::unique_ptr<juce::Label> deviceLabel;
    std::unique_ptr<juce::Label> titleLabel;
    std::unique_ptr<juce::Label> installedVersionCaption;
    std::unique_ptr<juce::Label> availableVersionCaption;
    std::unique_ptr<juce::Label> installedVersion;
    std::unique_ptr<juce::Label> availableVersion;
    std::unique_ptr<juce::Label> installing;
    std::unique_ptr<juce::TextButton> installCancel;
    std::unique_ptr<juce::Label> midiInputCaption;
    std::unique_ptr<juce::Label> midiOutputCaption;
    std::unique_ptr<juce::ComboBox> midiInputs;
    std::unique_ptr<juce::ComboBox> midiOutputs;
    std::unique_ptr<juce::Label> firmwareVersionCaption;
    std::unique_ptr<juce::ComboBox> firmwareVersions;

    juce::Image logoImage;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
