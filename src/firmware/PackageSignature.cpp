#include "PackageSignature.h"
#include "PackageVerifier.h"
#include "ZipEntryReader.h"

#include <cstring>

#ifndef VFU_PACKAGE_PUBLIC_KEY
 #define VFU_PACKAGE_PUBLIC_KEY ""
#endif

PackageSignature::PackageSignature (const juce::String& publicKeyHex)
{
    validKey = parseKey (publicKeyHex, key) && Ed25519::isValidPublicKey (key);
}

juce::String PackageSignature::builtInPublicKey()
{
    return VFU_PACKAGE_PUBLIC_KEY;
}

bool PackageSignature::isPublicKeyText (const juce::String& text)
{
    return text.length() == (int) Ed25519::keySize * 2 && text.containsOnly ("0123456789abcdefABCDEF");
}

bool PackageSignature::parseKey (const juce::String& hex, Ed25519::Key& destination)
{
    if (! isPublicKeyText (hex))
        return false;

    for (size_t i = 0; i < destination.size(); ++i)
        destination[i] = (std::uint8_t) hex.substring ((int) i * 2, (int) i * 2 + 2).getHexValue32();

    return true;
}

juce::String PackageSignature::entryNameFor (const juce::String& checksumListName)
{
    return checksumListName.dropLastCharacters (4) + ".sig";
}

juce::MemoryBlock PackageSignature::signedMessage (const juce::String& checksumListName, const juce::MemoryBlock& checksumList)
{
    // The context names this use and format; the length keeps the name and the list apart.
    static constexpr char context[] = "vfu-package-signature-2\n";
    const auto nameLength = (juce::uint32) checksumListName.getNumBytesAsUTF8();

    juce::MemoryOutputStream message;
    message.write (context, sizeof (context) - 1);
    message.writeIntBigEndian ((int) nameLength);
    message.write (checksumListName.toRawUTF8(), nameLength);
    message << checksumList;
    return message.getMemoryBlock();
}

juce::String PackageSignature::check (juce::ZipFile& archive, const juce::String& checksumListName,
                                      const juce::MemoryBlock& checksumList) const
{
    if (! validKey)
        return "the updater's package public key is not a valid Ed25519 public key";

    const auto entryName = entryNameFor (checksumListName);
    const auto index = PackageVerifier::findEntry (archive, entryName);

    if (index < 0)
        return "not signed";

    for (int i = index + 1; i < archive.getNumEntries(); ++i)
        if (std::strcmp (archive.getEntry (i)->filename.toRawUTF8(), entryName.toRawUTF8()) == 0)
            return "malformed signature: the package holds two entries named " + entryName;

    // The declared size is checked before anything is read, so an oversized entry costs nothing.
    const auto declaredSize = archive.getEntry (index)->uncompressedSize;

    if (declaredSize != (juce::int64) Ed25519::signatureSize)
        return "malformed signature: " + entryName + " holds " + juce::String (declaredSize)
               + " bytes, not " + juce::String ((int) Ed25519::signatureSize);

    juce::MemoryBlock bytes;

    if (! ZipEntryReader::readWhole (archive, index, declaredSize, bytes))
        return "malformed signature: " + entryName + " cannot be read";

    Ed25519::Signature signature {};
    std::memcpy (signature.data(), bytes.getData(), signature.size());

    const auto message = signedMessage (checksumListName, checksumList);

    if (! Ed25519::verify (key, message.getData(), message.getSize(), signature))
        return "signature does not verify";

    return {};
}
