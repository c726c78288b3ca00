#include "InbuiltDefinitions.h"

#include "VfuBinaryData.h"

juce::String InbuiltDefinitions::getText()
{
    return juce::String::fromUTF8 (VfuBinaryData::StateMachines_xml, VfuBinaryData::StateMachines_xmlSize);
}

juce::String InbuiltDefinitions::getConsoleText()
{
    return juce::String::fromUTF8 (VfuBinaryData::StateMachinesConsole_xml, VfuBinaryData::StateMachinesConsole_xmlSize);
}

juce::String InbuiltDefinitions::getText (bool consoleMode)
{
    return consoleMode ? getConsoleText() : getText();
}
