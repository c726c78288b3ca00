#include "firmware/FirmwareImage.h"
#include "firmware/FirmwarePackageWriter.h"
#include "firmware/FirmwarePackageStore.h"

#include <gtest/gtest.h>

namespace
{
    juce::MemoryBlock makeImage (int family, const juce::String& version, juce::int64 size, bool tail)
    {
        juce::String error;
        auto image = FirmwareImage::make (family, version, size, tail, error);
        EXPECT_TRUE (error.isEmpty()) << error;
        return image;
    }

    int byteAt (const juce::MemoryBlock& block, size_t index) { return (int) static_cast<const juce::uint8*> (block.getData())[index]; }
}

TEST (FirmwareImage, theShippedImageIsOneSysExMessageOfTheQuorrelFamilyWithItsVersionAndChecksum)
{
    const auto image = makeImage (6, "2.1.13", 359740, false);
    ASSERT_EQ (image.getSize(), 359740u);

    const int header[] = { 0xf0, 0x04, 0x06, 0x12, 0x02, 0x01, 0x0d, 0x7f };
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ (byteAt (image, i), header[i]) << "byte " << i;

    EXPECT_EQ (byteAt (image, image.getSize() - 1), 0xf7);

    unsigned int sum = 0;
    for (size_t i = 4; i < image.getSize() - 2; ++i)
    {
        ASSERT_LT (byteAt (image, i), 0x80) << "byte " << i;
        sum += (unsigned int) byteAt (image, i);
    }
    EXPECT_EQ ((int) (sum & 0x7f), byteAt (image, image.getSize() - 2));

    const auto description = FirmwareImage::inspect (image);
    EXPECT_TRUE (description.valid) << description.error;
    EXPECT_EQ (description.familyLowBits, 6);
    EXPECT_EQ (description.version, "2.1.13");
    EXPECT_FALSE (description.hasTail);
}

TEST (FirmwareImage, tailBytesFollowTheEndOfTheMessageWithinTheGivenSize)
{
    const auto image = makeImage (11, "1.2.0p3", 300, true);
    ASSERT_EQ (image.getSize(), 300u);
    EXPECT_EQ (byteAt (image, 2), 0x0b);
    EXPECT_EQ (byteAt (image, 7), 0x03);
    EXPECT_EQ (byteAt (image, 297), 0xf7);
    EXPECT_EQ (byteAt (image, 298), 0x00);
    EXPECT_EQ (byteAt (image, 299), 0x00);

    const auto description = FirmwareImage::inspect (image);
    EXPECT_TRUE (description.valid) << description.error;
    EXPECT_TRUE (description.hasTail);
    EXPECT_EQ (description.version, "1.2.0p3");
}

TEST (FirmwareImage, aChangedOrCutImageIsNotValid)
{
    auto image = makeImage (6, "2.1.13", 1000, false);
    static_cast<juce::uint8*> (image.getData())[500] ^= 0x01;
    EXPECT_FALSE (FirmwareImage::inspect (image).valid);

    const auto whole = makeImage (6, "2.1.13", 1000, false);
    EXPECT_FALSE (FirmwareImage::inspect (whole.getData(), 999).valid);
    EXPECT_FALSE (FirmwareImage::inspect (whole.getData(), 3).valid);
    EXPECT_FALSE (FirmwareImage::inspect (nullptr, 0).valid);
}

TEST (FirmwareImage, versionsThatDoNotFitTheMessageAndTinySizesAreRefused)
{
    juce::String error;
    EXPECT_TRUE (FirmwareImage::make (6, "2.1", 1000, false, error).isEmpty());
    EXPECT_FALSE (error.isEmpty());
    EXPECT_TRUE (FirmwareImage::make (6, "2.100.1", 1000, false, error).isEmpty());
    EXPECT_TRUE (FirmwareImage::make (6, "2.1.1px", 1000, false, error).isEmpty());
    EXPECT_TRUE (FirmwareImage::make (6, "2.1.13", 9, false, error).isEmpty());
    EXPECT_TRUE (FirmwareImage::make (6, "2.1.13", 11, true, error).isEmpty());
    EXPECT_EQ (FirmwareImage::make (6, "2.1.13", 10, false, error).getSize(), 10u);
}

TEST (FirmwarePackageWriter, theShippedPackageStoresTheListFirstAsOneLineAndVerifies)
{
    const auto image = makeImage (6, "2.1.13", 359740, false);
    const auto package = FirmwarePackageWriter::build ({ { "quorrel-fw-2.1.13.syx", image } });

    juce::MemoryInputStream stream (package, false);
    juce::ZipFile zip (stream);
    ASSERT_EQ (zip.getNumEntries(), 2);
    EXPECT_EQ (zip.getEntry (0)->filename, "quorrel-fw-2.1.13.sha");
    EXPECT_EQ (zip.getEntry (1)->filename, "quorrel-fw-2.1.13.syx");
    EXPECT_EQ (zip.getEntry (1)->uncompressedSize, 359740);

    std::unique_ptr<juce::InputStream> list (zip.createStreamForEntry (0));
    const auto text = list->readEntireStreamAsString();
    // 64 hex digits, " *", the 21-character name, no line end.
    EXPECT_EQ (text.length(), 87);
    EXPECT_TRUE (text.endsWith (" *quorrel-fw-2.1.13.syx"));
    EXPECT_TRUE (text.substring (0, 64).containsOnly ("0123456789abcdef"));

    juce::MemoryInputStream again (package, false);
    EXPECT_EQ (FirmwarePackageStore::verifyPackage (again), 2011399);
}
