// duruvev --list on trees of dump records written here: the grouping, the
// records it must refuse, and the page, whose texts come from devices.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "lab_list.h"
#include "lab_record.h"
#include "run_program.h"
#include "test_support.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

program_result list(const std::vector<std::string> &args, const std::string &cwd = "")
{
	std::vector<std::string> argv{DURUVEV_BIN, "--list"};
	argv.insert(argv.end(), args.begin(), args.end());
	return run_program(argv, 30, {}, {}, cwd);
}

json list_json(const std::vector<std::string> &args)
{
	program_result r = list(args);
	EXPECT_EQ(r.exit_code, 0) << r.err;
	json j = json::parse(r.out, nullptr, false);
	EXPECT_FALSE(j.is_discarded()) << r.out;
	return j;
}

// The row of group with title, or null.
const json *row(const json &doc, const std::string &group, const std::string &title = "")
{
	for (const json &r : doc["rows"])
		if (r["group"] == group && r["title"] == title)
			return &r;
	return nullptr;
}

const std::string bug = "BUG: unable to handle kernel NULL pointer dereference in ufshcd_queuecommand";
const std::string warn = "WARNING in dwc3_gadget_ep_queue";

// Two roots as two collection hosts leave them: one title on three devices
// (two with one serial number under different labels), and the rows kept
// apart from it.
struct lab_tree : ::testing::Test {
	temp_dir tmp;
	fs::path a = tmp.path / "hostA", b = tmp.path / "hostB";
	void SetUp() override
	{
		lab_write_dump(a / "0AA94EFD-20261210T080000Z", lab_record("hostA", "0AA94EFD", "2026-12-10T08:00:41Z", lab_crash(bug)));
		json same_serial = lab_record("hostB", "0AA94EFD", "2026-12-12T09:00:41Z", lab_crash(bug), "6.1.0-29-arm64");
		same_serial["device"]["label"] = "1-4.2";
		lab_write_dump(b / "1-4.2-20261212T090000Z", same_serial);
		// Two devices without serial numbers: told apart by their labels.
		json port0 = lab_record("hostB", "", "2026-12-11T10:00:41Z", lab_crash(bug));
		json port1 = port0;
		port1["device"]["label"] = "edl1";
		lab_write_dump(b / "edl0-20261211T100000Z", port0);
		lab_write_dump(b / "edl1-20261211T100000Z", port1);
		// The same title, but corrupted; a log without a crash message; no log.
		lab_write_dump(a / "C-20261213T000000Z", lab_record("hostA", "C", "2026-12-13T00:00:41Z", lab_crash(bug, "crash", true)));
		lab_write_dump(a / "N-20261209T000000Z", lab_record("hostA", "N", "2026-12-09T00:00:41Z", lab_crash("", "none")));
		lab_write_dump(b / "L-20261214T000000Z", lab_record("hostB", "L", "2026-12-14T00:00:41Z", nullptr));
		// An end that is no time: the start counts.
		json start_only = lab_record("hostA", "W", "2026-12-12T12:00:41Z", lab_crash(warn, "warning"));
		start_only["end"] = "";
		lab_write_dump(a / "W-20261212T120000Z", start_only);
	}
};

TEST_F(lab_tree, one_row_per_title_with_its_devices_hosts_and_kernels)
{
	json doc = list_json({"--json", a.string(), b.string()});
	ASSERT_EQ(doc["rows"].size(), 5u) << doc.dump(1);
	const json *r = row(doc, "title", bug);
	ASSERT_NE(r, nullptr) << doc.dump(1);
	EXPECT_EQ((*r)["count"], 4);
	EXPECT_EQ((*r)["devices"], 3);
	EXPECT_EQ((*r)["first_seen"], "2026-12-10T08:00:41Z");
	EXPECT_EQ((*r)["last_seen"], "2026-12-12T09:00:41Z");
	EXPECT_EQ((*r)["hosts"], json({"hostA", "hostB"}));
	EXPECT_EQ((*r)["kernel_releases"], json({"6.1.0-28-arm64", "6.1.0-29-arm64"}));
	EXPECT_EQ((*r)["representative"], (b / "1-4.2-20261212T090000Z").string());
	EXPECT_EQ((*r)["new"], false);

	ASSERT_NE(row(doc, "corrupted", bug), nullptr);
	EXPECT_EQ((*row(doc, "corrupted", bug))["count"], 1);
	ASSERT_NE(row(doc, "no_crash_message"), nullptr);
	ASSERT_NE(row(doc, "no_kernel_log"), nullptr);
	EXPECT_EQ((*row(doc, "no_kernel_log"))["kernel_releases"], json::array());
	ASSERT_NE(row(doc, "title", warn), nullptr);
	EXPECT_EQ((*row(doc, "title", warn))["last_seen"], "2026-12-12T12:00:00Z");

	// Newest first.
	std::vector<std::string> order;
	for (const json &x : doc["rows"])
		order.push_back(x["last_seen"]);
	EXPECT_TRUE(std::is_sorted(order.rbegin(), order.rend())) << doc.dump(1);
	EXPECT_EQ(doc["not_counted"], json::array());
}

TEST_F(lab_tree, since_keeps_later_dumps_and_marks_titles_not_seen_before)
{
	json doc = list_json({"--since", "2026-12-11T10:00:41Z", "--json", a.string(), b.string()});
	const json *r = row(doc, "title", bug);
	ASSERT_NE(r, nullptr) << doc.dump(1);
	// At the date itself counts as before.
	EXPECT_EQ((*r)["count"], 1);
	EXPECT_EQ((*r)["first_seen"], "2026-12-12T09:00:41Z");
	EXPECT_EQ((*r)["new"], false);
	ASSERT_NE(row(doc, "title", warn), nullptr);
	EXPECT_EQ((*row(doc, "title", warn))["new"], true);
	EXPECT_EQ((*row(doc, "corrupted", bug))["new"], true);
	EXPECT_EQ(row(doc, "no_crash_message"), nullptr) << "a row with no dump after the date";
	EXPECT_EQ(doc["since"], "2026-12-11T10:00:41Z");
}

// The table as people read it; the Windows program must print the same.
TEST_F(lab_tree, table)
{
	program_result r = list({"--since", "2026-12-12", "."}, b.string());
	EXPECT_EQ(r.exit_code, 0) << r.err;
	EXPECT_EQ(r.out, "LAST SEEN             FIRST SEEN            DUMPS  DEVICES  TITLE\n"
			 "2026-12-14T00:00:41Z  2026-12-14T00:00:41Z      1        1  (no kernel log)\n"
			 "    no kernel log, new; kernels -; hosts hostB\n"
			 "    open L-20261214T000000Z\n"
			 "2026-12-12T09:00:41Z  2026-12-12T09:00:41Z      1        1  " +
				 bug + "\n" +
				 "    crash; kernels 6.1.0-29-arm64; hosts hostB\n"
				 "    open 1-4.2-20261212T090000Z\n");
}

TEST(lab_since, dates_and_times_in_utc)
{
	struct since_case {
		const char *text;
		const char *want; // null: refused
	};
	for (const since_case &c : std::vector<since_case>{
		     {"2026-12-11", "2026-12-11T00:00:00Z"},
		     {"2026-12-11T06:22", "2026-12-11T06:22:00Z"},
		     {"2026-12-11 06:22:41", "2026-12-11T06:22:41Z"},
		     {"2026-12-11T06:22:41Z", "2026-12-11T06:22:41Z"},
		     {"2026-13-11", nullptr},
		     {"2026-12-11T24:00", nullptr},
		     {"yesterday", nullptr},
		     {"2026-12-11T06:22:41+01:00", nullptr},
	     }) {
		std::string out = "untouched";
		EXPECT_EQ(lab_since_parse(c.text, &out), c.want != nullptr) << c.text;
		EXPECT_EQ(out, c.want ? c.want : "untouched") << c.text;
	}
}

// Names, sizes and times of everything under root.
std::map<std::string, std::string> snapshot(const fs::path &root)
{
	std::map<std::string, std::string> s;
	for (const auto &e : fs::recursive_directory_iterator(root)) {
		struct stat st;
		lstat(e.path().c_str(), &st);
		s[e.path().string()] = std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
				       std::to_string(st.st_mtim.tv_nsec);
	}
	return s;
}

// Each broken record is one line below the table, the good dumps beside it
// are counted, and nothing under the path changes.
TEST(lab_broken, one_line_each_and_the_rest_counted)
{
	temp_dir tmp;
	fs::path root = tmp.path / "root";
	json good = lab_record("hostA", "0AA94EFD", "2026-12-11T06:22:41Z", lab_crash(bug));
	lab_write_dump(root / "good-1", good);
	auto with = [&](const char *field, json value) {
		json r = good;
		r[json::json_pointer(field)] = value;
		return r.dump();
	};
	std::string huge = good.dump();
	huge.insert(huge.size() - 1, ", \"pad\": \"" + std::string((1 << 20) + 1, 'x') + "\"");
	const std::string fine = good.dump();
	struct broken_case {
		std::string dir, bytes, reason;
		const std::string *listed = nullptr;
	};
	std::vector<broken_case> cases = {
		{"truncated", fine.substr(0, fine.size() / 2), "dump.json is not JSON, or is cut short"},
		{"wrong-type", with("/bytes", "12582912"), "dump.json: \"bytes\" is not a count"},
		{"wrong-nested", with("/crash/corrupted", "no"), "dump.json: \"crash.corrupted\" is not true or false"},
		{"negative", with("/regions", -1), "dump.json: \"regions\" is not a count"},
		{"missing", [&] { json r = good; r.erase("host"); return r.dump(); }(), "dump.json: \"host\" is missing"},
		{"bad-kind", with("/crash/kind", "oops"), "dump.json: \"crash.kind\" is \"oops\", not a kind of crash"},
		{"huge", huge, "dump.json is larger than 1 MiB"},
		{"format-2", with("/format", 2), "dump.json is of format 2; this duruvev reads format 1"},
		{"changed", with("/host", "hostZ"), "dump.json does not match its SHA-256 in SHA256SUMS", &fine},
		{"not-object", "[1,2]", "dump.json holds no JSON object"},
		{"esc\x1b[2J\nname", "{", "dump.json is not JSON, or is cut short"},
	};
	for (const broken_case &c : cases)
		lab_write_dump(root / c.dir, c.bytes, c.listed);
	lab_write_dump(root / "good-2", good);
	fs::create_directories(root / "being-written");
	std::ofstream(root / "being-written" / "A.BIN") << "x";
	// A record that is a link or a FIFO is not followed, nor waited for.
	lab_write_dump(root / "link", fine);
	fs::remove(root / "link" / "dump.json");
	fs::create_symlink(root / "good-1" / "dump.json", root / "link" / "dump.json");
	lab_write_dump(root / "fifo", fine);
	fs::remove(root / "fifo" / "dump.json");
	ASSERT_EQ(mkfifo((root / "fifo" / "dump.json").c_str(), 0644), 0);
	auto before = snapshot(root);

	program_result r = list({"."}, root.string());
	EXPECT_EQ(r.exit_code, 0) << r.err;
	EXPECT_NE(r.out.find("      2        1  " + bug + "\n"), std::string::npos) << r.out;
	for (const broken_case &c : cases) {
		std::string shown = c.dir == "esc\x1b[2J\nname" ? "esc\\x1b[2J\\x0aname" : c.dir;
		EXPECT_NE(r.out.find("\n  " + shown + ": " + c.reason + "\n"), std::string::npos) << c.dir << "\n" << r.out;
	}
	EXPECT_NE(r.out.find("\n  being-written: no SHA256SUMS: being written, cut short, or waiting to be continued\n"),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("\n  link: cannot read dump.json: "), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("\n  fifo: dump.json is no regular file\n"), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "a control byte reached the terminal";
	EXPECT_EQ(snapshot(root), before);
}

// A page of dumps whose devices and kernels say hostile things: xmllint
// reads it as HTML, and all of it stays text.
TEST(lab_page, hostile_texts_stay_text)
{
	if (access("/usr/bin/xmllint", X_OK) != 0)
		GTEST_SKIP() << "xmllint (libxml2-utils) is not installed";
	temp_dir tmp;
	const std::string serial = "<script>alert(\"s\")</script>";
	const std::string host = "\"><img src=x onerror=alert(1)>";
	const std::string title = "BUG: </td></tr></table><b>bold</b> & 'quoted' \"title\"\x01";
	json rec = lab_record(host, serial, "2026-12-11T06:22:41Z", lab_crash(title));
	lab_write_dump(tmp.path / "root" / "<iframe src=x>", rec);
	lab_write_dump(tmp.path / "root" / "bad\xff<svg>", std::string("{"));
	fs::path page = tmp.path / "page.html";
	program_result r = list({"--html", page.string(), (tmp.path / "root").string()});
	ASSERT_EQ(r.exit_code, 0) << r.err;

	program_result lint = run_program({"/usr/bin/xmllint", "--html", "--noout", page.string()});
	// The HTML4 parser knows no <details>; any other complaint is ours.
	std::string complaints;
	for (size_t at = 0, nl; (nl = lint.err.find('\n', at)) != std::string::npos; at = nl + 1) {
		std::string line = lint.err.substr(at, nl - at);
		if (line.find("HTML parser error") != std::string::npos && line.find("Tag details invalid") == std::string::npos &&
		    line.find("Tag summary invalid") == std::string::npos)
			complaints += line + "\n";
	}
	EXPECT_EQ(complaints, "") << slurp(page);
	program_result tags = run_program({"/usr/bin/xmllint", "--html", "--xpath",
					   "count(//script|//img|//iframe|//svg|//b|//*[@onerror])", page.string()});
	EXPECT_EQ(tags.out, "0\n") << slurp(page);
	// What the device said is there, as text.
	program_result text = run_program({"/usr/bin/xmllint", "--html", "--xpath", "string(/)", page.string()});
	for (const std::string &s : {serial, host, std::string("BUG: </td></tr></table><b>bold</b> & 'quoted' \"title\"\\x01"),
				     std::string("<iframe src=x>"), std::string("bad\\xff<svg>")})
		EXPECT_NE(text.out.find(s), std::string::npos) << s << "\n" << slurp(page);
}

} // namespace
