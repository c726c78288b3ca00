// The framework's own MIDI classes between two processes, through its ALSA backend and the
// test sequencer (run under scripts/with-test-sequencer.sh). With --echo-peer NAME the
// program is the other process: it offers a virtual input and a virtual output named NAME
// and sends back on the output whatever reaches the input.

#include <gtest/gtest.h>
#include <juce_audio_devices/juce_audio_devices.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <iostream>

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
    // and the peer's ports carry the client and port numbers the kernel would give them.
    auto inputs = juce::MidiInput::getAvailableDevices();
    auto inputId = findDevice (inputs, name);
    auto outputId = findDevice (juce::MidiOutput::getAvailableDevices(), name);
    auto peerClient = inputId.upToFirstOccurrenceOf ("-", false, false);
    EXPECT_GE (peerClient.getIntValue(), 128) << inputId;
    EXPECT_EQ (inputId, peerClient + "-0");
    EXPECT_EQ (outputId, peerClient + "-1");
    EXPECT_TRUE (findDevice (inputs, "Timer").isEmpty());

    Collector collector;
    auto input = juce::MidiInput::openDevice (inputId, &collector);
    auto output = juce::MidiOutput::openDevice (outputId);
    ASSERT_NE (input, nullptr);
    ASSERT_NE (output, nullptr);
    input->start();

    juce::Array<juce::MidiMessage> sent;
    sent.add (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100));
    sent.add (sysexOfLength (300000, 1));

    for (int i = 0; i < 300; ++i)
        sent.add (sysexOfLength (256, i));

    sent.add (juce::MidiMessage::controllerEvent (16, 7, 127));

    collector.expected = sent.size();

    for (auto& message : sent)
        output->sendMessageNow (message);

    ASSERT_TRUE (collector.complete.wait (30000)) << collector.take().size() << " of " << sent.size() << " arrived";

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

    auto before = juce::Time::getMillisecondCounter();
    output->sendMessageNow (sysexOfLength (1000, 2));
    EXPECT_LT (juce::Time::getMillisecondCounter() - before, 2000u);

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

int main (int argc, char** argv)
{
    if (argc == 3 && juce::String (argv[1]) == "--echo-peer")
        return runEchoPeer (argv[2]);

    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
