#include "SecondProgram.h"

#include <iostream>
#include <map>
#include <string>

namespace SecondProgram
{
namespace
{
    constexpr const char* option = "--second-program";

    std::map<std::string, Part>& parts()
    {
        static std::map<std::string, Part> registered;
        return registered;
    }
}

Registration::Registration (const char* name, Part part)
{
    parts()[name] = std::move (part);
}

bool start (juce::ChildProcess& process, const juce::String& name, const juce::StringArray& arguments)
{
    juce::StringArray command { juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFullPathName(),
                                option, name };
    command.addArray (arguments);
    return process.start (command);
}

bool runIfAsked (int argc, char** argv, int& exitCode)
{
    if (argc < 2 || std::string (argv[1]) != option)
        return false;

    const auto found = argc >= 3 ? parts().find (argv[2]) : parts().end();

    if (found == parts().end())
    {
        std::cerr << "no second program named " << (argc >= 3 ? argv[2] : "(none)") << std::endl;
        exitCode = 2;
        return true;
    }

    juce::StringArray arguments;

    for (int i = 3; i < argc; ++i)
        arguments.add (juce::String::fromUTF8 (argv[i]));

    exitCode = found->second (arguments);
    return true;
}
}
