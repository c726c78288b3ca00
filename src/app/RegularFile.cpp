#include "RegularFile.h"

#if ! JUCE_WINDOWS
 #include <cerrno>
 #include <fcntl.h>
 #include <sys/stat.h>
 #include <unistd.h>
#endif

bool RegularFile::isRegularFile (const juce::File& file)
{
   #if JUCE_WINDOWS
    return file.existsAsFile();
   #else
    struct stat info {};
    return ::stat (file.getFullPathName().toRawUTF8(), &info) == 0 && S_ISREG (info.st_mode);
   #endif
}

bool RegularFile::read (const juce::File& file, juce::int64 maxBytes, juce::MemoryBlock& destination)
{
    destination.reset();

    if (! isRegularFile (file))
        return false;

   #if JUCE_WINDOWS
    juce::FileInputStream in (file);

    if (! in.openedOk() || in.getTotalLength() > maxBytes)
        return false;

    in.readIntoMemoryBlock (destination, (juce::pointer_sized_int) (maxBytes + 1));

    if ((juce::int64) destination.getSize() <= maxBytes)
        return true;

    destination.reset();
    return false;
   #else
    const int fd = ::open (file.getFullPathName().toRawUTF8(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);

    if (fd < 0)
        return false;

    struct stat info {};
    bool ok = ::fstat (fd, &info) == 0 && S_ISREG (info.st_mode) && info.st_size <= maxBytes;

    while (ok)
    {
        char buffer[65536];
        const auto numRead = ::read (fd, buffer, sizeof (buffer));

        if (numRead < 0 && errno == EINTR)
            continue;

        if (numRead <= 0)
        {
            ok = numRead == 0;
            break;
        }

        destination.append (buffer, (size_t) numRead);

        // The file may have grown since it was measured.
        ok = (juce::int64) destination.getSize() <= maxBytes;
    }

    ::close (fd);

    if (! ok)
        destination.reset();

    return ok;
   #endif
}
