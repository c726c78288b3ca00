#include "NameGuard.h"
#include "InstrumentLock.h"

#if ! JUCE_WINDOWS
 #include <cerrno>
 #include <cstring>
 #include <fcntl.h>
 #include <map>
 #include <mutex>
 #include <sys/stat.h>
 #include <unistd.h>

namespace
{
    /* Record locks belong to the process and end when any descriptor of their file is closed, so
       each guard file is opened once and its descriptor kept for the life of the process. */
    struct Registry
    {
        std::mutex mutex;
        std::map<juce::String, int> descriptors; // path -> descriptor, guarded by mutex
        std::map<juce::String, bool> held;       // path -> this process holds it, guarded by mutex
    };

    Registry& registry()
    {
        static Registry instance;
        return instance;
    }

    juce::String pathFor (const juce::String& portName)
    {
        return InstrumentLock::getLockFolder()
            .getChildFile ("vorn-firmware-updater.name-" + juce::String::toHexString (portName.hashCode64()) + ".lock")
            .getFullPathName();
    }

    // Under the registry's mutex: the descriptor of the guard file, opened read-only (and made,
    // readable by every account whatever the umask) on first use; -errno on failure.
    int descriptorFor (Registry& r, const juce::String& path)
    {
        if (const auto found = r.descriptors.find (path); found != r.descriptors.end())
            return found->second;

        auto fd = ::open (path.toRawUTF8(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);

        if (fd < 0 && errno == ENOENT)
        {
            fd = ::open (path.toRawUTF8(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0444);

            if (fd >= 0 && ::fchmod (fd, 0444) != 0)
            {
                const auto number = errno;
                ::close (fd);
                ::unlink (path.toRawUTF8());
                return -number;
            }

            if (fd < 0 && errno == EEXIST)
                fd = ::open (path.toRawUTF8(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        }

        if (fd < 0)
            return -errno;

        struct stat info {};

        if (::fstat (fd, &info) != 0 || ! S_ISREG (info.st_mode))
        {
            ::close (fd);
            return -EINVAL;
        }

        r.descriptors[path] = fd;
        return fd;
    }

    bool setLock (int fd, short type)
    {
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        return ::fcntl (fd, F_SETLK, &lock) == 0;
    }
}

bool NameGuard::hold (const juce::String& portName, juce::String& error)
{
    auto& r = registry();
    const auto path = pathFor (portName);
    const std::lock_guard<std::mutex> guard (r.mutex);

    if (r.held[path])
        return true;

    const auto fd = descriptorFor (r, path);

    if (fd < 0)
    {
        error = "cannot open " + path + ": " + juce::String::fromUTF8 (std::strerror (-fd));
        return false;
    }

    // Shared: several updaters of instruments of one name hold it together.
    if (! setLock (fd, F_RDLCK))
    {
        error = "cannot lock " + path + ": " + juce::String::fromUTF8 (std::strerror (errno));
        return false;
    }

    r.held[path] = true;
    return true;
}

void NameGuard::release (const juce::String& portName)
{
    auto& r = registry();
    const auto path = pathFor (portName);
    const std::lock_guard<std::mutex> guard (r.mutex);

    if (! r.held[path])
        return;

    if (const auto found = r.descriptors.find (path); found != r.descriptors.end())
        setLock (found->second, F_UNLCK);

    r.held[path] = false;
}

bool NameGuard::isHeldElsewhere (const juce::String& portName)
{
    auto& r = registry();
    const auto path = pathFor (portName);

    // Nobody ever held a guard that has no file (and none is made for a mere look).
    if (! juce::File (path).existsAsFile())
        return false;

    const std::lock_guard<std::mutex> guard (r.mutex);
    const auto fd = descriptorFor (r, path);

    if (fd < 0)
        return false;

    // F_GETLK reports the locks of other processes only.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl (fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

#else

 #include <windows.h>
 #include <map>
 #include <memory>
 #include <mutex>

namespace
{
    /* Windows has no shared lock that a holder's own test can leave out, so each holder takes a
       slot of its own: the first of a few dozen named mutexes (InstrumentLock: its existence is
       the lock, in Global\, open to every account) that nobody has made. The guard is held
       elsewhere while a slot other than this process's exists. A slot dies with its holder. */
    constexpr int slotCount = 64;

    struct Registry
    {
        std::mutex mutex;
        std::map<juce::String, std::pair<int, std::unique_ptr<InstrumentLock>>> held; // name -> slot, guarded by mutex
    };

    Registry& registry()
    {
        static Registry instance;
        return instance;
    }

    // A name that InstrumentLock takes as it is (letters, digits and dashes), so that the slots
    // can be looked for by the mutex name it makes of it.
    juce::String slotName (const juce::String& portName, int slot)
    {
        return "name-" + juce::String::toHexString (portName.hashCode64()) + "-" + juce::String (slot);
    }
}

bool NameGuard::hold (const juce::String& portName, juce::String& error)
{
    auto& r = registry();
    const std::lock_guard<std::mutex> guard (r.mutex);

    if (r.held.count (portName) != 0)
        return true;

    for (int slot = 0; slot < slotCount; ++slot)
    {
        auto lock = std::make_unique<InstrumentLock> (slotName (portName, slot));
        const auto result = lock->tryEnter();

        if (result == InstrumentLock::Result::taken)
        {
            r.held[portName] = { slot, std::move (lock) };
            return true;
        }

        if (result == InstrumentLock::Result::failed)
        {
            error = lock->getError();
            return false;
        }
    }

    error = "all " + juce::String (slotCount) + " name guards of '" + portName + "' are held";
    return false;
}

void NameGuard::release (const juce::String& portName)
{
    auto& r = registry();
    const std::lock_guard<std::mutex> guard (r.mutex);
    r.held.erase (portName);
}

bool NameGuard::isHeldElsewhere (const juce::String& portName)
{
    int own = -1;

    {
        auto& r = registry();
        const std::lock_guard<std::mutex> guard (r.mutex);

        if (const auto found = r.held.find (portName); found != r.held.end())
            own = found->second.first;
    }

    // Looked for without being made, so that a look never shows as a holder to others.
    for (int slot = 0; slot < slotCount; ++slot)
    {
        if (slot == own)
            continue;

        const auto name = "Global\\vorn-firmware-updater." + slotName (portName, slot);
        auto* handle = OpenMutexW (SYNCHRONIZE, FALSE, name.toWideCharPointer());

        if (handle != nullptr)
        {
            CloseHandle (handle);
            return true;
        }

        if (GetLastError() == ERROR_ACCESS_DENIED)
            return true;
    }

    return false;
}

#endif
