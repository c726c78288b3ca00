#include "AboutBox.h"
#include "DialogColours.h"
#include "EmbeddedFont.h"

namespace
{
    std::unique_ptr<juce::Label> makeLabel (juce::Component& parent, const juce::String& text, float fontHeight)
    {
        auto label = std::make_unique<juce::Label> ("new label", text);
        label->setFont (embeddedFont (fontHeight));
        label->setJustificationType (juce::Justification::centred);
        label->setEditable (false, false, false);
        parent.addAndMakeVisible (label.get());
        return label;
    }
}

AboutBox::AboutBox()
{
    title = makeLabel (*this, "Vorn Firmware Updater", 20.0f);
    notice = makeLabel (*this, juce::CharPointer_UTF8 ("\xc2\xa9 2026 Vorn Instruments"), 15.0f);
    version = makeLabel (*this, "v1.0.0", 15.0f);

    setSize (320, 152);
}

AboutBox::~AboutBox() = default;

void AboutBox::setVersionText (const juce::String& text)
{
    version->setText (text, juce::dontSendNotification);
}

juce::String AboutBox::getVersionText() const
{
    return version->getText();
}

void AboutBox::paint (juce::Graphics& g)
{
    g.fillAll (DialogColours::background);
}

void AboutBox::resized()
{
    title->setBounds (56, 24, 208, 24);
    notice->setBounds (76, 104, 168, 24);
    version->setBounds (132, 64, 56, 24);
}
