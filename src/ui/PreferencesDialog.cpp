#include "PreferencesDialog.h"
#include "DialogColours.h"

PreferencesDialog::PreferencesDialog (bool switchEnabled)
{
    advancedSwitch = std::make_unique<juce::ToggleButton> ("new toggle button");
    advancedSwitch->setButtonText ("Advanced Mode");
    advancedSwitch->addListener (this);
    addAndMakeVisible (advancedSwitch.get());

    auto makeButton = [this] (const juce::String& text, int focusOrder)
    {
        auto button = std::make_unique<juce::TextButton> ("new button");
        button->setButtonText (text);
        button->setExplicitFocusOrder (focusOrder);
        button->setColour (juce::TextButton::buttonColourId, juce::Colour (0xFFD3D3D3));
        button->setColour (juce::TextButton::buttonOnColourId, juce::Colour (0xFF808080));
        button->addListener (this);
        addAndMakeVisible (button.get());
        return button;
    };

    cancelButton = makeButton ("Cancel", 1);
    okButton = makeButton ("OK", 2);

    setSize (320, 96);
    advancedSwitch->setEnabled (switchEnabled);
}

PreferencesDialog::~PreferencesDialog() = default;

void PreferencesDialog::setAdvancedModeChosen (bool on)
{
    advancedModeChosen = on;
    advancedSwitch->setToggleState (on, juce::dontSendNotification);
}

void PreferencesDialog::paint (juce::Graphics& g)
{
    g.fillAll (DialogColours::background);
}

void PreferencesDialog::resized()
{
    advancedSwitch->setBounds (100, 16, 120, 24);
    cancelButton->setBounds (58, 56, 96, 24);
    okButton->setBounds (168, 56, 96, 24);
}

void PreferencesDialog::buttonClicked (juce::Button* button)
{
    if (button == advancedSwitch.get())
        advancedModeChosen = advancedSwitch->getToggleState();
    else if (button == cancelButton.get())
        endDialog (0);
    else if (button == okButton.get())
        endDialog (1);
}

void PreferencesDialog::endDialog (int result)
{
    if (auto* window = findParentComponentOfClass<juce::DialogWindow>())
        window->exitModalState (result);
}
