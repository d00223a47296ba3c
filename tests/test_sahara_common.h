// Helpers shared by the engine's tests: a temporary directory, whole-file
// reads, and running the engine against the emulated device with its console
// output captured.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "edl_model.h"
#include "emu_vorn.h"
#include "sahara.h"
#include "test_support.h"
#include "vorn.h"

namespace fs = std::filesystem;

inline void write_file(const std::string &path, const std::vector<uint8_t> &data)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

// The emulated memory of a region, as the device would send it.
inline std::vector<uint8_t> region_bytes(const emu_model &m, const emu_region &r)
{
	std::vector<uint8_t> v(r.length);
	EXPECT_TRUE(m.memory(r.addr, v.data(), v.size()));
	return v;
}

inline emu_region make_region(uint64_t addr, uint64_t length, const std::string &name, const std::string &file)
{
	emu_region r;
	r.addr = addr;
	r.length = length;
	r.region = name;
	r.filename = file;
	return r;
}

struct engine_result {
	int ret = 0;
	std::string out, err;
};

// Runs one exchange of the engine with the device and captures its console.
inline engine_result run_engine(vorn_device *dev, const char *dir, const char *filter,
				const sahara_image *images = nullptr)
{
	engine_result r;
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	r.ret = sahara_run(dev, images, dir, filter);
	r.err = testing::internal::GetCapturedStderr();
	r.out = testing::internal::GetCapturedStdout();
	return r;
}

inline engine_result run_engine(emu_model &m, const char *dir, const char *filter)
{
	vorn_device_emu dev(&m);
	return run_engine(&dev, dir, filter);
}

// Sorted names of a directory's entries.
inline std::vector<std::string> list_dir(const fs::path &d)
{
	std::vector<std::string> names;
	for (auto &e : fs::directory_iterator(d))
		names.push_back(e.path().filename().string());
	std::sort(names.begin(), names.end());
	return names;
}

inline bool contains(const std::string &hay, const std::string &needle)
{
	return hay.find(needle) != std::string::npos;
}
