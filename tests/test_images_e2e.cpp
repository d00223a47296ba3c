// Images loaded from a real zip archive (and a plain file) are served by the
// Sahara engine to the emulated device that asks for them piece by piece,
// with READ_DATA and READ_DATA64: the device receives exactly their bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#include <zip.h>

#include "edl_model.h"
#include "emu_vorn.h"
#include "file.h"
#include "sahara.h"
#include "util.h"
#include "vorn.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::vector<uint8_t> noise(size_t len, uint32_t seed)
{
	std::vector<uint8_t> v(len);
	for (auto &b : v) {
		seed = seed * 1664525u + 1013904223u;
		b = static_cast<uint8_t>(seed >> 24);
	}
	return v;
}

std::vector<uint8_t> text(size_t len)
{
	std::string s;
	while (s.size() < len)
		s += "<program label=\"system\" start_sector=\"" + std::to_string(s.size()) + "\" />\n";
	s.resize(len);
	return {s.begin(), s.end()};
}

struct scratch {
	fs::path dir;
	scratch()
	{
		char tmpl[] = "/tmp/duruvev-e2e-img-XXXXXX";
		EXPECT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
	}
	~scratch() { fs::remove_all(dir); }
};

TEST(ImagesEndToEnd, ZipMembersAndPlainFileReachTheDeviceIntact)
{
	scratch tmp;
	// A programmer stored, a boot image deflated inside a directory, and
	// sizes that are no multiple of the device's request sizes.
	const std::vector<uint8_t> programmer = noise(300001, 1);
	const std::vector<uint8_t> boot = text(1 << 20);
	const std::vector<uint8_t> plain = noise(4097, 2);

	fs::path archive_path = tmp.dir / "images.zip";
	{
		zip_t *za = zip_open(archive_path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
		ASSERT_NE(za, nullptr);
		zip_int64_t i = zip_file_add(za, "prog_firehose_ddr.elf",
					     zip_source_buffer(za, programmer.data(), programmer.size(), 0), 0);
		ASSERT_GE(i, 0);
		ASSERT_EQ(zip_set_file_compression(za, static_cast<zip_uint64_t>(i), ZIP_CM_STORE, 0), 0);
		i = zip_file_add(za, "images/boot.img", zip_source_buffer(za, boot.data(), boot.size(), 0), 0);
		ASSERT_GE(i, 0);
		ASSERT_EQ(zip_set_file_compression(za, static_cast<zip_uint64_t>(i), ZIP_CM_DEFLATE, 9), 0);
		ASSERT_EQ(zip_close(za), 0);
	}
	ASSERT_LT(fs::file_size(archive_path), boot.size()); // really deflated
	fs::path plain_path = tmp.dir / "extra.bin";
	{
		std::ofstream f(plain_path, std::ios::binary);
		f.write(reinterpret_cast<const char *>(plain.data()), static_cast<std::streamsize>(plain.size()));
	}

	sahara_image images[SAHARA_MAX_IMAGES] = {};
	vorn_zip *archive = nullptr;
	ASSERT_EQ(vorn_zip_open(archive_path.c_str(), &archive), 0);
	ASSERT_NE(archive, nullptr);
	ASSERT_EQ(load_sahara_image(archive, "prog_firehose_ddr.elf", &images[13]), 0);
	ASSERT_EQ(load_sahara_image(archive, "images/boot.img", &images[21]), 0);
	vorn_zip_put(archive);
	ASSERT_EQ(load_sahara_image(nullptr, plain_path.c_str(), &images[7]), 0);

	emu_config cfg;
	cfg.image_mode = true;
	cfg.hello_mode = EMU_MODE_IMAGE_TX_PENDING;
	cfg.images = {
		{13, programmer.size(), 0x1000, false},
		{21, boot.size(), 65535, true},
		{7, plain.size(), 1000, false},
	};
	emu_model model(cfg);
	vorn_device *dev = emu_vorn_init(&model);
	ASSERT_NE(dev, nullptr);

	CaptureStdout();
	CaptureStderr();
	int ret = sahara_run(dev, images, nullptr, nullptr);
	std::string out = GetCapturedStdout();
	std::string err = GetCapturedStderr();
	vorn_deinit(dev);

	EXPECT_EQ(ret, 0);
	EXPECT_EQ(err, "");
	EXPECT_TRUE(model.finished());
	EXPECT_TRUE(model.errors.empty()) << model.errors.front();
	EXPECT_EQ(model.done_count, 3u);
	ASSERT_EQ(model.image_data.size(), 3u);
	EXPECT_TRUE(model.image_data[13] == programmer);
	EXPECT_TRUE(model.image_data[21] == boot);
	EXPECT_TRUE(model.image_data[7] == plain);
	// The console names each image as it was loaded.
	for (const std::string &name : {std::string("prog_firehose_ddr.elf (300001 bytes)"),
				       std::string("images/boot.img (1048576 bytes)"),
				       plain_path.string() + " (4097 bytes)"})
		EXPECT_NE(out.find("Sahara: sending " + name + "\n"), std::string::npos) << name << "\n" << out;

	sahara_images_free(images, SAHARA_MAX_IMAGES);
}

} // namespace
