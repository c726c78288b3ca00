#pragma once

#include "Ed25519.h"

#include <juce_core/juce_core.h>

/** The maker's signature on a firmware package, checked with the maker's public key.

    A signed package holds, beside its checksum list "<name>.sha", an entry "<name>.sig" with
    the 64-byte Ed25519 signature of signedMessage(): the list's entry name, which gives the
    package's version, and the list's exact bytes. The list names the SHA-256 of every image, so
    the one signature covers them all, and a renamed list no longer matches it.

    Immutable after construction; any thread.
*/
class PackageSignature final
{
public:
    /** The maker's public key as 64 hex digits. A key that is malformed or no point of the curve
        is kept as invalid, and then no package passes: a broken key must never let everything through. */
    explicit PackageSignature (const juce::String& publicKeyHex);

    bool hasValidKey() const noexcept { return validKey; }

    /** The public key compiled into this build (VFU_PACKAGE_PUBLIC_KEY), or empty when packages need no signature. */
    static juce::String builtInPublicKey();

    /** True when the text is 64 hex digits, either case. */
    static bool isPublicKeyText (const juce::String& text);

    /** Reads 64 hex digits into a key; false when the text is not that. */
    static bool parseKey (const juce::String& hex, Ed25519::Key& destination);

    /** "quorrel-fw-2.1.13.sha" gives "quorrel-fw-2.1.13.sig". */
    static juce::String entryNameFor (const juce::String& checksumListName);

    /** What the maker signs for a checksum list of that entry name and content:
        the 24 ASCII bytes "vfu-package-signature-2\n", the name's length in bytes as four
        bytes (most significant first), the name in UTF-8, then the list's bytes. */
    static juce::MemoryBlock signedMessage (const juce::String& checksumListName, const juce::MemoryBlock& checksumList);

    /** Checks the signature entry for the checksum list of that name and content. Returns an
        empty text when the signature is valid, otherwise why the package is refused. */
    juce::String check (juce::ZipFile& archive, const juce::String& checksumListName,
                        const juce::MemoryBlock& checksumList) const;

private:
    Ed25519::Key key {};
    bool validKey = false;
};
