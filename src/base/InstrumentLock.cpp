#include "InstrumentLock.h"

#if JUCE_WINDOWS
 #include <windows.h>
 #include <sddl.h>
#else
 #include <cerrno>
 #include <cstring>
 #include <fcntl.h>
 #include <sys/file.h>
 #include <sys/stat.h>
 #include <unistd.h>
#endif

/*  Why these locks, and not the framework's InterProcessLock:

    The framework opens its lock file read-write with O_CREAT. A file that another account made
    (root's, 0644) cannot be opened so; the open fails, and the failure was taken for "held by
    someone" by every caller. And in a sticky world-writable folder with fs.protected_regular set,
    even an open with O_CREAT of another account's file that could be opened is refused.

    POSIX: the file is opened read-only and without O_CREAT when it exists; only a missing file is
    made, with O_EXCL, and then given mode 0444 by fchmod (whatever the umask), so that every
    account can open it for reading. flock() needs no write access, belongs to the open file (so
    two objects in one process exclude each other too) and ends with the holder's last descriptor,
    that is with the process, however it ends. O_CLOEXEC keeps a started child from holding it on.
    Symbolic links and anything but a regular file are refused, never followed or opened blocking.

    Abstract-namespace Unix sockets were weighed: they need no files and die with their holder,
    but they exist only on Linux and belong to the network namespace, so a sandboxed program (and
    two test runs in private namespaces) would not see each other's locks as the files in the
    shared /var/tmp make them see; and they hold no failure mode worth the second implementation.

    Windows: a named mutex in Global\ (one namespace for every session and account), made with a
    security descriptor that grants every account access and carries the low integrity label, so
    that a mutex made by an elevated process can be opened by a normal one and the other way
    round. The lock is the mutex's existence: whoever made it holds it as long as its handle is
    open, any thread may close it, and the system closes it when the holder dies. Mutex ownership
    is not used, because it belongs to a thread and the updater takes and lets go of a port on
    different threads. */

namespace
{
    juce::String safeName (const juce::String& name)
    {
        if (name.isNotEmpty() && name.length() <= 100
            && name.containsOnly ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_"))
            return name;

        // Windows port identifiers are long device paths; a hash keeps the name short and legal.
        return "h" + juce::String::toHexString (name.toLowerCase().hashCode64());
    }
}

InstrumentLock::InstrumentLock (const juce::String& n) : name ("vorn-firmware-updater." + safeName (n)) {}

InstrumentLock::~InstrumentLock()
{
    exit();
}

juce::File InstrumentLock::getLockFolder()
{
   #if JUCE_WINDOWS
    return {};
   #else
    // A folder of its own for a test run, so that its locks meet neither another run's nor those
    // of the updaters in use on the machine.
    const auto folder = juce::SystemStats::getEnvironmentVariable ("VFU_LOCK_FOLDER", {});

    if (juce::File::isAbsolutePath (folder))
        return juce::File (folder);

    return juce::File ("/var/tmp");
   #endif
}

juce::String InstrumentLock::getLockPath() const
{
   #if JUCE_WINDOWS
    return "Global\\" + name;
   #else
    return getLockFolder().getChildFile (name + ".lock").getFullPathName();
   #endif
}

#if JUCE_WINDOWS

bool InstrumentLock::isHeld() const noexcept
{
    return handle != nullptr;
}

InstrumentLock::Result InstrumentLock::tryEnter()
{
    if (handle != nullptr)
        return Result::taken;

    // Every account: all access; the low mandatory label lets a process of any integrity level open it.
    PSECURITY_DESCRIPTOR descriptor = nullptr;

    if (! ConvertStringSecurityDescriptorToSecurityDescriptorW (L"D:(A;;GA;;;WD)S:(ML;;NW;;;LW)", SDDL_REVISION_1,
                                                                &descriptor, nullptr))
    {
        error = "cannot describe the lock's access rights (error " + juce::String ((int) GetLastError()) + ")";
        return Result::failed;
    }

    SECURITY_ATTRIBUTES attributes { sizeof (attributes), descriptor, FALSE };
    const auto mutexName = "Global\\" + name;
    auto* made = CreateMutexW (&attributes, FALSE, mutexName.toWideCharPointer());
    const auto lastError = GetLastError();
    LocalFree (descriptor);

    if (made == nullptr)
    {
        // A mutex of this name that this account may not open exists: someone made it, and holds it.
        if (lastError == ERROR_ACCESS_DENIED)
            return Result::held;

        error = "cannot make the mutex " + juce::String ("Global\\") + name + " (error " + juce::String ((int) lastError) + ")";
        return Result::failed;
    }

    if (lastError == ERROR_ALREADY_EXISTS)
    {
        CloseHandle (made);
        return Result::held;
    }

    handle = made;
    return Result::taken;
}

void InstrumentLock::exit()
{
    if (handle != nullptr)
        CloseHandle (static_cast<HANDLE> (handle));

    handle = nullptr;
}

#else

bool InstrumentLock::isHeld() const noexcept
{
    return fd >= 0;
}

InstrumentLock::Result InstrumentLock::tryEnter()
{
    if (fd >= 0)
        return Result::taken;

    const auto path = getLockFolder().getChildFile (name + ".lock").getFullPathName();
    constexpr int openFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

    auto failWith = [this, &path] (const char* what, int number)
    {
        error = juce::String (what) + " " + path + ": " + juce::String::fromUTF8 (std::strerror (number));
        folderUnusable = number == ENOENT || number == ENOTDIR || number == EACCES || number == EROFS
                      || number == ENOSPC || number == EDQUOT;
        return Result::failed;
    };

    folderUnusable = false;

    // A file that a clean-up of old files removed (or replaced) between our open and our lock
    // is no lock: the path must still name the file that was locked, else it is taken anew.
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        const auto opened = openOrMake (path, openFlags);

        if (opened < 0)
            return failWith ("cannot open", -opened);

        struct stat info {};

        if (::fstat (opened, &info) != 0 || ! S_ISREG (info.st_mode))
        {
            ::close (opened);
            error = "not a regular file: " + path;
            return Result::failed;
        }

        if (::flock (opened, LOCK_EX | LOCK_NB) != 0)
        {
            const auto number = errno;
            ::close (opened);

            if (number == EWOULDBLOCK || number == EAGAIN)
                return Result::held;

            return failWith ("cannot lock", number);
        }

        struct stat named {};

        if (::lstat (path.toRawUTF8(), &named) == 0 && named.st_ino == info.st_ino && named.st_dev == info.st_dev)
        {
            fd = opened;
            return Result::taken;
        }

        ::close (opened);
    }

    error = "the lock file " + path + " was removed or replaced each time it was taken";
    return Result::failed;
}

int InstrumentLock::openOrMake (const juce::String& path, int openFlags)
{
    // Made by another process between our two opens: open it again, as it now exists.
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        const auto opened = ::open (path.toRawUTF8(), openFlags);

        if (opened >= 0)
            return opened;

        if (errno != ENOENT)
            return -errno;

        // Made under a name of its own and given its final mode there, then linked in place: the
        // lock file is never seen with a mode that a strict umask left (0400, readable by its
        // maker only).
        const auto made = path + ".new-" + juce::String (::getpid()) + "-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64());
        const auto madeFd = ::open (made.toRawUTF8(), openFlags | O_CREAT | O_EXCL, 0444);

        if (madeFd < 0)
            return -errno;

        const auto modeSet = ::fchmod (madeFd, 0444) == 0 ? 0 : errno;
        const auto linked = modeSet == 0 && ::link (made.toRawUTF8(), path.toRawUTF8()) == 0;
        const auto linkError = linked ? 0 : errno;
        ::unlink (made.toRawUTF8());

        if (modeSet != 0)
        {
            ::close (madeFd);
            return -modeSet;
        }

        if (linked)
            return madeFd;

        ::close (madeFd);

        if (linkError != EEXIST)
            return -linkError;
    }

    return -ENOENT;
}

void InstrumentLock::exit()
{
    if (fd >= 0)
        ::close (fd);

    fd = -1;
}

#endif
