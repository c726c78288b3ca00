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

    struct PointDeleter
    {
        void operator() (gcry_mpi_point_t p) const noexcept { gcry_mpi_point_release (p); }
    };

    using Point = std::unique_ptr<std::remove_pointer_t<gcry_mpi_point_t>, PointDeleter>;

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
    if (! libraryReady())
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

bool Ed25519::isValidPublicKey (const Key& publicKey)
{
    if (! libraryReady())
        return false;

    auto key = publicKeyExpression (publicKey);
    gcry_ctx_t context = nullptr;

    if (key == nullptr || gcry_mpi_ec_new (&context, key.get(), nullptr) != 0)
        return false;

    Context contextHolder (context);
    Point point (gcry_mpi_ec_get_point ("q", context, 1));
    return point != nullptr && gcry_mpi_ec_curve_point (point.get(), context) != 0;
}
