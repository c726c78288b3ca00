// The engine's firmware transfer with custom definitions against a bare device on the virtual
// bus: images that are empty or missing, end polling words, and a MIDI send that never returns.

#include "support/EngineTestSupport.h"
#include "base/AppLog.h"
#include "app/QuitDeadline.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FirmwarePackageWriter.h"
#include "firmware/SysexSender.h"
#include "midi/MIDIPortsSelector.h"
#include "trace/MidiTraceRecorder.h"
#include "midi/VirtualMidiPorts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace
{
    /** The instrument's side of the bus: records what arrives; when asked to, the first packet's
        send does not return until released, as a USB MIDI driver does when the device is unplugged
        in the middle of a SysEx message. */
    class BareDevice final : public VirtualMidiPorts::Device
    {
    public:
        void receivedFromUpdater (const juce::MidiMessage& message) override
        {
            {
                const std::lock_guard<std::mutex> guard (lock);
                sizes.push_back (message.getRawDataSize());
            }

            arrived.signal();

            if (blockSends)
                released.wait (-1);
        }

        std::vector<int> getSizes() const
        {
            const std::lock_guard<std::mutex> guard (lock);
            return sizes;
        }

        bool blockSends = false;
        juce::WaitableEvent arrived { true }, released { true };

    private:
        mutable std::mutex lock;
        std::vector<int> sizes;
    };

    class EngineTransfer : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            bus = std::make_shared<VirtualMidiPorts>();
            plug = bus->plugIn ("Quorrel", "Quorrel", &device);
            auto& selector = MIDIPortsSelector::getInstance();
            selector.reset();
            selector.setPorts (bus);
            ASSERT_TRUE (selector.selectInput ("Quorrel"));
            ASSERT_TRUE (selector.selectOutput ("Quorrel"));
            folder = juce::File::createTempFile ("packages");
            folder.createDirectory();
        }

        void TearDown() override
        {
            device.released.signal();
            engine.reset();
            bus->pullOut (plug);
            MIDIPortsSelector::getInstance().reset();
            folder.deleteRecursively();
        }

        /** A package 2.1.13 holding one image "quorrel-fw-2.1.13.syx" of that many bytes. */
        void writePackage (int imageSize)
        {
            juce::MemoryBlock image;
            juce::String error;

            if (imageSize > 0)
                image = FirmwareImage::make (6, "2.1.13", imageSize, false, error);

            ASSERT_TRUE (error.isEmpty()) << error;
            ASSERT_TRUE (FirmwarePackageWriter::write (folder.getChildFile ("quorrel-fw-2.1.13.vfw"),
                                                       { { "quorrel-fw-2.1.13.syx", image } }, error)) << error;
        }

        void start (const juce::String& states, std::function<void (const SysexSender&)> afterSenderStarted = {})
        {
            engine = std::make_unique<FirmwareUpdater> (quorrelDocument (states, "Send"), "Quorrel", false, &callback,
                                                        juce::StringArray { folder.getFullPathName() });
            ASSERT_TRUE (engine->selectFirmwareVersion ("2.1.13"));
            engine->afterSenderStarted = std::move (afterSenderStarted);
            engine->startThread();
        }

        static juce::String sendState (const juce::String& endPollingMode, const juce::String& before = {})
        {
            return "<State name=\"Send\" pollingMode=\"none\">" + before
                 + "  <SendSysEx messageKind=\"quorrel-fw-$(version)\" packetSize=\"256\" endPollingMode=\"" + endPollingMode + "\">"
                   "    <PollingState value=\"device detected\" gotoState=\"Done\"/>"
                   "    <PollingState value=\"no device\" gotoState=\"Lost\"/>"
                   "  </SendSysEx>"
                   "  <Print text=\"after\"/>"
                   "</State>"
                   "<State name=\"Done\" pollingMode=\"none\"/><State name=\"Lost\" pollingMode=\"none\"/>";
        }

        LogCapture log;
        RecordingCallback callback;
        BareDevice device;
        std::shared_ptr<VirtualMidiPorts> bus;
        VirtualMidiPorts::PlugId plug = 0;
        std::unique_ptr<FirmwareUpdater> engine;
        juce::File folder;
    };
}

TEST_F (EngineTransfer, anEmptyImageSendsNothingReportsTheTransferCompleteAndEndPollingFollows)
{
    ASSERT_NO_FATAL_FAILURE (writePackage (0));
    ASSERT_NO_FATAL_FAILURE (start (sendState ("MIDI ports")));

    ASSERT_TRUE (pumpUntil ([&] { return callback.lastState() == "Done"; }, 5000)) << callback.events().joinIntoString (" | ");
    EXPECT_TRUE (callback.events().contains ("progress 1.00"));
    EXPECT_TRUE (device.getSizes().empty());

    for (auto& line : log.lines())
        EXPECT_FALSE (line.startsWith ("Send '")) << line;
}

namespace
{
    /** The bus's ports, whose outputs refuse every send after the first `accepted` ones (a
        receiver that stopped reading), while every port stays listed. */
    struct RefusingPorts final : MidiPorts, MidiOutputPort
    {
        RefusingPorts (std::shared_ptr<MidiPorts> b, int a) : bus (std::move (b)), accepted (a), output (bus->openOutput (0)) {}

        juce::StringArray getInputNames() override  { return bus->getInputNames(); }
        juce::StringArray getOutputNames() override { return bus->getOutputNames(); }
        std::unique_ptr<MidiInputPort> openInput (int index, MidiPortReceiver& r) override { return bus->openInput (index, r); }
        std::unique_ptr<MidiOutputPort> openOutput (int) override { return std::make_unique<Forward> (*this); }

        juce::Result sendMessageNow (const juce::MidiMessage& m) override
        {
            return accepted-- > 0 ? output->sendMessageNow (m) : juce::Result::fail ("the receiver is full");
        }

        struct Forward final : MidiOutputPort
        {
            explicit Forward (MidiOutputPort& p) : port (p) {}
            juce::Result sendMessageNow (const juce::MidiMessage& m) override { return port.sendMessageNow (m); }
            MidiOutputPort& port;
        };

        std::shared_ptr<MidiPorts> bus;
        std::atomic<int> accepted;
        std::unique_ptr<MidiOutputPort> output;
    };
}

TEST_F (EngineTransfer, aRefusedPacketEndsTheTransferAtOnceWithOneLineAndTakesTheLostConnectionPathEvenAsTheFirst)
{
    ASSERT_NO_FATAL_FAILURE (writePackage (3000));

    for (const int accepted : { 0, 3 })
    {
        MIDIPortsSelector::getInstance().setPorts (std::make_shared<RefusingPorts> (bus, accepted));
        ASSERT_NO_FATAL_FAILURE (start (sendState ("MIDI ports")));
        ASSERT_TRUE (pumpUntil ([&] { return callback.lastState() == "Lost"; }, 10000)) << callback.events().joinIntoString (" | ");
        EXPECT_EQ (log.count ("MIDI output [Quorrel] refused a packet of 'quorrel-fw-2.1.13.syx' after "
                              + juce::String (accepted * 256) + " bytes: the receiver is full"), 1);
        EXPECT_FALSE (callback.events().contains ("progress 1.00"));
        EXPECT_EQ (device.getSizes().size(), (size_t) accepted);
        engine.reset();
        callback.clear();
    }
}

TEST_F (EngineTransfer, aSenderFinishedBeforeTheWatchBeginsIsNotWatchedItsRefusalStillCountsAndEndPollingFollowsAWholeImage)
{
    // The engine first looks at the sender once it has finished: a first packet refused at once,
    // then a one-packet image sent whole before the instrument went away. The log and the
    // device's record run on across both runs.
    ASSERT_NO_FATAL_FAILURE (writePackage (300));

    for (const int accepted : { 0, 1 })
    {
        MIDIPortsSelector::getInstance().setPorts (std::make_shared<RefusingPorts> (bus, accepted));
        ASSERT_NO_FATAL_FAILURE (start (sendState ("MIDI ports"), [&] (const SysexSender& sender)
        {
            for (int waited = 0; waited < 5000 && ! sender.isFinished(); ++waited)
                juce::Thread::sleep (1);

            if (accepted > 0)
                bus->pullOut (plug);
        }));

        ASSERT_TRUE (pumpUntil ([&] { return callback.lastState() == "Lost"; }, 10000)) << callback.events().joinIntoString (" | ");
        EXPECT_EQ (device.getSizes().size(), (size_t) accepted);
        EXPECT_EQ (log.count ("MIDI output [Quorrel] refused a packet of 'quorrel-fw-2.1.13.syx' after 0 bytes: the receiver is full"), 1);

        // No pass: no progress line, and no port check whose failure would have skipped end polling.
        for (auto& line : log.lines())
            EXPECT_FALSE (line.startsWith ("Send '") || line == "Connection break !!!") << line;

        engine.reset();
        callback.clear();
    }
}

TEST_F (EngineTransfer, anEndPollingModeThatIsNoPollingWordMeansNoEndPollingAndEverySendOfTheStateRuns)
{
    // The package holds both images the State sends; one without either is never offered.
    juce::String error;
    juce::Array<FirmwarePackageWriter::Image> images;
    images.add ({ "quorrel-fw-2.1.13.syx", FirmwareImage::make (6, "2.1.13", 300, false, error) });
    images.add ({ "quorrel-extra-2.1.13.syx", FirmwareImage::make (6, "2.1.13", 200, false, error) });
    ASSERT_TRUE (FirmwarePackageWriter::write (folder.getChildFile ("quorrel-fw-2.1.13.vfw"), images, error)) << error;
    ASSERT_NO_FATAL_FAILURE (start (sendState ("panel state", "<SendSysEx messageKind=\"quorrel-extra-$(version)\"/>")));

    ASSERT_TRUE (pumpUntil ([&] { return callback.count ("print after") == 1; }, 5000)) << callback.events().joinIntoString (" | ");
    pumpUntil ([&] { return device.getSizes().size() == 2; }, 3000);
    pumpFor (300);
    EXPECT_EQ (device.getSizes(), (std::vector<int> { 200, 300 }));
    EXPECT_EQ (callback.states(), juce::StringArray ("none > Send"));
}

TEST_F (EngineTransfer, atQuitAnEngineThatStopsInTimeIsLeftToTheNormalShutdown)
{
    ASSERT_NO_FATAL_FAILURE (writePackage (3000));
    ASSERT_NO_FATAL_FAILURE (start (sendState ("midi ports")));
    ASSERT_TRUE (pumpUntil ([&] { return device.arrived.wait (0); }, 5000));

    const auto started = juce::Time::getMillisecondCounter();
    QuitDeadline::stopEngineOrEndProcess (*engine, 5000);
    EXPECT_LT (juce::Time::getMillisecondCounter() - started, 1000u);
    EXPECT_FALSE (engine->isThreadRunning());
    EXPECT_FALSE (log.contains ("shutdown"));
}

#if ! JUCE_WINDOWS // setenv; the child finds the log's path in the environment
TEST_F (EngineTransfer, atQuitASendThatNeverReturnsIsLoggedTracedAndTheProcessEndsWithoutItAfterItsLastActions)
{
    GTEST_FLAG_SET (death_test_style, "threadsafe");

    // The child process runs this test again from its start; it finds the log's path here.
    const char* variable = "VFU_TEST_QUIT_LOG";

    if (std::getenv (variable) == nullptr)
        ::setenv (variable, juce::File::createTempFile ("quit.log").getFullPathName().toRawUTF8(), 1);

    const juce::File logFile (juce::String::fromUTF8 (std::getenv (variable)));
    const juce::File traceFile (logFile.getFullPathName() + ".trace");
    logFile.deleteFile();

    ASSERT_NO_FATAL_FAILURE (writePackage (3000));
    device.blockSends = true;
    const auto started = juce::Time::getMillisecondCounter();

    EXPECT_EXIT (
        {
            AppLog::createLogAt (logFile, "quit test");
            MidiTraceRecorder::enableTracing (traceFile, "Quorrel");
            const QuitDeadline::LastAction restore ([] { std::fprintf (stderr, "the last action ran"); });
            start (sendState ("midi ports"));
            pumpUntil ([&] { return device.arrived.wait (0); }, 5000);
            QuitDeadline::stopEngineOrEndProcess (*engine, 5000);
            std::fprintf (stderr, "the quit returned");
        },
        ::testing::ExitedWithCode (0), "the last action ran");

    const auto elapsed = juce::Time::getMillisecondCounter() - started;
    ::unsetenv (variable);

    auto lines = juce::StringArray::fromLines (logFile.loadFileAsString());
    lines.removeEmptyStrings();
    logFile.deleteFile();

    // The packet whose send never returned is in the trace, as the run of the image it began.
    auto traceLines = juce::StringArray::fromLines (traceFile.loadFileAsString());
    traceLines.removeEmptyStrings();
    traceFile.deleteFile();
    ASSERT_FALSE (traceLines.isEmpty());
    EXPECT_TRUE (traceLines[traceLines.size() - 1].contains (" out \"Quorrel\" image \"quorrel-fw-2.1.13.syx\" packets=1 bytes="))
        << traceLines.joinIntoString ("\n");

    for (auto& line : lines)
        line = line.fromFirstOccurrenceOf (" - ", false, false);

    ASSERT_GE (lines.size(), 3) << lines.joinIntoString ("\n");
    EXPECT_EQ (lines[lines.size() - 1], "shutdown");
    EXPECT_EQ (lines[lines.size() - 2], "Thread 'FirmwareUpdater' (waiting for thread 'SysexSender', whose MIDI send "
                                        "has not returned) did not end within 5000 ms; quitting without waiting for it");
    EXPECT_TRUE (lines.contains ("Sender thread timed out waiting for exit!"));
    EXPECT_GE (elapsed, 5000u);
}
#endif
