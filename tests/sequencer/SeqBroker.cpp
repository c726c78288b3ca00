#include "SeqBroker.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

volatile sig_atomic_t stopRequested = 0;

// The kernel's client number for "Midi Through", and its limit on events passed on.
constexpr int midiThroughClient = 14;
constexpr int maxHops = 10;

// Ports with these capabilities may be connected by a third party.
constexpr unsigned int readPermission = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned int writePermission = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

bool sameAddress (const snd_seq_addr_t& a, const snd_seq_addr_t& b)
{
    return a.client == b.client && a.port == b.port;
}

void setName (char* target, const std::string& name)
{
    std::memset (target, 0, seqwire::nameLength);
    std::strncpy (target, name.c_str(), seqwire::nameLength - 1);
}

std::string nameOf (const char* record)
{
    return std::string (record, strnlen (record, seqwire::nameLength));
}

bool isVariable (const snd_seq_event_t& event)
{
    auto lengthKind = event.flags & SND_SEQ_EVENT_LENGTH_MASK;
    return lengthKind == SND_SEQ_EVENT_LENGTH_VARIABLE || lengthKind == SND_SEQ_EVENT_LENGTH_VARUSR;
}

} // namespace

SeqBroker::SeqBroker()
    : nextToken (std::random_device() () | ((uint64_t) std::random_device() () << 32))
{
    // Client 0, as on every machine with a sequencer: a timer port and the announcements.
    Client& system = clients[SND_SEQ_CLIENT_SYSTEM];
    system.number = SND_SEQ_CLIENT_SYSTEM;
    system.type = SND_SEQ_KERNEL_CLIENT;
    system.name = "System";

    auto addSystemPort = [&system] (int number, const char* name, unsigned int caps)
    {
        auto& info = system.ports[number].info;
        info.addr = { SND_SEQ_CLIENT_SYSTEM, (unsigned char) number };
        setName (info.name, name);
        info.capability = caps;
        info.type = 0;
        info.flags = seqPortGivenPort;
    };

    addSystemPort (SND_SEQ_PORT_SYSTEM_TIMER, "Timer",
                   SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    addSystemPort (SND_SEQ_PORT_SYSTEM_ANNOUNCE, "Announce", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
}

void SeqBroker::addMidiThrough()
{
    Client& through = clients[midiThroughClient];
    through.number = midiThroughClient;
    through.type = SND_SEQ_KERNEL_CLIENT;
    through.name = "Midi Through";

    auto& info = through.ports[0].info;
    info.addr = { (unsigned char) midiThroughClient, 0 };
    setName (info.name, "Midi Through Port-0");
    info.capability = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    info.type = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_PORT;
    info.midiChannels = 16;
    info.flags = seqPortGivenPort;
}

SeqBroker::~SeqBroker()
{
    for (auto& connection : connections)
        ::close (connection->fd);

    if (listenFd >= 0)
    {
        ::close (listenFd);
        ::unlink (socketPath.c_str());

        // The folder made for the socket goes too when nothing else is in it (also when the
        // script that made it was killed and could not remove it).
        auto slash = socketPath.find_last_of ('/');

        if (slash != std::string::npos && slash > 0)
            ::rmdir (socketPath.substr (0, slash).c_str());
    }
}

bool SeqBroker::listenOn (const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;

    if (path.size() >= sizeof (address.sun_path))
    {
        std::fprintf (stderr, "vfu-test-seq-broker: socket path too long: %s\n", path.c_str());
        return false;
    }

    std::strcpy (address.sun_path, path.c_str());
    listenFd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);

    if (listenFd < 0
        || ::bind (listenFd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) != 0
        || ::listen (listenFd, 64) != 0)
    {
        std::fprintf (stderr, "vfu-test-seq-broker: cannot listen on %s: %s\n", path.c_str(), std::strerror (errno));
        return false;
    }

    socketPath = path;
    return true;
}

void SeqBroker::stop()
{
    stopRequested = 1;
}

void SeqBroker::run()
{
    // Signals stay blocked except inside ppoll, so a stop request never slips in between
    // the check of the flag and the wait.
    sigset_t blocked, previous, waiting;
    sigemptyset (&blocked);
    sigaddset (&blocked, SIGTERM);
    sigaddset (&blocked, SIGHUP);
    sigprocmask (SIG_BLOCK, &blocked, &previous);
    waiting = previous;
    sigdelset (&waiting, SIGTERM);
    sigdelset (&waiting, SIGHUP);

    std::vector<pollfd> fds;

    while (stopRequested == 0)
    {
        fds.clear();
        fds.push_back ({ listenFd, POLLIN, 0 });

        for (auto& connection : connections)
        {
            // An input channel is polled for reading too: that is where its end shows.
            short events = POLLIN;

            if (connection->outStart < connection->out.size())
                events |= POLLOUT;

            fds.push_back ({ connection->fd, events, 0 });
        }

        if (::ppoll (fds.data(), fds.size(), nullptr, &waiting) < 0)
        {
            if (errno == EINTR)
                continue;

            std::perror ("vfu-test-seq-broker: poll");
            break;
        }

        if ((fds[0].revents & POLLIN) != 0)
            acceptConnection();

        // Connections accepted just now were not polled; fds[i + 1] belongs to connections[i].
        for (size_t i = 0; i + 1 < fds.size() && i < connections.size(); ++i)
        {
            auto& connection = *connections[i];

            if (connection.closing)
                continue;

            if ((fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                readFrom (connection);

            if (! connection.closing && (fds[i + 1].revents & POLLOUT) != 0)
                writeTo (connection);
        }

        // Deliveries queued while reading are sent at once where the socket has room, the input
        // channels' first: when a sender has its answer, its events are with their receivers, as
        // in the kernel, where a write returns after the event is in the receiver's queue.
        for (auto inputs : { true, false })
            for (auto& connection : connections)
                if (connection->isInput == inputs && ! connection->closing && connection->outStart < connection->out.size())
                    writeTo (*connection);

        connections.erase (std::remove_if (connections.begin(), connections.end(),
                                           [] (const std::unique_ptr<Connection>& c)
                                           {
                                               if (! c->closing)
                                                   return false;

                                               ::close (c->fd);
                                               return true;
                                           }),
                           connections.end());
    }

    sigprocmask (SIG_SETMASK, &previous, nullptr);
}

void SeqBroker::acceptConnection()
{
    for (;;)
    {
        auto fd = ::accept4 (listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);

        if (fd < 0)
            return;

        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connections.push_back (std::move (connection));
    }
}

void SeqBroker::readFrom (Connection& connection)
{
    uint8_t chunk[64 * 1024];

    for (;;)
    {
        auto got = ::recv (connection.fd, chunk, sizeof (chunk), MSG_DONTWAIT);

        if (got > 0)
        {
            // An input channel carries nothing after its first frame.
            if (connection.isInput)
            {
                dropConnection (connection);
                return;
            }

            connection.in.insert (connection.in.end(), chunk, chunk + got);

            if ((size_t) got < sizeof (chunk))
                break;

            continue;
        }

        if (got < 0 && errno == EINTR)
            continue;

        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;

        dropConnection (connection);
        return;
    }

    size_t position = 0;

    while (! connection.closing && connection.in.size() - position >= sizeof (seqwire::FrameHeader))
    {
        seqwire::FrameHeader header {};
        std::memcpy (&header, connection.in.data() + position, sizeof (header));

        if (header.size > seqwire::maxFrameSize)
        {
            dropConnection (connection);
            return;
        }

        if (connection.in.size() - position - sizeof (header) < header.size)
            break;

        auto* body = connection.in.data() + position + sizeof (header);
        position += sizeof (header) + header.size;

        if (! handleFrame (connection, header.kind, body, header.size))
        {
            dropConnection (connection);
            return;
        }
    }

    connection.in.erase (connection.in.begin(), connection.in.begin() + (long) position);
}

void SeqBroker::writeTo (Connection& connection)
{
    while (connection.outStart < connection.out.size())
    {
        auto sent = ::send (connection.fd, connection.out.data() + connection.outStart,
                            connection.out.size() - connection.outStart, MSG_NOSIGNAL | MSG_DONTWAIT);

        if (sent < 0)
        {
            if (errno == EINTR)
                continue;

            if (errno != EAGAIN && errno != EWOULDBLOCK)
                dropConnection (connection);

            break;
        }

        connection.outStart += (size_t) sent;
    }

    if (connection.outStart == connection.out.size())
    {
        connection.out.clear();
        connection.outStart = 0;
    }
    else if (connection.outStart > (1u << 20))
    {
        connection.out.erase (connection.out.begin(), connection.out.begin() + (long) connection.outStart);
        connection.outStart = 0;
    }
}

void SeqBroker::reply (Connection& connection, uint32_t kind, int32_t result, const void* record, size_t recordSize)
{
    seqwire::FrameHeader header { (uint32_t) (sizeof (result) + recordSize), kind | seqwire::replyFlag };
    auto* headerBytes = reinterpret_cast<const uint8_t*> (&header);
    auto* resultBytes = reinterpret_cast<const uint8_t*> (&result);
    connection.out.insert (connection.out.end(), headerBytes, headerBytes + sizeof (header));
    connection.out.insert (connection.out.end(), resultBytes, resultBytes + sizeof (result));

    if (recordSize > 0)
    {
        auto* recordBytes = static_cast<const uint8_t*> (record);
        connection.out.insert (connection.out.end(), recordBytes, recordBytes + recordSize);
    }
}

bool SeqBroker::handleFrame (Connection& connection, uint32_t kind, const uint8_t* body, uint32_t size)
{
    // A frame's record, or false when the frame is too short for it.
    auto read = [body, size] (auto& record)
    {
        if (size < sizeof (record))
            return false;

        std::memcpy (&record, body, sizeof (record));
        return true;
    };

    if (connection.client < 0)
    {
        if (kind == seqwire::openClient)
        {
            seqwire::OpenRequest open {};
            seqwire::OpenReply opened {};

            if (! read (open))
                return false;

            auto result = openClient (connection, open, opened);
            reply (connection, kind, result, &opened, sizeof (opened));
            return true;
        }

        if (kind == seqwire::attachInput)
        {
            seqwire::AttachRequest attach {};

            if (! read (attach))
                return false;

            auto result = attachInput (connection, attach);
            reply (connection, kind, result);
            return result == 0;
        }

        return false;
    }

    auto* client = findClient (connection.client);

    if (client == nullptr)
        return false;

    switch (kind)
    {
        case seqwire::closeClient:
            reply (connection, kind, 0);
            removeClient (client->number);
            return true;

        case seqwire::setClientName:
        {
            char name[seqwire::nameLength] {};

            if (! read (name))
                return false;

            client->name = nameOf (name);
            reply (connection, kind, 0);
            announce (SND_SEQ_EVENT_CLIENT_CHANGE, client->number, 0);
            return true;
        }

        case seqwire::setClientInfo:
        {
            _snd_seq_client_info info {};

            if (! read (info))
                return false;

            // As the kernel: only its own information; an empty name leaves the name as it is.
            if (info.client != client->number)
            {
                reply (connection, kind, -EPERM);
                return true;
            }

            if (info.name[0] != 0)
                client->name = nameOf (info.name);

            client->filter = info.filter;
            std::memcpy (client->eventFilter, info.eventFilter, sizeof (client->eventFilter));
            reply (connection, kind, 0);
            announce (SND_SEQ_EVENT_CLIENT_CHANGE, client->number, 0);
            return true;
        }

        case seqwire::clientInfo:
        {
            seqwire::ClientQuery query {};
            _snd_seq_client_info info {};

            if (! read (query))
                return false;

            auto result = fillClientInfo (query.client, query.next != 0, info);
            reply (connection, kind, result, &info, sizeof (info));
            return true;
        }

        case seqwire::systemInfo:
        {
            _snd_seq_system_info info {};
            info.queues = 32;
            info.clients = seqwire::maxClients;
            info.ports = seqwire::maxPorts;
            info.channels = 256;
            info.curClients = (int) clients.size();
            info.curQueues = 0;
            reply (connection, kind, 0, &info, sizeof (info));
            return true;
        }

        case seqwire::createPort:
        {
            _snd_seq_port_info info {};

            if (! read (info))
                return false;

            auto result = createPort (*client, info);
            reply (connection, kind, result, &info, sizeof (info));
            return true;
        }

        case seqwire::deletePort:
        {
            int32_t port = 0;

            if (! read (port))
                return false;

            auto found = client->ports.find (port);
            auto result = found != client->ports.end() ? 0 : -ENOENT;

            reply (connection, kind, result);

            if (result == 0)
            {
                // As the kernel's request: the connections go first, then the port is announced gone.
                removeSubscriptionsOf ({ (unsigned char) client->number, (unsigned char) port });
                client->ports.erase (port);
                announce (SND_SEQ_EVENT_PORT_EXIT, client->number, port);
            }

            return true;
        }

        case seqwire::setPortInfo:
        {
            _snd_seq_port_info info {};

            if (! read (info))
                return false;

            auto found = client->ports.find (info.addr.port);
            auto result = found != client->ports.end() ? 0 : -ENOENT;

            if (result == 0)
            {
                auto& port = found->second.info;
                std::memcpy (port.name, info.name, sizeof (port.name));
                port.name[seqwire::nameLength - 1] = 0;
                port.capability = info.capability;
                port.type = info.type;
                port.midiChannels = info.midiChannels;
                port.midiVoices = info.midiVoices;
                port.synthVoices = info.synthVoices;
            }

            reply (connection, kind, result);

            if (result == 0)
                announce (SND_SEQ_EVENT_PORT_CHANGE, client->number, info.addr.port);

            return true;
        }

        case seqwire::portInfo:
        {
            seqwire::PortQuery query {};
            _snd_seq_port_info info {};

            if (! read (query))
                return false;

            auto result = fillPortInfo (query.client, query.port, query.next != 0, info);
            reply (connection, kind, result, &info, sizeof (info));
            return true;
        }

        case seqwire::subscribe:
        case seqwire::unsubscribe:
        case seqwire::getSubscription:
        {
            _snd_seq_port_subscribe sub {};

            if (! read (sub))
                return false;

            int result = 0;

            if (kind == seqwire::subscribe)
                result = subscribe (*client, sub);
            else if (kind == seqwire::unsubscribe)
                result = unsubscribe (*client, sub);
            else
            {
                auto found = std::find_if (subscriptions.begin(), subscriptions.end(), [&sub] (const Subscription& s)
                                           { return sameAddress (s.sender, sub.sender) && sameAddress (s.dest, sub.dest); });
                result = found != subscriptions.end() ? 0 : -ENOENT;

                if (result == 0)
                {
                    sub.flags = found->flags;
                    sub.queue = found->queue;
                }
            }

            reply (connection, kind, result, &sub, sizeof (sub));

            if (result == 0 && kind != seqwire::getSubscription)
            {
                snd_seq_event_t announcement {};
                announcement.type = kind == seqwire::subscribe ? SND_SEQ_EVENT_PORT_SUBSCRIBED : SND_SEQ_EVENT_PORT_UNSUBSCRIBED;
                announcement.data.connect = { sub.sender, sub.dest };
                announceEvent (announcement, { SND_SEQ_ADDRESS_SUBSCRIBERS, 0 });
            }

            return true;
        }

        case seqwire::querySubscribers:
        {
            _snd_seq_query_subscribe query {};

            if (! read (query))
                return false;

            auto result = querySubscribers (query);
            reply (connection, kind, result, &query, sizeof (query));
            return true;
        }

        case seqwire::outputEvent:
            reply (connection, kind, outputEvent (*client, body, size));
            return true;

        case seqwire::clearInput:
            clearInput (*client);
            reply (connection, kind, 0);
            return true;

        case seqwire::eventsRead:
        {
            seqwire::EventsRead taken {};

            if (! read (taken))
                return false;

            eventsRead (*client, taken);
            reply (connection, kind, 0);
            return true;
        }

        case seqwire::getClientPool:
        case seqwire::setClientPool:
        {
            _snd_seq_client_pool pool {};
            int result = 0;

            if (kind == seqwire::setClientPool)
            {
                if (! read (pool))
                    return false;

                result = setClientPool (*client, pool);
            }

            if (result == 0)
                fillClientPool (*client, pool);

            reply (connection, kind, result, &pool, sizeof (pool));
            return true;
        }

        default:
            return false;
    }
}

//==============================================================================
int SeqBroker::openClient (Connection& connection, const seqwire::OpenRequest& open, seqwire::OpenReply& opened)
{
    int number = seqwire::firstUserClient;

    if (open.client >= 0)
    {
        // A card's number, asked for: never one that programs are given.
        if (open.client < seqwire::firstCardClient || open.client >= seqwire::firstUserClient)
            return -EINVAL;

        if (clients.count (open.client) != 0)
            return -EBUSY;

        number = open.client;
    }

    while (number < seqwire::maxClients && clients.count (number) != 0)
        ++number;

    if (number >= seqwire::maxClients)
        return -ENOMEM;

    Client& client = clients[number];
    client.number = number;
    client.name = "Client-" + std::to_string (number);
    client.pid = open.pid;
    client.streams = open.streams;
    client.token = nextToken++ * 0x9e3779b97f4a7c15ull;
    client.requests = &connection;
    connection.client = number;

    opened.client = number;
    opened.token = client.token;
    announce (SND_SEQ_EVENT_CLIENT_START, number, 0);
    return 0;
}

int SeqBroker::attachInput (Connection& connection, const seqwire::AttachRequest& attach)
{
    auto* client = findClient (attach.client);

    if (client == nullptr || client->type != SND_SEQ_USER_CLIENT || client->token != attach.token
        || client->input != nullptr)
        return -EPERM;

    client->input = &connection;
    connection.client = client->number;
    connection.isInput = true;
    return 0;
}

int SeqBroker::fillClientInfo (int number, bool next, _snd_seq_client_info& info) const
{
    auto found = next ? clients.upper_bound (number) : clients.find (number);

    if (found == clients.end())
        return -ENOENT;

    const Client& client = found->second;
    info = {};
    info.client = client.number;
    info.type = client.type;
    setName (info.name, client.name);
    info.numPorts = (int) client.ports.size();
    info.eventLost = client.eventLost;
    info.filter = client.filter;
    std::memcpy (info.eventFilter, client.eventFilter, sizeof (info.eventFilter));
    info.card = -1;
    info.pid = client.pid;
    return 0;
}

int SeqBroker::fillPortInfo (int clientNumber, int port, bool next, _snd_seq_port_info& info) const
{
    auto* client = findClient (clientNumber);

    if (client == nullptr)
        return -ENXIO;

    auto found = next ? client->ports.upper_bound (port) : client->ports.find (port);

    if (found == client->ports.end())
        return -ENOENT;

    info = found->second.info;
    return 0;
}

int SeqBroker::createPort (Client& client, _snd_seq_port_info& info)
{
    int number = 0;

    if ((info.flags & seqPortGivenPort) != 0)
    {
        number = info.addr.port;

        if (number >= seqwire::maxPorts)
            return -EINVAL;

        if (client.ports.count (number) != 0)
            return -EBUSY;
    }
    else
    {
        while (number < seqwire::maxPorts && client.ports.count (number) != 0)
            ++number;

        if (number >= seqwire::maxPorts)
            return -ENOMEM;
    }

    info.addr = { (unsigned char) client.number, (unsigned char) number };
    info.name[seqwire::nameLength - 1] = 0;
    info.readUse = 0;
    info.writeUse = 0;
    client.ports[number].info = info;
    announce (SND_SEQ_EVENT_PORT_START, client.number, number);
    return 0;
}

int SeqBroker::subscribe (const Client& requester, const _snd_seq_port_subscribe& sub)
{
    auto* sender = findPort (sub.sender);
    auto* dest = findPort (sub.dest);

    if (sender == nullptr || dest == nullptr)
        return -EINVAL;

    auto has = [] (const Port* port, unsigned int caps) { return (port->info.capability & caps) == caps; };

    // As in the kernel: a client may always connect its own ports; a third party needs the
    // subscription capabilities and ports that allow export.
    if (requester.number != sub.sender.client && requester.number != sub.dest.client
        && (has (sender, SND_SEQ_PORT_CAP_NO_EXPORT) || has (dest, SND_SEQ_PORT_CAP_NO_EXPORT)))
        return -EPERM;

    if (requester.number != sub.sender.client && ! has (sender, readPermission))
        return -EPERM;

    if (requester.number != sub.dest.client && ! has (dest, writePermission))
        return -EPERM;

    for (auto& existing : subscriptions)
        if (sameAddress (existing.sender, sub.sender) && sameAddress (existing.dest, sub.dest))
            return -EBUSY;

    subscriptions.push_back ({ sub.sender, sub.dest, sub.flags, sub.queue });
    ++sender->info.readUse;
    ++dest->info.writeUse;

    // The owner of a port that another client connected is told so at that port.
    if (requester.number != sub.sender.client)
        notifySubscription (SND_SEQ_EVENT_PORT_SUBSCRIBED, sub.sender, subscriptions.back());

    if (requester.number != sub.dest.client)
        notifySubscription (SND_SEQ_EVENT_PORT_SUBSCRIBED, sub.dest, subscriptions.back());

    return 0;
}

int SeqBroker::unsubscribe (const Client& requester, const _snd_seq_port_subscribe& sub)
{
    auto found = std::find_if (subscriptions.begin(), subscriptions.end(), [&sub] (const Subscription& s)
                               { return sameAddress (s.sender, sub.sender) && sameAddress (s.dest, sub.dest); });

    if (found == subscriptions.end())
        return -ENOENT;

    if (auto* sender = findPort (found->sender))
        --sender->info.readUse;

    if (auto* dest = findPort (found->dest))
        --dest->info.writeUse;

    const auto removed = *found;
    subscriptions.erase (found);
    unsubscribeEnds (removed, requester.number);
    return 0;
}

void SeqBroker::unsubscribeEnds (const Subscription& removed, int requester)
{
    // The owners of its ends other than the requester are told at their ports.
    if (requester != removed.sender.client)
        notifySubscription (SND_SEQ_EVENT_PORT_UNSUBSCRIBED, removed.sender, removed);

    if (requester != removed.dest.client)
        notifySubscription (SND_SEQ_EVENT_PORT_UNSUBSCRIBED, removed.dest, removed);
}

int SeqBroker::querySubscribers (_snd_seq_query_subscribe& query) const
{
    std::vector<const Subscription*> matching;

    for (auto& s : subscriptions)
        if (sameAddress (query.type == SND_SEQ_QUERY_SUBS_READ ? s.sender : s.dest, query.root))
            matching.push_back (&s);

    query.numSubs = (int) matching.size();

    if (query.index < 0 || query.index >= query.numSubs)
        return -ENOENT;

    auto& s = *matching[(size_t) query.index];
    query.addr = query.type == SND_SEQ_QUERY_SUBS_READ ? s.dest : s.sender;
    query.flags = s.flags;
    query.queue = s.queue;
    return 0;
}

//==============================================================================
int SeqBroker::outputEvent (Client& client, const uint8_t* body, uint32_t size)
{
    if (size < sizeof (snd_seq_event_t))
        return -EINVAL;

    snd_seq_event_t event {};
    std::memcpy (&event, body, sizeof (event));
    const auto* data = body + sizeof (event);
    auto dataSize = size - (uint32_t) sizeof (event);

    auto declaredSize = isVariable (event) ? (event.data.ext.len & seqwire::extLengthBits) : 0u;

    if (declaredSize != dataSize)
        return -EINVAL;

    event.source.client = (unsigned char) client.number;

    if (event.dest.client == SND_SEQ_ADDRESS_SUBSCRIBERS)
    {
        if (client.ports.count (event.source.port) == 0)
            return -EINVAL;

        return deliverToSubscribers (event, data, dataSize, 0);
    }

    if (event.dest.client == SND_SEQ_ADDRESS_BROADCAST)
        return 0; // broadcasts are not simulated

    return deliver (event, data, dataSize, event.dest, 0);
}

int SeqBroker::deliverToSubscribers (const snd_seq_event_t& event, const uint8_t* data, uint32_t dataSize, int hops)
{
    // Every subscriber gets the event; the first failure is the sender's answer.
    int result = 0;
    auto targets = subscriptions;

    for (auto& s : targets)
    {
        if (! sameAddress (s.sender, event.source))
            continue;

        auto delivered = deliver (event, data, dataSize, s.dest, hops);

        if (delivered < 0 && result == 0)
            result = delivered;
    }

    return result;
}

int SeqBroker::deliver (const snd_seq_event_t& event, const uint8_t* data, uint32_t dataSize, const snd_seq_addr_t& dest,
                        int hops)
{
    // In the kernel's order: the client must take input at all (and this type of event), the
    // port must exist and allow writes (on every delivery, through a subscription too), then the
    // receiver's pool decides.
    auto* client = findClient (dest.client);

    if (client == nullptr || (client->type == SND_SEQ_USER_CLIENT && (client->streams & SND_SEQ_OPEN_INPUT) == 0))
        return -ENOENT;

    // An event its filter leaves out finds no receiver at all, as in the kernel.
    if ((client->filter & seqFilterUseEvent) != 0 && (client->eventFilter[event.type >> 3] & (1u << (event.type & 7))) == 0)
        return -ENOENT;

    auto port = client->ports.find (dest.port);

    if (port == client->ports.end())
        return -ENOENT;

    if ((port->second.info.capability & SND_SEQ_PORT_CAP_WRITE) == 0)
        return -EPERM;

    // "Midi Through" sends on what it receives, from its own port; a loop of throughs ends
    // as the kernel ends it.
    if (client->number == midiThroughClient && client->type == SND_SEQ_KERNEL_CLIENT)
    {
        if (hops >= maxHops)
            return -EMLINK;

        snd_seq_event_t passed = event;
        passed.source = dest;
        passed.dest = { SND_SEQ_ADDRESS_SUBSCRIBERS, 0 };
        return deliverToSubscribers (passed, data, dataSize, hops + 1);
    }

    // The system client takes queue and timer control, which is not simulated; a reader whose
    // channel is not attached yet (its open has not returned) cannot have been addressed.
    if (client->type != SND_SEQ_USER_CLIENT || client->input == nullptr)
        return 0;

    const auto extraCells = isVariable (event) ? seqwire::extraCellsFor (dataSize) : 0;

    // Either refusal also marks the receiver's queue overflowed, as the kernel's fifo does.
    if (extraCells >= client->inputPool)
    {
        ++client->eventLost;
        markOverflow (*client);
        return -ENOMEM;
    }

    if (client->inputPool - client->inputUsed < 1 + extraCells)
    {
        ++client->eventLost;
        markOverflow (*client);
        return -EAGAIN;
    }

    client->inputUsed += 1 + extraCells;
    client->unreadCells.push_back (1 + extraCells);

    snd_seq_event_t delivered = event;
    delivered.dest = dest;
    delivered.queue = SND_SEQ_QUEUE_DIRECT;
    queueDelivery (*client, delivered, data, dataSize);
    return 0;
}

void SeqBroker::eventsRead (Client& client, const seqwire::EventsRead& read)
{
    // Words about events delivered before the pool was last resized are stale: those cells
    // went with the old pool.
    if (read.generation != client.poolGeneration)
        return;

    for (uint32_t i = 0; i < read.count && ! client.unreadCells.empty(); ++i)
    {
        client.inputUsed -= client.unreadCells.front();
        client.unreadCells.pop_front();
    }
}

int SeqBroker::setClientPool (Client& client, const _snd_seq_client_pool& pool)
{
    // As the kernel: only its own pools; sizes out of range are ignored, not refused.
    if (pool.client != client.number)
        return -EINVAL;

    if (pool.outputPool >= 1 && pool.outputPool <= seqwire::maxOutputPool)
        client.outputPool = pool.outputPool;

    // A new input pool replaces the old one, and the events still unread in it are lost.
    if ((client.streams & SND_SEQ_OPEN_INPUT) != 0 && pool.inputPool >= 1 && pool.inputPool <= seqwire::maxInputPool
        && pool.inputPool != client.inputPool)
    {
        client.inputPool = pool.inputPool;
        client.inputUsed = 0;
        client.unreadCells.clear();

        if (client.input != nullptr)
        {
            ++client.poolGeneration;
            sendToInput (client, seqwire::poolReset);
        }
    }

    if (pool.outputRoom >= 1 && pool.outputRoom <= client.outputPool)
        client.outputRoom = pool.outputRoom;

    return 0;
}

void SeqBroker::fillClientPool (const Client& client, _snd_seq_client_pool& pool) const
{
    pool = {};
    pool.client = client.number;
    pool.outputPool = client.outputPool;
    pool.outputRoom = client.outputRoom;
    pool.outputFree = client.outputPool;
    pool.inputPool = (client.streams & SND_SEQ_OPEN_INPUT) != 0 ? client.inputPool : 0;
    pool.inputFree = pool.inputPool - client.inputUsed;
}

void SeqBroker::sendToInput (Client& client, uint32_t kind)
{
    seqwire::FrameHeader header { 0, kind };
    auto* bytes = reinterpret_cast<const uint8_t*> (&header);
    client.input->out.insert (client.input->out.end(), bytes, bytes + sizeof (header));
}

void SeqBroker::markOverflow (Client& client)
{
    // Once until the queue is cleared: the kernel counts refusals, and its next read reports
    // them all with one -ENOSPC. A pool resize does not clear the mark, as in the kernel.
    if (client.overflowed || client.input == nullptr)
        return;

    client.overflowed = true;
    sendToInput (client, seqwire::inputOverflow);
}

void SeqBroker::clearInput (Client& client)
{
    // Everything delivered so far goes, read or not; the reader drops what it holds of it up to
    // the inputCleared frame, and its later words about those events are stale.
    client.overflowed = false;
    client.inputUsed = 0;
    client.unreadCells.clear();

    if (client.input != nullptr)
    {
        ++client.poolGeneration;
        sendToInput (client, seqwire::inputCleared);
    }
}

void SeqBroker::queueDelivery (Client& client, const snd_seq_event_t& event, const uint8_t* data, uint32_t dataSize)
{
    snd_seq_event_t wire = event;

    if (isVariable (wire))
    {
        wire.flags = (unsigned char) ((wire.flags & ~SND_SEQ_EVENT_LENGTH_MASK) | SND_SEQ_EVENT_LENGTH_VARIABLE);
        wire.data.ext.len = dataSize;
        wire.data.ext.ptr = nullptr;
    }

    seqwire::FrameHeader header { (uint32_t) (sizeof (wire) + dataSize), seqwire::deliveredEvent };
    auto& out = client.input->out;
    auto* headerBytes = reinterpret_cast<const uint8_t*> (&header);
    auto* eventBytes = reinterpret_cast<const uint8_t*> (&wire);
    out.insert (out.end(), headerBytes, headerBytes + sizeof (header));
    out.insert (out.end(), eventBytes, eventBytes + sizeof (wire));
    out.insert (out.end(), data, data + dataSize);
}

//==============================================================================
void SeqBroker::dropConnection (Connection& connection)
{
    if (connection.closing)
        return;

    connection.closing = true;

    if (connection.client >= 0)
        removeClient (connection.client);
}

void SeqBroker::removeClient (int number)
{
    auto* client = findClient (number);

    if (client == nullptr || number == SND_SEQ_CLIENT_SYSTEM)
        return;

    // As the kernel: all its ports leave the client at once; then each is announced gone and
    // its connections go, whose other ends' owners are told (not this client: its ports are gone).
    const auto ports = std::move (client->ports);
    client->ports.clear();

    for (auto& port : ports)
    {
        announce (SND_SEQ_EVENT_PORT_EXIT, number, port.first);
        removeSubscriptionsOf ({ (unsigned char) number, (unsigned char) port.first });
    }

    // Both channels end with the client; a reply already queued on the request channel is
    // still sent before the handle's owner closes it.
    if (client->input != nullptr)
    {
        client->input->client = -1;
        client->input->closing = true;
    }

    if (client->requests != nullptr)
        client->requests->client = -1;

    clients.erase (number);
    announce (SND_SEQ_EVENT_CLIENT_EXIT, number, 0);
}

void SeqBroker::announceEvent (snd_seq_event_t event, const snd_seq_addr_t& to)
{
    // As the kernel's system client: a fixed-length event from its announcement port, to whoever
    // subscribed to it or to one port. A receiver whose pool is full loses it, and its queue
    // counts as overflowed as for any other event.
    event.flags = SND_SEQ_EVENT_LENGTH_FIXED;
    event.queue = SND_SEQ_QUEUE_DIRECT;
    event.source = { SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE };
    event.dest = to;

    if (to.client == SND_SEQ_ADDRESS_SUBSCRIBERS)
        deliverToSubscribers (event, nullptr, 0, 0);
    else
        deliver (event, nullptr, 0, to, 0);
}

void SeqBroker::announce (int type, int client, int port)
{
    snd_seq_event_t event {};
    event.type = (snd_seq_event_type_t) type;
    event.data.addr = { (unsigned char) client, (unsigned char) port };
    announceEvent (event, { SND_SEQ_ADDRESS_SUBSCRIBERS, 0 });
}

void SeqBroker::notifySubscription (int type, const snd_seq_addr_t& to, const Subscription& subscription)
{
    // Only programs are told (the kernel's own clients have other means), at the port itself,
    // which takes it only if it can be written to.
    auto* owner = findClient (to.client);

    if (owner == nullptr || owner->type != SND_SEQ_USER_CLIENT)
        return;

    snd_seq_event_t event {};
    event.type = (snd_seq_event_type_t) type;
    event.data.connect = { subscription.sender, subscription.dest };
    announceEvent (event, to);
}

void SeqBroker::removeSubscriptionsOf (const snd_seq_addr_t& address)
{
    std::vector<Subscription> removed;

    for (auto it = subscriptions.begin(); it != subscriptions.end();)
    {
        if (sameAddress (it->sender, address) || sameAddress (it->dest, address))
        {
            if (auto* sender = findPort (it->sender))
                --sender->info.readUse;

            if (auto* dest = findPort (it->dest))
                --dest->info.writeUse;

            removed.push_back (*it);
            it = subscriptions.erase (it);
        }
        else
        {
            ++it;
        }
    }

    // The other end's owner is told at its port, if that port is still there; nobody else is:
    // the kernel announces no connection that goes with its port.
    for (auto& subscription : removed)
    {
        const auto& other = sameAddress (subscription.sender, address) ? subscription.dest : subscription.sender;

        if (findPort (other) != nullptr)
            notifySubscription (SND_SEQ_EVENT_PORT_UNSUBSCRIBED, other, subscription);
    }
}

SeqBroker::Client* SeqBroker::findClient (int number)
{
    auto found = clients.find (number);
    return found != clients.end() ? &found->second : nullptr;
}

const SeqBroker::Client* SeqBroker::findClient (int number) const
{
    auto found = clients.find (number);
    return found != clients.end() ? &found->second : nullptr;
}

SeqBroker::Port* SeqBroker::findPort (const snd_seq_addr_t& address)
{
    auto* client = findClient (address.client);

    if (client == nullptr)
        return nullptr;

    auto found = client->ports.find (address.port);
    return found != client->ports.end() ? &found->second : nullptr;
}
