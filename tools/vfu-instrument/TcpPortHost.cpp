#include "TcpPortHost.h"

#include "simulator/MidiStreamSplitter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
    // The receive buffer of each connection: small, so that a stalled device holds the sender
    // back soon, as a USB device does (the kernel doubles it and keeps a minimum of its own).
    constexpr int receiveBufferBytes = 4096;

    int listenOn (const TcpPortHost::Address& address)
    {
        sockaddr_in where {};
        where.sin_family = AF_INET;
        where.sin_port = htons ((uint16_t) address.port);

        if (::inet_pton (AF_INET, address.host.toRawUTF8(), &where.sin_addr) != 1)
            return -1;

        const int fd = ::socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

        if (fd < 0)
            return -1;

        const int yes = 1, bufferBytes = receiveBufferBytes;

        // Accepted connections inherit the buffer size, which must be set before they are made.
        if (::setsockopt (fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof (yes)) != 0
            || ::setsockopt (fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof (bufferBytes)) != 0
            || ::bind (fd, reinterpret_cast<const sockaddr*> (&where), sizeof (where)) != 0
            || ::listen (fd, 8) != 0)
        {
            ::close (fd);
            return -1;
        }

        return fd;
    }
}

std::optional<TcpPortHost::Address> TcpPortHost::Address::parse (const juce::String& text)
{
    const auto host = text.upToLastOccurrenceOf (":", false, false);
    const auto port = text.fromLastOccurrenceOf (":", false, false);
    in_addr ignored {};

    if (! text.containsChar (':') || port.isEmpty() || port.length() > 5 || ! port.containsOnly ("0123456789")
        || port.getIntValue() < 1 || port.getIntValue() > 65535 || ::inet_pton (AF_INET, host.toRawUTF8(), &ignored) != 1)
        return {};

    return Address { host, port.getIntValue() };
}

//==============================================================================
class TcpPortHost::Plug final
{
public:
    Plug (int listenerToUse, const juce::String& nameToUse, Device* deviceToUse, SystemVirtualPorts::Monitor* monitorToUse,
          size_t stallAtToUse, int stallMsToUse)
        : name (nameToUse), listener (listenerToUse), device (deviceToUse), monitor (monitorToUse),
          stallAt (stallAtToUse), stallMs (stallMsToUse)
    {
        if (::pipe2 (wake, O_CLOEXEC | O_NONBLOCK) != 0)
            wake[0] = wake[1] = -1;
    }

    ~Plug()
    {
        join();

        for (auto fd : { listener, wake[0], wake[1] })
            if (fd >= 0)
                ::close (fd);

        for (auto fd : connections)
            ::close (fd);
    }

    bool start()
    {
        if (wake[0] < 0)
            return false;

        thread = std::thread ([this] { run(); });
        return true;
    }

    /** Every connection is shut down at once (the driver sees its port go) and new ones are
        refused; the thread ends after the call into the device it may be making. */
    void stop()
    {
        {
            const std::lock_guard<std::mutex> guard (sendMutex);
            stopping = true;

            for (auto fd : connections)
                ::shutdown (fd, SHUT_RDWR);

            ::shutdown (listener, SHUT_RDWR);
        }

        const char byte = 1;
        while (::write (wake[1], &byte, 1) < 0 && errno == EINTR)
        {
        }
    }

    void join()
    {
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
            thread.join();
    }

    bool isOwnThread() const { return thread.get_id() == std::this_thread::get_id(); }

    /** A SysEx on its way is reported cut off. On the plug's thread, or after it ended. */
    void reportCutOff()
    {
        if (monitor != nullptr)
            splitter.cutOff ([this] (const std::vector<juce::uint8>& bytes, bool complete)
                             { monitor->messageReceived (name, bytes, complete); });
    }

    /** Sends to every connection; false when none took the whole message. */
    bool send (const juce::uint8* data, size_t size)
    {
        const std::lock_guard<std::mutex> guard (sendMutex);
        bool anyTook = false;

        for (auto fd : connections)
        {
            size_t done = 0;

            while (done < size)
            {
                const auto n = ::send (fd, data + done, size - done, MSG_NOSIGNAL);

                if (n < 0 && errno == EINTR)
                    continue;

                if (n <= 0)
                    break;

                done += (size_t) n;
            }

            anyTook = anyTook || done == size;
        }

        return anyTook;
    }

    const juce::String name;

private:
    void run()
    {
        for (;;)
        {
            std::vector<pollfd> fds { { wake[0], POLLIN, 0 }, { listener, POLLIN, 0 } };

            {
                const std::lock_guard<std::mutex> guard (sendMutex);

                if (stopping)
                    break;

                for (auto fd : connections)
                    fds.push_back ({ fd, POLLIN, 0 });
            }

            if (::poll (fds.data(), (nfds_t) fds.size(), -1) < 0)
            {
                if (errno == EINTR)
                    continue;
                break;
            }

            if (fds[0].revents != 0)
                continue; // stopping: checked above

            if ((fds[1].revents & POLLIN) != 0)
            {
                const int fd = ::accept4 (listener, nullptr, nullptr, SOCK_CLOEXEC);
                const int yes = 1;

                if (fd >= 0 && ::setsockopt (fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof (yes)) == 0)
                {
                    const std::lock_guard<std::mutex> guard (sendMutex);
                    connections.push_back (fd);
                }
                else if (fd >= 0)
                {
                    ::close (fd);
                }
            }

            for (size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents != 0 && ! readFrom (fds[i].fd))
                    return; // the device pulled its own plug from inside its call
        }
    }

    // false when the plug was pulled during the call into the device.
    bool readFrom (int fd)
    {
        juce::uint8 buffer[1024];
        const auto got = ::recv (fd, buffer, sizeof (buffer), 0);

        if (got <= 0)
        {
            if (got < 0 && errno == EINTR)
                return true;

            // The driver closed its end (its program ended): the connection goes, the port stays.
            const std::lock_guard<std::mutex> guard (sendMutex);
            connections.erase (std::remove (connections.begin(), connections.end(), fd), connections.end());
            ::close (fd);
            return true;
        }

        for (ssize_t i = 0; i < got; ++i)
        {
            if (buffer[i] == 0xf0)
                sysexBytes = 0;

            if (stallAt > 0 && ++sysexBytes == stallAt && stallMs > 0)
            {
                // Nothing is read meanwhile: the sender's side fills and waits.
                std::this_thread::sleep_for (std::chrono::milliseconds (stallMs));
            }
        }

        if (monitor != nullptr)
            splitter.read (buffer, (size_t) got, [this] (const std::vector<juce::uint8>& bytes, bool complete)
                           { monitor->messageReceived (name, bytes, complete); });

        if (device != nullptr)
            device->receivedFromUpdater (juce::MidiMessage (buffer, (int) got, 0.0));

        const std::lock_guard<std::mutex> guard (sendMutex);
        return ! stopping;
    }

    const int listener;
    Device* const device;
    SystemVirtualPorts::Monitor* const monitor;
    const size_t stallAt;
    const int stallMs;
    int wake[2] { -1, -1 };
    std::thread thread;

    std::mutex sendMutex;
    std::vector<int> connections;  // guarded by sendMutex
    bool stopping = false;         // guarded by sendMutex

    // The plug's thread only:
    MidiStreamSplitter splitter;
    size_t sysexBytes = 0;
};

//==============================================================================
TcpPortHost::TcpPortHost (SystemVirtualPorts::Monitor* monitorToUse, Options optionsToUse)
    : monitor (monitorToUse), options (std::move (optionsToUse))
{
}

TcpPortHost::~TcpPortHost()
{
    std::map<PlugId, std::shared_ptr<Plug>> remaining;

    {
        const std::lock_guard<std::mutex> guard (mutex);
        remaining.swap (plugs);
    }

    for (auto& [id, plug] : remaining)
        plug->stop();

    remaining.clear();
    ended.clear();
}

DevicePortHost::PlugId TcpPortHost::plugIn (const juce::String& inputName, const juce::String& outputName, Device* device, int, int)
{
    const auto inBootloader = options.inBootloader != nullptr && options.inBootloader();
    const auto& address = inBootloader ? options.bootloader : options.application;
    const int listener = listenOn (address);

    if (listener < 0)
        return 0;

    auto plug = std::make_shared<Plug> (listener, outputName.isNotEmpty() ? outputName : inputName, device, monitor,
                                        options.stallAtSysexByte, options.stallMs);

    if (! plug->start())
        return 0;

    PlugId id;

    {
        const std::lock_guard<std::mutex> guard (mutex);
        id = ++lastPlug;
        plugs[id] = plug;

        // Plugs that ended on their own thread are joined here, on another one.
        ended.erase (std::remove_if (ended.begin(), ended.end(), [] (const std::shared_ptr<Plug>& p)
                                     { return ! p->isOwnThread(); }),
                     ended.end());
    }

    if (monitor != nullptr)
        monitor->portsChanged (inputName + " at " + address.toString(), outputName + " at " + address.toString(), true);

    return id;
}

std::shared_ptr<TcpPortHost::Plug> TcpPortHost::findPlug (PlugId id, bool remove)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto found = plugs.find (id);

    if (found == plugs.end())
        return nullptr;

    auto plug = found->second;

    if (remove)
        plugs.erase (found);

    return plug;
}

void TcpPortHost::pullOut (PlugId id)
{
    const auto plug = findPlug (id, true);

    if (plug == nullptr)
        return;

    plug->stop();

    if (plug->isOwnThread())
    {
        const std::lock_guard<std::mutex> guard (mutex);
        ended.push_back (plug);
    }
    else
    {
        plug->join();
    }

    plug->reportCutOff();

    if (monitor != nullptr)
        monitor->portsChanged (plug->name, plug->name, false);
}

bool TcpPortHost::isPluggedIn (PlugId id) const
{
    const std::lock_guard<std::mutex> guard (mutex);
    return plugs.find (id) != plugs.end();
}

void TcpPortHost::sendToUpdater (PlugId id, const juce::MidiMessage& message)
{
    const auto plug = findPlug (id, false);

    if (plug == nullptr)
        return;

    const auto* data = message.getRawData();
    const auto size = (size_t) message.getRawDataSize();

    if (plug->send (data, size))
    {
        if (monitor != nullptr)
            monitor->messageSent (plug->name, message);
    }
    else if (monitor != nullptr)
    {
        monitor->messageRefused (plug->name, message, -ENOTCONN);
    }
}
