#include "simulator/SimulatorConfig.h"
#include "simulator/SimFirmwareImage.h"

#include <gtest/gtest.h>

TEST (SimulatorConfig, anEmptyValueGivesTheDefaults)
{
    SimulatorConfig config;
    EXPECT_EQ (SimulatorConfig::parse ("", config), "");
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
                                       "pull-cable-at=40;corrupt-image=true;", config), "");
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
    EXPECT_EQ (SimulatorConfig::parse ("colour=red", config),
               "VFU_SIMULATE: unknown key 'colour' (known keys: version, mode, bootloader-after, reattach-ms, pull-cable-at, corrupt-image, replay)");
    EXPECT_EQ (SimulatorConfig::parse ("mode=normal;mode=sleepy", config),
               "VFU_SIMULATE: bad value 'sleepy' for mode (expected normal or bootloader)");
    EXPECT_FALSE (config.bootloaderMode);

    for (auto bad : { "version=2.1", "version=2.x.1", "version=200.1.1", "bootloader-after=-3", "reattach-ms=fast",
                      "pull-cable-at=101", "corrupt-image=yes", "justaword" })
        EXPECT_NE (SimulatorConfig::parse (bad, config), "") << bad;

    EXPECT_EQ (config.version, "2.1.12");
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
    EXPECT_TRUE (SimulatorConfig::parse ("replay=some file.trace", config).isEmpty());
    EXPECT_EQ (config.replayFile, "some file.trace");
    EXPECT_EQ (SimulatorConfig::parse ("replay=", config), "VFU_SIMULATE: bad value '' for replay (expected the path of a MIDI trace file)");

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
