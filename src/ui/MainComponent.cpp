#include "MainComponent.h"

MainComponent::MainComponent (const juce::String& name) : deviceName (name)
{
    setSize (640, 320);
}

MainComponent::~MainComponent() = default;
