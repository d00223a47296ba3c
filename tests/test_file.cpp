// Plain files and zip archive members behind one record, with real archives
// written by libzip and, for the damaged ones, patched by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <zip.h>

#include "file.h"
#include "le.h"
#include "vorn.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::vector<uint8_t> pattern_bytes(size_t len, uint32_t seed)
{
	std::vector<uint8_t> v(len);
	uint32_t x = seed;
	for (auto &b : v) {
		x = x * 1103515245u + 12345u;
		b = static_cast<uint8_t>(x >> 16);
	}
	return v;
}

std::vector<uint8_t> text_bytes(size_t len)
{
	std::string s;
	while (s.size() < len)
		s += "the quick brown fox jumps over the lazy dog " + std::to_string(s.size()) + "\n";
	s.resize(len);
	return {s.begin(), s.end()};
}

void write_file(const fs::path &p, const std::vector<uint8_t> &data)
{
	std::ofstream f(p, std::ios::binary | std::ios::trunc);
	f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> read_file(const fs::path &p)
{
	std::ifstream f(p, std::ios::binary);
	return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

struct member {
	std::string name;
	std::vector<uint8_t> data;
	bool deflate;
};

// Writes a real archive with libzip.
void make_zip(const fs::path &p, const std::vector<member> &members)
{
	int error = 0;
	zip_t *za = zip_open(p.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
	ASSERT_NE(za, nullptr) << error;
	for (const auto &m : members) {
		zip_source_t *src = zip_source_buffer(za, m.data.data(), m.data.size(), 0);
		ASSERT_NE(src, nullptr);
		zip_int64_t idx = zip_file_add(za, m.name.c_str(), src, ZIP_FL_OVERWRITE);
		ASSERT_GE(idx, 0);
		ASSERT_EQ(zip_set_file_compression(za, static_cast<zip_uint64_t>(idx),
						   m.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0),
			  0);
	}
	ASSERT_EQ(zip_close(za), 0);
}

// Offsets of the first member's records in a one-member archive without a
// comment: its central directory entry and its local header.
struct zip_layout {
	size_t eocd, cd, local;
};

zip_layout locate(const std::vector<uint8_t> &z)
{
	zip_layout l{};
	l.eocd = z.size() - 22;
	EXPECT_EQ(le32_get(&z[l.eocd]), 0x06054b50u);
	l.cd = le32_get(&z[l.eocd + 16]);
	EXPECT_EQ(le32_get(&z[l.cd]), 0x02014b50u);
	l.local = le32_get(&z[l.cd + 42]);
	EXPECT_EQ(le32_get(&z[l.local]), 0x04034b50u);
	return l;
}

class FileTest : public testing::Test {
protected:
	fs::path dir;
	std::vector<uint8_t> stored = pattern_bytes(100000, 7);
	std::vector<uint8_t> deflated = text_bytes(50000);

	void SetUp() override
	{
		char tmpl[] = "/tmp/duruvev-file-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
	}
	void TearDown() override { fs::remove_all(dir); }

	fs::path make_images_zip()
	{
		fs::path p = dir / "images.zip";
		make_zip(p, {{"prog.mbn", stored, false},
			     {"sub/dir/boot.img", deflated, true},
			     {"empty.bin", {}, false}});
		return p;
	}

	vorn_zip *open_zip(const fs::path &p)
	{
		vorn_zip *archive = reinterpret_cast<vorn_zip *>(1);
		EXPECT_EQ(vorn_zip_open(p.c_str(), &archive), 0);
		return archive;
	}
};

TEST_F(FileTest, MembersLoadExactlyWhetherStoredOrDeflated)
{
	vorn_zip *archive = open_zip(make_images_zip());
	ASSERT_NE(archive, nullptr);
	EXPECT_EQ(archive->refcount, 1u);

	struct {
		const char *name;
		const std::vector<uint8_t> &want;
	} cases[] = {
		{"prog.mbn", stored},
		{"sub/dir/boot.img", deflated},
		{"empty.bin", {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		vorn_file f;
		ASSERT_EQ(vorn_file_open(archive, c.name, &f), 0);
		EXPECT_EQ(f.type, VORN_FILE_TYPE_ZIP);
		EXPECT_EQ(f.fd, -1);
		EXPECT_EQ(vorn_file_getsize(&f), c.want.size());
		size_t len = 12345;
		void *buf = vorn_file_load(&f, &len);
		ASSERT_NE(buf, nullptr);
		ASSERT_EQ(len, c.want.size());
		EXPECT_TRUE(std::equal(c.want.begin(), c.want.end(), static_cast<uint8_t *>(buf)));
		free(buf);
		vorn_file_close(&f);
		EXPECT_EQ(f.type, VORN_FILE_TYPE_UNKNOWN);
		EXPECT_EQ(f.zip_file, nullptr);
	}

	// Exact reads in odd-sized pieces give the same bytes as a load.
	vorn_file f;
	ASSERT_EQ(vorn_file_open(archive, "sub/dir/boot.img", &f), 0);
	std::vector<uint8_t> got(deflated.size() + 100);
	size_t pos = 0;
	for (size_t piece : {1u, 4095u, 7000u, 100000u}) {
		int64_t n = vorn_file_read_exact(&f, got.data() + pos, piece);
		ASSERT_GE(n, 0);
		pos += static_cast<size_t>(n);
	}
	ASSERT_EQ(pos, deflated.size());
	EXPECT_TRUE(std::equal(deflated.begin(), deflated.end(), got.begin()));
	EXPECT_EQ(vorn_file_read(&f, got.data(), 10), 0);
	vorn_file_close(&f);
	vorn_zip_put(archive);
}

TEST_F(FileTest, MemberNamesMustMatchExactly)
{
	vorn_zip *archive = open_zip(make_images_zip());
	ASSERT_NE(archive, nullptr);
	for (const char *name : {"boot.img", "SUB/dir/boot.img", "Prog.mbn", "missing.bin", "sub/dir/"}) {
		SCOPED_TRACE(name);
		vorn_file f;
		memset(&f, 0x5a, sizeof(f));
		CaptureStderr();
		EXPECT_EQ(vorn_file_open(archive, name, &f), -1);
		EXPECT_EQ(GetCapturedStderr(), "unable to locate \"" + std::string(name) + "\" in zip archive\n");
		// A failed open leaves the record as it was.
		vorn_file untouched;
		memset(&untouched, 0x5a, sizeof(untouched));
		EXPECT_EQ(memcmp(&f, &untouched, sizeof(f)), 0);
	}
	vorn_zip_put(archive);
}

TEST_F(FileTest, PathsThatAreNoArchiveGiveNullAndPlainAccess)
{
	write_file(dir / "plain.bin", stored);
	for (fs::path p : {dir / "nothing-here.zip", dir / "plain.bin"}) {
		SCOPED_TRACE(p);
		vorn_zip *archive = reinterpret_cast<vorn_zip *>(1);
		CaptureStderr();
		EXPECT_EQ(vorn_zip_open(p.c_str(), &archive), 0);
		EXPECT_EQ(GetCapturedStderr(), "");
		EXPECT_EQ(archive, nullptr);
	}

	vorn_file f;
	ASSERT_EQ(vorn_file_open(nullptr, (dir / "plain.bin").c_str(), &f), 0);
	EXPECT_EQ(f.type, VORN_FILE_TYPE_POSIX);
	EXPECT_GE(f.fd, 0);
	EXPECT_EQ(f.zip_file, nullptr);
	size_t len = 0;
	void *buf = vorn_file_load(&f, &len);
	ASSERT_NE(buf, nullptr);
	ASSERT_EQ(len, stored.size());
	EXPECT_EQ(memcmp(buf, stored.data(), len), 0);
	free(buf);
	vorn_file_close(&f);
}

TEST_F(FileTest, PlainFileLoadReadSeekAndClose)
{
	fs::path p = dir / "data.bin";
	write_file(p, stored);
	fs::path empty = dir / "empty.bin";
	write_file(empty, {});

	// An empty file loads as a zero-length buffer of its own.
	vorn_file f;
	ASSERT_EQ(vorn_file_open(nullptr, empty.c_str(), &f), 0);
	size_t len = 99;
	void *buf = vorn_file_load(&f, &len);
	EXPECT_NE(buf, nullptr);
	EXPECT_EQ(len, 0u);
	free(buf);
	vorn_file_close(&f);

	ASSERT_EQ(vorn_file_open(nullptr, p.c_str(), &f), 0);
	EXPECT_EQ(vorn_file_getsize(&f), stored.size());
	std::vector<uint8_t> got(stored.size());
	EXPECT_EQ(vorn_file_read_exact(&f, got.data(), 0), 0);
	EXPECT_EQ(vorn_file_read_exact(&f, got.data(), 10), 10);
	EXPECT_EQ(memcmp(got.data(), stored.data(), 10), 0);

	// A load from a moved position cannot deliver the whole size: failure,
	// not a buffer with a missing tail.
	CaptureStderr();
	len = 77;
	EXPECT_EQ(vorn_file_load(&f, &len), nullptr);
	EXPECT_EQ(GetCapturedStderr(), "failed to load content of file\n");
	EXPECT_EQ(len, 77u);

	EXPECT_EQ(vorn_file_seek(&f, -100, SEEK_END), static_cast<int64_t>(stored.size() - 100));
	EXPECT_EQ(vorn_file_read_exact(&f, got.data(), 1000), 100);
	EXPECT_EQ(memcmp(got.data(), stored.data() + stored.size() - 100, 100), 0);
	EXPECT_EQ(vorn_file_seek(&f, -1, SEEK_SET), -1);
	EXPECT_EQ(vorn_file_seek(&f, 0, SEEK_SET), 0);
	EXPECT_EQ(vorn_file_read(&f, got.data(), got.size()), static_cast<int64_t>(stored.size()));

	vorn_file_close(&f);
	EXPECT_EQ(f.fd, -1);
	vorn_file_close(&f);
	EXPECT_EQ(f.type, VORN_FILE_TYPE_UNKNOWN);
	EXPECT_EQ(vorn_file_getsize(&f), stored.size());
	EXPECT_EQ(vorn_file_read(&f, got.data(), 1), -1);
	EXPECT_EQ(vorn_file_read_exact(&f, got.data(), 1), -1);
	CaptureStderr();
	EXPECT_EQ(vorn_file_seek(&f, 0, SEEK_SET), -1);
	EXPECT_EQ(vorn_file_load(&f, &len), nullptr);
	EXPECT_EQ(GetCapturedStderr(), "internal error: attempting to load unknown file type\n");

	fs::path missing = dir / "no such file";
	CaptureStderr();
	EXPECT_EQ(vorn_file_open(nullptr, missing.c_str(), &f), -1);
	EXPECT_EQ(GetCapturedStderr(), "failed to open \"" + missing.string() + "\" for reading\n");
}

TEST_F(FileTest, MemberSeekOnlyBeforeReading)
{
	vorn_zip *archive = open_zip(make_images_zip());
	ASSERT_NE(archive, nullptr);
	vorn_file f;
	ASSERT_EQ(vorn_file_open(archive, "sub/dir/boot.img", &f), 0);

	CaptureStderr();
	EXPECT_EQ(vorn_file_seek(&f, 0, SEEK_SET), 0);
	EXPECT_EQ(GetCapturedStderr(), "");
	for (auto [off, whence] : {std::pair{0, SEEK_CUR}, {0, SEEK_END}, {1, SEEK_SET}, {-1, SEEK_END}}) {
		CaptureStderr();
		EXPECT_EQ(vorn_file_seek(&f, off, whence), -1);
		EXPECT_EQ(GetCapturedStderr(), "seek not implemented for zip files\n");
	}

	// After reading, the member cannot go back: that must not be reported
	// as done, and the member stays readable where it was.
	uint8_t head[16];
	ASSERT_EQ(vorn_file_read_exact(&f, head, sizeof(head)), 16);
	CaptureStderr();
	EXPECT_EQ(vorn_file_seek(&f, 0, SEEK_SET), -1);
	EXPECT_EQ(GetCapturedStderr(), "seek not implemented for zip files\n");
	ASSERT_EQ(vorn_file_read_exact(&f, head, sizeof(head)), 16);
	EXPECT_EQ(memcmp(head, deflated.data() + 16, 16), 0);
	vorn_file_close(&f);
	vorn_zip_put(archive);
}

TEST_F(FileTest, ArchiveReferenceCount)
{
	vorn_zip *archive = open_zip(make_images_zip());
	ASSERT_NE(archive, nullptr);
	EXPECT_EQ(vorn_zip_get(archive), archive);
	EXPECT_EQ(archive->refcount, 2u);

	// A member neither takes nor drops a reference.
	vorn_file f;
	ASSERT_EQ(vorn_file_open(archive, "prog.mbn", &f), 0);
	vorn_file_close(&f);
	EXPECT_EQ(archive->refcount, 2u);

	vorn_zip_put(archive);
	EXPECT_EQ(archive->refcount, 1u);
	ASSERT_EQ(vorn_file_open(archive, "prog.mbn", &f), 0);
	vorn_file_close(&f);
	// The last put closes and frees the archive (the leak checker of the
	// sanitizer build would report it otherwise).
	vorn_zip_put(archive);

	EXPECT_EQ(vorn_zip_get(nullptr), nullptr);
	vorn_zip_put(nullptr);
}

// Damaged members: a directory that claims more bytes than the member holds
// or fewer than it does, and data that does not match its CRC. The load
// fails with the member message and hands out no buffer.
TEST_F(FileTest, DamagedMembersFailToLoad)
{
	// Deflated member, its recorded size raised in the directory and the
	// local header.
	fs::path deflate_zip = dir / "deflate-lies.zip";
	make_zip(deflate_zip, {{"boot.img", deflated, true}});
	std::vector<uint8_t> z = read_file(deflate_zip);
	zip_layout l = locate(z);
	le32_put(&z[l.cd + 24], static_cast<uint32_t>(deflated.size() + 4096));
	le32_put(&z[l.local + 22], static_cast<uint32_t>(deflated.size() + 4096));
	write_file(deflate_zip, z);

	// Stored member whose data was cut short: the directory follows the
	// first 1000 bytes of a 100000-byte member.
	fs::path cut_zip = dir / "cut.zip";
	make_zip(cut_zip, {{"prog.mbn", stored, false}});
	z = read_file(cut_zip);
	l = locate(z);
	size_t data_start = l.local + 30 + le16_get(&z[l.local + 26]) + le16_get(&z[l.local + 28]);
	std::vector<uint8_t> cut(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(data_start + 1000));
	size_t new_cd = cut.size();
	cut.insert(cut.end(), z.begin() + static_cast<std::ptrdiff_t>(l.cd), z.end());
	le32_put(&cut[cut.size() - 22 + 16], static_cast<uint32_t>(new_cd));
	write_file(cut_zip, cut);

	// Deflated member whose recorded size (1000) is short of its data.
	fs::path short_zip = dir / "deflate-short.zip";
	make_zip(short_zip, {{"boot.img", deflated, true}});
	z = read_file(short_zip);
	l = locate(z);
	le32_put(&z[l.cd + 24], 1000);
	le32_put(&z[l.local + 22], 1000);
	write_file(short_zip, z);

	// Stored member with one byte flipped in the middle of its data.
	fs::path flipped_zip = dir / "flipped.zip";
	make_zip(flipped_zip, {{"prog.mbn", stored, false}});
	z = read_file(flipped_zip);
	l = locate(z);
	z[l.local + 30 + le16_get(&z[l.local + 26]) + le16_get(&z[l.local + 28]) + 50000] ^= 0x04;
	write_file(flipped_zip, z);

	struct {
		fs::path path;
		const char *member;
		size_t claimed;
		const char *message;
	} cases[] = {
		{deflate_zip, "boot.img", deflated.size() + 4096,
		 "failed to load zip file member: it ends before its recorded size\n"},
		{cut_zip, "prog.mbn", stored.size(), "failed to load zip file member: Premature end of file\n"},
		{short_zip, "boot.img", 1000, "failed to load zip file member: it holds more than its recorded size\n"},
		{flipped_zip, "prog.mbn", stored.size(), "failed to load zip file member: CRC error\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.path);
		vorn_zip *archive = open_zip(c.path);
		ASSERT_NE(archive, nullptr);
		vorn_file f;
		ASSERT_EQ(vorn_file_open(archive, c.member, &f), 0);
		EXPECT_EQ(vorn_file_getsize(&f), c.claimed);
		size_t len = 4242;
		CaptureStderr();
		void *buf = vorn_file_load(&f, &len);
		std::string msg = GetCapturedStderr();
		EXPECT_EQ(buf, nullptr);
		free(buf);
		EXPECT_EQ(msg, c.message);
		EXPECT_EQ(len, 4242u);
		vorn_file_close(&f);
		vorn_zip_put(archive);
	}
}

// An archive libzip finds damaged is an error, not "no archive": its member
// names must not be taken for plain paths, where a file of that name may
// well exist.
TEST_F(FileTest, DamagedArchiveIsAnErrorNamingItsReason)
{
	fs::path p = dir / "incons.zip";
	make_zip(p, {{"prog.mbn", stored, false}});
	std::vector<uint8_t> z = read_file(p);
	zip_layout l = locate(z);
	le32_put(&z[l.eocd + 16], static_cast<uint32_t>(l.cd + 1));
	write_file(p, z);
	write_file(dir / "prog.mbn", pattern_bytes(100, 1));

	vorn_zip *archive = reinterpret_cast<vorn_zip *>(1);
	CaptureStderr();
	EXPECT_EQ(vorn_zip_open(p.c_str(), &archive), -1);
	EXPECT_EQ(GetCapturedStderr(), "unable to open zip archive \"" + p.string() + "\": Zip archive inconsistent\n");
	EXPECT_EQ(archive, reinterpret_cast<vorn_zip *>(1));
}

// Only regular files are images: anything else is refused at open with what
// it is, without waiting for a device or a pipe that never ends.
TEST_F(FileTest, PathsThatAreNoRegularFileAreRefusedAtOpen)
{
	fs::path fifo = dir / "fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	struct {
		fs::path path;
		const char *kind;
	} cases[] = {
		{dir, "a directory"},
		{"/dev/zero", "a character device"},
		{fifo, "a FIFO"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.path);
		vorn_file f;
		memset(&f, 0x5a, sizeof(f));
		CaptureStderr();
		EXPECT_EQ(vorn_file_open(nullptr, c.path.c_str(), &f), -1);
		EXPECT_EQ(GetCapturedStderr(), "\"" + c.path.string() + "\" is " + c.kind + ", not a regular file\n");
		vorn_file untouched;
		memset(&untouched, 0x5a, sizeof(untouched));
		EXPECT_EQ(memcmp(&f, &untouched, sizeof(f)), 0);
	}
}

} // namespace
