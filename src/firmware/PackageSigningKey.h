#pragma once

#include "Ed25519.h"

#include <juce_core/juce_core.h>

/** An instrument maker's secret signing key, kept in a key file, and the signing of packages with it.

    The key file is text: a comment line, "secret-key <64 hex digits>" and "public-key <64 hex
    digits>". It is written readable by its owner only and never replaces an existing file.
    Used by the firmware tool and the tests; one thread at a time.
*/
class PackageSigningKey final
{
public:
    /** A new key pair from the cryptographic library's strong random source; check isValid(). */
    static PackageSigningKey generate();

    /** The key from a key file; an invalid key with the reason in error when the file is missing or damaged. */
    static PackageSigningKey load (const juce::File& keyFile, juce::String& error);

    /** The key from its secret seed as 64 hex digits; for tests. */
    static PackageSigningKey fromSecretHex (const juce::String& secretHex);

    PackageSigningKey (PackageSigningKey&& other) noexcept;
    PackageSigningKey& operator= (PackageSigningKey&& other) noexcept;
    ~PackageSigningKey();

    bool isValid() const noexcept { return valid; }

    /** The public key as 64 lower-case hex digits, the form the build and the verifier take. */
    juce::String getPublicKeyHex() const;

    /** Writes the key file, readable by its owner only; refuses to replace an existing file. */
    bool save (const juce::File& keyFile, juce::String& error) const;

    /** The 64-byte signature of the bytes. */
    juce::MemoryBlock sign (const juce::MemoryBlock& bytes) const;

    /** The package with the signature entry of its checksum list added (one of that name is replaced).
        The package must verify first; false with the reason in error otherwise. */
    bool signPackage (const juce::MemoryBlock& package, juce::MemoryBlock& signedPackage, juce::String& error) const;

private:
    PackageSigningKey() = default;
    void clear() noexcept;

    Ed25519::Key secret {};
    Ed25519::Key publicKey {};
    bool valid = false;

    JUCE_DECLARE_NON_COPYABLE (PackageSigningKey)
};
