// SHA-256 of a region file, computed on a thread of its own. After each block
// the engine waits on the device (the read that drains a trailing transfer,
// then the next block); hashing the block in that time keeps SHA256SUMS off
// the dump's critical path.
#include <system_error>

#include "sahara_engine.h"

sahara_hasher::sahara_hasher()
{
	try {
		worker_ = std::thread([this] { work(); });
	} catch (const std::system_error &) {
		inline_ = true;
	}
}

sahara_hasher::~sahara_hasher()
{
	if (inline_)
		return;
	{
		std::lock_guard<std::mutex> hold(lock_);
		quit_ = true;
	}
	cv_.notify_all();
	worker_.join();
}

void sahara_hasher::work()
{
	std::unique_lock<std::mutex> hold(lock_);
	for (;;) {
		cv_.wait(hold, [this] { return quit_ || job_ != nullptr; });
		if (job_ == nullptr)
			return;
		const uint8_t *data = job_;
		size_t len = job_len_;
		hold.unlock();
		digest_.update(data, len);
		hold.lock();
		job_ = nullptr;
		cv_.notify_all();
	}
}

void sahara_hasher::wait()
{
	if (inline_)
		return;
	std::unique_lock<std::mutex> hold(lock_);
	cv_.wait(hold, [this] { return job_ == nullptr; });
}

void sahara_hasher::add(const uint8_t *data, size_t len)
{
	if (len == 0)
		return;
	if (inline_) {
		digest_.update(data, len);
		return;
	}
	wait();
	{
		std::lock_guard<std::mutex> hold(lock_);
		job_ = data;
		job_len_ = len;
	}
	cv_.notify_all();
}

int sahara_hasher::finish(uint8_t *digest)
{
	wait();
	return digest_.finish(digest);
}

std::string sahara_hex(const uint8_t *bytes, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < n; i++) {
		s += digits[bytes[i] >> 4];
		s += digits[bytes[i] & 15];
	}
	return s;
}
