// The framework's own MIDI classes between two processes, through its ALSA backend and the
// test sequencer (run under scripts/with-test-sequencer.sh). With --echo-peer NAME the
// program is the other process: it offers a virtual input and a virtual output named NAME
// and sends back on the output whatever reaches the input.

#include <gtest/gtest.h>
#include <juce_audio_devices/juce_audio_devices.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include "SeqWire.h"
#include "midi/native/AlsaPortList.h"
#include "midi/native/AlsaSendingClient.h"
#include "midi/native/JuceMidiPorts.h"

#include <cstdlib>
#include <functional>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

struct EchoPeer final : juce::MidiInputCallback
{
    // Called on the framework's MIDI input thread.
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
    {
        if (output != nullptr)
            output->sendMessageNow (message);
    }

    std::unique_ptr<juce::MidiOutput> output;
};

int runEchoPeer (const juce::String& name)
{
    EchoPeer peer;
    peer.output = juce::MidiOutput::createNewDevice (name);
    auto input = juce::MidiInput::createNewDevice (name, &peer);

    if (peer.output == nullptr || input == nullptr)
        return 1;

    input->start();

    // Ended by the test (it kills this process, as a cable is pulled); the limit keeps an
    // abandoned peer from lingering.
    juce::WaitableEvent().wait (120000);
    return 0;
}

// Collects what reaches an opened input. Written on the framework's MIDI input thread.
struct Collector final : juce::MidiInputCallback
{
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
    {
        const juce::ScopedLock lock (messagesLock);
        messages.add (message);

        if (messages.size() >= expected.load())
            complete.signal();
    }

    juce::Array<juce::MidiMessage> take()
    {
        const juce::ScopedLock lock (messagesLock);
        return messages;
    }

    std::atomic<int> expected { 0 };
    juce::WaitableEvent complete;
    juce::CriticalSection messagesLock;
    juce::Array<juce::MidiMessage> messages;
};

juce::MidiMessage sysexOfLength (int totalLength, int seed)
{
    juce::HeapBlock<juce::uint8> body ((size_t) totalLength - 2);

    for (int i = 0; i < totalLength - 2; ++i)
        body[i] = (juce::uint8) ((i * 31 + seed * 7 + (i >> 8)) & 0x7f);

    return juce::MidiMessage::createSysExMessage (body.get(), totalLength - 2);
}

juce::String findDevice (const juce::Array<juce::MidiDeviceInfo>& devices, const juce::String& name)
{
    for (auto& device : devices)
        if (device.name == name)
            return device.identifier;

    return {};
}

// Waits (up to the limit) until the listings show both of a peer's ports, or neither.
bool waitForPeerPorts (const juce::String& name, bool present)
{
    auto deadline = juce::Time::getMillisecondCounter() + 10000;

    while (juce::Time::getMillisecondCounter() < deadline)
    {
        auto inputListed = findDevice (juce::MidiInput::getAvailableDevices(), name).isNotEmpty();
        auto outputListed = findDevice (juce::MidiOutput::getAvailableDevices(), name).isNotEmpty();

        if (inputListed == present && outputListed == present)
            return true;

        juce::Thread::sleep (20);
    }

    return false;
}

} // namespace

TEST (RealMidiSequencer, everyMessageCrossesBetweenProcessesWholeAndInOrderUntilThePeerVanishes)
{
    const juce::String name ("VFU echo " + juce::String (juce::Random::getSystemRandom().nextInt (1000000)));
    juce::ChildProcess peer;
    auto self = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFullPathName();
    ASSERT_TRUE (peer.start (juce::StringArray { self, "--echo-peer", name }, 0));
    ASSERT_TRUE (waitForPeerPorts (name, true));

    // As on a real machine, the system client's ports are not among the framework's devices,
    // and the peer's ports carry the client and port numbers the kernel would give them: a user
    // client's number, and the next free port numbers in the order they were made (JUCE 8's
    // client first makes a port of its own for the system's announcements, JUCE 7's does not).
    auto inputs = juce::MidiInput::getAvailableDevices();
    auto inputId = findDevice (inputs, name);
    auto outputId = findDevice (juce::MidiOutput::getAvailableDevices(), name);
    auto peerClient = inputId.upToFirstOccurrenceOf ("-", false, false);
    const auto firstPort = JUCE_MAJOR_VERSION >= 8 ? 1 : 0;
    EXPECT_GE (peerClient.getIntValue(), 128) << inputId;
    EXPECT_EQ (inputId, peerClient + "-" + juce::String (firstPort));
    EXPECT_EQ (outputId, peerClient + "-" + juce::String (firstPort + 1));
    EXPECT_TRUE (findDevice (inputs, "Timer").isEmpty());

    Collector collector;
    auto input = juce::MidiInput::openDevice (inputId, &collector);
    auto output = juce::MidiOutput::openDevice (outputId);
    ASSERT_NE (input, nullptr);
    ASSERT_NE (output, nullptr);
    input->start();

    // The largest SysEx a default input pool takes, then small ones, each after the last one's echo:
    // a sender that outruns its receiver finds the pool full, and the framework would not say so.
    juce::Array<juce::MidiMessage> sent;
    sent.add (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100));
    sent.add (sysexOfLength (5572, 1));

    for (int i = 0; i < 100; ++i)
        sent.add (sysexOfLength (256, i));

    sent.add (juce::MidiMessage::controllerEvent (16, 7, 127));

    for (int i = 0; i < sent.size(); ++i)
    {
        collector.expected = i + 1;
        output->sendMessageNow (sent.getReference (i));
        ASSERT_TRUE (collector.complete.wait (30000)) << "message " << i << " did not come back";
    }

    auto received = collector.take();
    ASSERT_EQ (received.size(), sent.size());

    for (int i = 0; i < sent.size(); ++i)
    {
        auto& expected = sent.getReference (i);
        auto& actual = received.getReference (i);
        ASSERT_EQ (actual.getRawDataSize(), expected.getRawDataSize()) << "message " << i;
        ASSERT_EQ (std::memcmp (actual.getRawData(), expected.getRawData(), (size_t) expected.getRawDataSize()), 0)
            << "message " << i;
    }

    // The peer dies without closing anything, as an instrument is unplugged: its ports leave
    // every listing, and a send to where it was returns at once.
    peer.kill();
    EXPECT_TRUE (waitForPeerPorts (name, false));

    // It returns: a send that waited for the dead peer would hold this test until its time-out.
    output->sendMessageNow (sysexOfLength (1000, 2));

    input->stop();
}

TEST (RealMidiSequencer, withoutABrokerTheSequencerIsAbsentAsOnAMachineWithoutOne)
{
    auto* variable = "VFU_TEST_SEQ_SOCKET";
    juce::String saved (std::getenv (variable));
    ::setenv (variable, "/nonexistent/vfu-test-seq", 1);

    snd_seq_t* seq = reinterpret_cast<snd_seq_t*> (&saved);
    EXPECT_EQ (snd_seq_open (&seq, "default", SND_SEQ_OPEN_DUPLEX, 0), -ENOENT);
    EXPECT_EQ (seq, nullptr);
    EXPECT_TRUE (juce::MidiInput::getAvailableDevices().isEmpty());
    EXPECT_TRUE (juce::MidiOutput::getAvailableDevices().isEmpty());

    ::setenv (variable, saved.toRawUTF8(), 1);

    ASSERT_EQ (snd_seq_open (&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK), 0);
    snd_seq_event_t* event = nullptr;
    EXPECT_EQ (snd_seq_event_input (seq, &event), -EAGAIN);
    EXPECT_EQ (event, nullptr);
    snd_seq_close (seq);
}

namespace
{

// A broker of the test's own, so that the test may break it.
struct PrivateBroker
{
    explicit PrivateBroker (juce::StringArray options = {})
        : saved (std::getenv (seqwire::socketVariable))
    {
        folder.createDirectory();
        socketPath = folder.getChildFile ("seq").getFullPathName();
        options.insert (0, VFU_TEST_SEQ_BROKER);
        options.add (socketPath);

        if (broker.start (options, juce::ChildProcess::wantStdOut))
        {
            char line[8] {};
            started = broker.readProcessOutput (line, 6) == 6 && juce::String (line, 6) == "ready\n";
        }

        ::setenv (seqwire::socketVariable, socketPath.toRawUTF8(), 1);
    }

    ~PrivateBroker()
    {
        broker.kill();
        ::setenv (seqwire::socketVariable, saved.toRawUTF8(), 1);
        folder.deleteRecursively();
    }

    int connectRaw() const
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        socketPath.copyToUTF8 (address.sun_path, sizeof (address.sun_path));
        auto fd = ::socket (AF_UNIX, SOCK_STREAM, 0);

        if (::connect (fd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) != 0)
        {
            ::close (fd);
            return -1;
        }

        return fd;
    }

    juce::String saved, socketPath;
    juce::File folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                            .getChildFile ("vfu-test-seq-" + juce::Uuid().toString());
    juce::ChildProcess broker;
    bool started = false;
};

// True when the broker ended the connection (what a hostile frame deserves).
bool brokerHangsUp (int fd)
{
    pollfd pfd { fd, POLLIN, 0 };
    char byte;

    if (::poll (&pfd, 1, 5000) != 1)
        return false;

    auto got = ::recv (fd, &byte, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

// The result in the broker's reply to a request sent on a raw connection.
int readRawReply (int fd)
{
    seqwire::FrameHeader header {};
    int32_t result = 1;

    if (::recv (fd, &header, sizeof (header), MSG_WAITALL) != (ssize_t) sizeof (header)
        || header.size < sizeof (result) || header.size > seqwire::maxReplySize)
        return 1;

    std::vector<char> body (header.size);

    if (::recv (fd, body.data(), body.size(), MSG_WAITALL) != (ssize_t) body.size())
        return 1;

    std::memcpy (&result, body.data(), sizeof (result));
    return result;
}

} // namespace

TEST (RealMidiSequencer, hostileFramesEndOnlyTheirConnectionAndABrokerThatDiesLeavesNothingSpinning)
{
    PrivateBroker broker;
    ASSERT_TRUE (broker.started);

    // A frame claiming 4 GiB, a request before any client was opened, an open too short
    // for its record: each costs only its own connection.
    for (auto header : { seqwire::FrameHeader { 0xffffffffu, seqwire::outputEvent },
                         seqwire::FrameHeader { 0, seqwire::createPort },
                         seqwire::FrameHeader { 2, seqwire::openClient } })
    {
        auto fd = broker.connectRaw();
        ASSERT_GE (fd, 0);
        char frame[sizeof (header) + 2] = {};
        std::memcpy (frame, &header, sizeof (header));
        ASSERT_EQ (::send (fd, frame, sizeof (frame), MSG_NOSIGNAL), (ssize_t) sizeof (frame));
        EXPECT_TRUE (brokerHangsUp (fd));
        ::close (fd);
    }

    snd_seq_t* seq = nullptr;
    ASSERT_EQ (snd_seq_open (&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK), 0);
    EXPECT_EQ (snd_seq_client_id (seq), 128);
    auto port = snd_seq_create_simple_port (seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    ASSERT_EQ (port, 0);

    // An event whose declared length is not what follows it is refused, not trusted.
    {
        auto fd = broker.connectRaw();
        seqwire::FrameHeader header { sizeof (seqwire::OpenRequest), seqwire::openClient };
        seqwire::OpenRequest open { 1, SND_SEQ_OPEN_OUTPUT, -1 };
        ASSERT_EQ (::send (fd, &header, sizeof (header), MSG_NOSIGNAL), (ssize_t) sizeof (header));
        ASSERT_EQ (::send (fd, &open, sizeof (open), MSG_NOSIGNAL), (ssize_t) sizeof (open));
        EXPECT_EQ (readRawReply (fd), 0);

        snd_seq_event_t lying {};
        lying.type = SND_SEQ_EVENT_SYSEX;
        lying.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
        lying.dest = { 128, (unsigned char) port };
        lying.data.ext.len = 100000;
        header = { sizeof (lying) + 3, seqwire::outputEvent };
        ASSERT_EQ (::send (fd, &header, sizeof (header), MSG_NOSIGNAL), (ssize_t) sizeof (header));
        ASSERT_EQ (::send (fd, &lying, sizeof (lying), MSG_NOSIGNAL), (ssize_t) sizeof (lying));
        ASSERT_EQ (::send (fd, "\xf0\x7d\xf7", 3, MSG_NOSIGNAL), 3);
        EXPECT_EQ (readRawReply (fd), -EINVAL);
        ::close (fd);
    }

    // A direct send to a port that does not exist fails as the kernel's does.
    snd_seq_event_t event {};
    unsigned char sysex[] = { 0xf0, 0x7d, 0xf7 };
    event.type = SND_SEQ_EVENT_SYSEX;
    event.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    event.queue = SND_SEQ_QUEUE_DIRECT;
    event.source.port = (unsigned char) port;
    event.dest = { 128, 7 };
    event.data.ext.ptr = sysex;
    event.data.ext.len = sizeof (sysex);
    EXPECT_EQ (snd_seq_event_output_direct (seq, &event), -ENOENT);

    pollfd pfd {};
    ASSERT_EQ (snd_seq_poll_descriptors (seq, &pfd, 1, POLLIN), 1);

    // A reader's loop: the broker's end wakes it once; after that, the descriptor it polls
    // must not stay readable, or the loop would spin.
    broker.broker.kill();
    EXPECT_EQ (::poll (&pfd, 1, 5000), 1);
    snd_seq_event_t* received = nullptr;
    EXPECT_LT (snd_seq_event_input (seq, &received), 0);
    EXPECT_EQ (received, nullptr);
    pfd.revents = 0;
    EXPECT_EQ (::poll (&pfd, 1, 100), 0);
    EXPECT_LT (snd_seq_create_simple_port (seq, "late", SND_SEQ_PORT_CAP_READ, 0), 0);
    EXPECT_EQ (snd_seq_close (seq), 0);
}

// A direct SysEx of these bytes from the sender's port; the sequencer's answer.
static int sendSysexBytes (snd_seq_t* seq, int port, snd_seq_addr_t dest, std::vector<unsigned char> bytes)
{
    snd_seq_event_t event {};
    event.type = SND_SEQ_EVENT_SYSEX;
    event.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    event.data.ext = { (unsigned int) bytes.size(), bytes.data() };
    event.source.port = (unsigned char) port;
    event.queue = SND_SEQ_QUEUE_DIRECT;
    event.dest = dest;
    return snd_seq_event_output_direct (seq, &event);
}

TEST (RealMidiSequencer, midiThroughSendsBackWhatReachesItAsOnMostMachines)
{
    PrivateBroker broker ({ "--midi-through" });
    ASSERT_TRUE (broker.started);

    auto inputId = findDevice (juce::MidiInput::getAvailableDevices(), "Midi Through Port-0");
    auto outputId = findDevice (juce::MidiOutput::getAvailableDevices(), "Midi Through Port-0");
    EXPECT_EQ (inputId, "14-0");
    EXPECT_EQ (outputId, "14-0");

    Collector collector;
    collector.expected = 1;
    auto input = juce::MidiInput::openDevice (inputId, &collector);
    auto output = juce::MidiOutput::openDevice (outputId);
    ASSERT_NE (input, nullptr);
    ASSERT_NE (output, nullptr);
    input->start();

    auto request = sysexOfLength (6, 3);
    output->sendMessageNow (request);
    ASSERT_TRUE (collector.complete.wait (10000));
    auto received = collector.take();
    ASSERT_EQ (received.size(), 1);
    EXPECT_EQ (received[0].getRawDataSize(), request.getRawDataSize());
    EXPECT_EQ (std::memcmp (received[0].getRawData(), request.getRawData(), (size_t) request.getRawDataSize()), 0);
    input->stop();
}

int main (int argc, char** argv)
{
    if (argc == 3 && juce::String (argv[1]) == "--echo-peer")
        return runEchoPeer (argv[2]);

    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}

// Counts what reaches an input opened through JuceMidiPorts. Written on the framework's MIDI input thread.
struct CountingReceiver final : MidiPortReceiver
{
    void handleIncomingMidiMessage (const juce::String&, const juce::MidiMessage&) override
    {
        ++count;
        arrived.signal();
    }

    bool waitFor (int total)
    {
        for (const auto deadline = juce::Time::getMillisecondCounter() + 10000; count.load() < total; arrived.wait (100))
            if (juce::Time::getMillisecondCounter() > deadline)
                return false;

        return true;
    }

    std::atomic<int> count { 0 };
    juce::WaitableEvent arrived;
};

// The updater keeps the ports it polls open. A port that goes and comes back under the same
// number is a new port, whose connections went with the old one: the kept ports are opened anew,
// so what is sent still reaches the port and what it sends is still heard.
TEST (RealMidiSequencer, portsKeptOpenFollowAPortThatComesBackUnderTheSameNumber)
{
    PrivateBroker broker;
    ASSERT_TRUE (broker.started);

    snd_seq_t* device = nullptr;
    ASSERT_EQ (snd_seq_open (&device, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK), 0);
    constexpr unsigned int caps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    auto port = snd_seq_create_simple_port (device, "Dev", caps, 0);

    JuceMidiPorts ports;
    CountingReceiver heard;

    // Neither the lists nor the device's input can be waited on: they are looked at until true.
    const auto within10s = [] (const std::function<bool()>& condition)
    {
        for (auto deadline = juce::Time::getMillisecondCounter() + 10000; juce::Time::getMillisecondCounter() < deadline; juce::Thread::sleep (5))
            if (condition())
                return true;

        return false;
    };

    const auto listed = [&] (bool present)
    {
        return within10s ([&] { return ports.getInputNames().contains ("Dev") == present && ports.getOutputNames().contains ("Dev") == present; });
    };

    const auto deviceReceives = [&]
    {
        snd_seq_event_t* event = nullptr;
        return within10s ([&] { return snd_seq_event_input (device, &event) >= 0 && event->type == SND_SEQ_EVENT_SYSEX; });
    };

    for (int round = 0; round < 3; ++round)
    {
        ASSERT_TRUE (listed (true)) << "round " << round;

        {
            auto output = ports.openOutput (ports.getOutputNames().indexOf ("Dev"));
            ASSERT_NE (output, nullptr);
            ASSERT_TRUE (output->sendMessageNow (sysexOfLength (8, round)).wasOk());
        }

        EXPECT_TRUE (deviceReceives()) << "round " << round;

        {
            auto input = ports.openInput (ports.getInputNames().indexOf ("Dev"), heard);
            ASSERT_NE (input, nullptr);
            input->start();
            const auto before = heard.count.load();
            ASSERT_GE (sendSysexBytes (device, port, { SND_SEQ_ADDRESS_SUBSCRIBERS, 0 }, { 0xf0, 0x7d, (unsigned char) round, 0xf7 }), 0);
            EXPECT_TRUE (heard.waitFor (before + 1)) << "round " << round;
        }

        // Kept open once (round 1), then gone and back under the same number (round 2).
        if (round == 1)
        {
            snd_seq_delete_simple_port (device, port);
            ASSERT_TRUE (listed (false));
            port = snd_seq_create_simple_port (device, "Dev", caps, 0);
        }
    }

    ports.closeIdlePorts();
    snd_seq_close (device);
}

// A position read from one list can name another port by the time it is opened, when a port
// listed before it went meanwhile (an instrument restarting elsewhere on the bench). The updater
// opens the port it chose by its identity: what it sends reaches that port and no other.
TEST (RealMidiSequencer, anOutputOpenedByIdentityIsTheOneChosenAfterThePortsBeforeItWent)
{
    PrivateBroker broker;
    ASSERT_TRUE (broker.started);

    struct Device
    {
        explicit Device (const char* name)
        {
            opened = snd_seq_open (&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
            if (opened == 0)
                port = snd_seq_create_simple_port (seq, name, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, 0);
        }
        ~Device() { if (opened == 0) snd_seq_close (seq); }

        // Looks at least once; direct events are queued for their receiver when they are sent.
        bool received (int timeoutMs)
        {
            snd_seq_event_t* event = nullptr;
            const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
            do
            {
                if (snd_seq_event_input (seq, &event) >= 0 && event->type == SND_SEQ_EVENT_SYSEX)
                    return true;
                juce::Thread::sleep (timeoutMs > 0 ? 5 : 0);
            }
            while (juce::Time::getMillisecondCounter() < deadline);
            return false;
        }

        snd_seq_t* seq = nullptr;
        int opened = -1, port = -1;
    };

    auto before = std::make_unique<Device> ("Before");
    Device target ("Target"), after ("After");
    ASSERT_EQ (before->opened, 0);
    ASSERT_EQ (target.opened, 0);
    ASSERT_EQ (after.opened, 0);

    JuceMidiPorts ports;
    const auto within10s = [] (const std::function<bool()>& condition)
    {
        for (auto deadline = juce::Time::getMillisecondCounter() + 10000; juce::Time::getMillisecondCounter() < deadline; juce::Thread::sleep (5))
            if (condition())
                return true;
        return false;
    };

    juce::MidiDeviceInfo chosen, gone;
    ASSERT_TRUE (within10s ([&]
    {
        for (auto& device : ports.getOutputDevices())
        {
            if (device.name == "Target")
                chosen = device;
            else if (device.name == "Before")
                gone = device;
        }
        return chosen.identifier.isNotEmpty() && gone.identifier.isNotEmpty() && ports.getOutputNames().contains ("After");
    }));
    const auto oldPosition = ports.getOutputDevices().indexOf (chosen);

    before.reset();
    ASSERT_TRUE (within10s ([&] { return ! ports.getOutputDevices().contains (gone); }));
    ASSERT_NE (ports.getOutputDevices().indexOf (chosen), oldPosition) << "the port that went was not listed before the chosen one";

    EXPECT_EQ (ports.openOutputDevice (gone), nullptr);

    auto output = ports.openOutputDevice (chosen);
    ASSERT_NE (output, nullptr);
    ASSERT_TRUE (output->sendMessageNow (sysexOfLength (8, 1)).wasOk());
    output.reset();
    EXPECT_TRUE (target.received (10000));
    // An event is queued for its receiver as it is sent: one sent to the wrong port would be there now.
    EXPECT_FALSE (after.received (0));

    ports.closeIdlePorts();
}

// The updater's port list reads the lists again when a port is renamed, and takes a read that
// finds its input pool overflowed (-ENOSPC: the announcements queued for it were dropped) for
// what it is: every port may have gone meanwhile, so every kept port is opened anew. Other
// programs' connections never reach it.
TEST (RealMidiSequencer, thePortListFollowsARenameAndTakesAnOverflowAsAnnouncementsLost)
{
    PrivateBroker broker;
    ASSERT_TRUE (broker.started);

    snd_seq_t* device = nullptr;
    ASSERT_EQ (snd_seq_open (&device, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK), 0);
    constexpr unsigned int caps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    const auto port = snd_seq_create_simple_port (device, "Dev", caps, 0);
    const auto identifier = juce::String (snd_seq_client_id (device)) + "-" + juce::String (port);

    AlsaPortList list;
    ASSERT_TRUE (list.open());

    const auto names = [&list]
    {
        juce::StringArray found;

        for (auto& listed : list.list (true))
            found.add (listed.name + "=" + listed.identifier);

        return found;
    };

    ASSERT_TRUE (names().contains ("Dev=" + identifier));
    const auto stamp = list.departureStamp (identifier);

    // A rename is announced; the lists show the new name (read at once on the announcement, or
    // after 3 s where a kernel announces none), and the port has not gone.
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca (&info);
    ASSERT_EQ (snd_seq_get_port_info (device, port, info), 0);
    snd_seq_port_info_set_name (info, "Dev renamed");
    ASSERT_EQ (snd_seq_set_port_info (device, port, info), 0);

    for (const auto deadline = juce::Time::getMillisecondCounter() + 10000; ! names().contains ("Dev renamed=" + identifier);)
    {
        ASSERT_LT (juce::Time::getMillisecondCounter(), deadline) << names().joinIntoString (", ");
        juce::Thread::sleep (5);
    }

    EXPECT_EQ (list.departureStamp (identifier), stamp);

    // Connections by other programs, more than its pool holds, cost it nothing.
    snd_seq_t* other = nullptr;
    ASSERT_EQ (snd_seq_open (&other, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK), 0);
    const auto out = snd_seq_create_simple_port (other, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, 0);

    for (int i = 0; i < 150; ++i)
    {
        ASSERT_EQ (snd_seq_connect_to (other, out, snd_seq_client_id (device), port), 0);
        ASSERT_EQ (snd_seq_disconnect_to (other, out, snd_seq_client_id (device), port), 0);
    }

    EXPECT_EQ (list.departureStamp (identifier), stamp);

    // 210 ports that come and go while nobody reads overflow its pool of 200 cells: the queue is
    // dropped, so the port counts as gone, and from then on it is stable again.
    for (int i = 0; i < 105; ++i)
        ASSERT_EQ (snd_seq_delete_simple_port (other, snd_seq_create_simple_port (other, "brief", SND_SEQ_PORT_CAP_READ, 0)), 0);

    const auto afterOverflow = list.departureStamp (identifier);
    EXPECT_NE (afterOverflow, stamp);
    EXPECT_EQ (list.departureStamp (identifier), afterOverflow);
    EXPECT_TRUE (names().contains ("Dev renamed=" + identifier));

    snd_seq_close (other);
    snd_seq_close (device);
}

// Several port sets (as several selectors have) send from several threads at once through the
// program's one sending client, each output from a port of its own on it: every message reaches
// its own device only, whole, however the threads interleave, and the client goes with the last
// output.
TEST (RealMidiSequencer, outputsOnSeveralThreadsShareOneSendingClientAndReachOnlyTheirOwnDevice)
{
    PrivateBroker broker;
    ASSERT_TRUE (broker.started);

    snd_seq_t* observer = nullptr;
    ASSERT_EQ (snd_seq_open (&observer, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK), 0);

    const auto sendingClients = [observer]
    {
        int count = 0;
        snd_seq_client_info_t* info = nullptr;
        snd_seq_client_info_alloca (&info);
        snd_seq_client_info_set_client (info, -1);

        while (snd_seq_query_next_client (observer, info) >= 0)
            count += juce::String (snd_seq_client_info_get_name (info)) == AlsaSendingClient::sharedClientName ? 1 : 0;

        return count;
    };

    const auto within10s = [] (const std::function<bool()>& condition)
    {
        for (auto deadline = juce::Time::getMillisecondCounter() + 10000; juce::Time::getMillisecondCounter() < deadline; juce::Thread::sleep (2))
            if (condition())
                return true;

        return false;
    };

    constexpr int senders = 3;
    juce::WaitableEvent opened[senders], proceed { true };
    juce::String failure[senders];
    std::vector<std::thread> threads;

    for (int i = 0; i < senders; ++i)
    {
        threads.emplace_back ([&, i]
        {
            const auto name = "Dev " + juce::String (i);
            snd_seq_t* device = nullptr;
            if (snd_seq_open (&device, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
            {
                failure[i] = "no client for " + name;
                opened[i].signal();
                return;
            }

            snd_seq_set_client_name (device, name.toRawUTF8());
            snd_seq_create_simple_port (device, name.toRawUTF8(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, 0);

            {
                JuceMidiPorts ports;
                std::unique_ptr<MidiOutputPort> output;

                if (within10s ([&] { return ports.getOutputNames().contains (name); }))
                    output = ports.openOutput (ports.getOutputNames().indexOf (name));

                failure[i] = output == nullptr ? "no output to " + name : juce::String();
                opened[i].signal();
                proceed.wait (30000);

                // 30 messages of two events each (the stream sends at most 256 bytes in one).
                for (int n = 0; n < 30 && failure[i].isEmpty(); ++n)
                {
                    const auto message = sysexOfLength (300 + n, i * 100 + n);
                    std::vector<juce::uint8> received;

                    if (const auto sent = output->sendMessageNow (message); sent.failed())
                        failure[i] = "message " + juce::String (n) + " refused: " + sent.getErrorMessage();

                    within10s ([&]
                    {
                        snd_seq_event_t* event = nullptr;

                        while (snd_seq_event_input (device, &event) >= 0)
                            if (event->type == SND_SEQ_EVENT_SYSEX)
                                received.insert (received.end(), (const juce::uint8*) event->data.ext.ptr,
                                                 (const juce::uint8*) event->data.ext.ptr + event->data.ext.len);

                        return ! received.empty() && received.back() == 0xf7;
                    });

                    if (failure[i].isEmpty() && received != std::vector<juce::uint8> (message.getRawData(), message.getRawData() + message.getRawDataSize()))
                        failure[i] = "message " + juce::String (n) + " did not arrive whole at " + name + " alone";
                }
            }

            snd_seq_close (device);
        });
    }

    for (auto& event : opened)
        EXPECT_TRUE (event.wait (30000));

    EXPECT_EQ (sendingClients(), 1);
    proceed.signal();

    for (auto& thread : threads)
        thread.join();

    for (const auto& text : failure)
        EXPECT_TRUE (text.isEmpty()) << text;

    // Closed with the last output (the sequencer takes the close in its own time).
    EXPECT_TRUE (within10s ([&] { return sendingClients() == 0; }));
    snd_seq_close (observer);
}
