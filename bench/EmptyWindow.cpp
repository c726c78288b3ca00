// The floor the updater's idle cost is measured against: an application of the same framework,
// built the same way, with one window holding one label and nothing else. Whatever this costs
// at rest is the framework's; what the updater costs beyond it is ours.

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

namespace
{
class EmptyWindow final : public juce::DocumentWindow
{
public:
    EmptyWindow()
        : juce::DocumentWindow ("Empty window", juce::Colours::white, juce::DocumentWindow::allButtons)
    {
        label.setText ("An empty window of the framework", juce::dontSendNotification);
        label.setSize (400, 300);
        setUsingNativeTitleBar (true);
        setContentNonOwned (&label, true);
        setVisible (true);
    }

    void closeButtonPressed() override { juce::JUCEApplication::getInstance()->systemRequestedQuit(); }

private:
    juce::Label label;
};

class EmptyWindowApplication final : public juce::JUCEApplication
{
public:
    const juce::String getApplicationName() override    { return "vfu-empty-window"; }
    const juce::String getApplicationVersion() override { return "1.0"; }
    bool moreThanOneInstanceAllowed() override          { return true; }

    void initialise (const juce::String&) override
    {
        window = std::make_unique<EmptyWindow>();
        // The benchmark waits for this line before it measures, as it waits for the updater's
        // first State line.
        std::cout << "window shown" << std::endl;
    }

    void shutdown() override { window = nullptr; }

private:
    std::unique_ptr<EmptyWindow> window;
};
}

START_JUCE_APPLICATION (EmptyWindowApplication)
