// SHA-256 by OpenSSL's libcrypto, which picks SHA-NI or ARMv8 SHA2 code at
// run time.
#include <new>

#include <openssl/evp.h>

#include "digest.h"

struct sha256_digest::state {
	EVP_MD_CTX *ctx = nullptr;
	bool ok = false;
	~state() { EVP_MD_CTX_free(ctx); }
};

sha256_digest::sha256_digest() : st_(new (std::nothrow) state)
{
	if (!st_)
		return;
	st_->ctx = EVP_MD_CTX_new();
	st_->ok = st_->ctx && EVP_DigestInit_ex(st_->ctx, EVP_sha256(), nullptr) == 1;
}

sha256_digest::~sha256_digest() = default;

void sha256_digest::update(const void *data, size_t len)
{
	if (st_ && st_->ok && len > 0)
		st_->ok = EVP_DigestUpdate(st_->ctx, data, len) == 1;
}

int sha256_digest::finish(uint8_t *out)
{
	if (!st_ || !st_->ok)
		return -1;
	st_->ok = false;
	unsigned char md[EVP_MAX_MD_SIZE];
	unsigned int n = 0;
	if (EVP_DigestFinal_ex(st_->ctx, md, &n) != 1 || n != size)
		return -1;
	for (size_t i = 0; i < size; i++)
		out[i] = md[i];
	return 0;
}
