// What the kernel's ALSA sequencer does, checked through libasound alone, so that the same
// program runs against the test sequencer (scripts/with-test-sequencer.sh) and against the
// kernel itself (scripts/with-kernel.sh, tests/kernel/sequencer_semantics.sh). Where the two
// disagree the kernel is right, and the test sequencer is the one to change.

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <sys/utsname.h>

namespace
{

constexpr unsigned int writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr unsigned int readable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;

// One sequencer client, closed with its scope; opened without blocking.
struct Client
{
    explicit Client (int streams = SND_SEQ_OPEN_DUPLEX)
    {
        opened = snd_seq_open (&seq, "default", streams, SND_SEQ_NONBLOCK);

        if (opened == 0)
            id = snd_seq_client_id (seq);
    }

    ~Client()
    {
        if (seq != nullptr)
            snd_seq_close (seq);
    }

    int port (const char* name, unsigned int caps) const
    {
        return snd_seq_create_simple_port (seq, name, caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    }

    snd_seq_addr_t at (int port) const { return { (unsigned char) id, (unsigned char) port }; }

    snd_seq_t* seq = nullptr;
    int opened = -1;
    int id = -1;

    Client (const Client&) = delete;
    Client& operator= (const Client&) = delete;
};

// A direct SysEx of that many bytes from the sender's port; the sequencer's answer.
int sendSysex (const Client& sender, int port, snd_seq_addr_t dest, size_t length, unsigned char fill = 0x11)
{
    std::vector<unsigned char> bytes (length, fill);
    snd_seq_event_t event {};
    event.type = SND_SEQ_EVENT_SYSEX;
    event.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    event.data.ext.len = (unsigned int) bytes.size();
    event.data.ext.ptr = bytes.data();
    event.source.port = (unsigned char) port;
    event.queue = SND_SEQ_QUEUE_DIRECT;
    event.dest = dest;
    return snd_seq_event_output_direct (sender.seq, &event);
}

// Reads what is waiting without blocking, until the sequencer has nothing more (or an error):
// each event's length (or -1 for a fixed one), then the error that ended the reading.
std::vector<int> readAll (const Client& receiver)
{
    std::vector<int> read;

    for (;;)
    {
        snd_seq_event_t* event = nullptr;
        const auto result = snd_seq_event_input (receiver.seq, &event);

        if (result < 0)
        {
            read.push_back (result);
            return read;
        }

        read.push_back (snd_seq_ev_is_variable (event) ? (int) event->data.ext.len : -1);
    }
}

std::string address (const snd_seq_addr_t& a)
{
    return std::to_string (a.client) + ":" + std::to_string (a.port);
}

// An announcement in words: its type, what it names, and the port it reached.
std::string describe (const snd_seq_event_t& event)
{
    const auto named = [&event] (const char* type) { return std::string (type) + " " + address (event.data.addr); };
    const auto connection = [&event] (const char* type)
    { return std::string (type) + " " + address (event.data.connect.sender) + ">" + address (event.data.connect.dest); };
    std::string text;

    switch (event.type)
    {
        case SND_SEQ_EVENT_CLIENT_START:     text = named ("CLIENT_START"); break;
        case SND_SEQ_EVENT_CLIENT_EXIT:      text = named ("CLIENT_EXIT"); break;
        case SND_SEQ_EVENT_CLIENT_CHANGE:    text = named ("CLIENT_CHANGE"); break;
        case SND_SEQ_EVENT_PORT_START:       text = named ("PORT_START"); break;
        case SND_SEQ_EVENT_PORT_EXIT:        text = named ("PORT_EXIT"); break;
        case SND_SEQ_EVENT_PORT_CHANGE:      text = named ("PORT_CHANGE"); break;
        case SND_SEQ_EVENT_PORT_SUBSCRIBED:  text = connection ("PORT_SUBSCRIBED"); break;
        case SND_SEQ_EVENT_PORT_UNSUBSCRIBED: text = connection ("PORT_UNSUBSCRIBED"); break;
        default:                             text = "type " + std::to_string (event.type); break;
    }

    return text + " from " + address (event.source) + " at " + address (event.dest);
}

// The announcements waiting for the watcher that concern the client `about` or the watcher's
// own ports (a kernel may have other clients that come and go meanwhile).
std::vector<std::string> announcementsAbout (const Client& watcher, int about)
{
    std::vector<std::string> found;

    for (;;)
    {
        snd_seq_event_t* event = nullptr;
        const auto result = snd_seq_event_input (watcher.seq, &event);

        if (result < 0)
        {
            if (result != -EAGAIN)
                found.push_back ("error " + std::to_string (result));

            return found;
        }

        const bool connection = event->type == SND_SEQ_EVENT_PORT_SUBSCRIBED || event->type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED;
        const bool concerns = connection ? (event->data.connect.sender.client == about || event->data.connect.dest.client == about
                                            || event->data.connect.dest.client == watcher.id)
                                         : event->data.addr.client == about;

        if (concerns)
            found.push_back (describe (*event));
    }
}

// True when the sequencer calls are the test sequencer's (its library preloaded), not libasound's.
bool onTheTestSequencer()
{
    Dl_info library {};
    return dladdr (reinterpret_cast<void*> (&snd_seq_open), &library) != 0 && library.dli_fname != nullptr
        && std::string (library.dli_fname).find ("libvfu-test-seq") != std::string::npos;
}

// The test sequencer announces changed client and port information as current kernels do;
// kernels before 6.5 announce none.
bool changesAreAnnounced()
{
    if (onTheTestSequencer())
        return true;

    utsname system {};
    int major = 0, minor = 0;

    if (uname (&system) != 0 || std::sscanf (system.release, "%d.%d", &major, &minor) != 2)
        return true;

    return major > 6 || (major == 6 && minor >= 5);
}

} // namespace

TEST (SequencerSemantics, theReceiversPoolRefusesWhatDoesNotFitAndAnOverflowCostsTheWholeQueueOnce)
{
    Client receiver, sender (SND_SEQ_OPEN_OUTPUT);
    ASSERT_EQ (receiver.opened, 0);
    ASSERT_EQ (sender.opened, 0);
    const auto in = receiver.port ("in", writable);
    const auto out = sender.port ("out", readable);
    ASSERT_GE (in, 0);
    ASSERT_GE (out, 0);
    const auto to = receiver.at (in);

    // 200 cells, and an event takes 1 + ceil(length / 28): 18 unread events of 256 bytes (11
    // cells each) fit and the 19th is refused, also a second time.
    for (int i = 0; i < 18; ++i)
        ASSERT_GE (sendSysex (sender, out, to, 256), 0) << "event " << i;

    EXPECT_EQ (sendSysex (sender, out, to, 256), -EAGAIN);
    EXPECT_EQ (sendSysex (sender, out, to, 256), -EAGAIN);

    // The refusals cost the receiver its queue: one -ENOSPC, the 18 events gone, nothing more.
    EXPECT_EQ (readAll (receiver), std::vector<int> { -ENOSPC });
    EXPECT_EQ (readAll (receiver), std::vector<int> { -EAGAIN });

    // Its pool is empty again: what comes now arrives whole, and reading frees the cells.
    for (int round = 0; round < 3; ++round)
    {
        for (int i = 0; i < 17; ++i)
            ASSERT_GE (sendSysex (sender, out, to, 256), 0) << "round " << round << ", event " << i;

        auto expected = std::vector<int> (17, 256);
        expected.push_back (-EAGAIN);
        EXPECT_EQ (readAll (receiver), expected) << "round " << round;
    }

    // An event that needs the whole pool or more can never fit (5,572 bytes is 1 + 199 cells);
    // it too marks the queue overflowed, so the event queued after it goes with the queue.
    EXPECT_EQ (sendSysex (sender, out, to, 5573), -ENOMEM);
    EXPECT_GE (sendSysex (sender, out, to, 5572), 0);
    EXPECT_EQ (readAll (receiver), std::vector<int> { -ENOSPC });
    EXPECT_GE (sendSysex (sender, out, to, 5572), 0);
    EXPECT_EQ (readAll (receiver), (std::vector<int> { 5572, -EAGAIN }));

    // A client may grow its pool to 2,000 cells; a larger size is ignored.
    EXPECT_EQ (snd_seq_set_client_pool_input (receiver.seq, 2000), 0);
    EXPECT_EQ (snd_seq_set_client_pool_input (receiver.seq, 5000), 0);
    snd_seq_client_pool_t* pool = nullptr;
    snd_seq_client_pool_alloca (&pool);
    ASSERT_EQ (snd_seq_get_client_pool (receiver.seq, pool), 0);
    EXPECT_EQ (snd_seq_client_pool_get_input_pool (pool), 2000u);
    EXPECT_EQ (sendSysex (sender, out, to, 55973), -ENOMEM);
    EXPECT_GE (sendSysex (sender, out, to, 55972), 0);

    // Dropping the input clears the queue and the overflow with it.
    EXPECT_EQ (snd_seq_drop_input (receiver.seq), 0);
    EXPECT_EQ (readAll (receiver), std::vector<int> { -EAGAIN });
}

TEST (SequencerSemantics, onlyPortsWithWriteCapabilityTakeEventsAndProgramsAreClients128To191)
{
    Client receiver, sender (SND_SEQ_OPEN_OUTPUT);
    ASSERT_EQ (receiver.opened, 0);
    ASSERT_EQ (sender.opened, 0);
    const auto readOnly = receiver.port ("read only", SND_SEQ_PORT_CAP_READ);
    const auto out = sender.port ("out", readable);

    EXPECT_EQ (sendSysex (sender, out, receiver.at (readOnly), 8), -EPERM);
    ASSERT_EQ (snd_seq_connect_from (receiver.seq, readOnly, sender.id, out), 0);
    EXPECT_EQ (sendSysex (sender, out, { SND_SEQ_ADDRESS_SUBSCRIBERS, 0 }, 8), -EPERM);
    EXPECT_EQ (sendSysex (sender, out, receiver.at (readOnly + 1), 8), -ENOENT);

    // 64 programs at a time, numbered 128 to 191; the next open fails with -ENOMEM.
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca (&info);
    snd_seq_client_info_set_client (info, -1);
    int programs = 0;

    while (snd_seq_query_next_client (receiver.seq, info) == 0)
        programs += snd_seq_client_info_get_type (info) == SND_SEQ_USER_CLIENT ? 1 : 0;

    std::vector<std::unique_ptr<Client>> others;

    for (;;)
    {
        auto other = std::make_unique<Client> (SND_SEQ_OPEN_OUTPUT);

        if (other->opened != 0)
        {
            EXPECT_EQ (other->opened, -ENOMEM);
            break;
        }

        EXPECT_GE (other->id, 128);
        EXPECT_LE (other->id, 191);
        others.push_back (std::move (other));
        ASSERT_LE (others.size(), 64u);
    }

    EXPECT_EQ (programs + (int) others.size(), 64);
}

TEST (SequencerSemantics, theSystemAnnouncesClientsPortsConnectionsAndChangesAsTheKernelDoes)
{
    Client watcher;
    ASSERT_EQ (watcher.opened, 0);
    const auto announcements = watcher.port ("announcements", writable);
    const auto told = watcher.port ("told", writable);
    const auto deaf = watcher.port ("deaf", readable);
    ASSERT_EQ (snd_seq_connect_from (watcher.seq, announcements, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE), 0);

    const auto at = " at " + address (watcher.at (announcements));
    const auto system = " from 0:1";
    const auto self = std::to_string (watcher.id);

    // Its own subscription is the first thing it hears.
    EXPECT_EQ (announcementsAbout (watcher, watcher.id),
               std::vector<std::string> { "PORT_SUBSCRIBED 0:1>" + address (watcher.at (announcements)) + system + at });

    auto peer = std::make_unique<Client>();
    ASSERT_EQ (peer->opened, 0);
    const auto id = std::to_string (peer->id);
    ASSERT_EQ (snd_seq_set_client_name (peer->seq, "Peer"), 0);
    const auto port = peer->port ("P", readable | writable);
    ASSERT_EQ (port, 0);

    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca (&info);
    ASSERT_EQ (snd_seq_get_port_info (peer->seq, port, info), 0);
    snd_seq_port_info_set_name (info, "P renamed");
    ASSERT_EQ (snd_seq_set_port_info (peer->seq, port, info), 0);

    std::vector<std::string> expected { "CLIENT_START " + id + ":0" + system + at };

    if (changesAreAnnounced())
        expected.push_back ("CLIENT_CHANGE " + id + ":0" + system + at);

    expected.push_back ("PORT_START " + id + ":0" + system + at);

    if (changesAreAnnounced())
        expected.push_back ("PORT_CHANGE " + id + ":0" + system + at);

    EXPECT_EQ (announcementsAbout (watcher, peer->id), expected);

    // A connection made or removed by request is announced to all, and the owner of a port that
    // another client connected is told at that port, if the port can be written to (the port
    // `deaf` can only be read from).
    const auto connection = id + ":0>" + self + ":" + std::to_string (told);
    const auto toldAt = " at " + self + ":" + std::to_string (told);
    ASSERT_EQ (snd_seq_connect_to (peer->seq, port, watcher.id, told), 0);
    ASSERT_EQ (snd_seq_disconnect_to (peer->seq, port, watcher.id, told), 0);
    ASSERT_EQ (snd_seq_connect_from (peer->seq, port, watcher.id, deaf), 0);
    ASSERT_EQ (snd_seq_connect_to (peer->seq, port, watcher.id, told), 0);
    EXPECT_EQ (announcementsAbout (watcher, peer->id),
               (std::vector<std::string> { "PORT_SUBSCRIBED " + connection + system + toldAt,
                                           "PORT_SUBSCRIBED " + connection + system + at,
                                           "PORT_UNSUBSCRIBED " + connection + system + toldAt,
                                           "PORT_UNSUBSCRIBED " + connection + system + at,
                                           "PORT_SUBSCRIBED " + self + ":" + std::to_string (deaf) + ">" + id + ":0" + system + at,
                                           "PORT_SUBSCRIBED " + connection + system + toldAt,
                                           "PORT_SUBSCRIBED " + connection + system + at }));

    // A connection that goes with its port is not announced; the other end's owner is told.
    ASSERT_EQ (snd_seq_delete_simple_port (peer->seq, port), 0);
    EXPECT_EQ (announcementsAbout (watcher, peer->id),
               (std::vector<std::string> { "PORT_UNSUBSCRIBED " + connection + system + toldAt,
                                           "PORT_EXIT " + id + ":0" + system + at }));

    // A client that goes takes its ports with it: each is announced gone before the client.
    const auto second = peer->port ("Q", readable | writable);
    ASSERT_EQ (snd_seq_connect_to (peer->seq, second, watcher.id, told), 0);
    const auto q = id + ":" + std::to_string (second);
    EXPECT_EQ (announcementsAbout (watcher, peer->id),
               (std::vector<std::string> { "PORT_START " + q + system + at,
                                           "PORT_SUBSCRIBED " + q + ">" + self + ":" + std::to_string (told) + system + toldAt,
                                           "PORT_SUBSCRIBED " + q + ">" + self + ":" + std::to_string (told) + system + at }));
    peer.reset();
    EXPECT_EQ (announcementsAbout (watcher, std::stoi (id)),
               (std::vector<std::string> { "PORT_EXIT " + q + system + at,
                                           "PORT_UNSUBSCRIBED " + q + ">" + self + ":" + std::to_string (told) + system + toldAt,
                                           "CLIENT_EXIT " + id + ":0" + system + at }));
}

TEST (SequencerSemantics, aClientsEventFilterKeepsOtherEventsOutOfItsPool)
{
    Client watcher, sender (SND_SEQ_OPEN_OUTPUT);
    ASSERT_EQ (watcher.opened, 0);
    ASSERT_EQ (sender.opened, 0);
    const auto announcements = watcher.port ("announcements", writable);
    const auto out = sender.port ("out", readable);

    for (auto type : { SND_SEQ_EVENT_CLIENT_START, SND_SEQ_EVENT_CLIENT_EXIT, SND_SEQ_EVENT_PORT_START, SND_SEQ_EVENT_PORT_EXIT })
        ASSERT_EQ (snd_seq_set_client_event_filter (watcher.seq, type), 0);

    ASSERT_EQ (snd_seq_connect_from (watcher.seq, announcements, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE), 0);

    // Connections and SysEx never reach it, so they take none of its cells.
    EXPECT_EQ (sendSysex (sender, out, watcher.at (announcements), 8), -ENOENT);

    for (int i = 0; i < 300; ++i)
    {
        ASSERT_EQ (snd_seq_connect_to (sender.seq, out, watcher.id, announcements), 0);
        ASSERT_EQ (snd_seq_disconnect_to (sender.seq, out, watcher.id, announcements), 0);
    }

    {
        Client peer (SND_SEQ_OPEN_OUTPUT);
        ASSERT_EQ (peer.opened, 0);
        ASSERT_GE (peer.port ("P", readable), 0);
        const auto id = std::to_string (peer.id);
        const auto at = " from 0:1 at " + address (watcher.at (announcements));
        EXPECT_EQ (announcementsAbout (watcher, peer.id),
                   (std::vector<std::string> { "CLIENT_START " + id + ":0" + at, "PORT_START " + id + ":0" + at }));
    }
}

int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    std::printf ("Sequencer: %s\n", onTheTestSequencer() ? "the test sequencer" : "the kernel's");
    return RUN_ALL_TESTS();
}
