// What crashed; see crash_title.h. Hand-written matching over string_views:
// every step is linear in the text it looks at.
#include "crash_title.h"

#include <algorithm>
#include <cstring>

namespace {

using sv = std::string_view;

// Lines of one report looked at after its first; reports are far shorter.
constexpr size_t window_max = 1500;
// Frames taken from one report.
constexpr size_t frames_max = 512;

bool starts(sv s, sv p)
{
	return s.size() >= p.size() && s.compare(0, p.size(), p) == 0;
}

bool has(sv s, sv p)
{
	return s.find(p) != sv::npos;
}

bool ends(sv s, sv p)
{
	return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

bool is_hex(char c)
{
	return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_alpha(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_ident(char c)
{
	return is_alpha(c) || is_digit(c);
}

sv trim(sv s)
{
	while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
		s.remove_prefix(1);
	while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
		s.remove_suffix(1);
	return s;
}

// "[ 12.345678]" or "[  T123]" / "[T123]" / "[ C1]" at the start of s: its
// length, or 0.
size_t bracket_prefix(sv s, bool caller)
{
	if (s.empty() || s[0] != '[')
		return 0;
	size_t close = s.find(']');
	if (close == sv::npos || close > 24 || close < 2)
		return 0;
	sv in = s.substr(1, close - 1);
	size_t i = 0;
	while (i < in.size() && in[i] == ' ')
		i++;
	if (caller) {
		if (i >= in.size() || (in[i] != 'T' && in[i] != 'C'))
			return 0;
		i++;
	}
	if (i >= in.size())
		return 0;
	for (; i < in.size(); i++)
		if (!is_digit(in[i]) && (caller || in[i] != '.'))
			return 0;
	return close + 1;
}

// A log line without its loglevel, time stamp and caller id.
sv strip_prefix(sv s)
{
	if (s.size() > CRASH_TITLE_LINE_MAX)
		s = s.substr(0, CRASH_TITLE_LINE_MAX);
	while (!s.empty() && s.back() == '\r')
		s.remove_suffix(1);
	if (s.size() >= 3 && s[0] == '<' && is_digit(s[1])) {
		size_t gt = s.find('>');
		if (gt != sv::npos && gt <= 4)
			s.remove_prefix(gt + 1);
	}
	size_t n = bracket_prefix(s, false);
	if (n == 0)
		return s;
	s.remove_prefix(n);
	s.remove_prefix(bracket_prefix(s, true));
	if (!s.empty() && s[0] == ' ')
		s.remove_prefix(1);
	return s;
}

// ---- frames ----

// A function name as kernels print it in a frame ("foo.part.0"), taken
// from the start of s; empty when s does not start with one.
sv ident_at(sv s)
{
	if (s.empty() || !is_alpha(s[0]))
		return {};
	size_t i = 0;
	while (i < s.size() && (is_ident(s[i]) || s[i] == '.' || s[i] == '$'))
		i++;
	return s.substr(0, i);
}

// The name without its compiler suffix (".part.0", ".constprop.3", ".cold").
sv base_name(sv name)
{
	size_t dot = name.find_first_of(".$");
	return dot == sv::npos ? name : name.substr(0, dot);
}

// One line of a stack: is it a frame line, and the functions it names (an
// ARM line "(callee) from (caller+0x..)" names two; an unnamed frame such
// as "0xffffffffdeadbeef" none).
struct frame_line {
	bool frame = false;
	sv callee, caller;
};

// "[<0123abcd>]" at the start of s: its length, or 0.
size_t pc_token(sv s)
{
	if (!starts(s, "[<"))
		return 0;
	size_t i = 2;
	while (i < s.size() && is_hex(s[i]))
		i++;
	return i > 2 && starts(s.substr(i), ">]") ? i + 2 : 0;
}

// A hexadecimal number token "0x..." alone on what remains of s.
bool bare_address(sv s)
{
	s = trim(s);
	if (!starts(s, "0x") || s.size() < 3)
		return false;
	for (size_t i = 2; i < s.size(); i++)
		if (!is_hex(s[i]))
			return false;
	return true;
}

frame_line parse_frame(sv line)
{
	frame_line f;
	sv s = trim(line);
	size_t pc = pc_token(s);
	if (pc && s.size() > pc && s[pc] == ' ') {
		sv rest = trim(s.substr(pc));
		// ARM: "[<pc>] (callee) from [<pc>] (caller+0x18/0x1c)".
		if (starts(rest, "(")) {
			size_t from = rest.find(") from ");
			if (from == sv::npos)
				return f;
			f.frame = true;
			f.callee = ident_at(rest.substr(1));
			sv next = rest.substr(from + 7);
			size_t pc2 = pc_token(next);
			if (pc2 && starts(next.substr(pc2), " ("))
				f.caller = ident_at(next.substr(pc2 + 2));
			return f;
		}
		s = rest;
	}
	if (bare_address(s)) {
		f.frame = true;
		return f;
	}
	sv name = ident_at(s);
	if (!name.empty() && starts(s.substr(name.size()), "+0x")) {
		f.frame = true;
		f.caller = name;
	}
	return f;
}

// Lines that a stack may hold between its frames.
bool stack_filler(sv s)
{
	s = trim(s);
	if (starts(s, "Exception stack("))
		return true;
	// ARM registers saved per frame: "r9:400f0193 r8:ffffffff".
	if (s.size() > 3 && s[0] == 'r' && is_digit(s[1]) && (s[2] == ':' || (is_digit(s[2]) && s[3] == ':')))
		return true;
	// A hex dump line of the exception stack: "7cc0: 8010e300 ...".
	size_t i = 0;
	while (i < s.size() && is_hex(s[i]))
		i++;
	return i >= 3 && i < s.size() && s[i] == ':';
}

bool stack_header(sv s)
{
	s = trim(s);
	return starts(s, "Call trace:") || starts(s, "Call Trace:") || starts(s, "Backtrace:") ||
	       starts(s, "stack backtrace:");
}

// ---- which frames tell nothing about the bug ----

enum class skip { none, soft, hard };

bool any_of_has(sv name, std::initializer_list<sv> parts)
{
	for (sv p : parts)
		if (has(name, p))
			return true;
	return false;
}

bool any_of_starts(sv name, std::initializer_list<sv> parts)
{
	for (sv p : parts)
		if (starts(name, p))
			return true;
	return false;
}

// The machinery that reports the crash: never the culprit.
bool reporting_frame(sv n)
{
	return any_of_has(n, {"dump_backtrace", "unwind_backtrace", "show_stack", "dump_stack", "show_regs", "panic",
			      "warn", "print", "report_bug", "bug_handler", "brk_handler", "kasan", "kfence",
			      "ubsan", "kmsan", "kcsan", "hwasan", "__sanitizer", "__asan", "lockdep",
			      "might_sleep", "might_fault", "might_resched", "fortify", "schedule_bug",
			      "bad_page", "nmi_cpu_backtrace", "nmi_trigger_cpumask", "cpumask_backtrace",
			      "rcu_dump_cpu_stacks", "wdog", "watchdog", "wdt_", "free_page_is_bad"}) ||
	       any_of_starts(n, {"die", "__die", "arm_notify_die", "do_kernel_fault", "__do_kernel_fault",
				 "do_tag_check_fault", "do_debug_exception", "bad_mode", "debug_print_object",
				 "debug_check_no"});
}

// Exception entry, locking, the library: they route the crash but rarely
// cause it.
bool routing_frame(sv n)
{
	return any_of_starts(n, {"el0_", "el1_", "el1h_", "el0t_", "__el0_", "__el1_", "do_el0_", "do_mem_abort",
				 "do_translation_fault", "do_page_fault", "do_bad_area", "__do_user_fault",
				 "do_DataAbort", "do_PrefetchAbort", "do_alignment", "do_sea", "do_undefinstr",
				 "__dabt_", "__pabt_", "__und_", "__irq_", "vector_", "ret_fast_syscall",
				 "ret_from_fork", "__sys_trace", "invoke_syscall", "gic_handle_irq",
				 "generic_handle_", "__handle_domain_irq", "handle_domain_irq", "call_with_stack",
				 "irq_exit", "mutex_", "__mutex_", "rt_mutex_", "rwsem_", "down_", "up_read",
				 "up_write", "atomic_", "refcount_", "kref_", "__list_", "list_add", "list_del",
				 "logic_in", "logic_out", "mem", "__mem", "str", "__str", "kthread_stop",
				 "__switch_to", "_cond_resched", "wait_for_completion", "kfree", "kvfree",
				 "free_unref_page", "__folio_put", "folio_put", "put_page", "__free_pages",
				 "should_fail"}) ||
	       n == "down" || n == "_stext" ||
	       any_of_has(n, {"spin_lock", "spin_unlock", "spin_trylock", "read_lock", "read_unlock", "write_lock",
			      "write_unlock", "_raw_", "lock_acquire", "lock_release", "bh_enable", "bh_disable",
			      "rcu_read_lock", "rcu_read_unlock", "seqprop", "seqcount", "kobject_", "queue_work",
			      "schedule", "malloc", "zalloc", "calloc", "krealloc", "kmem_cache", "slab_",
			      "copy_from_user", "copy_to_user", "debug_object"});
}

skip skip_of(sv name)
{
	if (reporting_frame(name))
		return skip::hard;
	if (routing_frame(name))
		return skip::soft;
	return skip::none;
}

// Where an interrupt entered: what follows it on the stack was interrupted.
bool irq_entry(sv n)
{
	return n == "__irq_svc" || n == "__irq_usr" || n == "el1_irq" || n == "el0_irq" || n == "el1h_64_irq" ||
	       n == "el0t_64_irq" || n == "el1_interrupt" || n == "el0_interrupt";
}

// The frame a syscall wrapper names: "__arm64_sys_socket" is "sys_socket".
sv strip_arch(sv n)
{
	for (sv p : {"__arm64_", "__x64_", "__ia32_", "__se_", "__do_"})
		if (starts(n, p) && (starts(n.substr(p.size()), "sys_") || starts(n.substr(p.size()), "compat_sys_")))
			return n.substr(p.size());
	return n;
}

// Frames that hand work on: a stall is named after the frame that calls
// them, not after where the CPU happened to be.
bool anchor_frame(sv n)
{
	static const char *const anchors[] = {
		"ret_fast_syscall", "__sys_trace_return", "invoke_syscall", "el0_svc_common", "do_el0_svc", "el0_svc",
		"el0_svc_handler", "el0_svc_naked", "el0_sync", "el0_sync_handler", "el0t_64_sync",
		"el0t_64_sync_handler", "ret_from_fork", "kthread", "worker_thread", "process_one_work",
		"call_timer_fn", "expire_timers", "__run_timers", "run_timer_softirq", "tasklet_action",
		"tasklet_action_common", "__do_softirq", "net_rx_action", "smpboot_thread_fn", "do_idle",
		"sys_ioctl", "ksys_ioctl", "do_vfs_ioctl", "vfs_ioctl", "sys_read", "ksys_read", "vfs_read",
		"sys_write", "ksys_write", "vfs_write", "sys_setsockopt", "__sys_setsockopt",
		"sock_common_setsockopt", "sys_getsockopt", "__sys_getsockopt", "sock_common_getsockopt",
		"sys_sendmsg", "__sys_sendmsg", "___sys_sendmsg", "____sys_sendmsg", "sock_sendmsg", "sys_sendto",
		"__sys_sendto", "sys_sendmmsg", "__sys_sendmmsg", "sys_recvmsg", "__sys_recvmsg", "___sys_recvmsg",
		"sock_recvmsg", "sys_recvfrom", "__sys_recvfrom", "sys_connect", "__sys_connect", "sys_bind",
		"__sys_bind", "sys_accept4", "__sys_accept4"};
	sv s = strip_arch(n);
	for (const char *a : anchors)
		if (s == a)
			return true;
	return false;
}

// ---- text ----

// Numbers, addresses and line numbers drop out of text in a title, so that
// one bug gives one title: "foo.c:123" becomes "foo.c:LINE".
std::string normalise(sv s)
{
	std::string out;
	size_t i = 0;
	while (i < s.size() && out.size() < 4 * CRASH_TITLE_MAX) {
		char c = s[i];
		bool word_start = i == 0 || !is_ident(s[i - 1]);
		if (word_start && is_hex(c)) {
			size_t j = i;
			if (starts(s.substr(i), "0x") || starts(s.substr(i), "0X"))
				j += 2;
			size_t k = j;
			while (k < s.size() && is_hex(s[k]))
				k++;
			bool all_digits = std::all_of(s.begin() + static_cast<long>(j), s.begin() + static_cast<long>(k), is_digit);
			bool number = k > i && (k == s.size() || !is_ident(s[k])) && (j > i || all_digits || k - i >= 8);
			if (number) {
				bool line_no = all_digits && j == i && !out.empty() && out.back() == ':' && out.size() >= 3 &&
					       is_alpha(out[out.size() - 2]) && out.rfind('.') != std::string::npos &&
					       out.size() - out.rfind('.') <= 6;
				if (line_no)
					out += "LINE";
				i = k;
				continue;
			}
		}
		unsigned char u = static_cast<unsigned char>(c);
		char put = u < 0x20 || u >= 0x7f ? '?' : c;
		if (put == ' ' && (out.empty() || out.back() == ' ')) {
			i++;
			continue;
		}
		out += put;
		i++;
	}
	while (!out.empty() && (out.back() == ' ' || out.back() == ',' || out.back() == '-'))
		out.pop_back();
	return out;
}

// The part of a description before what varies between crashes of one
// bug: a colon, an exclamation mark, " at FILE", " in ...", " on CPU".
sv cut_description(sv s)
{
	size_t end = s.size();
	for (sv stop : {sv(":"), sv("!"), sv(" in "), sv(" at "), sv(" on CPU"), sv(","), sv(" - ")})
		end = std::min(end, s.find(stop));
	return trim(s.substr(0, end));
}

// A subsystem's name: "4080000.remoteproc" is "remoteproc".
std::string subsystem_name(sv s)
{
	s = trim(s);
	size_t dot = s.find('.');
	if (dot != sv::npos && dot > 0 && std::all_of(s.begin(), s.begin() + static_cast<long>(dot), is_hex))
		s.remove_prefix(dot + 1);
	std::string out;
	for (char c : s) {
		if (!is_ident(c) && c != '-' && c != ',')
			break;
		out += c;
		if (out.size() >= 40)
			break;
	}
	return out;
}

// The lines of a log without their prefixes; crash_title_of_lines fills
// it once.
struct crash_log {
	std::vector<sv> lines;
};

// ---- report starts ----

enum class how {
	first,	   // the first frame: pc, then the first stack
	after_irq, // the first frame that an interrupt found running
	anchor,	   // the frame that called the first dispatching frame
	locks,	   // the function a held lock was taken in
	irq_order, // the first stack after "which became ... at:"
	none,	   // no frame belongs in the title
};

struct report {
	size_t start = 0;
	std::string head;	 // title before " in FRAME"
	std::string kind;
	how frames = how::first;
	bool frame_required = true; // without one the report was cut short
	bool corrupted = false;	    // the report's own line was cut short
	bool stall = false;	    // stacks of the grace-period kthread are not the stall's
};

bool unable_to_handle(sv s, report &r)
{
	for (sv what : {sv("NULL pointer dereference"), sv("paging request"), sv("access to user memory")}) {
		if (starts(s, "Unable to handle kernel ") && starts(s.substr(24), what)) {
			r.head = "BUG: unable to handle kernel " + std::string(what);
			r.kind = "crash";
			return true;
		}
	}
	return false;
}

// Lines whose text depends on the lines that follow them: the access of a
// KASAN report, the ODEBUG line of a warning.
sv line_after(const crash_log &log, size_t i, size_t k)
{
	return i + k < log.lines.size() ? trim(log.lines[i + k]) : sv();
}

bool bug_line(const crash_log &log, size_t i, sv s, report &r)
{
	if (starts(s, "BUG: KASAN: ") || starts(s, "BUG: KFENCE: ")) {
		bool kasan = starts(s, "BUG: KASAN: ");
		sv rest = s.substr(kasan ? 12 : 13);
		size_t in = rest.find(" in ");
		sv type = trim(rest.substr(0, std::min(in, rest.find(' '))));
		if (!kasan)
			type = trim(rest.substr(0, in));
		r.head = (kasan ? "KASAN: " : "KFENCE: ") + normalise(type);
		for (size_t k = 1; kasan && k <= 3; k++) {
			sv next = line_after(log, i, k);
			if (starts(next, "Read ") || starts(next, "Write ")) {
				r.head += starts(next, "Read ") ? " Read" : " Write";
				break;
			}
		}
		r.kind = "crash";
		return true;
	}
	if (starts(s, "BUG: unable to handle kernel ")) {
		std::string arm_form = "Unable to handle kernel " + std::string(s.substr(29));
		if (unable_to_handle(arm_form, r))
			return true;
	}
	if (!starts(s, "BUG: "))
		return false;
	sv desc = cut_description(s.substr(5));
	r.head = "BUG: " + normalise(desc);
	bool lockup = has(desc, "lockup");
	r.kind = lockup ? "lockup" : "crash";
	if (lockup)
		r.frames = how::after_irq;
	return true;
}

bool warning_line(const crash_log &log, size_t i, sv s, report &r)
{
	if (!starts(s, "WARNING: "))
		return false;
	sv rest = s.substr(9);
	r.kind = "warning";
	if (starts(rest, "CPU: ") || starts(rest, "at ")) {
		size_t at = rest.find(" at ");
		sv where = at == sv::npos ? sv() : rest.substr(at + 4);
		sv func = trim(where.substr(std::min(where.size(), where.find(' '))));
		r.head = "WARNING";
		for (size_t k = 1; k <= 3; k++)
			if (starts(line_after(log, i, k), "ODEBUG:"))
				r.head = "WARNING: ODEBUG bug";
		if (starts(func, "__vmalloc_node_range"))
			r.head = "WARNING: zero-size vmalloc";
		return true;
	}
	if (has(rest, "still has locks held")) {
		r.head = "WARNING: still has locks held";
		r.frames = how::locks;
	} else if (has(rest, "-safe -> ") && has(rest, "-unsafe lock order")) {
		r.head = "possible deadlock";
		r.frames = how::irq_order;
	} else if (has(rest, "possible circular locking") || has(rest, "possible recursive locking")) {
		r.head = "possible deadlock";
	} else {
		// "WARNING: task/123 did X!": the task drops out.
		std::string desc;
		for (sv d = cut_description(rest); !d.empty();) {
			size_t sp = d.find(' ');
			sv word = d.substr(0, sp);
			if (!has(word, "/"))
				desc += (desc.empty() ? "" : " ") + std::string(word);
			d = sp == sv::npos ? sv() : d.substr(sp + 1);
		}
		r.head = "WARNING: " + normalise(desc);
	}
	return true;
}

// "[ BUG: Invalid wait context ]" and the other lockdep banners.
bool lockdep_banner(sv s, report &r)
{
	if (!starts(s, "[ BUG: ") || !ends(s, " ]"))
		return false;
	sv desc = s.substr(7, s.size() - 9);
	r.head = has(desc, "Invalid wait context") ? "WARNING: locking bug" : "WARNING: " + normalise(cut_description(desc));
	r.kind = "warning";
	return true;
}

// "ASSERT FAILED at (file:line): condition" from the secure OS.
bool trusty_line(sv s, report &r)
{
	size_t at = s.find("ASSERT FAILED at (");
	if (!has(s, "trusty: panic") || at == sv::npos)
		return false;
	size_t close = s.find("): ", at);
	sv what = close == sv::npos ? sv() : trim(s.substr(close + 3));
	r.head = "trusty: ASSERT FAILED: " + normalise(what);
	r.corrupted = what.empty();
	if (what.empty())
		r.head.pop_back();
	r.kind = "subsystem";
	r.frames = how::none;
	r.frame_required = false;
	return true;
}

// A Qualcomm crash reason; see the manual page for the titles.
bool qualcomm_line(const crash_log &log, size_t i, sv s, report &r);

bool kernel_line_starts(const crash_log &log, size_t i, sv s, report &r)
{
	if (starts(s, "watchdog: "))
		s.remove_prefix(10);
	if (unable_to_handle(s, r) || bug_line(log, i, s, r) || warning_line(log, i, s, r) || lockdep_banner(s, r))
		return true;
	if (starts(s, "UBSAN: ")) {
		r.head = "UBSAN: " + normalise(cut_description(s.substr(7)));
		r.kind = "warning";
		return true;
	}
	if (starts(s, "kernel BUG at ")) {
		r.head = has(s, "lib/list_debug.c") ? "BUG: corrupted list" : "kernel BUG";
		r.kind = "crash";
		return true;
	}
	if (starts(s, "Watchdog detected hard LOCKUP")) {
		r.head = "BUG: hard lockup";
		r.kind = "lockup";
		r.frames = how::after_irq;
		return true;
	}
	sv rcu = starts(s, "rcu: ") ? s.substr(5) : s;
	if (starts(rcu, "INFO: rcu") && has(rcu, "detected") && has(rcu, "stall")) {
		r.head = "INFO: rcu detected stall";
		r.kind = "lockup";
		r.frames = how::anchor;
		r.stall = true;
		return true;
	}
	if (starts(s, "INFO: task ") && has(s, " blocked for more than ")) {
		r.head = "INFO: task hung";
		r.kind = "hang";
		return true;
	}
	for (sv fault : {sv("Unhandled fault"), sv("Alignment trap")})
		if (starts(s, fault)) {
			r.head = std::string(fault);
			r.kind = "crash";
			return true;
		}
	if (starts(s, "Bad mode in ") && has(s, "handler")) {
		r.head = "kernel panic: bad mode";
		r.kind = "panic";
		r.frames = how::none;
		r.frame_required = false;
		return true;
	}
	return trusty_line(s, r);
}

// Starts that open a report only when no other came before them: after one,
// they are that report's own lines.
bool late_start(sv s, report &r)
{
	if (starts(s, "Internal error:")) {
		r.head = "Internal error";
		r.kind = "crash";
		return true;
	}
	if (!starts(s, "Kernel panic - not syncing: "))
		return false;
	sv reason = trim(s.substr(28));
	r.kind = "panic";
	if (starts(reason, "corrupted stack end")) {
		r.head = "kernel panic: corrupted stack end";
		r.frames = how::anchor;
		return true;
	}
	r.head = "kernel panic: " + normalise(reason);
	r.frames = how::none;
	r.frame_required = false;
	return true;
}

bool report_starts(const crash_log &log, size_t i, report &r)
{
	sv s = trim(log.lines[i]);
	report t;
	t.start = i;
	if (!qualcomm_line(log, i, s, t) && !kernel_line_starts(log, i, s, t))
		return false;
	r = t;
	return true;
}

// ---- the frames of a report ----

struct frames_seen {
	std::vector<sv> names; // in stack order, raw
	bool stack = false;    // a stack with at least one frame
	sv pc;		       // the pc line's function
};

// The function the "pc :" or "PC is at" line names.
sv pc_function(sv s)
{
	for (sv p : {sv("pc : "), sv("PC is at ")})
		if (starts(s, p)) {
			sv name = ident_at(trim(s.substr(p.size())));
			return starts(trim(s.substr(p.size())).substr(name.size()), "+0x") ? name : sv();
		}
	return {};
}

void add_frame(frames_seen &f, const frame_line &fl)
{
	if (f.names.size() >= frames_max)
		return;
	if (!fl.callee.empty() && (f.names.empty() || f.names.back() != fl.callee))
		f.names.push_back(fl.callee);
	if (!fl.caller.empty())
		f.names.push_back(fl.caller);
}

// Where a report ends: the next report, another CPU's stack, a reboot.
bool report_ends(const crash_log &log, size_t i, const report &r)
{
	sv s = trim(log.lines[i]);
	report other;
	if (starts(s, "---[ end ") || starts(s, "Rebooting in ") || (starts(s, "CPU") && ends(s, ": stopping")) ||
	    starts(s, "SMP: stopping secondary CPUs"))
		return true;
	if (!r.stall && starts(s, "NMI backtrace for cpu"))
		return true;
	// A line of the same kind goes on with the report (a bark, then its bite).
	return report_starts(log, i, other) && other.head != r.head;
}

// The pc line and the first stack of the report (all of its stacks for a
// stall, but those of the grace-period kthread).
frames_seen collect_frames(const crash_log &log, const report &r, size_t end)
{
	frames_seen f;
	bool in_stack = r.frames == how::irq_order ? false : r.stall, skipping = false;
	size_t since_header = 0;
	bool irq_order_seen = false;
	for (size_t i = r.start + 1; i < end; i++) {
		sv s = log.lines[i];
		sv t = trim(s);
		if (r.stall && has(t, "kthread stack dump:"))
			skipping = true;
		if (r.stall && (starts(t, "NMI backtrace for cpu") || starts(t, "CPU: ")))
			skipping = false;
		if (skipping)
			continue;
		if (f.pc.empty() && !f.stack)
			f.pc = pc_function(t);
		if (r.frames == how::irq_order && !irq_order_seen) {
			irq_order_seen = has(t, "which became") && ends(t, "at:");
			in_stack = irq_order_seen;
			continue;
		}
		if (stack_header(t)) {
			if (f.stack && !r.stall)
				break;
			in_stack = true;
			since_header = 0;
			continue;
		}
		frame_line fl = parse_frame(s);
		// Old ARM kernels print a stack without a header.
		if (!in_stack && fl.frame && !fl.callee.empty() && !f.stack)
			in_stack = true;
		if (!in_stack)
			continue;
		if (fl.frame) {
			add_frame(f, fl);
			f.stack = true;
			continue;
		}
		if (stack_filler(t) || (!f.stack && ++since_header < 40) || r.stall)
			continue;
		break;
	}
	return f;
}

// The first frame that is not the report's machinery; failing that, the
// first that only routed the crash.
sv first_frame(const std::vector<sv> &names)
{
	sv routed;
	for (sv n : names) {
		skip k = skip_of(base_name(n));
		if (k == skip::none)
			return n;
		if (k == skip::soft && routed.empty())
			routed = n;
	}
	return routed;
}

sv anchored_frame(const std::vector<sv> &names)
{
	for (size_t i = 1; i < names.size(); i++) {
		if (!anchor_frame(base_name(names[i])))
			continue;
		for (size_t j = i; j-- > 0;)
			if (skip_of(base_name(names[j])) == skip::none)
				return names[j];
		break;
	}
	return first_frame(names);
}

// "#0: ffff0000 (lock){....}-{1:2}, at: func+0x24/0x2f0".
sv held_lock_frame(const crash_log &log, const report &r, size_t end)
{
	for (size_t i = r.start + 1; i < end; i++) {
		sv t = trim(log.lines[i]);
		size_t at = t.find(", at: ");
		if (starts(t, "#") && at != sv::npos) {
			sv name = ident_at(t.substr(at + 6));
			if (!name.empty() && skip_of(base_name(name)) == skip::none)
				return name;
		}
	}
	return {};
}

sv guilty_frame(const crash_log &log, const report &r, size_t end, bool &stack)
{
	frames_seen f = collect_frames(log, r, end);
	stack = f.stack;
	std::vector<sv> names;
	if (!f.pc.empty())
		names.push_back(f.pc);
	names.insert(names.end(), f.names.begin(), f.names.end());
	if (r.frames == how::locks) {
		sv held = held_lock_frame(log, r, end);
		if (!held.empty())
			return held;
	}
	if (r.frames == how::anchor || r.frames == how::after_irq) {
		auto last_irq = std::find_if(names.rbegin(), names.rend(), [](sv n) { return irq_entry(base_name(n)); });
		if (last_irq != names.rend() && last_irq != names.rbegin())
			names.erase(names.begin(), last_irq.base());
	}
	return r.frames == how::anchor ? anchored_frame(names) : first_frame(names);
}

std::string capped(std::string s)
{
	if (s.size() > CRASH_TITLE_MAX)
		s.resize(CRASH_TITLE_MAX);
	while (!s.empty() && s.back() == ' ')
		s.pop_back();
	return s;
}

crash_title title_of(const crash_log &log, const report &r)
{
	size_t end = r.start + 1;
	size_t last = std::min(log.lines.size(), r.start + 1 + window_max);
	while (end < last && !report_ends(log, end, r))
		end++;
	crash_title t;
	t.kind = r.kind;
	t.corrupted = r.corrupted;
	if (r.frames == how::none) {
		t.title = capped(r.head);
		return t;
	}
	bool stack = false;
	sv raw = guilty_frame(log, r, end, stack);
	sv frame = strip_arch(base_name(raw));
	t.frame = std::string(frame.substr(0, 80));
	if (frame.empty()) {
		t.corrupted = r.frame_required;
		t.title = capped(r.frame_required ? r.head + " in corrupted" : r.head);
		return t;
	}
	t.corrupted = r.frame_required && !stack;
	t.title = capped(r.head + " in " + t.frame);
	sv unstripped = base_name(raw);
	if (unstripped != frame)
		t.alt.push_back(capped(r.head + " in " + std::string(unstripped.substr(0, 80))));
	return t;
}

// ---- Qualcomm ----

// "subsystem crash: NAME: REASON", "subsystem watchdog: NAME", ...: a remote
// processor's reason, named after the processor found in the lines after it.
std::string remote_name_after(const crash_log &log, size_t i)
{
	size_t last = std::min(log.lines.size(), i + 200);
	for (size_t k = i; k < last; k++) {
		sv s = log.lines[k];
		size_t p = s.find("crash detected in ");
		if (p != sv::npos)
			return subsystem_name(s.substr(p + 18));
		p = s.find("Resetting the SoC - ");
		if (p != sv::npos)
			return subsystem_name(s.substr(p + 20));
	}
	return {};
}

std::string subsystem_title(const char *what, const std::string &name, const std::string &reason)
{
	std::string t = std::string("subsystem ") + what;
	if (!name.empty())
		t += ": " + name;
	if (!reason.empty())
		t += ": " + reason;
	return t;
}

bool qualcomm_line(const crash_log &log, size_t i, sv s, report &r)
{
	auto found = [&r](std::string head, const char *kind, bool frame) {
		r.head = std::move(head);
		r.kind = kind;
		r.frames = frame ? how::after_irq : how::none;
		r.frame_required = false;
		return true;
	};
	for (sv key : {sv("fatal error received: "), sv("watchdog received: ")}) {
		size_t p = s.find(key);
		if (p == sv::npos)
			continue;
		std::string name = remote_name_after(log, i);
		if (name.empty()) {
			sv dev = trim(s.substr(0, p));
			size_t sp = dev.rfind(' ');
			name = subsystem_name(sp == sv::npos ? dev : dev.substr(sp + 1));
		}
		return found(subsystem_title(key[0] == 'f' ? "crash" : "watchdog", name, normalise(s.substr(p + key.size()))),
			     "subsystem", false);
	}
	size_t p = s.find("crash detected in ");
	if (p != sv::npos) {
		sv rest = s.substr(p + 18);
		bool wdog = has(rest, ": type watchdog");
		return found(subsystem_title(wdog ? "watchdog" : "crash", subsystem_name(rest), ""), "subsystem", false);
	}
	p = s.find("subsys-restart: Resetting the SoC - ");
	if (p != sv::npos) {
		return found(subsystem_title("crash", subsystem_name(s.substr(p + 36)), ""), "subsystem", false);
	}
	if (has(s, "Watchdog bark! Now = ") || has(s, "Causing a watchdog bite!") ||
	    has(s, "Apps watchdog bark received"))
		return found("watchdog bark", "watchdog", true);
	return false;
}

} // namespace

crash_title crash_title_of_lines(const std::vector<sv> &lines)
{
	crash_log log;
	size_t n = std::min<size_t>(lines.size(), CRASH_TITLE_LINES_MAX);
	log.lines.reserve(n);
	for (size_t i = 0; i < n; i++)
		log.lines.push_back(strip_prefix(lines[i]));
	for (size_t i = 0; i < log.lines.size(); i++) {
		report r;
		r.start = i;
		if (report_starts(log, i, r) || late_start(trim(log.lines[i]), r))
			return title_of(log, r);
	}
	return crash_title();
}

crash_title crash_title_of_text(sv text)
{
	std::vector<sv> lines;
	while (!text.empty() && lines.size() < CRASH_TITLE_LINES_MAX) {
		size_t nl = text.find('\n');
		lines.push_back(text.substr(0, nl));
		text = nl == sv::npos ? sv() : text.substr(nl + 1);
	}
	return crash_title_of_lines(lines);
}

crash_title crash_title_of_log(const kmsg_log &log)
{
	std::vector<sv> lines;
	for (const kmsg_record &r : log.records) {
		sv text = r.text;
		do {
			size_t nl = text.find('\n');
			lines.push_back(text.substr(0, nl));
			text = nl == sv::npos ? sv() : text.substr(nl + 1);
		} while (!text.empty() && lines.size() < CRASH_TITLE_LINES_MAX);
		if (lines.size() >= CRASH_TITLE_LINES_MAX)
			break;
	}
	return crash_title_of_lines(lines);
}
