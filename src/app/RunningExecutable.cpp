#include "RunningExecutable.h"

#if JUCE_LINUX
 #include <unistd.h>
 #include <vector>
#endif

namespace
{
   #if JUCE_LINUX
    juce::String readKernelName()
    {
        // readlink does not say how long the name is, only whether it fitted.
        for (size_t size = 1024; size <= 65536; size *= 4)
        {
            std::vector<char> buffer (size);
            const auto length = ::readlink ("/proc/self/exe", buffer.data(), buffer.size());

            if (length < 0)
                return {};

            if ((size_t) length < buffer.size())
                return juce::String::fromUTF8 (buffer.data(), (int) length);
        }

        return {};
    }

    juce::File kernelFile()
    {
        const auto name = readKernelName();

        if (! juce::File::isAbsolutePath (name))
            return {};

        const juce::File file (name);

        if (file.existsAsFile())
            return file;

        // The file was replaced or removed since the program started (a package upgrade, say):
        // the kernel marks the name, and the folder is still where the program belongs.
        const juce::String deletedMark (" (deleted)");

        if (name.endsWith (deletedMark))
            return juce::File (name.dropLastCharacters (deletedMark.length()));

        return {};
    }
   #endif
}

juce::File RunningExecutable::getFile()
{
   #if JUCE_LINUX
    const auto file = kernelFile();

    if (file != juce::File())
        return file;
   #endif

    return juce::File::getSpecialLocation (juce::File::currentExecutableFile);
}
