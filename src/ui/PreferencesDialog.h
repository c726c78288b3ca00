#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

/** The content of the preferences dialog: the Advanced Mode switch, Cancel and OK.

    Cancel ends the modal state of the enclosing dialog window with 0. OK first hands the choice
    to onOk: when that takes it (or there is none) the window ends with 1; when it refuses, the
    dialog stays open with the switch back at the starting mode, disabled, and a note saying why.
    Created, shown and destroyed on the message thread by MainComponent::showPreferences(). */
class PreferencesDialog final : public juce::Component,
                                public juce::Button::Listener
{
public:
    /** The switch can be used only when switchEnabled is true. */
    explicit PreferencesDialog (bool switchEnabled);
    ~PreferencesDialog() override;

    /** Sets the mode the dialog starts from (and the switch, without notification). */
    void setAdvancedModeChosen (bool on);
    bool isAdvancedModeChosen() const noexcept { return advancedModeChosen; }

    /** Applies the chosen mode when OK is pressed; false when it may not change now. */
    std::function<bool()> onOk;

    /** Shown when onOk has refused the change. */
    static constexpr const char* modeKeptNote = "Advanced Mode can be changed only while no update is under way.";

    void paint (juce::Graphics&) override;
    void resized() override;
    void buttonClicked (juce::Button*) override;

private:
    void endDialog (int result);
    void keepStartingMode();

    bool advancedModeChosen = false, startingMode = false;
    std::unique_ptr<juce::ToggleButton> advancedSwitch;
    std::unique_ptr<juce::TextButton> cancelButton;
    std::unique_ptr<juce::TextButton> okButton;
    std::unique_ptr<juce::Label> note;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PreferencesDialog)
};
