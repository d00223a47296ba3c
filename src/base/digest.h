// SHA-256 through the platform's maintained crypto library (libcrypto, or
// Windows CNG), which uses the CPU's SHA instructions where it has them: a
// plain C implementation would cost more than a core at eight dumps at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class sha256_digest {
public:
	static constexpr size_t size = 32;
	sha256_digest();
	~sha256_digest();
	sha256_digest(const sha256_digest &) = delete;
	sha256_digest &operator=(const sha256_digest &) = delete;
	void update(const void *data, size_t len);
	// 0 with the digest of everything given in out, or -1 when the library
	// failed at any point (out is then untouched). Once only.
	int finish(uint8_t *out);

private:
	struct state;
	std::unique_ptr<state> st_;
};

// The digest of one buffer: 0, or -1 as finish().
inline int sha256_of(const void *data, size_t len, uint8_t *out)
{
	sha256_digest d;
	d.update(data, len);
	return d.finish(out);
}
