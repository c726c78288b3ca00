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

    note = std::make_unique<juce::Label> ("note", modeKeptNote);
    note->setJustificationType (juce::Justification::centred);
    note->setMinimumHorizontalScale (1.0f);
    addChildComponent (note.get());

    setSize (320, 96);
    advancedSwitch->setEnabled (switchEnabled);
}

PreferencesDialog::~PreferencesDialog() = default;

void PreferencesDialog::setAdvancedModeChosen (bool on)
{
    advancedModeChosen = startingMode = on;
    advancedSwitch->setToggleState (on, juce::dontSendNotification);
}

void PreferencesDialog::paint (juce::Graphics& g)
{
    g.fillAll (DialogColours::background);
}

void PreferencesDialog::resized()
{
    advancedSwitch->setBounds (100, 16, 120, 24);

    // The note, when shown, sits between the switch and the buttons.
    const int buttonsY = note->isVisible() ? 96 : 56;
    note->setBounds (8, 48, 304, 40);
    cancelButton->setBounds (58, buttonsY, 96, 24);
    okButton->setBounds (168, buttonsY, 96, 24);
}

void PreferencesDialog::buttonClicked (juce::Button* button)
{
    if (button == advancedSwitch.get())
        advancedModeChosen = advancedSwitch->getToggleState();
    else if (button == cancelButton.get())
        endDialog (0);
    else if (button == okButton.get())
    {
        if (onOk == nullptr || onOk())
            endDialog (1);
        else
            keepStartingMode();
    }
}

void PreferencesDialog::keepStartingMode()
{
    setAdvancedModeChosen (startingMode);
    advancedSwitch->setEnabled (false);
    note->setVisible (true);

    // The dialog window follows its content's size.
    setSize (320, 136);
}

void PreferencesDialog::endDialog (int result)
{
    if (auto* window = findParentComponentOfClass<juce::DialogWindow>())
        window->exitModalState (result);
}
