#include "RunningExecutable.h"

#if JUCE_LINUX
 #include <cstdint>
 #include <cstdlib>
 #include <fstream>
 #include <sstream>
 #include <string>
 #include <unistd.h>
 #include <vector>
#endif

namespace
{
   #if JUCE_LINUX
    const juce::String deletedMark (" (deleted)");

    /** A path as the kernel names it: absolute, links resolved, " (deleted)" when the file was
        replaced or removed since it was opened (a package upgrade, say); then the folder is still
        where the program belongs, so the name without the mark is kept. */
    juce::File fileFromKernelName (const juce::String& name)
    {
        if (! juce::File::isAbsolutePath (name))
            return {};

        const juce::File file (name);

        if (file.existsAsFile())
            return file;

        if (name.endsWith (deletedMark))
            return juce::File (name.dropLastCharacters (deletedMark.length()));

        return {};
    }

    /** The file mapped at this address, from /proc/self/maps ("start-end perms offset dev inode path"). */
    juce::File fileMappedAt (std::uintptr_t address)
    {
        std::ifstream maps ("/proc/self/maps");
        std::string line;

        while (std::getline (maps, line))
        {
            std::istringstream fields (line);
            std::string range, perms, offset, device;
            unsigned long long inode = 0;
            fields >> range >> perms >> offset >> device >> inode;

            const auto dash = range.find ('-');

            if (fields.fail() || dash == std::string::npos)
                continue;

            const auto start = std::strtoull (range.c_str(), nullptr, 16);
            const auto end = std::strtoull (range.c_str() + dash + 1, nullptr, 16);

            if (address < start || address >= end)
                continue;

            // The path is the rest of the line after the blanks that align it; it may hold blanks.
            std::string path;
            std::getline (fields >> std::ws, path);

            // Anonymous and special mappings ("[heap]") have no file; a name with a line end
            // in it is written escaped and names no file either.
            return inode == 0 ? juce::File() : fileFromKernelName (juce::String::fromUTF8 (path.c_str()));
        }

        return {};
    }

    juce::String readExeLink()
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
   #endif
}

juce::File RunningExecutable::getFile()
{
   #if JUCE_LINUX
    // This function's own code lies in the program's file, mapped by whoever loaded it.
    if (const auto file = fileMappedAt (reinterpret_cast<std::uintptr_t> (&RunningExecutable::getFile)); file != juce::File())
        return file;

    if (const auto file = fileFromKernelName (readExeLink()); file != juce::File())
        return file;
   #endif

    return juce::File::getSpecialLocation (juce::File::currentExecutableFile);
}
