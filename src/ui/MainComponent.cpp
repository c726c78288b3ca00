#include "MainComponent.h"

#include "AboutBox.h"
#include "EmbeddedFont.h"
#include "EngineRestart.h"
#include "PreferencesDialog.h"
#include "../base/AppLog.h"
#include "../base/BuildConstants.h"
#include "../base/RunningExecutable.h"
#include "../definitions/InbuiltDefinitions.h"
#include "../midi/MIDIPortsSelector.h"
#include "../engine/FirmwareUpdater.h"

#include "DialogColours.h"
#include "VfuBinaryData.h"

#include <iostream>

namespace
{
    const juce::Colour backgroundColour  = DialogColours::background;
    const juce::Colour lightGrey         { 0xFFD3D3D3 };
    const juce::Colour grey              { 0xFF808080 };

    constexpr int width = 640;
    constexpr int normalHeight = 320;
    constexpr int advancedHeight = 408;

    // The State whose instructions last set a button, kept on the button: its clicks belong there.
    const juce::Identifier buttonStateProperty ("vfuState");

    // The States in which the port and version choices may change: nothing is being erased,
    // sent or waited for.
    bool isSettingsState (const juce::String& name)
    {
        static const juce::StringArray settingsStates { "Idle, no device", "Idle, device detected",
                                                        "Idle, bootloader detected", "Download complete",
                                                        "Error, no device", "Error, device detected",
                                                        "Error, bootloader detected" };
        return settingsStates.contains (name);
    }

    void showWarningAndQuit (const juce::String& title, const juce::String& message)
    {
        juce::AlertWindow alert (title, message, juce::MessageBoxIconType::WarningIcon);
        alert.addButton ("OK", 1);
        alert.runModalLoop();

        juce::JUCEApplicationBase::quit();
    }

    void fillPortList (juce::ComboBox& list, const juce::StringArray& names)
    {
        list.addItem ("Auto", -1);
        list.addSeparator();

        for (int i = 0; i < names.size(); ++i)
            list.addItem (names[i], i + 1);

        list.setSelectedId (-1, juce::sendNotificationAsync);
    }
}

//==============================================================================
MainComponent::Environment MainComponent::Environment::forApplication()
{
    Environment env;
    env.executableFolder = RunningExecutable::getFile().getParentDirectory();
    env.desktopFolder = juce::File::getSpecialLocation (juce::File::userDesktopDirectory);
    env.inbuiltDefinitions = InbuiltDefinitions::getText();
    return env;
}

MainComponent::MainComponent (const juce::String& name)
    : MainComponent (name, Environment::forApplication())
{
}

MainComponent::MainComponent (const juce::String& name, Environment env)
    : environment (std::move (env)), deviceName (name)
{
    createChildren();

    logoImage = juce::ImageCache::getFromMemory (VfuBinaryData::VornLogo_png, VfuBinaryData::VornLogo_pngSize);

    setSize (width, advancedHeight);

    juce::LookAndFeel::setDefaultLookAndFeel (&defaultLook);

    for (auto* list : { midiInputs.get(), midiOutputs.get(), firmwareVersions.get() })
        list->setLookAndFeel (this);

    createEngine();

    if (firmwareUpdater == nullptr)
        return;

    deviceLabel->setText (deviceName.toUpperCase(), juce::dontSendNotification);
    setAdvancedMode (false);

    for (auto* child : std::initializer_list<juce::Component*> { instructionsField.get(), installedVersion.get(),
                                                                 availableVersion.get(), installing.get(),
                                                                 installCancel.get() })
        child->setComponentID (child->getName());

    instructionsField->setMinimumHorizontalScale (1.0f);

    const auto versions = firmwareUpdater->getFirmwareVersions();
    availableVersion->setText (versions.isEmpty() ? juce::String() : versions[versions.size() - 1],
                               juce::sendNotification);

    progressBar->setPercentageDisplay (false);
    progress = 0.0;
    installing->setText (juce::String::formatted ("Installing %d%%", (int) (progress * 100.0)), juce::sendNotification);
    installCancel->setEnabled (false);

    fillLists();

    if (versions.isEmpty())
    {
        reportFatal ("Error...", "No firmware file was found.\n\nThe application will quit.");
        return;
    }

    firmwareUpdater->selectFirmwareVersion (versions[versions.size() - 1]);
    firmwareUpdater->startThread();
}

MainComponent::~MainComponent()
{
    // The engine thread reports into the children, so it must be stopped before they go.
    engineRestart.reset();
    firmwareUpdater.reset();

    for (auto* list : { midiInputs.get(), midiOutputs.get(), firmwareVersions.get() })
        list->setLookAndFeel (nullptr);

    instructionsField.reset();
    progressBar.reset();
    deviceLabel.reset();
    titleLabel.reset();
    installedVersionCaption.reset();
    availableVersionCaption.reset();
    installedVersion.reset();
    availableVersion.reset();
    installing.reset();
    installCancel.reset();
    midiInputCaption.reset();
    midiOutputCaption.reset();
    midiInputs.reset();
    midiOutputs.reset();
    firmwareVersionCaption.reset();
    firmwareVersions.reset();

    logoImage = {};

    if (&juce::LookAndFeel::getDefaultLookAndFeel() == &defaultLook)
        juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
}

//==============================================================================
juce::Label* MainComponent::addLabel (const juce::String& name, const juce::String& text, float fontHeight,
                                      juce::Justification justification, bool boxed)
{
    auto* label = new juce::Label (name, text);
    label->setFont (embeddedFont (fontHeight));
    label->setJustificationType (justification);
    label->setEditable (false, false, false);

    if (boxed)
    {
        label->setColour (juce::Label::backgroundColourId, juce::Colours::white);
        label->setColour (juce::Label::outlineColourId, juce::Colours::black);
    }

    addAndMakeVisible (label);
    return label;
}

void MainComponent::createChildren()
{
    const auto topLeft = juce::Justification::topLeft;
    const auto centredLeft = juce::Justification::centredLeft;
    const auto centred = juce::Justification::centred;

    instructionsField.reset (addLabel ("InstructionsField", {}, 15.0f, topLeft, true));
    instructionsField->setMinimumHorizontalScale (1.0f);

    progressBar = std::make_unique<QuietProgressBar> (progress);
    progressBar->setName ("Progress bar");
    addAndMakeVisible (progressBar.get());

    deviceLabel.reset (addLabel ("device", deviceName.toUpperCase(), 28.0f, topLeft, false));
    titleLabel.reset (addLabel ("new label", "FIRMWARE UPDATER", 24.0f, juce::Justification::topRight, false));
    installedVersionCaption.reset (addLabel ("new label", "Installed version", 15.0f, centredLeft, false));
    availableVersionCaption.reset (addLabel ("new label", "Available version", 15.0f, centredLeft, false));
    installedVersion.reset (addLabel ("InstalledVersion", {}, 15.0f, centred, true));
    availableVersion.reset (addLabel ("AvailableVersion", {}, 15.0f, centred, true));
    installing.reset (addLabel ("Installing", "Installing 100%", 15.0f, centredLeft, false));

    installCancel = std::make_unique<juce::TextButton> ("InstallCancel");
    installCancel->setButtonText ("Cancel");
    installCancel->setEnabled (false);
    installCancel->addListener (this);
    addAndMakeVisible (installCancel.get());

    midiInputCaption.reset (addLabel ("new label", "MIDI Input", 15.0f, centredLeft, false));
    midiOutputCaption.reset (addLabel ("new label", "MIDI Output", 15.0f, centredLeft, false));

    auto makeList = [this] (const juce::String& name)
    {
        auto list = std::make_unique<juce::ComboBox> (name);
        list->setEditableText (false);
        list->setJustificationType (juce::Justification::centred);
        list->setTextWhenNothingSelected ({});
        list->setTextWhenNoChoicesAvailable ("(no choices)");
        list->addListener (this);
        addAndMakeVisible (list.get());
        return list;
    };

    midiInputs = makeList ("MIDI Inputs");
    midiOutputs = makeList ("MIDI Outputs");
    firmwareVersionCaption.reset (addLabel ("new label", "Firmware version", 15.0f, centredLeft, false));
    firmwareVersions = makeList ("Firmware versions");

    installCancel->setColour (juce::TextButton::buttonColourId, lightGrey);
    installCancel->setColour (juce::TextButton::buttonOnColourId, grey);
    progressBar->setColour (juce::ProgressBar::foregroundColourId, grey);

    for (auto* list : { midiInputs.get(), midiOutputs.get(), firmwareVersions.get() })
        list->setColour (juce::ComboBox::buttonColourId, lightGrey);
}

MIDIPortsSelector& MainComponent::selector() const
{
    return environment.selector != nullptr ? *environment.selector : MIDIPortsSelector::getInstance();
}

void MainComponent::createEngine()
{
    const juce::StringArray searchFolders { environment.executableFolder.getFullPathName(),
                                            environment.desktopFolder.getFullPathName() };
    const auto definitionsFile = environment.executableFolder.getChildFile ("StateMachines.xml");

    try
    {
        firmwareUpdater = FirmwareUpdater::createFromFileOrInbuilt (definitionsFile, environment.inbuiltDefinitions,
                                                                    deviceName, false, this, searchFolders);
    }
    catch (const FirmwareUpdater::FirmwareUpdaterException& e)
    {
        firmwareUpdater.reset();
        // The alert goes away with the program; the log keeps the reason for support.
        reportFatal ("Bad XML Document", e.getMessage());
        return;
    }

    if (environment.selector != nullptr)
        firmwareUpdater->setSelector (*environment.selector);

    engineRestart = std::make_unique<EngineRestart> (*firmwareUpdater);
}

void MainComponent::fillLists()
{
    juce::StringArray inputNames, outputNames;

    if (auto ports = selector().getPorts())
    {
        inputNames = ports->getInputNames();
        outputNames = ports->getOutputNames();
    }

    fillPortList (*midiInputs, inputNames);
    fillPortList (*midiOutputs, outputNames);

    const auto versions = firmwareUpdater->getFirmwareVersions();

    for (int i = versions.size(); --i >= 0;)
        firmwareVersions->addItem (versions[i], versions.size() - i);

    if (! versions.isEmpty())
        firmwareVersions->setSelectedId (1, juce::sendNotificationAsync);
}

void MainComponent::reportFatal (const juce::String& title, const juce::String& message)
{
    if (environment.reportFatal)
        environment.reportFatal (title, message);
    else
        showWarningAndQuit (title, message);
}

//==============================================================================
bool MainComponent::setAdvancedMode (bool on)
{
    if (firmwareUpdater != nullptr && firmwareUpdater->getAdvancedMode() != on)
    {
        // A restart asked for already is still waiting for the previous run to end: that run
        // was stopped in a settings State, and the next one starts in the mode chosen last.
        const bool restartPending = engineRestart->isPending();
        const bool wasRunning = restartPending || firmwareUpdater->isThreadRunning();

        // A restart drops whatever the engine is doing. The State is judged where the engine
        // takes its next step, so a State change just before this click cannot slip through.
        if (wasRunning && ! restartPending
            && ! firmwareUpdater->signalStopIf ([] (const juce::String& state)
                                                { return state.isEmpty() || isSettingsState (state); }))
        {
            logLine ("Advanced mode not changed: State '" + firmwareUpdater->getCurrentStateName() + "' is under way");
            return false;
        }

        firmwareUpdater->setAdvancedMode (on);

        // Not waited for here: a MIDI driver can hold the engine's end for any time, and the
        // window must keep answering meanwhile.
        if (wasRunning)
            engineRestart->startWhenEnded();
    }

    advancedMode = on;
    setSize (width, on ? advancedHeight : normalHeight);
    return true;
}

int MainComponent::runDialog (const juce::String& title, juce::Component& content)
{
    juce::DialogWindow::LaunchOptions options;
    options.content.setNonOwned (&content);
    options.dialogTitle = title;
    options.dialogBackgroundColour = backgroundColour;
    options.componentToCentreAround = this;
    options.escapeKeyTriggersCloseButton = true;
    options.useNativeTitleBar = false;
    options.resizable = false;
    options.useBottomRightCornerResizer = false;
    return options.runModal();
}

void MainComponent::showAboutBox()
{
    AboutBox box;
    box.setVersionText (BuildConstants::applicationVersion);
    runDialog ("About", box);
}

void MainComponent::showPreferences()
{
    PreferencesDialog dialog (settingsEnabled);
    dialog.setAdvancedModeChosen (advancedMode);

    // The dialog may have been open for a while: what counts is the State when OK is pressed.
    dialog.onOk = [this, &dialog] { return setAdvancedMode (dialog.isAdvancedModeChosen()); };

    runDialog ("Preferences", dialog);
}

//==============================================================================
void MainComponent::paint (juce::Graphics& g)
{
    g.fillAll (backgroundColour);

    g.setColour (juce::Colours::black);
    g.fillRect (24, 56, 592, 1);

    if (logoImage.isValid())
        g.drawImage (logoImage, 24, 11, 131, 38, 0, 0, logoImage.getWidth(), logoImage.getHeight());
}

void MainComponent::resized()
{
    if (instructionsField == nullptr)
        return;

    instructionsField->setBounds (288, 72, 328, 232);
    progressBar->setBounds (24, 280, 240, 24);
    deviceLabel->setBounds (19, 67, 240, 24);
    titleLabel->setBounds (424, 21, 199, 24);
    installedVersionCaption->setBounds (19, 112, 104, 24);
    availableVersionCaption->setBounds (19, 144, 104, 24);
    installedVersion->setBounds (136, 112, 120, 24);
    availableVersion->setBounds (136, 144, 120, 24);
    installing->setBounds (19, 248, 120, 24);
    installCancel->setBounds (168, 248, 96, 24);
    midiInputCaption->setBounds (19, 336, 77, 24);
    midiOutputCaption->setBounds (19, 368, 77, 24);
    midiInputs->setBounds (104, 336, 160, 24);
    midiOutputs->setBounds (104, 368, 160, 24);
    firmwareVersionCaption->setBounds (283, 336, 101, 24);
    firmwareVersions->setBounds (392, 336, 120, 24);
}

//==============================================================================
void MainComponent::stateChanged (const juce::String& from, const juce::String& to)
{
    logLine ("State '" + to + "' (from State '" + from + "')");

    shownState = to;
    settingsEnabled = isSettingsState (to);

    for (auto* list : { midiInputs.get(), midiOutputs.get(), firmwareVersions.get() })
        list->setEnabled (settingsEnabled);
}

void MainComponent::setTextField (const juce::String& name, const juce::String& text, bool visible)
{
    if (auto* label = dynamic_cast<juce::Label*> (findChildWithID (name)))
    {
        label->setText (text, juce::sendNotification);
        label->setVisible (visible);
    }
}

void MainComponent::setButton (const juce::String& name, const juce::String& text, bool enabled)
{
    if (auto* button = dynamic_cast<juce::TextButton*> (findChildWithID (name)))
    {
        button->setButtonText (text);
        button->setEnabled (enabled);
        button->getProperties().set (buttonStateProperty, shownState);
    }
}

void MainComponent::print (const juce::String& text)
{
    std::cout << text.toStdString() << std::endl;
}

void MainComponent::setProgress (double newProgress)
{
    installing->setText (juce::String::formatted ("Installing %.0f%%", newProgress * 100.0), juce::sendNotification);
    progress = newProgress;
    progressBar->valueChanged();
}

void MainComponent::buttonClicked (juce::Button* button)
{
    if (button == installCancel.get() && firmwareUpdater != nullptr)
        firmwareUpdater->buttonPressed (button->getName(), button->getProperties()[buttonStateProperty].toString());
}

void MainComponent::comboBoxChanged (juce::ComboBox* list)
{
    if (! advancedMode || firmwareUpdater == nullptr)
        return;

    if (list == midiInputs.get() || list == midiOutputs.get())
    {
        if (list == midiInputs.get())
            selector().selectInput (list->getText());
        else
            selector().selectOutput (list->getText());

        firmwareUpdater->returnToInitialState();
    }
    else if (list == firmwareVersions.get())
    {
        firmwareUpdater->selectFirmwareVersion (list->getText());
        availableVersion->setText (list->getText(), juce::sendNotification);
    }
}

//==============================================================================
juce::Font MainComponent::getComboBoxFont (juce::ComboBox& list)
{
    return embeddedFont (juce::jmin (0.85f * (float) list.getHeight(), 15.0f));
}

void MainComponent::drawPopupMenuItem (juce::Graphics& g, const juce::Rectangle<int>& area,
                                       bool isSeparator, bool isActive, bool isHighlighted, bool isTicked,
                                       bool hasSubMenu, const juce::String& text, const juce::String& shortcutKeyText,
                                       const juce::Drawable* icon, const juce::Colour* textColour)
{
    if (isSeparator)
    {
        auto r = area.reduced (5, 0);
        r.removeFromTop (r.getHeight() / 2 - 1);

        g.setColour (juce::Colour (0x33000000));
        g.fillRect (r.removeFromTop (1));
        g.setColour (juce::Colour (0x66FFFFFF));
        g.fillRect (r.removeFromTop (1));
        return;
    }

    auto r = area.reduced (1);

    if (isHighlighted)
    {
        g.setColour (backgroundColour);
        g.fillRect (r);
        g.setColour (juce::Colours::black);
    }
    else
    {
        g.setColour (textColour != nullptr ? *textColour : juce::Colours::black);
    }

    if (! isActive)
        g.setOpacity (0.3f);

    auto font = embeddedFont (juce::jmin (17.0f, (float) area.getHeight() / 1.3f));
    g.setFont (font);

    auto iconArea = r.removeFromLeft ((r.getHeight() * 5) / 4).reduced (3).toFloat();

    if (icon != nullptr)
    {
        icon->drawWithin (g, iconArea, juce::RectanglePlacement::centred | juce::RectanglePlacement::onlyReduceInSize,
                          1.0f);
    }
    else if (isTicked)
    {
        auto tick = getTickShape (1.0f);
        g.fillPath (tick, tick.getTransformToScaleToFit (iconArea, true));
    }

    if (hasSubMenu)
    {
        const auto arrowH = 0.6f * getPopupMenuFont().getAscent();
        const auto x = (float) r.removeFromRight ((int) arrowH).getX();
        const auto halfH = (float) r.getCentreY();

        juce::Path arrow;
        arrow.addTriangle (x, halfH - arrowH * 0.5f, x, halfH + arrowH * 0.5f, x + arrowH * 0.6f, halfH);
        g.fillPath (arrow);
    }

    r.removeFromRight (3);
    g.drawFittedText (text, r, juce::Justification::centredLeft, 1);

    if (shortcutKeyText.isNotEmpty())
    {
        auto shortcutFont = font;
        shortcutFont.setHeight (font.getHeight() * 0.75f);
        shortcutFont.setHorizontalScale (0.95f);
        g.setFont (shortcutFont);
        g.drawText (shortcutKeyText, r, juce::Justification::centredRight, true);
    }
}
