// Sahara image loading, Firehose attribute helpers, storage types and storage
// addresses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zip.h>

#include "file.h"
#include "util.h"
#include "vorn.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// ---- storage addresses ----

struct address_case {
	const char *address;
	int part;
	unsigned start;
	unsigned count;
	const char *name; // null: no GPT name
};

TEST(StorageAddress, AcceptedForms)
{
	const address_case cases[] = {
		{"userdata", -1, 0, 0, "userdata"},
		{"", -1, 0, 0, ""},
		{"0", 0, 0, 0, nullptr},
		{"4/12", 4, 12, 0, nullptr},
		{"4/12+8", 4, 12, 8, nullptr},
		{"4/boot_a", 4, 0, 0, "boot_a"},
		{"4/a/b", 4, 0, 0, "a/b"},
		{"4/", 4, 0, 0, ""},
		{"4/-boot", 4, 0, 0, "-boot"},
		{"2147483647", 2147483647, 0, 0, nullptr},
		{"0/4294967295+4294967295", 0, 4294967295u, 4294967295u, nullptr},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.address);
		int part = 99;
		unsigned start = 99, count = 99;
		char *name = reinterpret_cast<char *>(1);
		ASSERT_EQ(parse_storage_address(c.address, &part, &start, &count, &name), 0);
		EXPECT_EQ(part, c.part);
		EXPECT_EQ(start, c.start);
		EXPECT_EQ(count, c.count);
		if (c.name) {
			ASSERT_NE(name, nullptr);
			EXPECT_STREQ(name, c.name);
		} else {
			EXPECT_EQ(name, nullptr);
		}
		free(name);
	}
}

TEST(StorageAddress, MalformedAddressesWriteNothing)
{
	// Numbers have the range of a 32-bit long on every platform; a signed
	// sector number is refused rather than wrapped to the device's end.
	const char *bad[] = {"-1",	  "4x",	       "12abc",	      "4/12-8",	     "4/12+",
			     "4/12+0",	  "4/12+8x",   "2147483648",  "4/4294967296", "4/12+4294967296",
			     "-2147483649", "99999999999999999999", "4/-5", "4/12+-8", "4/12+ "};
	for (const char *address : bad) {
		SCOPED_TRACE(address);
		int part = 99;
		unsigned start = 98, count = 97;
		char *name = reinterpret_cast<char *>(1);
		EXPECT_EQ(parse_storage_address(address, &part, &start, &count, &name), -1);
		EXPECT_EQ(part, 99);
		EXPECT_EQ(start, 98u);
		EXPECT_EQ(count, 97u);
		EXPECT_EQ(name, reinterpret_cast<char *>(1));
	}
}

// ---- storage types ----

TEST(StorageType, NamesBothWays)
{
	const std::pair<vorn_storage_type, const char *> known[] = {
		{VORN_STORAGE_EMMC, "emmc"}, {VORN_STORAGE_NAND, "nand"},     {VORN_STORAGE_UFS, "ufs"},
		{VORN_STORAGE_NVME, "nvme"}, {VORN_STORAGE_SPINOR, "spinor"},
	};
	for (auto [type, name] : known) {
		SCOPED_TRACE(name);
		EXPECT_STREQ(encode_storage_type(type), name);
		EXPECT_EQ(decode_storage_type(name), type);
	}
	EXPECT_EQ(encode_storage_type(VORN_STORAGE_UNKNOWN), nullptr);
	EXPECT_EQ(encode_storage_type(static_cast<vorn_storage_type>(6)), nullptr);
	EXPECT_EQ(encode_storage_type(static_cast<vorn_storage_type>(0xffffffffu)), nullptr);
	for (const char *name : {"UFS", "Emmc", "ufs ", "", "unknown"})
		EXPECT_EQ(decode_storage_type(name), VORN_STORAGE_UNKNOWN) << name;
	EXPECT_EQ(decode_storage_type(nullptr), VORN_STORAGE_UNKNOWN);
}

// ---- Firehose attributes ----

class AttrTest : public testing::Test {
protected:
	xmlDoc *doc = nullptr;
	xmlNode *node = nullptr;

	void SetUp() override
	{
		static const char xml[] =
			"<?xml version=\"1.0\" ?><data><program hex=\"0x10\" HEX=\"0X1f\" oct=\"010\" dec=\"10\" "
			"junk=\"12abc\" space=\" 7\" empty=\"\" word=\"abc\" neg=\"-1\" big=\"4294967296\" "
			"max=\"4294967295\" label=\"boot_a\" t=\"true\" T=\"True\" one=\"1\" yes=\"yes\" "
			"TRUE=\"TRUE\" f=\"false\" /></data>";
		doc = xmlReadMemory(xml, sizeof(xml) - 1, nullptr, nullptr, 0);
		ASSERT_NE(doc, nullptr);
		node = xmlDocGetRootElement(doc)->children;
		ASSERT_NE(node, nullptr);
	}
	void TearDown() override { xmlFreeDoc(doc); }
};

TEST_F(AttrTest, Unsigned)
{
	const std::pair<const char *, unsigned> cases[] = {
		{"hex", 16},  {"HEX", 31},	     {"oct", 8},	    {"dec", 10},
		{"junk", 12}, {"space", 7},	     {"empty", 0},	    {"word", 0},
		{"neg", 4294967295u}, {"big", 4294967295u}, {"max", 4294967295u},
	};
	int errors = 0;
	for (auto [attr, want] : cases)
		EXPECT_EQ(attr_as_unsigned(node, attr, &errors), want) << attr;
	EXPECT_EQ(errors, 0);
	EXPECT_EQ(attr_as_unsigned(node, "missing", &errors), 0u);
	EXPECT_EQ(attr_as_unsigned(node, "other", &errors), 0u);
	EXPECT_EQ(errors, 2);
}

TEST_F(AttrTest, String)
{
	int errors = 5;
	char *s = attr_as_string(node, "label", &errors);
	ASSERT_NE(s, nullptr);
	EXPECT_STREQ(s, "boot_a");
	free(s);
	EXPECT_EQ(attr_as_string(node, "empty", &errors), nullptr);
	EXPECT_EQ(errors, 5);
	EXPECT_EQ(attr_as_string(node, "missing", &errors), nullptr);
	EXPECT_EQ(errors, 6);
}

TEST_F(AttrTest, BoolIsTrueOnlyForExactTrue)
{
	int errors = 0;
	EXPECT_TRUE(attr_as_bool(node, "t", &errors));
	for (const char *attr : {"T", "TRUE", "one", "yes", "empty", "f", "missing"})
		EXPECT_FALSE(attr_as_bool(node, attr, &errors)) << attr;
	EXPECT_EQ(errors, 0);
}

// ---- image loading ----

class ImageTest : public testing::Test {
protected:
	fs::path dir;
	std::vector<uint8_t> prog = std::vector<uint8_t>(70000);
	std::vector<uint8_t> boot;

	void SetUp() override
	{
		char tmpl[] = "/tmp/duruvev-img-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		for (size_t i = 0; i < prog.size(); i++)
			prog[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
		std::string text;
		while (text.size() < 30000)
			text += "boot image line " + std::to_string(text.size()) + "\n";
		boot.assign(text.begin(), text.end());
	}
	void TearDown() override { fs::remove_all(dir); }

	void write_file(const fs::path &p, const std::vector<uint8_t> &data)
	{
		std::ofstream f(p, std::ios::binary | std::ios::trunc);
		f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
	}

	fs::path make_zip()
	{
		fs::path p = dir / "images.zip";
		zip_t *za = zip_open(p.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
		EXPECT_NE(za, nullptr);
		struct {
			const char *name;
			const std::vector<uint8_t> &data;
			int method;
		} members[] = {{"prog_firehose.mbn", prog, ZIP_CM_STORE},
			       {"images/boot.img", boot, ZIP_CM_DEFLATE},
			       {"empty.bin", {}, ZIP_CM_STORE}};
		for (const auto &m : members) {
			zip_source_t *src = zip_source_buffer(za, m.data.data(), m.data.size(), 0);
			zip_int64_t idx = zip_file_add(za, m.name, src, 0);
			EXPECT_GE(idx, 0);
			zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), m.method, 0);
		}
		EXPECT_EQ(zip_close(za), 0);
		return p;
	}
};

TEST_F(ImageTest, LoadsFromArchiveAndPlainPath)
{
	vorn_zip *archive = nullptr;
	ASSERT_EQ(vorn_zip_open(make_zip().c_str(), &archive), 0);
	ASSERT_NE(archive, nullptr);
	write_file(dir / "plain.mbn", prog);
	std::string plain = (dir / "plain.mbn").string();

	sahara_image images[3] = {};
	ASSERT_EQ(load_sahara_image(archive, "prog_firehose.mbn", &images[0]), 0);
	ASSERT_EQ(load_sahara_image(archive, "images/boot.img", &images[1]), 0);
	ASSERT_EQ(load_sahara_image(nullptr, plain.c_str(), &images[2]), 0);
	EXPECT_EQ(archive->refcount, 1u);
	// The bytes are copies: they outlive the archive.
	vorn_zip_put(archive);

	const std::vector<uint8_t> *want[] = {&prog, &boot, &prog};
	const char *names[] = {"prog_firehose.mbn", "images/boot.img", plain.c_str()};
	for (int i = 0; i < 3; i++) {
		SCOPED_TRACE(names[i]);
		EXPECT_STREQ(images[i].name, names[i]);
		ASSERT_EQ(images[i].len, want[i]->size());
		EXPECT_EQ(memcmp(images[i].ptr, want[i]->data(), images[i].len), 0);
	}

	sahara_images_free(images, 3);
	for (const auto &img : images) {
		EXPECT_EQ(img.name, nullptr);
		EXPECT_EQ(img.ptr, nullptr);
		EXPECT_EQ(img.len, 0u);
	}
	sahara_images_free(images, 3);
	sahara_images_free(nullptr, 0);
}

TEST_F(ImageTest, FailuresLeaveTheRecordAlone)
{
	vorn_zip *archive = nullptr;
	ASSERT_EQ(vorn_zip_open(make_zip().c_str(), &archive), 0);
	ASSERT_NE(archive, nullptr);
	write_file(dir / "empty.mbn", {});
	std::string empty = (dir / "empty.mbn").string();
	std::string missing = (dir / "missing.mbn").string();

	struct {
		vorn_zip *archive;
		std::string name;
		std::string messages;
	} cases[] = {
		{nullptr, empty, ""},
		{archive, "empty.bin", ""},
		{nullptr, missing, "failed to open \"" + missing + "\" for reading\nfailed to read \"" + missing + "\"\n"},
		{archive, "boot.img",
		 "unable to locate \"boot.img\" in zip archive\nfailed to read \"boot.img\"\n"},
		{nullptr, dir.string(),
		 "\"" + dir.string() + "\" is a directory, not a regular file\nfailed to read \"" + dir.string() + "\"\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		char sentinel_name[] = "keep";
		sahara_image img = {sentinel_name, sentinel_name, 4};
		CaptureStderr();
		EXPECT_EQ(load_sahara_image(c.archive, c.name.c_str(), &img), -1);
		EXPECT_EQ(GetCapturedStderr(), c.messages);
		EXPECT_EQ(img.name, sentinel_name);
		EXPECT_EQ(img.ptr, sentinel_name);
		EXPECT_EQ(img.len, 4u);
	}
	vorn_zip_put(archive);
}

} // namespace
