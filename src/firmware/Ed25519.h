#pragma once

#include <juce_core/juce_core.h>

#include <array>
#include <cstdint>

/** Ed25519 key pairs, signatures and their checks, done by libgcrypt.

    Keys and signatures are the raw byte forms of RFC 8032: a 32-byte secret seed, a 32-byte
    public key, a 64-byte signature. Stateless; any thread (the library is set up once, on first use).
*/
class Ed25519 final
{
public:
    static constexpr size_t keySize = 32;
    static constexpr size_t signatureSize = 64;

    using Key = std::array<std::uint8_t, keySize>;
    using Signature = std::array<std::uint8_t, signatureSize>;

    /** A new secret seed from the library's strong random source, with its public key. False if the library fails. */
    static bool generate (Key& secret, Key& publicKey);

    /** The public key that belongs to a secret seed. */
    static bool publicKeyFor (const Key& secret, Key& publicKey);

    /** Signs the message's exact bytes. */
    static bool sign (const Key& secret, const void* message, size_t size, Signature& signature);

    /** True only when the signature is valid for the message under that public key; never for
        a key that isValidPublicKey() refuses. */
    static bool verify (const Key& publicKey, const void* message, size_t size, const Signature& signature);

    /** True when the 32 bytes are the canonical encoding of a point of the curve that is not of
        small order, as every real public key is. Decided without the library, so any 32 bytes may
        be given; the very rare points with a coordinate below 2^192, on which the library would
        abort the process, are refused too. */
    static bool isValidPublicKey (const Key& publicKey);

    /** True when the 32 bytes encode one of the eight points of small order (the identity, the
        point of order 2, the two of order 4 and the four of order 8), in any encoding, canonical
        or not. Signatures under such a key can be made without any secret key; decided on the
        bytes alone, so it is safe for every input. */
    static bool hasSmallOrder (const Key& publicKey);

private:
    Ed25519() = delete;
};
