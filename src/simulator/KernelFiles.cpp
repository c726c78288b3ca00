#include "KernelFiles.h"

#include <cerrno>
#include <cstring>

#if ! JUCE_WINDOWS
 #include <dirent.h>
 #include <fcntl.h>
 #include <sys/stat.h>
 #include <unistd.h>
#endif

juce::String KernelFiles::failure (const juce::String& what, int error)
{
    return what + ": " + juce::String::fromUTF8 (std::strerror (error));
}

#if JUCE_WINDOWS

juce::String KernelFiles::write (const juce::String& path, const juce::String&)   { return "cannot write " + path + " on this system"; }
bool KernelFiles::read (const juce::String&, juce::String&, size_t)                 { return false; }
juce::String KernelFiles::readLine (const juce::String&)                            { return {}; }
juce::String KernelFiles::makeFolder (const juce::String& path)                     { return "cannot make " + path + " on this system"; }
juce::String KernelFiles::removeFolder (const juce::String& path)                   { return "cannot remove " + path + " on this system"; }
juce::String KernelFiles::link (const juce::String&, const juce::String& linkPath)  { return "cannot link " + linkPath + " on this system"; }
juce::String KernelFiles::unlink (const juce::String& path)                         { return "cannot remove " + path + " on this system"; }
bool KernelFiles::exists (const juce::String&)                                      { return false; }
bool KernelFiles::isLink (const juce::String&)                                      { return false; }
juce::StringArray KernelFiles::list (const juce::String&)                           { return {}; }

#else

juce::String KernelFiles::write (const juce::String& path, const juce::String& text)
{
    const int fd = ::open (path.toRawUTF8(), O_WRONLY | O_CLOEXEC);

    if (fd < 0)
        return failure ("cannot open " + path, errno);

    const auto* data = text.toRawUTF8();
    const auto size = std::strlen (data);
    // configfs and sysfs take a value in one write; an empty value needs a newline to be a write.
    const auto written = size == 0 ? ::write (fd, "\n", 1) : ::write (fd, data, size);
    const auto error = errno;
    const auto wanted = size == 0 ? (size_t) 1 : size;

    ::close (fd);

    if (written < 0)
        return failure ("cannot write '" + text + "' to " + path, error);

    if ((size_t) written != wanted)
        return "cannot write '" + text + "' to " + path + ": only " + juce::String ((int) written) + " bytes taken";

    return {};
}

bool KernelFiles::read (const juce::String& path, juce::String& text, size_t maxBytes)
{
    const int fd = ::open (path.toRawUTF8(), O_RDONLY | O_CLOEXEC);

    if (fd < 0)
        return false;

    juce::MemoryBlock data;
    char buffer[4096];
    bool ok = true;

    while (data.getSize() < maxBytes)
    {
        const auto got = ::read (fd, buffer, sizeof (buffer));

        if (got < 0 && errno == EINTR)
            continue;

        if (got < 0)
        {
            ok = false;
            break;
        }

        if (got == 0)
            break;

        data.append (buffer, juce::jmin ((size_t) got, maxBytes - data.getSize()));
    }

    ::close (fd);

    if (ok)
        text = juce::String::fromUTF8 (static_cast<const char*> (data.getData()), (int) data.getSize());

    return ok;
}

juce::String KernelFiles::readLine (const juce::String& path)
{
    juce::String text;

    if (! read (path, text, 4096))
        return {};

    return text.upToFirstOccurrenceOf ("\n", false, false).trim();
}

juce::String KernelFiles::makeFolder (const juce::String& path)
{
    if (::mkdir (path.toRawUTF8(), 0755) != 0)
        return failure ("cannot make " + path, errno);

    return {};
}

juce::String KernelFiles::removeFolder (const juce::String& path)
{
    if (::rmdir (path.toRawUTF8()) != 0)
        return failure ("cannot remove " + path, errno);

    return {};
}

juce::String KernelFiles::link (const juce::String& target, const juce::String& linkPath)
{
    if (::symlink (target.toRawUTF8(), linkPath.toRawUTF8()) != 0)
        return failure ("cannot link " + linkPath + " to " + target, errno);

    return {};
}

juce::String KernelFiles::unlink (const juce::String& path)
{
    if (::unlink (path.toRawUTF8()) != 0)
        return failure ("cannot remove " + path, errno);

    return {};
}

bool KernelFiles::exists (const juce::String& path)
{
    struct stat info {};
    return ::lstat (path.toRawUTF8(), &info) == 0;
}

bool KernelFiles::isLink (const juce::String& path)
{
    struct stat info {};
    return ::lstat (path.toRawUTF8(), &info) == 0 && S_ISLNK (info.st_mode);
}

juce::StringArray KernelFiles::list (const juce::String& folder)
{
    juce::StringArray names;
    auto* dir = ::opendir (folder.toRawUTF8());

    if (dir == nullptr)
        return names;

    while (auto* entry = ::readdir (dir))
    {
        const juce::String entryName (juce::CharPointer_UTF8 (entry->d_name));

        if (entryName != "." && entryName != "..")
            names.add (entryName);
    }

    ::closedir (dir);
    names.sort (true);
    return names;
}

#endif
