// Dump directories that hold only what duruvev --list reads: a dump.json as
// complete dumps carry it, and a SHA256SUMS that lists it. For the listing's
// tests and its benchmark.
#pragma once
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "digest.h"

// The crash part of a record: kind "none" has no title.
inline nlohmann::json lab_crash(const std::string &title, const std::string &kind = "crash", bool corrupted = false)
{
	return {{"title", kind == "none" ? "" : title},
		{"alt", nlohmann::json::array()},
		{"kind", kind},
		{"frame", "ufshcd_queuecommand"},
		{"corrupted", corrupted},
		{"rules", 1}};
}

// A record of a dump that ended at end; crash null: no kernel log.
inline nlohmann::json lab_record(const std::string &host, const std::string &serial, const std::string &end,
				 const nlohmann::json &crash, const std::string &kernel = "6.1.0-28-arm64")
{
	bool log = !crash.is_null();
	return {{"format", 1},
		{"duruvev_version", "v2.7.1"},
		{"host", host},
		{"device", {{"label", serial.empty() ? "edl0" : serial}, {"serial", serial}, {"bus_path", "1-4.2"}}},
		{"start", end.substr(0, 17) + "00Z"},
		{"end", end},
		{"result", "complete"},
		{"bytes", 12582912},
		{"regions", 7},
		{"kernel_release", log ? nlohmann::json(kernel) : nlohmann::json(nullptr)},
		{"crash", crash},
		{"last_kernel_line", log ? nlohmann::json("Kernel panic - not syncing: Oops") : nlohmann::json(nullptr)}};
}

inline std::string lab_sha256_hex(const std::string &bytes)
{
	uint8_t d[sha256_digest::size];
	if (sha256_of(bytes.data(), bytes.size(), d) != 0)
		return "";
	std::string hex;
	for (uint8_t b : d) {
		char two[3];
		snprintf(two, sizeof(two), "%02x", b);
		hex += two;
	}
	return hex;
}

// dir with dump.json holding bytes and a SHA256SUMS with its digest (of
// listed_bytes, when given: a record changed after it was listed).
inline void lab_write_dump(const std::filesystem::path &dir, const std::string &bytes,
			   const std::string *listed_bytes = nullptr)
{
	std::filesystem::create_directories(dir);
	std::ofstream(dir / "dump.json", std::ios::binary) << bytes;
	std::ofstream(dir / "SHA256SUMS", std::ios::binary)
		<< "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef  A.BIN\n"
		<< lab_sha256_hex(listed_bytes ? *listed_bytes : bytes) << "  dump.json\n";
}

inline void lab_write_dump(const std::filesystem::path &dir, const nlohmann::json &record)
{
	lab_write_dump(dir, record.dump());
}
