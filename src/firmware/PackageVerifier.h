#pragma once

#include <juce_core/juce_core.h>

class PackageSignature;

/** Decides whether a firmware package may be used, and at what version.

    A package is a zip archive holding a checksum list "<name>-<version>.sha" (the last entry
    ending in ".sha"), the SysEx images "*.syx" that the list names with their SHA-256, and in a
    signed package "<name>-<version>.sig". Everything else in the archive is ignored, whatever its
    name. The checks run from cheap to costly, so that a hostile package costs little:

    1. the entry names the verifier reads are well-formed UTF-8, and none of them appears twice;
    2. the declared sizes of everything it will read stay within the byte limit;
    3. the list is well-formed text, and its name gives a version;
    4. the package holds every required image at that version;
    5. the maker's signature over the list's name and bytes, when one is required;
    6. only then each image is decompressed, once, and its digest compared with the list.

    Configured once, then verify() may run on any thread.
*/
class PackageVerifier final
{
public:
    struct Verdict
    {
        int version = -1;                  // the package's version number, or -1 when it is not acceptable
        juce::String reason;               // why it is not acceptable
        bool refusedForSignature = false;  // its signature made it unacceptable
        juce::int64 bytesRead = 0;         // entry bytes decompressed to decide
    };

    /** Requires the maker's signature, checked with that signature's key; nullptr requires none.
        The signature must outlive the verifier. */
    void requireSignature (const PackageSignature* signature) noexcept { requiredSignature = signature; }

    /** Requires, at the package's version, the image of each of these firmware message kinds
        ("quorrel-fw-$(version)" at 2.1.13 needs "quorrel-fw-2.1.13.syx"). */
    void requireImagesFor (const juce::StringArray& firmwareMessageKinds) { requiredKinds = firmwareMessageKinds; }

    /** The most entry bytes one verification may decompress; a package needing more is refused unread. */
    void setByteLimit (juce::int64 limit) noexcept { byteLimit = limit; }

    /** Verifies the package from the stream's current position to its end. */
    Verdict verify (juce::InputStream& packageStream) const;

    /** The one rule for a firmware image's entry name: the message kind with the version text in
        place of "$(version)", and ".syx". The engine sends by it; the verifier requires by it. */
    static juce::String imageEntryName (const juce::String& messageKind, const juce::String& versionText);

    /** The index of the entry with exactly that name, compared byte for byte, or -1. Names that
        merely decode alike (an overlong UTF-8 form) never match. */
    static int findEntry (const juce::ZipFile& archive, const juce::String& name);

    /** Version number from a ".sha" entry name ("quorrel-fw-2.1.13.sha" gives 2011399), or -1. */
    static int versionFromFileName (const juce::String& name);

    /** The index of the checksum list (the last entry whose name ends in ".sha"), or -1. */
    static int findChecksumList (const juce::ZipFile& archive);

    /** True when the text's bytes are well-formed UTF-8. Names and texts from packages and folders
        carry their bytes unchecked, and the framework's text functions can read past the end of a
        malformed sequence, so such text is checked before any of them runs on it. */
    static bool isWellFormed (const juce::String& text);

    /** True when the last bytes of the stream hold a zip end-of-central-directory record.
        Without one the framework's reader would take the whole stream for a directory. */
    static bool hasEndOfCentralDirectory (juce::InputStream& stream);

    /** Entries larger than this make a package unacceptable instead of exhausting memory. */
    static constexpr juce::int64 maximumEntrySize = 64 * 1024 * 1024;

    /** Package files larger than this are not read, and no package may need more entry bytes
        decompressed than this to be verified. */
    static constexpr juce::int64 maximumPackageSize = 4 * maximumEntrySize;

private:
    const PackageSignature* requiredSignature = nullptr;
    juce::StringArray requiredKinds;
    juce::int64 byteLimit = maximumPackageSize;
};
