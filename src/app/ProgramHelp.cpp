#include "ProgramHelp.h"

#include "../base/BuildConstants.h"

juce::String ProgramHelp::answerFor (const juce::StringArray& arguments)
{
    if (arguments.contains ("--help") || arguments.contains ("-h"))
        return juce::String ("usage: vorn-firmware-updater [--version | --help]\n"
                             "\n"
                             "Updates the firmware of the ") + BuildConstants::deviceName + " connected over USB-MIDI, in a window:\n"
               "follow the instructions it shows. It needs a display; vfu-update does the same in a terminal.\n"
               "\n"
               "  --version   print the program's version and exit\n"
               "  --help, -h  print this text and exit\n"
               "\n"
               "StateMachines.xml beside the program replaces the inbuilt definitions.\n"
               "VFU_SIMULATE=key=value;... runs against a simulated instrument (demo mode);\n"
               "VFU_TRACE=FILE records every MIDI message and port change into FILE.\n";

    if (arguments.contains ("--version"))
        return juce::String ("vorn-firmware-updater ") + BuildConstants::applicationVersion + "\n";

    return {};
}
