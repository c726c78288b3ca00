#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The content of the preferences dialog: the Advanced Mode switch, Cancel and OK.

    Cancel ends the modal state of the enclosing dialog window with 0, OK with 1. Created,
    shown and destroyed on the message thread by MainComponent::showPreferences(). */
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

    void paint (juce::Graphics&) override;
    void resized() override;
    void buttonClicked (juce::Button*) override;

private:
    void endDialog (int result);

    bool advancedModeChosen = false;
    std::unique_ptr<juce::ToggleButton> advancedSwitch;
    std::unique_ptr<juce::TextButton> cancelButton;
    std::unique_ptr<juce::TextButton> okButton;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PreferencesDialog)
};
