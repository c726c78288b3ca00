#include "RegularFile.h"
#include "AppLog.h"

#if ! JUCE_WINDOWS
 #include <cerrno>
 #include <cstring>
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

#if ! JUCE_WINDOWS
juce::String RegularFile::writeWhole (int fd, const void* bytes, size_t size)
{
    auto* data = static_cast<const char*> (bytes);

    while (size > 0)
    {
        const auto written = ::write (fd, data, size);

        if (written < 0 && errno == EINTR)
            continue;

        if (written <= 0)
            return written < 0 ? juce::String::fromUTF8 (std::strerror (errno)) : juce::String ("nothing could be written");

        data += written;
        size -= (size_t) written;
    }

    return {};
}

namespace
{
    /** An open file descriptor as an output stream; what is written gathers until flush(). */
    class DescriptorOutputStream final : public juce::OutputStream
    {
    public:
        DescriptorOutputStream (int descriptor, juce::String pathForMessages)
            : fd (descriptor), path (std::move (pathForMessages)) {}

        ~DescriptorOutputStream() override
        {
            flush();
            ::close (fd);
        }

        void flush() override
        {
            // After a failed write nothing more is written: the file would go on after a gap.
            const auto failure = failed ? juce::String() : RegularFile::writeWhole (fd, pending.getData(), pending.getDataSize());
            pending.reset();

            if (failure.isNotEmpty())
            {
                logLine ("Cannot write " + path + ": " + failure + "; nothing more is written to it");
                failed = true;
            }
        }

        bool write (const void* data, size_t numBytes) override
        {
            if (failed)
                return false;

            position += (juce::int64) numBytes;
            return pending.write (data, numBytes);
        }

        juce::int64 getPosition() override           { return position; }
        bool setPosition (juce::int64) override      { return false; }

    private:
        const int fd;
        const juce::String path;
        juce::MemoryOutputStream pending;
        bool failed = false;
        juce::int64 position = 0;
    };

    const char* const notRegular = "it is not a regular file (a device, a FIFO or a folder)";
}
#endif

#if ! JUCE_WINDOWS
namespace
{
    /** The rule for files a user names to be written, on an open descriptor: -1 with error when refused. */
    int openForWriting (const juce::File& file, juce::String& error)
    {
        const auto path = file.getFullPathName().toRawUTF8();
        struct stat info {};

        // Refused before opening: opening a device may have effects of its own.
        if (::stat (path, &info) == 0 && ! S_ISREG (info.st_mode))
        {
            error = notRegular;
            return -1;
        }

        // Non-blocking, in case a FIFO took the name meanwhile (then, with no reader, the open fails).
        const int fd = ::open (path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);

        if (fd < 0)
        {
            error = juce::String::fromUTF8 (std::strerror (errno));
            return -1;
        }

        if (::fstat (fd, &info) != 0 || ! S_ISREG (info.st_mode))
        {
            ::close (fd);
            error = notRegular;
            return -1;
        }

        if (::ftruncate (fd, 0) != 0)
        {
            error = juce::String::fromUTF8 (std::strerror (errno));
            ::close (fd);
            return -1;
        }

        return fd;
    }
}
#endif

std::unique_ptr<juce::OutputStream> RegularFile::createForWriting (const juce::File& file, juce::String& error)
{
   #if JUCE_WINDOWS
    if (file.exists() && ! file.existsAsFile())
    {
        error = "it is not a regular file (a device or a folder)";
        return {};
    }

    auto stream = std::make_unique<juce::FileOutputStream> (file);

    if (! stream->openedOk() || ! stream->setPosition (0) || stream->truncate().failed())
    {
        error = stream->getStatus().failed() ? stream->getStatus().getErrorMessage() : juce::String ("it cannot be written");
        return {};
    }

    return stream;
   #else
    const auto fd = openForWriting (file, error);

    if (fd < 0)
        return {};

    return std::make_unique<DescriptorOutputStream> (fd, file.getFullPathName());
   #endif
}

bool RegularFile::write (const juce::File& file, const juce::MemoryBlock& content, juce::String& error)
{
   #if JUCE_WINDOWS
    auto stream = createForWriting (file, error);

    if (stream == nullptr)
        return false;

    auto& fileStream = static_cast<juce::FileOutputStream&> (*stream);

    const auto accepted = fileStream.write (content.getData(), content.getSize());
    fileStream.flush();

    if (! accepted || fileStream.getStatus().failed())
    {
        error = fileStream.getStatus().failed() ? fileStream.getStatus().getErrorMessage() : juce::String ("it cannot be written");
        return false;
    }

    return true;
   #else
    const auto fd = openForWriting (file, error);

    if (fd < 0)
        return false;

    error = writeWhole (fd, content.getData(), content.getSize());

    if (error.isNotEmpty())
    {
        ::close (fd);
        return false;
    }

    if (::close (fd) != 0)
    {
        error = juce::String::fromUTF8 (std::strerror (errno));
        return false;
    }

    return true;
   #endif
}
