// Scripted transport for byte-exact tests.
#include "emu_script.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "le.h"

vorn_device_script &vorn_device_script::dev_sends(std::vector<uint8_t> bytes)
{
	steps.push_back({emu_script_step::READ, std::move(bytes), 0});
	return *this;
}

vorn_device_script &vorn_device_script::dev_fails(int error)
{
	steps.push_back({emu_script_step::READ_ERROR, {}, error});
	return *this;
}

vorn_device_script &vorn_device_script::host_sends(std::vector<uint8_t> bytes)
{
	steps.push_back({emu_script_step::WRITE, std::move(bytes), 0});
	return *this;
}

int vorn_device_script::read(void *buf, size_t len, unsigned timeout_ms)
{
	read_timeouts.push_back(timeout_ms);
	if (pos >= steps.size() || steps[pos].kind == emu_script_step::WRITE)
		return -ETIMEDOUT;
	const emu_script_step &s = steps[pos++];
	if (s.kind == emu_script_step::READ_ERROR)
		return s.error;
	size_t n = std::min(len, s.bytes.size());
	if (n < s.bytes.size())
		mismatches.push_back("read buffer smaller than the scripted transfer");
	if (n)
		memcpy(buf, s.bytes.data(), n);
	return static_cast<int>(n);
}

int vorn_device_script::write(const void *buf, size_t len, unsigned)
{
	const uint8_t *b = static_cast<const uint8_t *>(buf);
	writes.emplace_back(b, b + len);
	if (pos >= steps.size() || steps[pos].kind != emu_script_step::WRITE) {
		char msg[64];
		snprintf(msg, sizeof(msg), "unexpected write of %zu bytes at step %zu", len, pos);
		mismatches.push_back(msg);
		return static_cast<int>(len);
	}
	const emu_script_step &s = steps[pos++];
	if (s.bytes.size() != len || memcmp(s.bytes.data(), b, len) != 0) {
		char msg[64];
		snprintf(msg, sizeof(msg), "write at step %zu differs from the script", pos - 1);
		mismatches.push_back(msg);
	}
	return static_cast<int>(len);
}

std::vector<uint8_t> emu_words(std::initializer_list<uint32_t> words)
{
	std::vector<uint8_t> v(words.size() * 4);
	size_t i = 0;
	for (uint32_t w : words)
		le32_put(v.data() + 4 * i++, w);
	return v;
}

std::vector<uint8_t> emu_pkt64(uint32_t cmd, uint32_t length, std::initializer_list<uint64_t> body)
{
	std::vector<uint8_t> v(8 + body.size() * 8);
	le32_put(v.data(), cmd);
	le32_put(v.data() + 4, length);
	size_t i = 0;
	for (uint64_t w : body)
		le64_put(v.data() + 8 + 8 * i++, w);
	return v;
}
