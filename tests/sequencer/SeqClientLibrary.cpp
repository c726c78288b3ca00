// The ALSA sequencer's client API, answered by the test sequencer's broker instead of the
// kernel. Preloaded in front of libasound, it defines the snd_seq_* functions only; the rest
// of libasound (the MIDI byte encoders and decoders among them) stays the real one.
//
// Each handle holds two connections to the broker: requests and their replies under the
// handle's request lock, and a one-way channel of delivered events, whose socket is the
// handle's poll descriptor and is read under the handle's input lock. Without a broker the
// open fails as it does on a machine without /dev/snd/seq.

#include "SeqWire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define SEQ_API extern "C" __attribute__((visibility ("default")))

struct _snd_seq
{
    std::string name;
    int streams = 0;
    int client = -1;
    int requestFd = -1;
    int inputFd = -1;
    int quietPeer = -1; // keeps a dead input channel's stand-in socket silent, see markInputDead
    bool requestBroken = false;
    std::atomic<bool> nonblocking { false };

    std::mutex requestLock;

    std::mutex inputLock;
    std::vector<uint8_t> inputBuffer;
    std::vector<uint8_t> inputChunk; // what one recv() takes; sized once, not cleared on every read
    size_t inputStart = 0;
    bool inputDead = false;
    uint32_t poolGeneration = 0; // poolReset frames seen on the input channel
    bool overflowPending = false; // an inputOverflow frame came: the next read reports -ENOSPC
    snd_seq_event_t currentEvent {};
    std::vector<uint8_t> currentData;
};

namespace
{

bool writeAll (int fd, const void* data, size_t size)
{
    auto* bytes = static_cast<const uint8_t*> (data);

    while (size > 0)
    {
        auto written = ::send (fd, bytes, size, MSG_NOSIGNAL);

        if (written < 0)
        {
            if (errno == EINTR)
                continue;

            return false;
        }

        bytes += written;
        size -= (size_t) written;
    }

    return true;
}

bool readAll (int fd, void* data, size_t size)
{
    auto* bytes = static_cast<uint8_t*> (data);

    while (size > 0)
    {
        auto got = ::recv (fd, bytes, size, 0);

        if (got < 0 && errno == EINTR)
            continue;

        if (got <= 0)
            return false;

        bytes += got;
        size -= (size_t) got;
    }

    return true;
}

int connectToBroker()
{
    auto* path = std::getenv (seqwire::socketVariable);

    if (path == nullptr || *path == 0)
        return -1;

    sockaddr_un address {};
    address.sun_family = AF_UNIX;

    if (std::strlen (path) >= sizeof (address.sun_path))
        return -1;

    std::strcpy (address.sun_path, path);

    auto fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);

    if (fd < 0)
        return -1;

    if (::connect (fd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) != 0)
    {
        ::close (fd);
        return -1;
    }

    return fd;
}

bool sendFrame (int fd, uint32_t kind, const void* head, size_t headSize, const void* tail = nullptr, size_t tailSize = 0)
{
    seqwire::FrameHeader header { (uint32_t) (headSize + tailSize), kind };

    return writeAll (fd, &header, sizeof (header))
        && (headSize == 0 || writeAll (fd, head, headSize))
        && (tailSize == 0 || writeAll (fd, tail, tailSize));
}

// Reads the reply to a request of `kind`: its result, and up to replySize bytes of record.
int readReply (int fd, uint32_t kind, void* reply, size_t replySize)
{
    seqwire::FrameHeader header {};

    if (! readAll (fd, &header, sizeof (header))
        || header.kind != (kind | seqwire::replyFlag)
        || header.size < sizeof (int32_t)
        || header.size > seqwire::maxReplySize)
        return -EPIPE;

    std::vector<uint8_t> payload (header.size);

    if (! readAll (fd, payload.data(), payload.size()))
        return -EPIPE;

    int32_t result = 0;
    std::memcpy (&result, payload.data(), sizeof (result));

    if (reply != nullptr)
        std::memcpy (reply, payload.data() + sizeof (result), std::min (replySize, payload.size() - sizeof (result)));

    return result;
}

int request (snd_seq_t* seq, uint32_t kind, const void* body, size_t bodySize, void* reply = nullptr, size_t replySize = 0,
             const void* tail = nullptr, size_t tailSize = 0)
{
    if (seq == nullptr)
        return -EINVAL;

    std::lock_guard<std::mutex> lock (seq->requestLock);

    if (seq->requestFd < 0 || seq->requestBroken)
        return -EPIPE;

    auto result = sendFrame (seq->requestFd, kind, body, bodySize, tail, tailSize)
                      ? readReply (seq->requestFd, kind, reply, replySize)
                      : -EPIPE;

    // A frame sent or read only in part leaves the stream out of step: every later request
    // fails too, rather than being misread.
    if (result == -EPIPE)
    {
        seq->requestBroken = true;
        ::shutdown (seq->requestFd, SHUT_RDWR);
    }

    return result;
}

void copyName (char* target, const char* name)
{
    std::memset (target, 0, seqwire::nameLength);

    if (name != nullptr)
        std::strncpy (target, name, seqwire::nameLength - 1);
}

size_t variableLength (const snd_seq_event_t& event)
{
    auto lengthKind = event.flags & SND_SEQ_EVENT_LENGTH_MASK;

    if (lengthKind == SND_SEQ_EVENT_LENGTH_VARIABLE || lengthKind == SND_SEQ_EVENT_LENGTH_VARUSR)
        return event.data.ext.len & seqwire::extLengthBits;

    return 0;
}

//==============================================================================
// The input channel. Called with the handle's input lock held.

// A reader whose broker has gone must not find its poll descriptor readable forever: that
// would turn every poll loop into a spin. The descriptor's number is kept (callers hold it)
// but now names a socket nobody ever writes to.
void markInputDead (snd_seq_t* seq)
{
    if (seq->inputDead)
        return;

    seq->inputDead = true;
    int pair[2];

    if (::socketpair (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0)
    {
        ::dup3 (pair[0], seq->inputFd, O_CLOEXEC);
        ::close (pair[0]);
        seq->quietPeer = pair[1];
    }
}

// The number of whole frames waiting in the buffer; a malformed frame ends the channel.
int bufferedFrames (snd_seq_t* seq)
{
    int frames = 0;
    auto position = seq->inputStart;

    while (seq->inputBuffer.size() - position >= sizeof (seqwire::FrameHeader))
    {
        seqwire::FrameHeader header {};
        std::memcpy (&header, seq->inputBuffer.data() + position, sizeof (header));

        if (header.kind != seqwire::deliveredEvent || header.size < sizeof (snd_seq_event_t)
            || header.size > seqwire::maxFrameSize)
        {
            seq->inputBuffer.resize (seq->inputStart);
            markInputDead (seq);
            break;
        }

        if (seq->inputBuffer.size() - position - sizeof (header) < header.size)
            break;

        position += sizeof (header) + header.size;
        ++frames;
    }

    return frames;
}

// Tells the broker that the reader has taken that many events: their cells in its input pool
// are free again, as the kernel frees them when a program reads. A request with its reply, so
// that the cells are free when the read returns, as they are in the kernel.
void reportRead (snd_seq_t* seq, uint32_t count)
{
    if (count == 0 || seq->inputDead)
        return;

    seqwire::EventsRead read { count, seq->poolGeneration };
    request (seq, seqwire::eventsRead, &read, sizeof (read));
}

// A poolReset frame means the pool was replaced, an inputCleared frame that the queue was
// cleared (with the overflow marked before it): every event buffered before either is gone. An
// inputOverflow frame means the broker refused an event for this client: the next read drops
// the whole queue, so what came before it is gone already, and what came after it goes with the
// queue (the broker's clear answers with an inputCleared frame after it).
void applyPoolResets (snd_seq_t* seq)
{
    auto position = seq->inputStart;
    auto keepFrom = seq->inputStart;

    while (seq->inputBuffer.size() - position >= sizeof (seqwire::FrameHeader))
    {
        seqwire::FrameHeader header {};
        std::memcpy (&header, seq->inputBuffer.data() + position, sizeof (header));

        if (header.size > seqwire::maxFrameSize || seq->inputBuffer.size() - position - sizeof (header) < header.size)
            break;

        position += sizeof (header) + header.size;

        if (header.kind == seqwire::poolReset || header.kind == seqwire::inputCleared)
        {
            keepFrom = position;
            ++seq->poolGeneration;

            if (header.kind == seqwire::inputCleared)
                seq->overflowPending = false;
        }
        else if (header.kind == seqwire::inputOverflow)
        {
            keepFrom = position;
            seq->overflowPending = true;
        }
    }

    seq->inputStart = keepFrom;
}

// Reads what the socket holds without waiting. False once the channel has ended.
bool fillInput (snd_seq_t* seq)
{
    if (seq->inputDead)
        return false;

    if (seq->inputStart > 0 && seq->inputStart == seq->inputBuffer.size())
    {
        seq->inputBuffer.clear();
        seq->inputStart = 0;
    }
    else if (seq->inputStart > (1u << 20))
    {
        seq->inputBuffer.erase (seq->inputBuffer.begin(), seq->inputBuffer.begin() + (long) seq->inputStart);
        seq->inputStart = 0;
    }

    constexpr size_t chunk = 64 * 1024;
    seq->inputChunk.resize (chunk);

    for (;;)
    {
        // Into a buffer of its own: a reader that looks for input often must not pay for
        // clearing 64 KiB each time it finds none.
        auto got = ::recv (seq->inputFd, seq->inputChunk.data(), chunk, MSG_DONTWAIT);

        if (got > 0)
            seq->inputBuffer.insert (seq->inputBuffer.end(), seq->inputChunk.begin(), seq->inputChunk.begin() + got);

        if (got > 0)
        {
            if ((size_t) got < chunk)
            {
                applyPoolResets (seq);
                return true;
            }

            continue;
        }

        if (got < 0 && errno == EINTR)
            continue;

        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            applyPoolResets (seq);
            return true;
        }

        markInputDead (seq);
        return false;
    }
}

// Drops the client's whole queue, as the kernel clears its fifo: the broker frees every cell
// and sends an inputCleared frame; everything before that frame goes. The wait ends when the frame
// has come, which the broker sent before it answered, or when the channel has ended.
void clearQueue (snd_seq_t* seq)
{
    seq->overflowPending = false;

    if (seq->inputDead || seq->inputFd < 0)
        return;

    const auto generation = seq->poolGeneration;

    if (request (seq, seqwire::clearInput, nullptr, 0) < 0)
        return;

    while (fillInput (seq) && seq->poolGeneration == generation)
    {
        pollfd pfd { seq->inputFd, POLLIN, 0 };

        if (::poll (&pfd, 1, -1) < 0 && errno != EINTR)
            return;
    }
}

// The kernel's answer to a read after an overflow: the queue is dropped, once.
bool takeOverflow (snd_seq_t* seq)
{
    if (! seq->overflowPending)
        return false;

    clearQueue (seq);
    return true;
}

void takeFrame (snd_seq_t* seq)
{
    seqwire::FrameHeader header {};
    auto* start = seq->inputBuffer.data() + seq->inputStart;
    std::memcpy (&header, start, sizeof (header));
    std::memcpy (&seq->currentEvent, start + sizeof (header), sizeof (snd_seq_event_t));

    auto dataSize = header.size - sizeof (snd_seq_event_t);
    seq->currentData.assign (start + sizeof (header) + sizeof (snd_seq_event_t),
                             start + sizeof (header) + header.size);
    seq->inputStart += sizeof (header) + header.size;

    auto& event = seq->currentEvent;

    if (dataSize > 0 || variableLength (event) > 0)
    {
        event.flags = (unsigned char) ((event.flags & ~SND_SEQ_EVENT_LENGTH_MASK) | SND_SEQ_EVENT_LENGTH_VARIABLE);
        event.data.ext.len = (unsigned int) dataSize;
        event.data.ext.ptr = seq->currentData.data();
    }

    reportRead (seq, 1);
}

} // namespace

//==============================================================================
SEQ_API int snd_seq_open (snd_seq_t** handle, const char* name, int streams, int mode)
{
    if (handle == nullptr)
        return -EINVAL;

    *handle = nullptr;

    if (name == nullptr || (std::strcmp (name, "default") != 0 && std::strcmp (name, "hw") != 0))
        return -ENOENT;

    if ((streams & ~SND_SEQ_OPEN_DUPLEX) != 0 || (streams & SND_SEQ_OPEN_DUPLEX) == 0)
        return -EINVAL;

    // A fixed client number, when the program was started with one (see seqwire::clientVariable).
    int32_t wantedClient = -1;

    if (auto* text = std::getenv (seqwire::clientVariable); text != nullptr && *text != 0)
    {
        char* end = nullptr;
        const auto value = std::strtol (text, &end, 10);

        if (*end != 0 || value < seqwire::firstCardClient || value >= seqwire::firstUserClient)
            return -EINVAL;

        wantedClient = (int32_t) value;
    }

    auto requestFd = connectToBroker();

    if (requestFd < 0)
        return -ENOENT; // as without /dev/snd/seq

    auto* seq = new _snd_seq();
    seq->name = name;
    seq->streams = streams;
    seq->requestFd = requestFd;
    seq->nonblocking = (mode & SND_SEQ_NONBLOCK) != 0;

    seqwire::OpenRequest open { (int32_t) ::getpid(), streams, wantedClient };
    seqwire::OpenReply opened {};
    auto result = request (seq, seqwire::openClient, &open, sizeof (open), &opened, sizeof (opened));

    if (result >= 0)
    {
        seq->client = opened.client;

        if ((streams & SND_SEQ_OPEN_INPUT) != 0)
        {
            seq->inputFd = connectToBroker();
            seqwire::AttachRequest attach { opened.client, 0, opened.token };

            if (seq->inputFd < 0 || ! sendFrame (seq->inputFd, seqwire::attachInput, &attach, sizeof (attach)))
                result = -ENOENT;
            else
                result = readReply (seq->inputFd, seqwire::attachInput, nullptr, 0);
        }
    }

    if (result < 0)
    {
        if (seq->inputFd >= 0)
            ::close (seq->inputFd);

        ::close (seq->requestFd);
        delete seq;
        return result == -EPIPE ? -ENOENT : result;
    }

    *handle = seq;
    return 0;
}

SEQ_API int snd_seq_open_lconf (snd_seq_t** handle, const char* name, int streams, int mode, snd_config_t*)
{
    return snd_seq_open (handle, name, streams, mode);
}

SEQ_API int snd_seq_close (snd_seq_t* seq)
{
    if (seq == nullptr)
        return -EINVAL;

    // Synchronous, so that the client's ports are gone for everyone when this returns.
    request (seq, seqwire::closeClient, nullptr, 0);

    ::close (seq->requestFd);

    if (seq->inputFd >= 0)
        ::close (seq->inputFd);

    if (seq->quietPeer >= 0)
        ::close (seq->quietPeer);

    delete seq;
    return 0;
}

SEQ_API const char* snd_seq_name (snd_seq_t* seq)
{
    return seq != nullptr ? seq->name.c_str() : nullptr;
}

SEQ_API snd_seq_type_t snd_seq_type (snd_seq_t*)
{
    return SND_SEQ_TYPE_HW;
}

SEQ_API int snd_seq_client_id (snd_seq_t* seq)
{
    return seq != nullptr ? seq->client : -EINVAL;
}

SEQ_API int snd_seq_nonblock (snd_seq_t* seq, int nonblock)
{
    if (seq == nullptr)
        return -EINVAL;

    seq->nonblocking = nonblock != 0;
    return 0;
}

SEQ_API int snd_seq_poll_descriptors_count (snd_seq_t* seq, short events)
{
    if (seq == nullptr)
        return 0;

    bool wanted = ((events & POLLIN) != 0 && (seq->streams & SND_SEQ_OPEN_INPUT) != 0)
               || ((events & POLLOUT) != 0 && (seq->streams & SND_SEQ_OPEN_OUTPUT) != 0);
    return wanted ? 1 : 0;
}

SEQ_API int snd_seq_poll_descriptors (snd_seq_t* seq, struct pollfd* pfds, unsigned int space, short events)
{
    if (seq == nullptr || pfds == nullptr || space < 1)
        return 0;

    short wanted = 0;

    if ((events & POLLIN) != 0 && (seq->streams & SND_SEQ_OPEN_INPUT) != 0)
        wanted |= POLLIN;

    if ((events & POLLOUT) != 0 && (seq->streams & SND_SEQ_OPEN_OUTPUT) != 0)
        wanted |= POLLOUT;

    if (wanted == 0)
        return 0;

    // The input channel is writable too, so one descriptor answers both directions.
    pfds[0].fd = seq->inputFd >= 0 ? seq->inputFd : seq->requestFd;
    pfds[0].events = wanted;
    pfds[0].revents = 0;
    return 1;
}

SEQ_API int snd_seq_poll_descriptors_revents (snd_seq_t* seq, struct pollfd* pfds, unsigned int nfds, unsigned short* revents)
{
    if (seq == nullptr || pfds == nullptr || revents == nullptr)
        return -EINVAL;

    *revents = nfds > 0 ? (unsigned short) pfds[0].revents : 0;
    return 0;
}

SEQ_API size_t snd_seq_get_output_buffer_size (snd_seq_t*)   { return 16 * 1024; }
SEQ_API size_t snd_seq_get_input_buffer_size (snd_seq_t*)    { return 500 * sizeof (snd_seq_event_t); }
SEQ_API int snd_seq_set_output_buffer_size (snd_seq_t* seq, size_t) { return seq != nullptr ? 0 : -EINVAL; }
SEQ_API int snd_seq_set_input_buffer_size (snd_seq_t* seq, size_t)  { return seq != nullptr ? 0 : -EINVAL; }

//==============================================================================
// The library's *_malloc: a zeroed record of the caller's type, or -ENOMEM.
template <typename Record>
static int allocateZeroed (Record** ptr)
{
    *ptr = static_cast<Record*> (std::calloc (1, sizeof (Record)));
    return *ptr != nullptr ? 0 : -ENOMEM;
}

SEQ_API size_t snd_seq_system_info_sizeof (void) { return sizeof (_snd_seq_system_info); }

SEQ_API int snd_seq_system_info_malloc (snd_seq_system_info_t** ptr) { return allocateZeroed (ptr); }

SEQ_API void snd_seq_system_info_free (snd_seq_system_info_t* ptr) { std::free (ptr); }
SEQ_API void snd_seq_system_info_copy (snd_seq_system_info_t* dst, const snd_seq_system_info_t* src) { *dst = *src; }
SEQ_API int snd_seq_system_info_get_queues (const snd_seq_system_info_t* info)      { return info->queues; }
SEQ_API int snd_seq_system_info_get_clients (const snd_seq_system_info_t* info)     { return info->clients; }
SEQ_API int snd_seq_system_info_get_ports (const snd_seq_system_info_t* info)       { return info->ports; }
SEQ_API int snd_seq_system_info_get_channels (const snd_seq_system_info_t* info)    { return info->channels; }
SEQ_API int snd_seq_system_info_get_cur_clients (const snd_seq_system_info_t* info) { return info->curClients; }
SEQ_API int snd_seq_system_info_get_cur_queues (const snd_seq_system_info_t* info)  { return info->curQueues; }

SEQ_API int snd_seq_system_info (snd_seq_t* seq, snd_seq_system_info_t* info)
{
    if (info == nullptr)
        return -EINVAL;

    return request (seq, seqwire::systemInfo, nullptr, 0, info, sizeof (*info));
}

//==============================================================================
SEQ_API size_t snd_seq_client_info_sizeof (void) { return sizeof (_snd_seq_client_info); }

SEQ_API int snd_seq_client_info_malloc (snd_seq_client_info_t** ptr) { return allocateZeroed (ptr); }

SEQ_API void snd_seq_client_info_free (snd_seq_client_info_t* ptr) { std::free (ptr); }
SEQ_API void snd_seq_client_info_copy (snd_seq_client_info_t* dst, const snd_seq_client_info_t* src) { *dst = *src; }

SEQ_API int snd_seq_client_info_get_client (const snd_seq_client_info_t* info) { return info->client; }
SEQ_API snd_seq_client_type_t snd_seq_client_info_get_type (const snd_seq_client_info_t* info) { return (snd_seq_client_type_t) info->type; }
SEQ_API const char* snd_seq_client_info_get_name (snd_seq_client_info_t* info) { return info->name; }
SEQ_API int snd_seq_client_info_get_broadcast_filter (const snd_seq_client_info_t* info) { return (info->filter & 1u) != 0; }
SEQ_API int snd_seq_client_info_get_error_bounce (const snd_seq_client_info_t* info) { return (info->filter & 4u) != 0; }
SEQ_API int snd_seq_client_info_get_card (const snd_seq_client_info_t* info) { return info->card; }
SEQ_API int snd_seq_client_info_get_pid (const snd_seq_client_info_t* info) { return info->pid; }
SEQ_API const unsigned char* snd_seq_client_info_get_event_filter (const snd_seq_client_info_t* info) { return info->eventFilter; }
SEQ_API int snd_seq_client_info_get_num_ports (const snd_seq_client_info_t* info) { return info->numPorts; }
SEQ_API int snd_seq_client_info_get_event_lost (const snd_seq_client_info_t* info) { return info->eventLost; }

SEQ_API void snd_seq_client_info_set_client (snd_seq_client_info_t* info, int client) { info->client = client; }
SEQ_API void snd_seq_client_info_set_name (snd_seq_client_info_t* info, const char* name) { copyName (info->name, name); }

SEQ_API void snd_seq_client_info_set_broadcast_filter (snd_seq_client_info_t* info, int val)
{
    info->filter = val != 0 ? (info->filter | 1u) : (info->filter & ~1u);
}

SEQ_API void snd_seq_client_info_set_error_bounce (snd_seq_client_info_t* info, int val)
{
    info->filter = val != 0 ? (info->filter | 4u) : (info->filter & ~4u);
}

SEQ_API void snd_seq_client_info_set_event_filter (snd_seq_client_info_t* info, unsigned char* filter)
{
    if (filter != nullptr)
    {
        info->filter |= seqFilterUseEvent;
        std::memcpy (info->eventFilter, filter, sizeof (info->eventFilter));
    }
    else
    {
        info->filter &= ~seqFilterUseEvent;
    }
}

SEQ_API void snd_seq_client_info_event_filter_clear (snd_seq_client_info_t* info)
{
    info->filter &= ~seqFilterUseEvent;
    std::memset (info->eventFilter, 0, sizeof (info->eventFilter));
}

SEQ_API void snd_seq_client_info_event_filter_add (snd_seq_client_info_t* info, int eventType)
{
    if (eventType >= 0 && eventType < 256)
    {
        info->filter |= seqFilterUseEvent;
        info->eventFilter[eventType >> 3] |= (unsigned char) (1u << (eventType & 7));
    }
}

SEQ_API void snd_seq_client_info_event_filter_del (snd_seq_client_info_t* info, int eventType)
{
    if (eventType >= 0 && eventType < 256)
        info->eventFilter[eventType >> 3] &= (unsigned char) ~(1u << (eventType & 7));
}

SEQ_API int snd_seq_client_info_event_filter_check (snd_seq_client_info_t* info, int eventType)
{
    return eventType >= 0 && eventType < 256 && (info->eventFilter[eventType >> 3] & (1u << (eventType & 7))) != 0;
}

static int queryClient (snd_seq_t* seq, int client, bool next, snd_seq_client_info_t* info)
{
    if (info == nullptr)
        return -EINVAL;

    seqwire::ClientQuery query { client, next ? 1 : 0 };
    return request (seq, seqwire::clientInfo, &query, sizeof (query), info, sizeof (*info));
}

SEQ_API int snd_seq_get_any_client_info (snd_seq_t* seq, int client, snd_seq_client_info_t* info)
{
    return queryClient (seq, client, false, info);
}

SEQ_API int snd_seq_get_client_info (snd_seq_t* seq, snd_seq_client_info_t* info)
{
    return queryClient (seq, snd_seq_client_id (seq), false, info);
}

SEQ_API int snd_seq_query_next_client (snd_seq_t* seq, snd_seq_client_info_t* info)
{
    return info != nullptr ? queryClient (seq, info->client, true, info) : -EINVAL;
}

SEQ_API int snd_seq_set_client_name (snd_seq_t* seq, const char* name)
{
    if (seq == nullptr || name == nullptr)
        return -EINVAL;

    char record[seqwire::nameLength];
    copyName (record, name);
    return request (seq, seqwire::setClientName, record, sizeof (record));
}

SEQ_API int snd_seq_set_client_info (snd_seq_t* seq, snd_seq_client_info_t* info)
{
    if (seq == nullptr || info == nullptr)
        return -EINVAL;

    // The name and the event filter are kept; error bouncing and broadcasts are not simulated.
    info->client = seq->client;
    info->type = SND_SEQ_USER_CLIENT;
    return request (seq, seqwire::setClientInfo, info, sizeof (*info));
}

//==============================================================================
SEQ_API size_t snd_seq_port_info_sizeof (void) { return sizeof (_snd_seq_port_info); }

SEQ_API int snd_seq_port_info_malloc (snd_seq_port_info_t** ptr) { return allocateZeroed (ptr); }

SEQ_API void snd_seq_port_info_free (snd_seq_port_info_t* ptr) { std::free (ptr); }
SEQ_API void snd_seq_port_info_copy (snd_seq_port_info_t* dst, const snd_seq_port_info_t* src) { *dst = *src; }

SEQ_API int snd_seq_port_info_get_client (const snd_seq_port_info_t* info) { return info->addr.client; }
SEQ_API int snd_seq_port_info_get_port (const snd_seq_port_info_t* info) { return info->addr.port; }
SEQ_API const snd_seq_addr_t* snd_seq_port_info_get_addr (const snd_seq_port_info_t* info) { return &info->addr; }
SEQ_API const char* snd_seq_port_info_get_name (const snd_seq_port_info_t* info) { return info->name; }
SEQ_API unsigned int snd_seq_port_info_get_capability (const snd_seq_port_info_t* info) { return info->capability; }
SEQ_API unsigned int snd_seq_port_info_get_type (const snd_seq_port_info_t* info) { return info->type; }
SEQ_API int snd_seq_port_info_get_midi_channels (const snd_seq_port_info_t* info) { return info->midiChannels; }
SEQ_API int snd_seq_port_info_get_midi_voices (const snd_seq_port_info_t* info) { return info->midiVoices; }
SEQ_API int snd_seq_port_info_get_synth_voices (const snd_seq_port_info_t* info) { return info->synthVoices; }
SEQ_API int snd_seq_port_info_get_read_use (const snd_seq_port_info_t* info) { return info->readUse; }
SEQ_API int snd_seq_port_info_get_write_use (const snd_seq_port_info_t* info) { return info->writeUse; }
SEQ_API int snd_seq_port_info_get_port_specified (const snd_seq_port_info_t* info) { return (info->flags & seqPortGivenPort) != 0; }
SEQ_API int snd_seq_port_info_get_timestamping (const snd_seq_port_info_t* info) { return (info->flags & seqPortTimestamp) != 0; }
SEQ_API int snd_seq_port_info_get_timestamp_real (const snd_seq_port_info_t* info) { return (info->flags & seqPortTimeReal) != 0; }
SEQ_API int snd_seq_port_info_get_timestamp_queue (const snd_seq_port_info_t* info) { return info->timeQueue; }

static void setFlag (unsigned int& flags, unsigned int flag, int on)
{
    flags = on != 0 ? (flags | flag) : (flags & ~flag);
}

SEQ_API void snd_seq_port_info_set_client (snd_seq_port_info_t* info, int client) { info->addr.client = (unsigned char) client; }
SEQ_API void snd_seq_port_info_set_port (snd_seq_port_info_t* info, int port) { info->addr.port = (unsigned char) port; }
SEQ_API void snd_seq_port_info_set_addr (snd_seq_port_info_t* info, const snd_seq_addr_t* addr) { info->addr = *addr; }
SEQ_API void snd_seq_port_info_set_name (snd_seq_port_info_t* info, const char* name) { copyName (info->name, name); }
SEQ_API void snd_seq_port_info_set_capability (snd_seq_port_info_t* info, unsigned int capability) { info->capability = capability; }
SEQ_API void snd_seq_port_info_set_type (snd_seq_port_info_t* info, unsigned int type) { info->type = type; }
SEQ_API void snd_seq_port_info_set_midi_channels (snd_seq_port_info_t* info, int channels) { info->midiChannels = channels; }
SEQ_API void snd_seq_port_info_set_midi_voices (snd_seq_port_info_t* info, int voices) { info->midiVoices = voices; }
SEQ_API void snd_seq_port_info_set_synth_voices (snd_seq_port_info_t* info, int voices) { info->synthVoices = voices; }
SEQ_API void snd_seq_port_info_set_port_specified (snd_seq_port_info_t* info, int val) { setFlag (info->flags, seqPortGivenPort, val); }
SEQ_API void snd_seq_port_info_set_timestamping (snd_seq_port_info_t* info, int enable) { setFlag (info->flags, seqPortTimestamp, enable); }
SEQ_API void snd_seq_port_info_set_timestamp_real (snd_seq_port_info_t* info, int realtime) { setFlag (info->flags, seqPortTimeReal, realtime); }
SEQ_API void snd_seq_port_info_set_timestamp_queue (snd_seq_port_info_t* info, int queue) { info->timeQueue = queue; }

static int queryPort (snd_seq_t* seq, int client, int port, bool next, snd_seq_port_info_t* info)
{
    if (info == nullptr)
        return -EINVAL;

    seqwire::PortQuery query { client, port, next ? 1 : 0 };
    return request (seq, seqwire::portInfo, &query, sizeof (query), info, sizeof (*info));
}

SEQ_API int snd_seq_create_port (snd_seq_t* seq, snd_seq_port_info_t* info)
{
    if (seq == nullptr || info == nullptr)
        return -EINVAL;

    info->addr.client = (unsigned char) seq->client;
    return request (seq, seqwire::createPort, info, sizeof (*info), info, sizeof (*info));
}

SEQ_API int snd_seq_delete_port (snd_seq_t* seq, int port)
{
    int32_t number = port;
    return request (seq, seqwire::deletePort, &number, sizeof (number));
}

SEQ_API int snd_seq_get_port_info (snd_seq_t* seq, int port, snd_seq_port_info_t* info)
{
    return queryPort (seq, snd_seq_client_id (seq), port, false, info);
}

SEQ_API int snd_seq_get_any_port_info (snd_seq_t* seq, int client, int port, snd_seq_port_info_t* info)
{
    return queryPort (seq, client, port, false, info);
}

SEQ_API int snd_seq_query_next_port (snd_seq_t* seq, snd_seq_port_info_t* info)
{
    // The record holds port numbers as unsigned bytes; 255 is the "-1" that starts a scan.
    if (info == nullptr)
        return -EINVAL;

    int port = info->addr.port == 255 ? -1 : info->addr.port;
    return queryPort (seq, info->addr.client, port, true, info);
}

SEQ_API int snd_seq_set_port_info (snd_seq_t* seq, int port, snd_seq_port_info_t* info)
{
    if (seq == nullptr || info == nullptr || port < 0 || port >= seqwire::maxPorts)
        return -EINVAL;

    info->addr.client = (unsigned char) seq->client;
    info->addr.port = (unsigned char) port;
    return request (seq, seqwire::setPortInfo, info, sizeof (*info));
}

SEQ_API int snd_seq_create_simple_port (snd_seq_t* seq, const char* name, unsigned int caps, unsigned int type)
{
    _snd_seq_port_info info {};
    copyName (info.name, name);
    info.capability = caps;
    info.type = type;
    info.midiChannels = 16;
    info.midiVoices = 64;
    info.synthVoices = 0;

    auto result = snd_seq_create_port (seq, &info);
    return result < 0 ? result : info.addr.port;
}

SEQ_API int snd_seq_delete_simple_port (snd_seq_t* seq, int port)
{
    return snd_seq_delete_port (seq, port);
}

//==============================================================================
SEQ_API size_t snd_seq_port_subscribe_sizeof (void) { return sizeof (_snd_seq_port_subscribe); }

SEQ_API int snd_seq_port_subscribe_malloc (snd_seq_port_subscribe_t** ptr) { return allocateZeroed (ptr); }

SEQ_API void snd_seq_port_subscribe_free (snd_seq_port_subscribe_t* ptr) { std::free (ptr); }
SEQ_API void snd_seq_port_subscribe_copy (snd_seq_port_subscribe_t* dst, const snd_seq_port_subscribe_t* src) { *dst = *src; }
SEQ_API const snd_seq_addr_t* snd_seq_port_subscribe_get_sender (const snd_seq_port_subscribe_t* info) { return &info->sender; }
SEQ_API const snd_seq_addr_t* snd_seq_port_subscribe_get_dest (const snd_seq_port_subscribe_t* info) { return &info->dest; }
SEQ_API int snd_seq_port_subscribe_get_queue (const snd_seq_port_subscribe_t* info) { return info->queue; }
SEQ_API int snd_seq_port_subscribe_get_exclusive (const snd_seq_port_subscribe_t* info) { return (info->flags & seqSubsExclusive) != 0; }
SEQ_API int snd_seq_port_subscribe_get_time_update (const snd_seq_port_subscribe_t* info) { return (info->flags & seqSubsTimestamp) != 0; }
SEQ_API int snd_seq_port_subscribe_get_time_real (const snd_seq_port_subscribe_t* info) { return (info->flags & seqSubsTimeReal) != 0; }
SEQ_API void snd_seq_port_subscribe_set_sender (snd_seq_port_subscribe_t* info, const snd_seq_addr_t* addr) { info->sender = *addr; }
SEQ_API void snd_seq_port_subscribe_set_dest (snd_seq_port_subscribe_t* info, const snd_seq_addr_t* addr) { info->dest = *addr; }
SEQ_API void snd_seq_port_subscribe_set_queue (snd_seq_port_subscribe_t* info, int q) { info->queue = (unsigned char) q; }
SEQ_API void snd_seq_port_subscribe_set_exclusive (snd_seq_port_subscribe_t* info, int val) { setFlag (info->flags, seqSubsExclusive, val); }
SEQ_API void snd_seq_port_subscribe_set_time_update (snd_seq_port_subscribe_t* info, int val) { setFlag (info->flags, seqSubsTimestamp, val); }
SEQ_API void snd_seq_port_subscribe_set_time_real (snd_seq_port_subscribe_t* info, int val) { setFlag (info->flags, seqSubsTimeReal, val); }

SEQ_API int snd_seq_subscribe_port (snd_seq_t* seq, snd_seq_port_subscribe_t* sub)
{
    return sub != nullptr ? request (seq, seqwire::subscribe, sub, sizeof (*sub)) : -EINVAL;
}

SEQ_API int snd_seq_unsubscribe_port (snd_seq_t* seq, snd_seq_port_subscribe_t* sub)
{
    return sub != nullptr ? request (seq, seqwire::unsubscribe, sub, sizeof (*sub)) : -EINVAL;
}

SEQ_API int snd_seq_get_port_subscription (snd_seq_t* seq, snd_seq_port_subscribe_t* sub)
{
    return sub != nullptr ? request (seq, seqwire::getSubscription, sub, sizeof (*sub), sub, sizeof (*sub)) : -EINVAL;
}

static int connectPorts (snd_seq_t* seq, int senderClient, int senderPort, int destClient, int destPort, bool connect)
{
    if (seq == nullptr)
        return -EINVAL;

    _snd_seq_port_subscribe sub {};
    sub.sender = { (unsigned char) senderClient, (unsigned char) senderPort };
    sub.dest = { (unsigned char) destClient, (unsigned char) destPort };
    return request (seq, connect ? seqwire::subscribe : seqwire::unsubscribe, &sub, sizeof (sub));
}

SEQ_API int snd_seq_connect_from (snd_seq_t* seq, int myport, int srcClient, int srcPort)
{
    return connectPorts (seq, srcClient, srcPort, snd_seq_client_id (seq), myport, true);
}

SEQ_API int snd_seq_connect_to (snd_seq_t* seq, int myport, int destClient, int destPort)
{
    return connectPorts (seq, snd_seq_client_id (seq), myport, destClient, destPort, true);
}

SEQ_API int snd_seq_disconnect_from (snd_seq_t* seq, int myport, int srcClient, int srcPort)
{
    return connectPorts (seq, srcClient, srcPort, snd_seq_client_id (seq), myport, false);
}

SEQ_API int snd_seq_disconnect_to (snd_seq_t* seq, int myport, int destClient, int destPort)
{
    return connectPorts (seq, snd_seq_client_id (seq), myport, destClient, destPort, false);
}

//==============================================================================
SEQ_API size_t snd_seq_query_subscribe_sizeof (void) { return sizeof (_snd_seq_query_subscribe); }

SEQ_API int snd_seq_query_subscribe_malloc (snd_seq_query_subscribe_t** ptr) { return allocateZeroed (ptr); }

SEQ_API void snd_seq_query_subscribe_free (snd_seq_query_subscribe_t* ptr) { std::free (ptr); }
SEQ_API void snd_seq_query_subscribe_copy (snd_seq_query_subscribe_t* dst, const snd_seq_query_subscribe_t* src) { *dst = *src; }
SEQ_API int snd_seq_query_subscribe_get_client (const snd_seq_query_subscribe_t* info) { return info->root.client; }
SEQ_API int snd_seq_query_subscribe_get_port (const snd_seq_query_subscribe_t* info) { return info->root.port; }
SEQ_API const snd_seq_addr_t* snd_seq_query_subscribe_get_root (const snd_seq_query_subscribe_t* info) { return &info->root; }
SEQ_API snd_seq_query_subs_type_t snd_seq_query_subscribe_get_type (const snd_seq_query_subscribe_t* info) { return (snd_seq_query_subs_type_t) info->type; }
SEQ_API int snd_seq_query_subscribe_get_index (const snd_seq_query_subscribe_t* info) { return info->index; }
SEQ_API int snd_seq_query_subscribe_get_num_subs (const snd_seq_query_subscribe_t* info) { return info->numSubs; }
SEQ_API const snd_seq_addr_t* snd_seq_query_subscribe_get_addr (const snd_seq_query_subscribe_t* info) { return &info->addr; }
SEQ_API int snd_seq_query_subscribe_get_queue (const snd_seq_query_subscribe_t* info) { return info->queue; }
SEQ_API int snd_seq_query_subscribe_get_exclusive (const snd_seq_query_subscribe_t* info) { return (info->flags & seqSubsExclusive) != 0; }
SEQ_API int snd_seq_query_subscribe_get_time_update (const snd_seq_query_subscribe_t* info) { return (info->flags & seqSubsTimestamp) != 0; }
SEQ_API int snd_seq_query_subscribe_get_time_real (const snd_seq_query_subscribe_t* info) { return (info->flags & seqSubsTimeReal) != 0; }
SEQ_API void snd_seq_query_subscribe_set_client (snd_seq_query_subscribe_t* info, int client) { info->root.client = (unsigned char) client; }
SEQ_API void snd_seq_query_subscribe_set_port (snd_seq_query_subscribe_t* info, int port) { info->root.port = (unsigned char) port; }
SEQ_API void snd_seq_query_subscribe_set_root (snd_seq_query_subscribe_t* info, const snd_seq_addr_t* addr) { info->root = *addr; }
SEQ_API void snd_seq_query_subscribe_set_type (snd_seq_query_subscribe_t* info, snd_seq_query_subs_type_t type) { info->type = (int) type; }
SEQ_API void snd_seq_query_subscribe_set_index (snd_seq_query_subscribe_t* info, int index) { info->index = index; }

SEQ_API int snd_seq_query_port_subscribers (snd_seq_t* seq, snd_seq_query_subscribe_t* subs)
{
    return subs != nullptr ? request (seq, seqwire::querySubscribers, subs, sizeof (*subs), subs, sizeof (*subs)) : -EINVAL;
}

//==============================================================================
// Events. Every output is delivered at once (there is no output buffer and no queue), and
// the broker's answer is the result the kernel would give.

SEQ_API ssize_t snd_seq_event_length (snd_seq_event_t* ev)
{
    return ev != nullptr ? (ssize_t) (sizeof (snd_seq_event_t) + variableLength (*ev)) : -EINVAL;
}

SEQ_API int snd_seq_event_output_direct (snd_seq_t* seq, snd_seq_event_t* ev)
{
    if (seq == nullptr || ev == nullptr)
        return -EINVAL;

    if ((seq->streams & SND_SEQ_OPEN_OUTPUT) == 0)
        return -ENXIO;

    auto dataSize = variableLength (*ev);

    if (dataSize > seqwire::maxEventData)
        return -ENOMEM;

    if (dataSize > 0 && ev->data.ext.ptr == nullptr)
        return -EINVAL;

    snd_seq_event_t wire = *ev;
    wire.source.client = (unsigned char) seq->client;

    if (dataSize > 0)
        wire.data.ext.ptr = nullptr;

    auto result = request (seq, seqwire::outputEvent, &wire, sizeof (wire), nullptr, 0,
                           dataSize > 0 ? ev->data.ext.ptr : nullptr, dataSize);
    return result < 0 ? result : (int) (sizeof (snd_seq_event_t) + dataSize);
}

SEQ_API int snd_seq_event_output (snd_seq_t* seq, snd_seq_event_t* ev)
{
    auto result = snd_seq_event_output_direct (seq, ev);
    return result < 0 ? result : 0;
}

SEQ_API int snd_seq_event_output_buffer (snd_seq_t* seq, snd_seq_event_t* ev)
{
    return snd_seq_event_output (seq, ev);
}

SEQ_API int snd_seq_event_output_pending (snd_seq_t*) { return 0; }
SEQ_API int snd_seq_drain_output (snd_seq_t* seq) { return seq != nullptr ? 0 : -EINVAL; }
SEQ_API int snd_seq_drop_output (snd_seq_t* seq) { return seq != nullptr ? 0 : -EINVAL; }
SEQ_API int snd_seq_drop_output_buffer (snd_seq_t* seq) { return seq != nullptr ? 0 : -EINVAL; }
SEQ_API int snd_seq_sync_output_queue (snd_seq_t* seq) { return seq != nullptr ? 0 : -EINVAL; }
SEQ_API int snd_seq_extract_output (snd_seq_t*, snd_seq_event_t** ev)
{
    if (ev != nullptr)
        *ev = nullptr;

    return -ENOENT;
}

SEQ_API int snd_seq_free_event (snd_seq_event_t*)
{
    return 0;
}

SEQ_API int snd_seq_event_input (snd_seq_t* seq, snd_seq_event_t** ev)
{
    if (ev != nullptr)
        *ev = nullptr;

    if (seq == nullptr || ev == nullptr)
        return -EINVAL;

    if ((seq->streams & SND_SEQ_OPEN_INPUT) == 0 || seq->inputFd < 0)
        return -ENXIO;

    std::lock_guard<std::mutex> lock (seq->inputLock);

    for (;;)
    {
        if (takeOverflow (seq))
            return -ENOSPC;

        if (bufferedFrames (seq) > 0)
        {
            takeFrame (seq);
            *ev = &seq->currentEvent;
            return (int) std::min<size_t> (seq->inputBuffer.size() - seq->inputStart, 0x7fffffff);
        }

        if (! fillInput (seq))
            return -ENODEV;

        if (seq->overflowPending || bufferedFrames (seq) > 0)
            continue;

        if (seq->nonblocking)
            return -EAGAIN;

        // Blocking mode: wait for the rest of a frame, as a read of the device would.
        pollfd pfd { seq->inputFd, POLLIN, 0 };

        if (::poll (&pfd, 1, -1) < 0 && errno != EINTR)
            return -errno;
    }
}

SEQ_API int snd_seq_event_input_pending (snd_seq_t* seq, int fetchSequencer)
{
    if (seq == nullptr)
        return -EINVAL;

    if ((seq->streams & SND_SEQ_OPEN_INPUT) == 0 || seq->inputFd < 0)
        return -ENXIO;

    std::lock_guard<std::mutex> lock (seq->inputLock);
    auto frames = bufferedFrames (seq);

    if (frames == 0 && ! seq->overflowPending && fetchSequencer != 0)
    {
        fillInput (seq);
        frames = bufferedFrames (seq);
    }

    // A pending overflow: a fetch reads it as the kernel's read would (-ENOSPC, queue dropped);
    // otherwise it counts as the one thing the next snd_seq_event_input returns.
    if (seq->overflowPending)
    {
        if (fetchSequencer == 0)
            return 1;

        takeOverflow (seq);
        return -ENOSPC;
    }

    return frames;
}

static void dropWholeFrames (snd_seq_t* seq)
{
    uint32_t dropped = 0;

    while (bufferedFrames (seq) > 0)
    {
        seqwire::FrameHeader header {};
        std::memcpy (&header, seq->inputBuffer.data() + seq->inputStart, sizeof (header));
        seq->inputStart += sizeof (header) + header.size;
        ++dropped;
    }

    reportRead (seq, dropped);
}

SEQ_API int snd_seq_drop_input_buffer (snd_seq_t* seq)
{
    if (seq == nullptr)
        return -EINVAL;

    std::lock_guard<std::mutex> lock (seq->inputLock);
    dropWholeFrames (seq);
    return 0;
}

SEQ_API int snd_seq_drop_input (snd_seq_t* seq)
{
    if (seq == nullptr)
        return -EINVAL;

    // The kernel clears the client's whole queue, and with it a pending overflow.
    std::lock_guard<std::mutex> lock (seq->inputLock);
    clearQueue (seq);
    return 0;
}

//==============================================================================
// Pools: the input pool is the broker's (see SeqWire.h); the output pool is kept and reported,
// never used (events are delivered at once, never queued). Client filters are not simulated.

SEQ_API size_t snd_seq_client_pool_sizeof (void) { return sizeof (_snd_seq_client_pool); }

SEQ_API int snd_seq_client_pool_malloc (snd_seq_client_pool_t** ptr) { return allocateZeroed (ptr); }

SEQ_API void snd_seq_client_pool_free (snd_seq_client_pool_t* ptr) { std::free (ptr); }
SEQ_API void snd_seq_client_pool_copy (snd_seq_client_pool_t* dst, const snd_seq_client_pool_t* src) { *dst = *src; }
SEQ_API int snd_seq_client_pool_get_client (const snd_seq_client_pool_t* info) { return info->client; }
SEQ_API size_t snd_seq_client_pool_get_output_pool (const snd_seq_client_pool_t* info) { return (size_t) info->outputPool; }
SEQ_API size_t snd_seq_client_pool_get_input_pool (const snd_seq_client_pool_t* info) { return (size_t) info->inputPool; }
SEQ_API size_t snd_seq_client_pool_get_output_room (const snd_seq_client_pool_t* info) { return (size_t) info->outputRoom; }
SEQ_API size_t snd_seq_client_pool_get_output_free (const snd_seq_client_pool_t* info) { return (size_t) info->outputFree; }
SEQ_API size_t snd_seq_client_pool_get_input_free (const snd_seq_client_pool_t* info) { return (size_t) info->inputFree; }
// The kernel's fields are ints: a size that does not fit is out of range, which it ignores.
static int poolField (size_t size) { return size > 0x7fffffff ? 0 : (int) size; }
SEQ_API void snd_seq_client_pool_set_output_pool (snd_seq_client_pool_t* info, size_t size) { info->outputPool = poolField (size); }
SEQ_API void snd_seq_client_pool_set_input_pool (snd_seq_client_pool_t* info, size_t size) { info->inputPool = poolField (size); }
SEQ_API void snd_seq_client_pool_set_output_room (snd_seq_client_pool_t* info, size_t size) { info->outputRoom = poolField (size); }

SEQ_API int snd_seq_get_client_pool (snd_seq_t* seq, snd_seq_client_pool_t* info)
{
    return info != nullptr ? request (seq, seqwire::getClientPool, nullptr, 0, info, sizeof (*info)) : -EINVAL;
}

SEQ_API int snd_seq_set_client_pool (snd_seq_t* seq, snd_seq_client_pool_t* info)
{
    if (seq == nullptr || info == nullptr)
        return -EINVAL;

    info->client = seq->client;
    return request (seq, seqwire::setClientPool, info, sizeof (*info), info, sizeof (*info));
}

// Each changes one size and leaves the others as they are, as libasound's do.
static int changeClientPool (snd_seq_t* seq, void (*change) (_snd_seq_client_pool&, size_t), size_t size)
{
    _snd_seq_client_pool pool {};

    if (auto result = snd_seq_get_client_pool (seq, &pool); result < 0)
        return result;

    change (pool, size);
    return snd_seq_set_client_pool (seq, &pool);
}

SEQ_API int snd_seq_set_client_pool_output (snd_seq_t* seq, size_t size)
{
    return changeClientPool (seq, [] (_snd_seq_client_pool& pool, size_t value) { pool.outputPool = poolField (value); }, size);
}

SEQ_API int snd_seq_set_client_pool_output_room (snd_seq_t* seq, size_t size)
{
    return changeClientPool (seq, [] (_snd_seq_client_pool& pool, size_t value) { pool.outputRoom = poolField (value); }, size);
}

SEQ_API int snd_seq_set_client_pool_input (snd_seq_t* seq, size_t size)
{
    return changeClientPool (seq, [] (_snd_seq_client_pool& pool, size_t value) { pool.inputPool = poolField (value); }, size);
}

SEQ_API int snd_seq_reset_pool_output (snd_seq_t* seq) { return seq != nullptr ? 0 : -EINVAL; }
SEQ_API int snd_seq_reset_pool_input (snd_seq_t* seq) { return snd_seq_drop_input (seq); }
SEQ_API int snd_seq_set_client_event_filter (snd_seq_t* seq, int eventType)
{
    _snd_seq_client_info info {};

    if (auto result = snd_seq_get_client_info (seq, &info); result < 0)
        return result;

    snd_seq_client_info_event_filter_add (&info, eventType);
    return snd_seq_set_client_info (seq, &info);
}

//==============================================================================
// "client:port", "client" or a client's name, as aconnect and friends accept them.
SEQ_API int snd_seq_parse_address (snd_seq_t* seq, snd_seq_addr_t* addr, const char* arg)
{
    if (seq == nullptr || addr == nullptr || arg == nullptr)
        return -EINVAL;

    std::string text (arg);
    auto separator = text.find_last_of (":.");
    std::string clientPart = separator == std::string::npos ? text : text.substr (0, separator);
    int port = 0;

    if (separator != std::string::npos)
    {
        char* end = nullptr;
        port = (int) std::strtol (text.c_str() + separator + 1, &end, 10);

        if (end == text.c_str() + separator + 1 || *end != 0 || port < 0 || port >= seqwire::maxPorts)
            return -EINVAL;
    }

    char* end = nullptr;
    auto client = (int) std::strtol (clientPart.c_str(), &end, 10);

    if (clientPart.empty() || *end != 0)
    {
        _snd_seq_client_info info {};
        info.client = -1;
        client = -1;

        while (snd_seq_query_next_client (seq, &info) >= 0)
        {
            if (clientPart == info.name)
            {
                client = info.client;
                break;
            }
        }

        if (client < 0)
            return -ENOENT;
    }

    if (client < 0 || client >= 256)
        return -EINVAL;

    addr->client = (unsigned char) client;
    addr->port = (unsigned char) port;
    return 0;
}
