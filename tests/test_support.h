// Small helpers shared by the test programs.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "vorn.h"

// A fresh directory, removed with its content when the test is done.
struct temp_dir {
	std::filesystem::path path;
	explicit temp_dir(const char *base = "/tmp")
	{
		std::string tmpl = std::string(base) + "/duruvev-test-XXXXXX";
		EXPECT_NE(mkdtemp(tmpl.data()), nullptr) << tmpl;
		path = tmpl;
	}
	~temp_dir()
	{
		std::error_code ec;
		std::filesystem::remove_all(path, ec);
	}
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;
	std::string str() const { return path.string(); }
	std::string file(const std::string &name) const { return (path / name).string(); }
};

// A device record that is freed with vorn_deinit when it goes out of scope.
struct dev_deleter {
	void operator()(vorn_device *d) const { vorn_deinit(d); }
};
using dev_ptr = std::unique_ptr<vorn_device, dev_deleter>;

// The whole content of a file; empty when it cannot be read.
inline std::vector<uint8_t> read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
