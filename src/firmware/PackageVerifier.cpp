#include "PackageVerifier.h"
#include "PackageSignature.h"
#include "ZipEntryReader.h"

#include "../base/OutsideText.h"
#include "../base/VersionNumber.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cstring>
#include <set>
#include <string>

namespace
{
    const juce::String packageVersionPlaceholder ("$(version)");

    constexpr int endOfCentralDirectorySize = 22;
    constexpr int maximumZipCommentSize = 65535;

    /** The stream's remaining bytes as a seekable package, or nullptr when it is too large to be one. */
    std::unique_ptr<juce::InputStream> boundedPackageStream (juce::InputStream& stream)
    {
        const auto start = stream.getPosition();
        const auto total = stream.getTotalLength();

        if (total >= 0)
        {
            if (total - start > PackageVerifier::maximumPackageSize)
                return {};

            return std::make_unique<juce::SubregionStream> (&stream, start, total - start, false);
        }

        // Unknown length: take in at most one byte more than a package may have.
        juce::MemoryOutputStream copy;

        if (copy.writeFromInputStream (stream, PackageVerifier::maximumPackageSize + 1) > PackageVerifier::maximumPackageSize)
            return {};

        return std::make_unique<juce::MemoryInputStream> (copy.getMemoryBlock(), true);
    }

    bool isWellFormedText (const juce::MemoryBlock& bytes)
    {
        // Text with a UTF-16 byte order mark is decoded character by character, which is safe.
        if (bytes.getSize() >= 2 && (juce::CharPointer_UTF16::isByteOrderMarkBigEndian (bytes.getData())
                                     || juce::CharPointer_UTF16::isByteOrderMarkLittleEndian (bytes.getData())))
            return true;

        return OutsideText::isValidUtf8 (bytes.getData(), bytes.getSize());
    }

    /** Compared on the raw bytes: an entry name may be malformed UTF-8, which the framework's
        text functions must never walk. */
    bool endsWithBytes (const juce::String& name, const char* suffix)
    {
        const auto* raw = name.toRawUTF8();
        const auto length = std::strlen (raw);
        const auto suffixLength = std::strlen (suffix);
        return length >= suffixLength && std::memcmp (raw + length - suffixLength, suffix, suffixLength) == 0;
    }
}

//==============================================================================
bool PackageVerifier::isWellFormed (const juce::String& text)
{
    const auto* raw = text.toRawUTF8();
    return OutsideText::isValidUtf8 (raw, std::strlen (raw));
}

bool PackageVerifier::hasEndOfCentralDirectory (juce::InputStream& stream)
{
    const auto total = stream.getTotalLength();

    if (total < endOfCentralDirectorySize)
        return false;

    const auto tailSize = juce::jmin (total, (juce::int64) (endOfCentralDirectorySize + maximumZipCommentSize));
    juce::HeapBlock<juce::uint8> tail ((size_t) tailSize);

    if (! stream.setPosition (total - tailSize) || stream.read (tail, (int) tailSize) != (int) tailSize)
        return false;

    for (auto i = tailSize - endOfCentralDirectorySize; i >= 0; --i)
        if (tail[i] == 0x50 && tail[i + 1] == 0x4b && tail[i + 2] == 0x05 && tail[i + 3] == 0x06)
            return true;

    return false;
}

juce::String PackageVerifier::imageEntryName (const juce::String& messageKind, const juce::String& versionText)
{
    return messageKind.replace (packageVersionPlaceholder, versionText) + ".syx";
}

int PackageVerifier::findEntry (const juce::ZipFile& archive, const juce::String& name)
{
    const auto* wanted = name.toRawUTF8();

    for (int i = 0; i < archive.getNumEntries(); ++i)
        if (std::strcmp (archive.getEntry (i)->filename.toRawUTF8(), wanted) == 0)
            return i;

    return -1;
}

int PackageVerifier::findChecksumList (const juce::ZipFile& archive)
{
    for (int i = archive.getNumEntries(); --i >= 0;)
        if (endsWithBytes (archive.getEntry (i)->filename, ".sha"))
            return i;

    return -1;
}

//==============================================================================
PackageVerifier::Verdict PackageVerifier::verify (juce::InputStream& packageStream) const
{
    Verdict verdict;

    const auto refuse = [&verdict] (const juce::String& why)
    {
        verdict.version = -1;
        verdict.reason = why;
        return verdict;
    };

    auto stream = boundedPackageStream (packageStream);

    if (stream == nullptr)
        return refuse ("the package is larger than " + juce::String (maximumPackageSize) + " bytes");

    if (! hasEndOfCentralDirectory (*stream))
        return refuse ("it is not a zip archive");

    juce::ZipFile archive (*stream);

    if (archive.getNumEntries() == 0)
        return refuse ("the archive has no entries");

    const auto listIndex = findChecksumList (archive);

    if (listIndex < 0)
        return refuse ("there is no .sha checksum list");

    const auto listName = archive.getEntry (listIndex)->filename;

    if (! isWellFormed (listName))
        return refuse ("the checksum list's name is not well-formed UTF-8");

    // Steps 1 and 2: names and declared sizes of everything that will be read, before reading any of it.
    std::vector<int> images;
    std::set<std::string> imageNames;
    int listsOfThatName = 0;
    juce::int64 declaredBytes = 0;

    for (int i = 0; i < archive.getNumEntries(); ++i)
    {
        const auto* entry = archive.getEntry (i);

        if (std::strcmp (entry->filename.toRawUTF8(), listName.toRawUTF8()) == 0)
            ++listsOfThatName;
        else if (! endsWithBytes (entry->filename, ".syx"))
            continue;
        else if (! isWellFormed (entry->filename))
            return refuse ("an image's entry name is not well-formed UTF-8");
        else if (! imageNames.insert (entry->filename.toStdString()).second)
            return refuse ("the package holds two entries named " + entry->filename);
        else
            images.push_back (i);

        if (entry->uncompressedSize > maximumEntrySize)
            return refuse ("the entry " + entry->filename + " is larger than " + juce::String (maximumEntrySize) + " bytes");

        declaredBytes += entry->uncompressedSize;
    }

    if (listsOfThatName > 1)
        return refuse ("the package holds two entries named " + listName);

    if (declaredBytes > byteLimit)
        return refuse ("verifying it would decompress " + juce::String (declaredBytes) + " bytes, more than the "
                       + juce::String (byteLimit) + " allowed");

    // Step 3: the list.
    juce::MemoryBlock listBytes;

    if (! ZipEntryReader::readWhole (archive, listIndex, maximumEntrySize, listBytes))
        return refuse ("the checksum list " + listName + " cannot be read whole");

    verdict.bytesRead += (juce::int64) listBytes.getSize();

    if (! isWellFormedText (listBytes))
        return refuse ("the checksum list " + listName + " is not well-formed text");

    const auto version = versionFromFileName (listName);

    if (version < 0)
        return refuse ("no version can be read from the name " + listName);

    // Step 4: every image the definitions send at this version; a package without one would
    // have the instrument erased and then nothing to send.
    const auto versionText = formatVersionNumber (version);

    for (auto& kind : requiredKinds)
    {
        const auto required = imageEntryName (kind, versionText);

        if (findEntry (archive, required) < 0)
            return refuse ("it holds no " + required + ", the image the definitions send at version " + versionText);
    }

    // Step 5: the signature, before any image is decompressed.
    if (requiredSignature != nullptr)
    {
        const auto why = requiredSignature->check (archive, listName, listBytes);

        if (why.isNotEmpty())
        {
            refuse (why);
            verdict.refusedForSignature = true;
            return verdict;
        }
    }

    // Step 6: each image once. Only the position counts: the digest stands 66 characters before
    // the name ("<64 hex> *<name>").
    // The list comes from outside: its bytes are checked before text is made of them.
    juce::String checksumList;

    if (! OutsideText::decodeUtf8 (listBytes.getData(), listBytes.getSize(), checksumList))
        return refuse (listName + " is not UTF-8 text");

    for (auto index : images)
    {
        const auto* entry = archive.getEntry (index);
        const auto position = checksumList.indexOf (entry->filename);

        if (position < 66)
            return refuse (entry->filename + " is not in the checksum list, or too close to its start");

        juce::MemoryBlock content;

        if (! ZipEntryReader::readWhole (archive, index, entry->uncompressedSize, content))
            return refuse ("the entry " + entry->filename + " cannot be read whole");

        verdict.bytesRead += (juce::int64) content.getSize();
        const auto digest = juce::SHA256 (content).toHexString();

        if (checksumList.substring (position - 66, position - 2) != digest)
            return refuse ("the SHA-256 of " + entry->filename + " (" + digest + ") does not match the checksum list");
    }

    verdict.version = version;
    verdict.reason.clear();
    return verdict;
}

int PackageVerifier::versionFromFileName (const juce::String& name)
{
    const auto start = name.lastIndexOfChar ('\\') + 1;
    const auto dot = name.lastIndexOfChar ('.');
    const auto part = name.substring (start, dot >= start ? dot : name.length());

    const auto dash = part.lastIndexOfChar ('-');
    const auto result = part.substring (dash + 1).replace ("fw.", "");

    if (result.length() == part.length())
        return -1;

    return parseVersionNumber (result);
}
