#include "PackageSigningKey.h"

#include "FirmwarePackageStore.h"
#include "PackageSignature.h"
#include "PackageVerifier.h"
#include "../base/RegularFile.h"
#include "ZipEntryReader.h"

#include <cstring>

#if JUCE_LINUX || JUCE_MAC || JUCE_BSD
 #include <fcntl.h>
 #include <unistd.h>
#endif

namespace
{
    constexpr int maximumKeyFileSize = 4096;

    juce::String toHex (const Ed25519::Key& key)
    {
        return juce::String::toHexString (key.data(), (int) key.size(), 0);
    }

    juce::String valueAfter (const juce::StringArray& lines, const juce::String& label)
    {
        for (auto& line : lines)
            if (line.startsWith (label + " "))
                return line.fromFirstOccurrenceOf (" ", false, false).trim();

        return {};
    }

    /** Creates the file for its owner alone and writes the text; an existing file is never replaced. */
    bool writeOwnerOnly (const juce::File& file, const juce::String& text, juce::String& error)
    {
        if (file.exists())
        {
            error = file.getFullPathName() + " exists already; a key file is never replaced";
            return false;
        }

       #if JUCE_LINUX || JUCE_MAC || JUCE_BSD
        // Created with owner-only permissions, so the secret is never readable by others, not even briefly.
        const auto fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);

        if (fd < 0)
        {
            error = "cannot create " + file.getFullPathName();
            return false;
        }

        const auto* data = text.toRawUTF8();
        const auto size = (ssize_t) text.getNumBytesAsUTF8();
        const bool written = ::write (fd, data, (size_t) size) == size;
        const bool closed = ::close (fd) == 0;

        if (! written || ! closed)
        {
            file.deleteFile();
            error = "cannot write " + file.getFullPathName();
            return false;
        }

        return true;
       #else
        // A new file in the user's own folders inherits that folder's owner-only access list.
        if (! file.replaceWithText (text, false, false, "\n"))
        {
            error = "cannot write " + file.getFullPathName();
            return false;
        }

        return true;
       #endif
    }
}

PackageSigningKey PackageSigningKey::generate()
{
    PackageSigningKey key;
    key.valid = Ed25519::generate (key.secret, key.publicKey);
    return key;
}

PackageSigningKey PackageSigningKey::fromSecretHex (const juce::String& secretHex)
{
    PackageSigningKey key;
    key.valid = PackageSignature::parseKey (secretHex, key.secret) && Ed25519::publicKeyFor (key.secret, key.publicKey);
    return key;
}

PackageSigningKey PackageSigningKey::load (const juce::File& keyFile, juce::String& error)
{
    juce::MemoryBlock bytes;

    if (! RegularFile::read (keyFile, maximumKeyFileSize, bytes))
    {
        error = "cannot read the key file " + keyFile.getFullPathName();
        return {};
    }

    const auto lines = juce::StringArray::fromLines (bytes.toString());
    auto key = fromSecretHex (valueAfter (lines, "secret-key"));

    if (! key.isValid())
    {
        error = keyFile.getFullPathName() + " holds no secret key";
        return {};
    }

    // The public key line is for people; if present it must be the one the secret gives.
    const auto statedPublicKey = valueAfter (lines, "public-key");

    if (statedPublicKey.isNotEmpty() && statedPublicKey.toLowerCase() != key.getPublicKeyHex())
    {
        error = keyFile.getFullPathName() + " is damaged: its public key does not belong to its secret key";
        return {};
    }

    return key;
}

PackageSigningKey::PackageSigningKey (PackageSigningKey&& other) noexcept
    : secret (other.secret), publicKey (other.publicKey), valid (other.valid)
{
    other.clear();
}

PackageSigningKey& PackageSigningKey::operator= (PackageSigningKey&& other) noexcept
{
    secret = other.secret;
    publicKey = other.publicKey;
    valid = other.valid;
    other.clear();
    return *this;
}

PackageSigningKey::~PackageSigningKey()
{
    clear();
}

void PackageSigningKey::clear() noexcept
{
    // Through a volatile pointer, so that clearing memory that is about to be freed is not optimised away.
    volatile auto* bytes = secret.data();

    for (size_t i = 0; i < secret.size(); ++i)
        bytes[i] = 0;

    valid = false;
}

juce::String PackageSigningKey::getPublicKeyHex() const
{
    return valid ? toHex (publicKey) : juce::String();
}

bool PackageSigningKey::save (const juce::File& keyFile, juce::String& error) const
{
    if (! valid)
    {
        error = "no key to save";
        return false;
    }

    const auto text = "# Vorn Firmware Updater package signing key (Ed25519). Keep this file secret.\n"
                      "secret-key " + toHex (secret) + "\n"
                      "public-key " + toHex (publicKey) + "\n";

    return writeOwnerOnly (keyFile, text, error);
}

juce::MemoryBlock PackageSigningKey::sign (const juce::MemoryBlock& bytes) const
{
    Ed25519::Signature signature {};

    if (! valid || ! Ed25519::sign (secret, bytes.getData(), bytes.getSize(), signature))
        return {};

    return juce::MemoryBlock (signature.data(), signature.size());
}

bool PackageSigningKey::signPackage (const juce::MemoryBlock& package, juce::MemoryBlock& signedPackage,
                                     juce::String& error) const
{
    juce::MemoryInputStream verifyStream (package, false);
    juce::String reason;

    if (FirmwarePackageStore::verifyPackage (verifyStream, reason) < 0)
    {
        error = "not acceptable: " + reason;
        return false;
    }

    juce::MemoryInputStream packageStream (package, false);
    juce::ZipFile archive (packageStream);
    const auto listIndex = PackageVerifier::findChecksumList (archive);
    juce::MemoryBlock list;

    if (listIndex < 0 || ! ZipEntryReader::readWhole (archive, listIndex, FirmwarePackageStore::maximumEntrySize, list))
    {
        error = "cannot read the checksum list";
        return false;
    }

    const auto listName = archive.getEntry (listIndex)->filename;
    const auto signature = sign (PackageSignature::signedMessage (listName, list));

    if (signature.isEmpty())
    {
        error = "signing failed";
        return false;
    }

    // Entries are copied byte for byte, stored, in their order; the signature entry comes last.
    const auto signatureName = PackageSignature::entryNameFor (listName);
    juce::ZipFile::Builder builder;

    for (int i = 0; i < archive.getNumEntries(); ++i)
    {
        const auto* entry = archive.getEntry (i);

        if (std::strcmp (entry->filename.toRawUTF8(), signatureName.toRawUTF8()) == 0)
            continue;

        juce::MemoryBlock content;

        if (! ZipEntryReader::readWhole (archive, i, FirmwarePackageStore::maximumEntrySize, content))
        {
            error = "cannot read the entry " + entry->filename;
            return false;
        }

        builder.addEntry (new juce::MemoryInputStream (std::move (content)), 0, entry->filename, entry->fileTime);
    }

    builder.addEntry (new juce::MemoryInputStream (signature, true), 0, signatureName,
                      archive.getEntry (listIndex)->fileTime);

    signedPackage.reset();
    juce::MemoryOutputStream out (signedPackage, false);

    if (! builder.writeToStream (out, nullptr))
    {
        error = "cannot write the signed package";
        return false;
    }

    out.flush();
    return true;
}
