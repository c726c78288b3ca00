#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** Placeholder content of the main window until the full window exists. */
class MainComponent final : public juce::Component
{
public:
    explicit MainComponent (const juce::String& deviceName);
    ~MainComponent() override;

    void showAboutBox() {}
    void showPreferences() {}

private:
    juce::String deviceName;
};
