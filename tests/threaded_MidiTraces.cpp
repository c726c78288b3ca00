// MIDI traces: recording at the port seam, replaying a recorded instrument, and the recorded
// cases in tests/traces replayed against the engine with the inbuilt Quorrel definitions.
//
// To record the cases again (after a deliberate change of what goes over the wire), run
//   VFU_RECORD_TRACES=1 build/tests/vfu_threaded_tests --gtest_filter='RecordedTraces*'
// which plays them against the simulated instrument and rewrites tests/traces.

#include "support/EngineTestSupport.h"
#include "support/MidiTestRig.h"
#include "definitions/InbuiltDefinitions.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FirmwarePackageWriter.h"
#include "firmware/SysexSender.h"
#include "trace/MidiTraceRecorder.h"
#include "trace/TracingMidiPorts.h"
#include "simulator/ReplayedInstrument.h"
#include "simulator/SimIdentityReply.h"
#include "support/MidiLogCapture.h"

#include <gtest/gtest.h>
#include <csignal>

#if ! JUCE_WINDOWS
 #include <sys/resource.h>
#endif
#include <juce_cryptography/juce_cryptography.h>

namespace
{
MidiTrace readBack (const juce::File& file)
{
    MidiTrace trace;
    const auto error = MidiTrace::load (file, trace);
    EXPECT_TRUE (error.isEmpty()) << error << "\n" << file.loadFileAsString();
    return trace;
}

juce::String describeAll (const MidiTrace& trace)
{
    juce::StringArray lines;

    for (auto& event : trace.events)
        lines.add (MidiTrace::describe (event));

    return lines.joinIntoString ("\n");
}

const std::vector<juce::uint8> identityRequest { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 };
}

//==============================================================================
TEST (MidiTraceRecording, aPollIsRecordedAsPortsRequestAndReplyWithTheHeaderFirst)
{
    juce::TemporaryFile file;
    MidiTestRig rig;
    SimulatedInstrument instrument (*rig.ports, MidiTestRig::instrument (6, "2.1.12"));

    {
        auto recorder = std::make_shared<MidiTraceRecorder> (file.getFile(), "2.1.12", "Quorrel");
        ASSERT_TRUE (recorder->isOpen());
        rig.selector.setPorts (std::make_shared<TracingMidiPorts> (rig.ports, recorder));
        recorder->recordNote ("definitions", "inbuilt");

        const auto result = rig.pollOnWorker ([&] { return rig.selector.scanForDevice (6, false); });
        ASSERT_EQ (result.first, PollingResult::DeviceDetected);
        rig.selector.setPorts (rig.ports);
    }

    const auto lines = juce::StringArray::fromLines (file.getFile().loadFileAsString());
    EXPECT_EQ (lines[0], MidiTrace::firstLine);
    EXPECT_EQ (lines[1], "# version 2.1.12");
    EXPECT_EQ (lines[2], "# device Quorrel");
    EXPECT_EQ (lines[3], "# definitions inbuilt");

    const auto trace = readBack (file.getFile());
    ASSERT_GE (trace.events.size(), 3u) << describeAll (trace);
    EXPECT_EQ (MidiTrace::describe (trace.events[0]), "ports in \"Quorrel\" out \"Quorrel\"");
    EXPECT_EQ (MidiTrace::describe (trace.events[1]), "out \"Quorrel\" F0 7E 7F 06 01 F7");
    EXPECT_EQ (trace.events[2].kind, MidiTrace::Event::Kind::in);
    EXPECT_EQ (trace.events[2].port, "Quorrel");
    EXPECT_EQ (trace.events[2].bytes[0], 0xf0);

    // Times have three decimals and never go back.
    EXPECT_TRUE (lines[4].upToFirstOccurrenceOf (" ", false, false).fromFirstOccurrenceOf (".", false, false).length() == 3) << lines[4];
}

TEST (MidiTraceRecording, anImageRunIsOneLineWithItsPacketCountSizeAndDigestAndAPortChangeSplitsIt)
{
    juce::TemporaryFile file;
    auto bus = std::make_shared<VirtualMidiPorts>();
    const auto plug = bus->plugIn ("Synth", "Synth", nullptr);
    juce::MemoryBlock image;

    for (int i = 0; i < 1000; ++i)
        image.append (std::vector<juce::uint8> { (juce::uint8) (i & 0x7f) }.data(), 1);

    {
        auto recorder = std::make_shared<MidiTraceRecorder> (file.getFile(), "2.1.12", "Quorrel");
        TracingMidiPorts ports (bus, recorder);
        ASSERT_EQ (ports.getOutputNames(), juce::StringArray ("Synth"));
        auto output = ports.openOutput (0);
        ASSERT_NE (output, nullptr);

        recorder->beginImageRun ("quorrel-fw-2.1.13.syx");
        EXPECT_TRUE (output->sendMessageNow (juce::MidiMessage (image.getData(), 600, 0.0)).wasOk());
        EXPECT_TRUE (output->sendMessageNow (juce::MidiMessage (static_cast<const char*> (image.getData()) + 600, 100, 0.0)).wasOk());
        bus->pullOut (plug);
        ports.getInputNames();
        // The port has gone: the sends are refused, and the trace still shows what was tried.
        EXPECT_TRUE (output->sendMessageNow (juce::MidiMessage (static_cast<const char*> (image.getData()) + 700, 300, 0.0)).failed());
        recorder->endImageRun();
        EXPECT_TRUE (output->sendMessageNow (juce::MidiMessage (identityRequest.data(), (int) identityRequest.size())).failed());
    }

    const auto trace = readBack (file.getFile());
    const auto firstPart = juce::SHA256 (image.getData(), 700).toHexString();
    const auto secondPart = juce::SHA256 (static_cast<const char*> (image.getData()) + 700, 300).toHexString();

    ASSERT_EQ (trace.events.size(), 5u) << describeAll (trace);
    EXPECT_EQ (MidiTrace::describe (trace.events[1]),
               "out \"Synth\" image \"quorrel-fw-2.1.13.syx\" packets=2 bytes=700 sha256=" + firstPart);
    EXPECT_EQ (MidiTrace::describe (trace.events[2]), "ports in out");
    EXPECT_EQ (MidiTrace::describe (trace.events[3]),
               "out \"Synth\" image \"quorrel-fw-2.1.13.syx\" packets=1 bytes=300 sha256=" + secondPart);
    EXPECT_EQ (MidiTrace::describe (trace.events[4]), "out \"Synth\" F0 7E 7F 06 01 F7");
}

#if ! JUCE_WINDOWS
TEST (MidiTraceRecording, aTraceThatCannotBeWrittenWholeStopsAtTheFailureAndSaysSoOnceInTheLog)
{
    // A file size limit stands in for a full disk: a write past it fails with EFBIG.
    constexpr rlim_t limit = 4096;
    juce::TemporaryFile file;
    MidiLogCapture log;
    std::signal (SIGXFSZ, SIG_IGN);
    rlimit before {};
    ASSERT_EQ (::getrlimit (RLIMIT_FSIZE, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = limit;
    ASSERT_EQ (::setrlimit (RLIMIT_FSIZE, &limited), 0);

    {
        auto recorder = std::make_shared<MidiTraceRecorder> (file.getFile(), "2.1.12", "Quorrel");
        ASSERT_TRUE (recorder->isOpen());

        for (int i = 0; i < 200; ++i)
            recorder->recordNote ("note", juce::String::repeatedString ("x", 100));
    }

    ::setrlimit (RLIMIT_FSIZE, &before);
    EXPECT_LE (file.getFile().getSize(), (juce::int64) limit);
    EXPECT_EQ (log.count ("Cannot write " + file.getFile().getFullPathName() + ": File too large; nothing more is written to it"), 1)
        << log.lines().joinIntoString ("\n");
}
#endif

//==============================================================================
namespace
{
MidiTrace traceOf (const juce::String& body)
{
    MidiTrace trace;
    const auto error = MidiTrace::parse (juce::String (MidiTrace::firstLine) + "\n" + body, trace);
    EXPECT_TRUE (error.isEmpty()) << error;
    return trace;
}
}

TEST (MidiTraceReplay, aMatchingRequestIsAnsweredWithTheRecordedReplyAndADifferentOneEndsTheAnswers)
{
    MidiLogCapture log;
    MidiTestRig rig;
    const auto identity = SimIdentityReply::normal (6, *SimVersion::fromText ("2.1.12"));
    const auto reply = MidiTrace::toHex (identity.getRawData(), (size_t) identity.getRawDataSize());
    ReplayedInstrument replayed (*rig.ports, traceOf ("0.000 ports in \"Quorrel\" out \"Quorrel\"\n"
                                                       "10.000 out \"Quorrel\" F0 7E 7F 06 01 F7\n"
                                                       "15.000 in \"Quorrel\" " + reply + "\n"
                                                       "20.000 out \"Quorrel\" F0 04 06 11 F7\n"
                                                       "25.000 in \"Quorrel\" F0 7E 00 06 02 F7\n"));

    ASSERT_TRUE (pumpUntil ([&] { return rig.ports->getOutputNames().contains ("Quorrel"); }, 2000));
    EXPECT_EQ (rig.pollOnWorker ([&] { return rig.selector.scanForDevice (6, false); }).first, PollingResult::DeviceDetected);
    EXPECT_EQ (rig.selector.getFirmwareVersion(), "2.1.12");

    // One poll more than recorded is answered like the last one.
    rig.selector.reset();
    EXPECT_EQ (rig.pollOnWorker ([&] { return rig.selector.scanForDevice (6, false); }).first, PollingResult::DeviceDetected);
    EXPECT_FALSE (replayed.hasDeparted());

    // The trace expects the erase command next; anything else departs from it.
    auto output = rig.ports->openOutput (0);
    ASSERT_NE (output, nullptr);
    EXPECT_TRUE (output->sendMessageNow (juce::MidiMessage (std::vector<juce::uint8> { 0xf0, 0x04, 0x06, 0x12, 0xf7 }.data(), 5)).wasOk());
    ASSERT_TRUE (pumpUntil ([&] { return replayed.hasDeparted(); }, 2000));
    EXPECT_TRUE (log.contains ("Replay: trace line 5 expected out \"Quorrel\" F0 04 06 11 F7 but the program sent "
                               "out \"Quorrel\" F0 04 06 12 F7; the replayed instrument stops answering"))
        << log.lines().joinIntoString ("\n");

    rig.selector.reset();
    EXPECT_NE (rig.pollOnWorker ([&] { return rig.selector.scanForDevice (6, false); }).first, PollingResult::DeviceDetected);
}

TEST (MidiTraceReplay, recordedRepeatsOfAPollAreSkippedWhenTheProgramMovesOnSooner)
{
    MidiTestRig rig;
    ReplayedInstrument replayed (*rig.ports, traceOf ("0.000 ports in \"Q\" out \"Q\"\n"
                                                       "10.000 out \"Q\" F0 01 F7\n"
                                                       "15.000 in \"Q\" F0 02 F7\n"
                                                       "1010.000 out \"Q\" F0 01 F7\n"
                                                       "1015.000 in \"Q\" F0 02 F7\n"
                                                       "1020.000 out \"Q\" F0 03 F7\n"
                                                       "1030.000 ports in out\n"));

    ASSERT_TRUE (pumpUntil ([&] { return rig.ports->getOutputNames().contains ("Q"); }, 2000));
    auto output = rig.ports->openOutput (0);
    ASSERT_NE (output, nullptr);
    EXPECT_TRUE (output->sendMessageNow (juce::MidiMessage (std::vector<juce::uint8> { 0xf0, 0x01, 0xf7 }.data(), 3)).wasOk());
    EXPECT_TRUE (output->sendMessageNow (juce::MidiMessage (std::vector<juce::uint8> { 0xf0, 0x03, 0xf7 }.data(), 3)).wasOk());

    // The instrument removes its ports as its last step and only then says it has finished.
    ASSERT_TRUE (pumpUntil ([&] { return replayed.isFinished() || replayed.hasDeparted(); }, 2000));
    EXPECT_FALSE (replayed.hasDeparted());
    EXPECT_TRUE (rig.ports->getOutputNames().isEmpty());
}

TEST (MidiTraceReplay, portsAppearAndVanishAtTheRecordedDelayAfterTheLastMatchedRequest)
{
    MidiTestRig rig;
    ReplayedInstrument replayed (*rig.ports, traceOf ("100.000 ports in \"A\" \"B\" out \"B\"\n"
                                                       "200.000 out \"B\" F0 01 F7\n"
                                                       "500.000 ports in \"B\" out\n"));

    EXPECT_TRUE (rig.ports->getInputNames().isEmpty());
    ASSERT_TRUE (pumpUntil ([&] { return rig.ports->getInputNames() == juce::StringArray ("A", "B"); }, 2000));
    EXPECT_EQ (rig.ports->getOutputNames(), juce::StringArray ("B"));

    // Nothing happens until the recorded request arrives; then the ports change 300 ms later.
    pumpFor (400);
    EXPECT_EQ (rig.ports->getOutputNames(), juce::StringArray ("B"));

    auto output = rig.ports->openOutput (0);
    ASSERT_NE (output, nullptr);
    const auto sentAt = juce::Time::getMillisecondCounterHiRes();
    EXPECT_TRUE (output->sendMessageNow (juce::MidiMessage (std::vector<juce::uint8> { 0xf0, 0x01, 0xf7 }.data(), 3)).wasOk());

    ASSERT_TRUE (pumpUntil ([&] { return rig.ports->getOutputNames().isEmpty(); }, 2000));
    EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - sentAt, 280.0);
    EXPECT_EQ (rig.ports->getInputNames(), juce::StringArray ("B"));
    EXPECT_TRUE (pumpUntil ([&] { return replayed.isFinished(); }, 1000));
    EXPECT_FALSE (replayed.hasDeparted());
}

//==============================================================================
namespace
{
/** One recorded case: the simulated instrument it was recorded from, the package, and what the
    user does. The same driver records it (VFU_RECORD_TRACES=1) and replays it. */
struct TraceCase
{
    const char* name;
    std::function<void (SimulatedInstrument::Settings&)> instrument;
    const char* imageVersion;
    int imageSize;
    bool pressInstall;       // the user clicks Install once the instrument is found
    const char* finalState;  // the run ends this long after reaching it
    int settleMs;
};

void PrintTo (const TraceCase& c, std::ostream* os) { *os << c.name; }

const std::vector<TraceCase>& traceCases()
{
    using Mode = SimulatedInstrument::Mode;
    static const std::vector<TraceCase> cases {
        { "whole-update", [] (auto& s) { s.bootloaderAfterMs = 300; }, "2.1.13", 3000, false, "Download complete", 300 },
        { "up-to-date", [] (auto& s) { s.version = "2.1.13"; }, "2.1.13", 3000, false, "Idle, device detected", 1500 },
        { "bootloader-at-start", [] (auto& s) { s.mode = Mode::bootloader; }, "2.1.13", 1500, true, "Download complete", 300 },
        { "cable-pulled", [] (auto& s) { s.mode = Mode::bootloader; s.pullCableAtPercent = 50; },
          "2.1.13", 3000, true, "Waiting for new firmware", 300 },
        { "rejected-image", [] (auto& s) { s.mode = Mode::bootloader; s.rejectImages = true; }, "2.1.13", 1500, true,
          "Error, bootloader detected", 300 },
        { "no-answer", [] (auto& s) { s.silent = true; }, "2.1.13", 3000, false, "Idle, no device", 2500 },
    };
    return cases;
}

juce::File tracesFolder() { return juce::File (VFU_TRACES_DIR); }

/** The engine's log lines with repeats of the block just before (a poll of up to four lines
    that repeats while the engine waits) counted once: how often a wait polls depends on timing. */
juce::StringArray comparable (const juce::StringArray& lines)
{
    constexpr int longestBlock = 4;
    juce::StringArray result;

    for (int i = 0; i < lines.size();)
    {
        int repeated = 0;

        for (int n = 1; n <= longestBlock && repeated == 0; ++n)
        {
            if (result.size() < n || i + n > lines.size())
                continue;

            bool same = true;

            for (int k = 0; k < n && same; ++k)
                same = lines[i + k] == result[result.size() - n + k];

            if (same)
                repeated = n;
        }

        if (repeated > 0)
        {
            i += repeated;
            continue;
        }

        result.add (lines[i++]);
    }

    return result;
}

class RecordedTraces : public ::testing::TestWithParam<TraceCase>
{
protected:
    void SetUp() override
    {
        bus = std::make_shared<VirtualMidiPorts>();
        MIDIPortsSelector::getInstance().reset();
        MIDIPortsSelector::getInstance().setPorts (bus);
        folder = juce::File::createTempFile ("packages");
        folder.createDirectory();
    }

    void TearDown() override
    {
        engine.reset();
        MidiTraceRecorder::disableTracing();
        instrument.reset();
        replayed.reset();
        MIDIPortsSelector::getInstance().setPorts (nullptr);
        MIDIPortsSelector::getInstance().reset();
        folder.deleteRecursively();
    }

    /** Runs the case against whatever is on the bus; returns the final State. */
    juce::String runCase (const TraceCase& c)
    {
        juce::String error;
        juce::Array<FirmwarePackageWriter::Image> images;
        images.add ({ "quorrel-fw-2.1.13.syx", FirmwareImage::make (6, c.imageVersion, c.imageSize, false, error) });

        if (error.isNotEmpty() || ! FirmwarePackageWriter::write (folder.getChildFile ("quorrel-fw-2.1.13.vfw"), images, error))
            return "no package: " + error;

        engine = std::make_unique<FirmwareUpdater> (InbuiltDefinitions::getText(), "Quorrel", false, &callback,
                                                    juce::StringArray { folder.getFullPathName() });
        engine->selectFirmwareVersion ("2.1.13");
        engine->startThread();

        if (c.pressInstall)
        {
            if (! pumpUntil ([&] { return callback.count ("button InstallCancel=Install enabled") >= 1; }, 10000))
                return "Install never enabled in " + callback.lastState();

            engine->buttonPressed ("InstallCancel", callback.lastState());
        }

        pumpUntil ([&] { return callback.lastState() == c.finalState; }, 20000);
        pumpFor (c.settleMs);
        engine->stopEngine (5000);
        pumpFor (50);
        return callback.lastState();
    }

    LogCapture log;
    RecordingCallback callback;
    std::shared_ptr<VirtualMidiPorts> bus;
    std::unique_ptr<SimulatedInstrument> instrument;
    std::unique_ptr<ReplayedInstrument> replayed;
    std::unique_ptr<FirmwareUpdater> engine;
    juce::File folder;
};
}

TEST_P (RecordedTraces, replayAgainstTheEngineReachesTheRecordedStateWithTheRecordedLogLines)
{
    const auto& c = GetParam();
    const auto traceFile = tracesFolder().getChildFile (juce::String (c.name) + ".trace");
    const auto expectedFile = tracesFolder().getChildFile (juce::String (c.name) + ".expected");

    if (juce::SystemStats::getEnvironmentVariable ("VFU_RECORD_TRACES", {}).isNotEmpty())
    {
        SimulatedInstrument::Settings settings;
        settings.reattachMs = 100;
        settings.eraseReattachMs = 100;
        c.instrument (settings);
        instrument = std::make_unique<SimulatedInstrument> (*bus, settings);
        ASSERT_TRUE (MidiTraceRecorder::enableTracing (traceFile, "Quorrel").isEmpty());
        MidiTraceRecorder::note ("definitions", "inbuilt");

        const auto state = runCase (c);
        MidiTraceRecorder::disableTracing();
        ASSERT_EQ (state, c.finalState);
        expectedFile.replaceWithText (state + "\n" + log.lines().joinIntoString ("\n") + "\n");
        return;
    }

    MidiTrace trace;
    const auto error = MidiTrace::load (traceFile, trace);
    ASSERT_TRUE (error.isEmpty()) << error;
    auto expected = juce::StringArray::fromLines (expectedFile.loadFileAsString().trimEnd());
    ASSERT_FALSE (expected.isEmpty()) << "nothing recorded in " << expectedFile.getFullPathName();
    const auto expectedState = expected[0];
    expected.remove (0);
    expected = comparable (expected);

    replayed = std::make_unique<ReplayedInstrument> (*bus, std::move (trace));
    EXPECT_EQ (runCase (c), expectedState);

    const auto lines = comparable (log.lines());

    for (int i = 0; i < juce::jmax (lines.size(), expected.size()); ++i)
    {
        if (lines[i] != expected[i])
        {
            ADD_FAILURE() << "log line " << i + 1 << " differs from the recording\n  recorded: " << expected[i]
                          << "\n  replayed: " << lines[i];
            break;
        }
    }

    EXPECT_FALSE (replayed->hasDeparted());
}

namespace
{
std::string caseName (const ::testing::TestParamInfo<TraceCase>& param)
{
    return juce::String (param.param.name).replaceCharacter ('-', '_').toStdString();
}
}

INSTANTIATE_TEST_SUITE_P (Cases, RecordedTraces, ::testing::ValuesIn (traceCases()), caseName);
