#include "Ed25519.h"

#include <gcrypt.h>

#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

namespace
{
    /** The library wants one set-up before any other call. Secure memory is turned off: it only
        keeps keys out of swap, costs a warning per process without privileges, and the tool
        clears its copies of a secret key itself. */
    bool libraryReady()
    {
        static const bool ready = []
        {
            if (gcry_check_version ("1.8.0") == nullptr)
                return false;

            gcry_control (GCRYCTL_DISABLE_SECMEM, 0);
            gcry_control (GCRYCTL_INITIALIZATION_FINISHED, 0);
            return true;
        }();

        return ready;
    }

    struct SexpDeleter
    {
        void operator() (gcry_sexp_t s) const noexcept { gcry_sexp_release (s); }
    };

    using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpDeleter>;

    struct ContextDeleter
    {
        void operator() (gcry_ctx_t c) const noexcept { gcry_ctx_release (c); }
    };

    using Context = std::unique_ptr<std::remove_pointer_t<gcry_ctx_t>, ContextDeleter>;

    /** Copies the value of the token "(name value)" inside s; a public key may carry the
        0x40 prefix of the compressed form, which is dropped. */
    template <size_t size>
    bool copyToken (gcry_sexp_t s, const char* name, std::uint8_t* destination)
    {
        Sexp token (gcry_sexp_find_token (s, name, 0));

        if (token == nullptr)
            return false;

        size_t length = 0;
        const auto* data = static_cast<const std::uint8_t*> (static_cast<const void*> (gcry_sexp_nth_data (token.get(), 1, &length)));

        if (data != nullptr && length == size + 1 && data[0] == 0x40)
        {
            ++data;
            --length;
        }

        if (data == nullptr || length != size)
            return false;

        std::memcpy (destination, data, size);
        return true;
    }

    /** The y coordinates (little-endian, sign bit clear) of the eight points of small order, and the
        non-canonical forms y + p of those below 19: 0 (order 4), 1 (the identity), p - 1 (order 2),
        the two order-8 values, p and p + 1. With either sign bit they are every encoding of those
        points; the library aborts the process on some of them, so they never reach it. */
    const std::uint8_t smallOrderY[][Ed25519::keySize] = {
        { 0x00 },
        { 0x01 },
        { 0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
          0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f },
        { 0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
          0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05 },
        { 0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
          0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a },
        { 0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
          0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f },
        { 0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
          0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f },
    };

    /** Arithmetic modulo p = 2^255 - 19, enough to decode a public key without the library. */
    struct Field
    {
        Field()
        {
            p.setBit (255);
            p -= 19;
            d.parseString ("52036cee2b6ffe738cc740797779e89800700a4d4141d8ab75eb4dca135978a3", 16);
            sqrtMinusOne = power (2, (p - 1) >> 2);
        }

        juce::BigInteger multiply (const juce::BigInteger& a, const juce::BigInteger& b) const { return (a * b) % p; }

        juce::BigInteger power (const juce::BigInteger& base, const juce::BigInteger& exponent) const
        {
            auto result = base;
            result.exponentModulo (exponent, p);
            return result;
        }

        juce::BigInteger p, d, sqrtMinusOne;
    };

    /** True when the key is the canonical encoding of a point of the curve whose coordinates both
        fill the library's four 64-bit words. The library aborts the whole process on a point with
        a shorter coordinate (its field arithmetic insists on four words); among real keys one
        such point comes with a chance of about 2^-62. */
    bool decodesToFullSizePoint (const Ed25519::Key& key)
    {
        static const Field field;

        juce::MemoryBlock bytes (key.data(), key.size());
        static_cast<std::uint8_t*> (bytes.getData())[Ed25519::keySize - 1] &= 0x7f;
        const bool negative = (key[Ed25519::keySize - 1] & 0x80) != 0;

        juce::BigInteger y;
        y.loadFromMemoryBlock (bytes);

        if (y >= field.p)
            return false;

        // x^2 = (y^2 - 1) / (d y^2 + 1), and its square root as RFC 8032 takes it.
        const auto y2 = field.multiply (y, y);
        const auto u = (y2 + field.p - 1) % field.p;
        const auto v = (field.multiply (field.d, y2) + 1) % field.p;
        const auto x2 = field.multiply (u, field.power (v, field.p - 2));
        auto x = field.power (x2, (field.p + 3) >> 3);

        if (field.multiply (x, x) != x2)
        {
            x = field.multiply (x, field.sqrtMinusOne);

            if (field.multiply (x, x) != x2)
                return false; // no point of the curve has this y
        }

        if (x[0] != negative)
            x = (field.p - x) % field.p;

        return x.getHighestBit() >= 192 && y.getHighestBit() >= 192;
    }

    Sexp secretKeyExpression (const Ed25519::Key& secret)
    {
        gcry_sexp_t s = nullptr;

        if (gcry_sexp_build (&s, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                             (int) secret.size(), secret.data()) != 0)
            return {};

        return Sexp (s);
    }

    Sexp publicKeyExpression (const Ed25519::Key& publicKey)
    {
        gcry_sexp_t s = nullptr;

        if (gcry_sexp_build (&s, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                             (int) publicKey.size(), publicKey.data()) != 0)
            return {};

        return Sexp (s);
    }

    Sexp messageExpression (const void* message, size_t size)
    {
        gcry_sexp_t s = nullptr;

        // %b takes an int length; no checksum list comes near that size.
        if (size > (size_t) std::numeric_limits<int>::max()
            || gcry_sexp_build (&s, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                                (int) size, size == 0 ? "" : message) != 0)
            return {};

        return Sexp (s);
    }
}

bool Ed25519::generate (Key& secret, Key& publicKey)
{
    if (! libraryReady())
        return false;

    gcry_sexp_t parameters = nullptr, pair = nullptr;

    if (gcry_sexp_build (&parameters, nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))") != 0)
        return false;

    Sexp parameterHolder (parameters);

    if (gcry_pk_genkey (&pair, parameters) != 0)
        return false;

    Sexp pairHolder (pair);
    Sexp secretPart (gcry_sexp_find_token (pair, "private-key", 0));

    return secretPart != nullptr
        && copyToken<keySize> (secretPart.get(), "d", secret.data())
        && publicKeyFor (secret, publicKey);
}

bool Ed25519::publicKeyFor (const Key& secret, Key& publicKey)
{
    if (! libraryReady())
        return false;

    auto key = secretKeyExpression (secret);
    gcry_ctx_t context = nullptr;

    if (key == nullptr || gcry_mpi_ec_new (&context, key.get(), nullptr) != 0)
        return false;

    Context contextHolder (context);
    gcry_sexp_t derived = nullptr;

    if (gcry_pubkey_get_sexp (&derived, GCRY_PK_GET_PUBKEY, context) != 0)
        return false;

    Sexp derivedHolder (derived);
    return copyToken<keySize> (derived, "q", publicKey.data());
}

bool Ed25519::sign (const Key& secret, const void* message, size_t size, Signature& signature)
{
    if (! libraryReady())
        return false;

    auto key = secretKeyExpression (secret);
    auto data = messageExpression (message, size);
    gcry_sexp_t result = nullptr;

    if (key == nullptr || data == nullptr || gcry_pk_sign (&result, data.get(), key.get()) != 0)
        return false;

    Sexp resultHolder (result);
    return copyToken<keySize> (result, "r", signature.data())
        && copyToken<keySize> (result, "s", signature.data() + keySize);
}

bool Ed25519::verify (const Key& publicKey, const void* message, size_t size, const Signature& signature)
{
    if (! isValidPublicKey (publicKey) || ! libraryReady())
        return false;

    auto key = publicKeyExpression (publicKey);
    auto data = messageExpression (message, size);
    gcry_sexp_t value = nullptr;

    if (key == nullptr || data == nullptr
        || gcry_sexp_build (&value, nullptr, "(sig-val (eddsa (r %b) (s %b)))",
                            (int) keySize, signature.data(), (int) keySize, signature.data() + keySize) != 0)
        return false;

    Sexp valueHolder (value);
    return gcry_pk_verify (value, data.get(), key.get()) == 0;
}

bool Ed25519::hasSmallOrder (const Key& publicKey)
{
    auto y = publicKey;
    y[keySize - 1] &= 0x7f; // the sign of x

    for (auto& candidate : smallOrderY)
        if (std::memcmp (y.data(), candidate, keySize) == 0)
            return true;

    return false;
}

bool Ed25519::isValidPublicKey (const Key& publicKey)
{
    // Judged without the library, which aborts on some of these bytes instead of refusing them.
    return ! hasSmallOrder (publicKey) && decodesToFullSizePoint (publicKey);
}
