#include "simulator/SimulatorConfig.h"
#include "simulator/SimFirmwareImage.h"

#include <gtest/gtest.h>

TEST (SimulatorConfig, anEmptyValueGivesTheDefaults)
{
    SimulatorConfig config;
    EXPECT_EQ (SimulatorConfig::parse ("", 6, config), "");
    EXPECT_EQ (config.version, "2.1.12");
    EXPECT_FALSE (config.bootloaderMode);
    EXPECT_EQ (config.bootloaderAfterSeconds, 5);
    EXPECT_EQ (config.reattachMs, 1500);
    EXPECT_EQ (config.pullCableAtPercent, -1);
    EXPECT_FALSE (config.corruptImage);
}

TEST (SimulatorConfig, everyKeyIsRead)
{
    SimulatorConfig config;
    EXPECT_EQ (SimulatorConfig::parse ("version=1.1.0p2; mode=bootloader;bootloader-after=never;reattach-ms=200;"
                                       "pull-cable-at=40;corrupt-image=true;", 11, config), "");
    EXPECT_EQ (config.version, "1.1.0p2");
    EXPECT_TRUE (config.bootloaderMode);
    EXPECT_EQ (config.bootloaderAfterSeconds, -1);
    EXPECT_EQ (config.reattachMs, 200);
    EXPECT_EQ (config.pullCableAtPercent, 40);
    EXPECT_TRUE (config.corruptImage);

    const auto settings = config.toSettings (11);
    EXPECT_EQ (settings.family, 11);
    EXPECT_EQ (settings.mode, SimulatedInstrument::Mode::bootloader);
    EXPECT_EQ (settings.bootloaderAfterMs, -1);
    EXPECT_TRUE (settings.rejectImages);
}

TEST (SimulatorConfig, unknownKeysAndBadValuesAreNamedAndChangeNothing)
{
    SimulatorConfig config;
    EXPECT_EQ (SimulatorConfig::parse ("colour=red", 6, config),
               "VFU_SIMULATE: unknown key 'colour' (known keys: version, mode, bootloader-after, reattach-ms, pull-cable-at, corrupt-image, silent, replay)");
    EXPECT_EQ (SimulatorConfig::parse ("mode=normal;mode=sleepy", 6, config),
               "VFU_SIMULATE: bad value 'sleepy' for mode (expected normal or bootloader)");
    EXPECT_FALSE (config.bootloaderMode);

    for (auto bad : { "version=2.1", "version=2.x.1", "version=200.1.1", "bootloader-after=-3", "reattach-ms=fast",
                      "pull-cable-at=101", "corrupt-image=yes", "justaword" })
        EXPECT_NE (SimulatorConfig::parse (bad, 6, config), "") << bad;

    EXPECT_EQ (config.version, "2.1.12");
}

TEST (SimulatorConfig, aVersionTheFamilysReplyCannotReportIsABadValue)
{
    SimulatorConfig config;

    // A Quorrel reports one 14-bit number: these would read as 3.0.1, 6.1.6 and 2.1.13.
    EXPECT_EQ (SimulatorConfig::parse ("version=2.10.1", 6, config),
               "VFU_SIMULATE: bad value '2.10.1' for version (expected a version that the Quorrel can report: "
               "a.b.c without p, b up to 9, c up to 99 (up to 9 when a is 0), at most 16.3.83)");

    for (auto bad : { "17.0.0", "2.1.13p1", "0.0.10", "16.3.84" })
        EXPECT_NE (SimulatorConfig::parse (juce::String ("version=") + bad, 6, config), "") << bad;

    for (auto good : { "2.1.13", "2.0.0", "10.0.0", "1.0.99", "16.3.83", "0.9.9" })
        EXPECT_EQ (SimulatorConfig::parse (juce::String ("version=") + good, 6, config), "") << good;

    EXPECT_NE (SimulatorConfig::parse ("version=1.2.10", 8, config), "");
    EXPECT_EQ (SimulatorConfig::parse ("version=2.1.13p1", 11, config), "");
    EXPECT_NE (SimulatorConfig::parse ("version=1.1.0p0", 11, config), "") << "p0 is sent as no p at all";
    EXPECT_NE (SimulatorConfig::parse ("version=0.63.7", 11, config), "") << "reads as 1.0.7";
    EXPECT_NE (SimulatorConfig::parse ("version=0.7.63", 12, config), "") << "reads as 1.0.7";
    EXPECT_EQ (config.version, "2.1.13p1");

    // The instrument itself takes no such version either.
    VirtualMidiPorts bus;
    SimulatedInstrument::Settings settings;
    settings.version = "2.10.1";
    EXPECT_THROW (SimulatedInstrument (bus, settings), std::invalid_argument);
    EXPECT_TRUE (bus.getInputNames().isEmpty());
}

TEST (SimFirmwareImage, theImageCarriesItsVersionAndAChecksumOverEverythingAfter12)
{
    const auto image = SimFirmwareImage::create (6, { 2, 1, 13 }, 3);
    const auto* b = static_cast<const juce::uint8*> (image.getData());
    ASSERT_EQ (image.getSize(), 13u);

    const std::vector<juce::uint8> head (b, b + 8);
    EXPECT_EQ (head, (std::vector<juce::uint8> { 0xf0, 0x04, 0x06, 0x12, 0x02, 0x01, 0x0d, 0x7f }));
    EXPECT_EQ (b[11], (0x02 + 0x01 + 0x0d + 0x7f + b[8] + b[9] + b[10]) & 0x7f);
    EXPECT_EQ (b[12], 0xf7);

    const auto tail = SimFirmwareImage::create (6, { 2, 1, 13 }, 3, true);
    EXPECT_EQ (tail.getSize(), 15u);
    EXPECT_EQ (static_cast<const juce::uint8*> (tail.getData())[13], 0x00);

    const auto parsed = SimFirmwareImage::parse (b, image.getSize());
    ASSERT_TRUE (parsed.has_value());
    EXPECT_EQ (parsed->version.toText(), "2.1.13");
    EXPECT_EQ (SimFirmwareImage::create (12, { 1, 1, 0, 0 }, 4).getSize(), 14u);
    EXPECT_EQ (static_cast<const juce::uint8*> (SimFirmwareImage::create (12, { 1, 1, 0, 0 }, 4).getData())[7], 0x00);
}

TEST (SimulatorConfig, replayNamesATraceAndAnUnreadableTraceMeansNoSimulation)
{
    SimulatorConfig config;
    EXPECT_TRUE (SimulatorConfig::parse ("replay=some file.trace", 6, config).isEmpty());
    EXPECT_EQ (config.replayFile, "some file.trace");
    EXPECT_EQ (SimulatorConfig::parse ("replay=", 6, config), "VFU_SIMULATE: bad value '' for replay (expected the path of a MIDI trace file)");

    juce::TemporaryFile bad;
    bad.getFile().replaceWithText ("not a trace\n");
    config.replayFile = bad.getFile().getFullPathName();
    EXPECT_EQ (createDemoSimulation (config, 6), nullptr);

    juce::TemporaryFile good;
    good.getFile().replaceWithText (juce::String (MidiTrace::firstLine) + "\n0.000 ports in \"Quorrel\" out \"Quorrel\"\n");
    config.replayFile = good.getFile().getFullPathName();
    auto demo = createDemoSimulation (config, 6);
    ASSERT_NE (demo, nullptr);
    EXPECT_NE (demo->replayed, nullptr);
    EXPECT_EQ (demo->instrument, nullptr);
}
