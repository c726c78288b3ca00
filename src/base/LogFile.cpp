#include "LogFile.h"

#include <algorithm>
#include <cstring>

#if JUCE_WINDOWS
 #include <windows.h>
#else
 #include "RegularFile.h"

 #include <cerrno>
 #include <fcntl.h>
 #include <sys/file.h>
 #include <sys/stat.h>
 #include <unistd.h>
#endif

namespace
{
#if JUCE_WINDOWS
    juce::String systemErrorText (const char* what)
    {
        return juce::String (what) + " failed (Windows error " + juce::String ((int) ::GetLastError()) + ")";
    }

    /** An open log file. Windows locks byte ranges, and a locked range refuses other handles'
        reads and writes, so the lock is taken on one byte far beyond any log's end, where it
        stands for the whole file without getting in the way of readers. */
    class OpenLog
    {
    public:
        /** Appends take the exclusive lock: a write to the end of the file is not one step on
            every file system that a profile's application-data folder can be on (a network share;
            Wine, which finds the end and then writes there), so two programs' appends could land
            at the same place and one line overwrite the other. The lines are short, so each
            waits for the other briefly. */
        static constexpr bool appendsExclusively = true;

        OpenLog (const juce::File& file, bool forTrimming)
        {
            // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the end, and
            // the write sharing lets the window and vfu-update.exe hold the log at once.
            const DWORD access = forTrimming ? (GENERIC_READ | GENERIC_WRITE)
                                             : (FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE);
            handle = ::CreateFileW (file.getFullPathName().toWideCharPointer(), access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    forTrimming ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);

            if (handle == INVALID_HANDLE_VALUE)
                error = systemErrorText ("CreateFile");
        }

        ~OpenLog()
        {
            if (locked)
            {
                auto range = lockRange();
                ::UnlockFileEx (handle, 0, 1, 0, &range);
            }

            if (handle != INVALID_HANDLE_VALUE)
                ::CloseHandle (handle);
        }

        bool isOpen() const noexcept    { return handle != INVALID_HANDLE_VALUE; }
        bool vanished() const noexcept  { return ! isOpen() && ::GetLastError() == ERROR_FILE_NOT_FOUND; }
        bool isRegular() const          { return isOpen() && ::GetFileType (handle) == FILE_TYPE_DISK; }

        bool lock (bool exclusive)
        {
            auto range = lockRange();
            locked = ::LockFileEx (handle, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &range) != 0;

            if (! locked)
                error = systemErrorText ("LockFileEx");

            return locked;
        }

        juce::int64 size()
        {
            LARGE_INTEGER value {};

            if (::GetFileSizeEx (handle, &value) == 0)
            {
                error = systemErrorText ("GetFileSizeEx");
                return -1;
            }

            return value.QuadPart;
        }

        bool appendWhole (const char* data, size_t numBytes)
        {
            while (numBytes > 0)
            {
                OVERLAPPED atEnd {};
                atEnd.Offset = atEnd.OffsetHigh = 0xffffffff;
                DWORD written = 0;

                if (::WriteFile (handle, data, (DWORD) std::min<size_t> (numBytes, 1 << 20), &written, &atEnd) == 0 || written == 0)
                {
                    error = systemErrorText ("WriteFile");
                    return false;
                }

                data += written;
                numBytes -= written;
            }

            return true;
        }

        /** Bytes read at the position; -1 on an error. */
        juce::int64 readAt (juce::int64 position, char* buffer, size_t numBytes)
        {
            auto at = offset (position);
            DWORD numRead = 0;

            if (::ReadFile (handle, buffer, (DWORD) numBytes, &numRead, &at) == 0 && ::GetLastError() != ERROR_HANDLE_EOF)
            {
                error = systemErrorText ("ReadFile");
                return -1;
            }

            return numRead;
        }

        bool writeAt (juce::int64 position, const char* data, size_t numBytes)
        {
            while (numBytes > 0)
            {
                auto at = offset (position);
                DWORD written = 0;

                if (::WriteFile (handle, data, (DWORD) numBytes, &written, &at) == 0 || written == 0)
                {
                    error = systemErrorText ("WriteFile");
                    return false;
                }

                data += written;
                numBytes -= written;
                position += written;
            }

            return true;
        }

        bool truncate (juce::int64 newSize)
        {
            LARGE_INTEGER position {};
            position.QuadPart = newSize;

            if (::SetFilePointerEx (handle, position, nullptr, FILE_BEGIN) == 0 || ::SetEndOfFile (handle) == 0)
            {
                error = systemErrorText ("SetEndOfFile");
                return false;
            }

            return true;
        }

        juce::String error;

    private:
        static OVERLAPPED offset (juce::int64 position)
        {
            OVERLAPPED at {};
            at.Offset = (DWORD) (position & 0xffffffff);
            at.OffsetHigh = (DWORD) (position >> 32);
            return at;
        }

        static OVERLAPPED lockRange()   { return offset ((juce::int64) 1 << 62); }

        HANDLE handle = INVALID_HANDLE_VALUE;
        bool locked = false;
    };
#else
    juce::String systemErrorText (const char* what)
    {
        return juce::String (what) + ": " + juce::String::fromUTF8 (std::strerror (errno));
    }

    /** An open log file, locked with flock(): the lock belongs to the open file, so it keeps out
        other programs and other open files of this one alike, and closing releases it. */
    class OpenLog
    {
    public:
        /** O_APPEND finds the end and writes there in one step, so appends only keep out the cut. */
        static constexpr bool appendsExclusively = false;

        OpenLog (const juce::File& file, bool forTrimming)
        {
            // Never blocks on a FIFO or a device put in the log's place. The log holds only
            // this account's own lines, and a file only this account can open cannot be locked
            // by another to hold up the lines.
            const int flags = forTrimming ? O_RDWR : (O_WRONLY | O_APPEND | O_CREAT);
            fd = ::open (file.getFullPathName().toRawUTF8(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);

            if (fd < 0)
            {
                openErrno = errno;
                error = systemErrorText ("open");
            }
        }

        ~OpenLog()
        {
            if (fd >= 0)
                ::close (fd);
        }

        bool isOpen() const noexcept    { return fd >= 0; }
        bool vanished() const noexcept  { return openErrno == ENOENT; }

        bool isRegular() const
        {
            struct stat info {};
            return fd >= 0 && ::fstat (fd, &info) == 0 && S_ISREG (info.st_mode);
        }

        bool lock (bool exclusive)
        {
            while (::flock (fd, exclusive ? LOCK_EX : LOCK_SH) != 0)
            {
                if (errno != EINTR)
                {
                    error = systemErrorText ("flock");
                    return false;
                }
            }

            return true;
        }

        juce::int64 size()
        {
            struct stat info {};

            if (::fstat (fd, &info) != 0)
            {
                error = systemErrorText ("fstat");
                return -1;
            }

            return (juce::int64) info.st_size;
        }

        bool appendWhole (const char* data, size_t numBytes)
        {
            error = RegularFile::writeWhole (fd, data, numBytes);
            return error.isEmpty();
        }

        /** Bytes read at the position; -1 on an error. */
        juce::int64 readAt (juce::int64 position, char* buffer, size_t numBytes)
        {
            for (;;)
            {
                const auto numRead = ::pread (fd, buffer, numBytes, (off_t) position);

                if (numRead >= 0 || errno != EINTR)
                {
                    if (numRead < 0)
                        error = systemErrorText ("pread");

                    return (juce::int64) numRead;
                }
            }
        }

        bool writeAt (juce::int64 position, const char* data, size_t numBytes)
        {
            while (numBytes > 0)
            {
                const auto written = ::pwrite (fd, data, numBytes, (off_t) position);

                if (written < 0 && errno == EINTR)
                    continue;

                if (written <= 0)
                {
                    error = written < 0 ? systemErrorText ("pwrite") : juce::String ("pwrite wrote nothing");
                    return false;
                }

                data += written;
                numBytes -= (size_t) written;
                position += written;
            }

            return true;
        }

        bool truncate (juce::int64 newSize)
        {
            if (::ftruncate (fd, (off_t) newSize) == 0)
                return true;

            error = systemErrorText ("ftruncate");
            return false;
        }

        juce::String error;

    private:
        int fd = -1;
        int openErrno = 0;
    };
#endif

    /** Moves the last sizeLimit bytes at most, from the first line start among them, to the start
        of the file and cuts off the rest. The caller holds the exclusive lock. */
    juce::String cutInPlace (OpenLog& log, juce::int64 sizeLimit)
    {
        const auto size = log.size();

        if (size < 0)
            return log.error;

        if (size <= sizeLimit)
            return {};

        char buffer[65536];
        auto keepFrom = size; // no line break at all: nothing is kept

        // The byte before the cut is looked at too, so that a cut that falls on a line start
        // keeps that line.
        for (auto position = size - sizeLimit - 1; position < size;)
        {
            const auto numRead = log.readAt (position, buffer, (size_t) std::min<juce::int64> ((juce::int64) sizeof (buffer), size - position));

            if (numRead < 0)
                return log.error;

            if (numRead == 0)
                break;

            if (const auto* lineEnd = static_cast<const char*> (std::memchr (buffer, '\n', (size_t) numRead)))
            {
                keepFrom = position + (lineEnd - buffer) + 1;
                break;
            }

            position += numRead;
        }

        juce::int64 to = 0;

        for (auto from = keepFrom; from < size;)
        {
            const auto numRead = log.readAt (from, buffer, (size_t) std::min<juce::int64> ((juce::int64) sizeof (buffer), size - from));

            if (numRead < 0)
                return log.error;

            if (numRead == 0)
                break;

            if (! log.writeAt (to, buffer, (size_t) numRead))
                return log.error;

            from += numRead;
            to += numRead;
        }

        return log.truncate (to) ? juce::String() : log.error;
    }
}

LogFile::LogFile (const juce::File& logFile, juce::int64 sizeLimitBytes)
    : file (logFile), sizeLimit (std::max<juce::int64> (sizeLimitBytes, 1))
{
}

juce::String LogFile::append (const juce::String& text)
{
    // A log whose folder is missing (a first run, or a user who cleared it) gets one.
    if (! file.getParentDirectory().isDirectory())
        file.getParentDirectory().createDirectory();

    juce::int64 size = 0;
    {
        OpenLog log (file, false);

        if (! log.isOpen())
            return log.error;

        const char* data = text.toRawUTF8();

        if (! log.lock (OpenLog::appendsExclusively) || ! log.appendWhole (data, std::strlen (data)))
            return log.error;

        size = log.size();
    }

    // The shared lock is gone with the open file, so the cut can take the exclusive one.
    return size > sizeLimit + sizeLimit / 4 ? trim() : juce::String();
}

juce::String LogFile::trim()
{
    OpenLog log (file, true);

    if (! log.isOpen())
        return log.vanished() ? juce::String() : log.error;

    if (! log.isRegular())
        return {};

    if (! log.lock (true))
        return log.error;

    return cutInPlace (log, sizeLimit);
}
