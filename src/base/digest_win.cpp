// SHA-256 by Windows CNG (bcrypt.dll, part of the system), which uses the
// CPU's SHA instructions where it has them.
#include <new>

#include <windows.h>

#include <bcrypt.h>

#include "digest.h"

namespace {

// Opened once for the process and kept: opening a provider is costly, and
// its handle may serve several threads at once.
BCRYPT_ALG_HANDLE sha256_provider()
{
	static BCRYPT_ALG_HANDLE alg = [] {
		BCRYPT_ALG_HANDLE h = nullptr;
		if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
			h = nullptr;
		return h;
	}();
	return alg;
}

} // namespace

struct sha256_digest::state {
	BCRYPT_HASH_HANDLE hash = nullptr;
	bool ok = false;
	~state()
	{
		if (hash)
			BCryptDestroyHash(hash);
	}
};

sha256_digest::sha256_digest() : st_(new (std::nothrow) state)
{
	BCRYPT_ALG_HANDLE alg = sha256_provider();
	if (!st_ || !alg)
		return;
	st_->ok = BCRYPT_SUCCESS(BCryptCreateHash(alg, &st_->hash, nullptr, 0, nullptr, 0, 0));
}

sha256_digest::~sha256_digest() = default;

void sha256_digest::update(const void *data, size_t len)
{
	auto *p = static_cast<const uint8_t *>(data);
	// The length is a ULONG: large buffers go in pieces.
	while (st_ && st_->ok && len > 0) {
		ULONG n = len > 0x40000000 ? 0x40000000 : static_cast<ULONG>(len);
		st_->ok = BCRYPT_SUCCESS(BCryptHashData(st_->hash, const_cast<PUCHAR>(p), n, 0));
		p += n;
		len -= n;
	}
}

int sha256_digest::finish(uint8_t *out)
{
	if (!st_ || !st_->ok)
		return -1;
	st_->ok = false;
	return BCRYPT_SUCCESS(BCryptFinishHash(st_->hash, out, static_cast<ULONG>(size), 0)) ? 0 : -1;
}
