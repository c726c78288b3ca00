#include "InbuiltDefinitions.h"

#include "VfuBinaryData.h"

juce::String InbuiltDefinitions::getText()
{
    return juce::String::fromUTF8 (VfuBinaryData::StateMachines_xml, VfuBinaryData::StateMachines_xmlSize);
}
