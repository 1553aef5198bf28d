// the flash service's digest: a thin wrapper of GLib's GChecksum

#include "emulator/cardsim_sha512.h"

#include <glib.h>

static GChecksum* sum_of(void* p)
{
    return static_cast<GChecksum*>(p);
}

cardsim_sha512::cardsim_sha512() : sum_(g_checksum_new(G_CHECKSUM_SHA512)) {}

cardsim_sha512::~cardsim_sha512()
{
    g_checksum_free(sum_of(sum_));
}

void cardsim_sha512::update(const uint8_t* data, size_t len)
{
    g_checksum_update(sum_of(sum_), data, static_cast<gssize>(len));
}

cardsim_sha512::digest_t cardsim_sha512::finish()
{
    digest_t d{};
    gsize n = d.size();
    g_checksum_get_digest(sum_of(sum_), d.data(), &n);
    return d;
}

cardsim_sha512::digest_t cardsim_sha512::of(const uint8_t* data, size_t len)
{
    cardsim_sha512 sha;
    sha.update(data, len);
    return sha.finish();
}
