#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The content of the about dialog: the product title, the version and a notice line.
    Created, shown and destroyed on the message thread by MainComponent::showAboutBox(). */
class AboutBox final : public juce::Component
{
public:
    AboutBox();
    ~AboutBox() override;

    /** Sets the version label, without change notification. */
    void setVersionText (const juce::String& version);
    juce::String getVersionText() const;

    void paint (juce::Graphics&) override;
    void resized() override;

private:
    std::unique_ptr<juce::Label> title;
    std::unique_ptr<juce::Label> notice;
    std::unique_ptr<juce::Label> version;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AboutBox)
};
