#include "../base/OutsideText.h"
#include "VornFirmwareUpdaterApplication.h"

#if JUCE_LINUX || JUCE_BSD
 #include "DisplayCheck.h"
 #include "ProgramHelp.h"

 #include <iostream>

JUCE_CREATE_APPLICATION_DEFINE (VornFirmwareUpdaterApplication)

extern "C" int main (int argc, char* argv[])
{
    juce::StringArray arguments;

    for (int i = 1; i < argc; ++i)
        arguments.add (OutsideText::fromSystemName (argv[i]));

    const auto answer = ProgramHelp::answerFor (arguments);

    if (answer.isNotEmpty())
    {
        std::cout << answer.toStdString() << std::flush;
        return 0;
    }

    // Without a display the framework would crash on its first window; say why instead.
    const auto problem = DisplayCheck::findProblem();

    if (problem.isNotEmpty())
    {
        std::cerr << DisplayCheck::messageFor (problem).toStdString() << std::endl;
        return 1;
    }

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main (argc, (const char**) argv);
}
#else
START_JUCE_APPLICATION (VornFirmwareUpdaterApplication)
#endif
