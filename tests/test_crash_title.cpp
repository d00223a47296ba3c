// Crash titles: one short log per kind of report, each with the title it
// must get; the same bug under other addresses gets the same title, another
// guilty frame another one; hostile logs end in bounded time.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "crash_title.h"

namespace {

struct title_case {
	const char *name;
	const char *log;
	const char *title;
	const char *kind;
	const char *frame;
	bool corrupted;
	const char *alt; // "" when none
};

const title_case cases[] = {
	{"arm64 NULL dereference, frames past the locking",
	 "[   12.000001] usb 1-1: new high-speed USB device\n"
	 "[   12.100000] Unable to handle kernel NULL pointer dereference at virtual address 0000000000000010\n"
	 "[   12.100001] Mem abort info:\n"
	 "[   12.100002] Internal error: Oops: 96000005 [#1] PREEMPT SMP\n"
	 "[   12.100003] CPU: 2 PID: 311 Comm: kworker/2:1 Tainted: G        W 5.15.104 #1\n"
	 "[   12.100004] pc : _raw_spin_lock_irqsave+0x2c/0x78\n"
	 "[   12.100005] lr : ufshcd_queuecommand+0x5c/0x4a0\n"
	 "[   12.100006] Call trace:\n"
	 "[   12.100007]  _raw_spin_lock_irqsave+0x2c/0x78\n"
	 "[   12.100008]  ufshcd_queuecommand+0x5c/0x4a0\n"
	 "[   12.100009]  scsi_queue_rq+0x3f0/0x7d0\n"
	 "[   12.100010] ---[ end trace 9a1c3e2b7d4f5a60 ]---\n"
	 "[   12.100011] Kernel panic - not syncing: Oops: Fatal exception\n",
	 "BUG: unable to handle kernel NULL pointer dereference in ufshcd_queuecommand", "crash",
	 "ufshcd_queuecommand", false, ""},
	{"arm oops: PC, then the caller side of the backtrace",
	 "Unable to handle kernel paging request at virtual address e0a01004\n"
	 "Internal error: Oops: 805 [#1] SMP ARM\n"
	 "PC is at memcpy+0x48/0x330\n"
	 "LR is at 0x0\n"
	 "Backtrace: \n"
	 "[<c0375d48>] (memcpy) from [<c05a1e10>] (msm_serial_rx_chars+0x9c/0x1b0)\n"
	 "[<c05a1e10>] (msm_serial_rx_chars) from [<c05a2a00>] (msm_uart_irq+0x6c/0xa0)\n",
	 "BUG: unable to handle kernel paging request in msm_serial_rx_chars", "crash", "msm_serial_rx_chars", false,
	 ""},
	{"cut short before any frame",
	 "[  900.000000] Unable to handle kernel paging request at virtual address ffffffc0deadbeef\n"
	 "[  900.000001] Internal error: Oops: 96000007 [#1] PREEMPT SMP\n",
	 "BUG: unable to handle kernel paging request in corrupted", "crash", "", true, ""},
	{"cut short after the pc line",
	 "[  900.000000] Unable to handle kernel paging request at virtual address ffffffc0deadbeef\n"
	 "[  900.000001] pc : dwc3_ep0_interrupt+0x30/0x6c0\n",
	 "BUG: unable to handle kernel paging request in dwc3_ep0_interrupt", "crash", "dwc3_ep0_interrupt", true,
	 ""},
	{"warning, past the warn machinery",
	 "[   40.000000] ------------[ cut here ]------------\n"
	 "[   40.000001] WARNING: CPU: 3 PID: 1021 at drivers/usb/dwc3/gadget.c:1721 "
	 "dwc3_gadget_ep_queue+0x1b4/0x1c0\n"
	 "[   40.000002] pc : dwc3_gadget_ep_queue+0x1b4/0x1c0\n"
	 "[   40.000003] Call trace:\n"
	 "[   40.000004]  dwc3_gadget_ep_queue+0x1b4/0x1c0\n"
	 "[   40.000005]  usb_ep_queue+0x40/0xe0\n",
	 "WARNING in dwc3_gadget_ep_queue", "warning", "dwc3_gadget_ep_queue", false, ""},
	{"kernel BUG, arch syscall prefix stripped",
	 "[  77.000000] kernel BUG at drivers/android/binder_alloc.c:837!\n"
	 "[  77.000001] Internal error: Oops - BUG: 0 [#1] PREEMPT SMP\n"
	 "[  77.000002] pc : binder_alloc_deferred_release+0x2f8/0x2fc\n"
	 "[  77.000003] Call trace:\n"
	 "[  77.000004]  binder_alloc_deferred_release+0x2f8/0x2fc\n"
	 "[  77.000005]  binder_proc_dec_tmpref+0x9c/0x148\n",
	 "kernel BUG in binder_alloc_deferred_release", "crash", "binder_alloc_deferred_release", false, ""},
	{"sleeping in atomic context, syscall entry named without its wrapper",
	 "[  50.1][ T4410] BUG: scheduling while atomic: adbd/4410/0x00000002\n"
	 "[  50.1][ T4410] Call trace:\n"
	 "[  50.1][ T4410]  dump_stack+0x18/0x34\n"
	 "[  50.1][ T4410]  __schedule_bug+0x60/0x80\n"
	 "[  50.1][ T4410]  __schedule+0x74c/0x7f0\n"
	 "[  50.1][ T4410]  __arm64_sys_ppoll+0xa8/0xf0\n"
	 "[  50.1][ T4410]  el0_svc+0x44/0xb0\n",
	 "BUG: scheduling while atomic in sys_ppoll", "crash", "sys_ppoll", false,
	 "BUG: scheduling while atomic in __arm64_sys_ppoll"},
	{"soft lockup: where the CPU was looping",
	 "[ 130.0][    C0] watchdog: BUG: soft lockup - CPU#0 stuck for 22s! [kworker/0:2:87]\n"
	 "[ 130.0][    C0] pc : msm_geni_serial_poll+0x40/0x90\n"
	 "[ 130.0][    C0] Call trace:\n"
	 "[ 130.0][    C0]  msm_geni_serial_poll+0x40/0x90\n"
	 "[ 130.0][    C0]  msm_geni_serial_console_write+0x110/0x1a0\n",
	 "BUG: soft lockup in msm_geni_serial_poll", "lockup", "msm_geni_serial_poll", false, ""},
	{"hung task, past the scheduler",
	 "[ 245.2] INFO: task mmcqd/0:312 blocked for more than 120 seconds.\n"
	 "[ 245.2] Call trace:\n"
	 "[ 245.2]  __switch_to+0x210/0x450\n"
	 "[ 245.2]  __schedule+0x894/0x1eb8\n"
	 "[ 245.2]  schedule+0xac/0x228\n"
	 "[ 245.2]  mutex_lock+0x40/0x60\n"
	 "[ 245.2]  mmc_blk_issue_rq+0x1c4/0x8a0\n"
	 "[ 245.2]  mmc_queue_thread+0x11c/0x2b0\n"
	 "[ 245.2] \n",
	 "INFO: task hung in mmc_blk_issue_rq", "hang", "mmc_blk_issue_rq", false, ""},
	{"RCU stall, named after what the dispatcher called",
	 "rcu: INFO: rcu_preempt self-detected stall on CPU\n"
	 "NMI backtrace for cpu 1\n"
	 "Call trace:\n"
	 " dump_backtrace+0x0/0x1a4\n"
	 " rcu_dump_cpu_stacks+0xcc/0x110\n"
	 " el1_interrupt+0x38/0x64\n"
	 " el1h_64_irq+0x64/0x68\n"
	 " _raw_spin_unlock_irqrestore+0x10/0x50\n"
	 " ipa_rx_poll+0x88/0x1c0\n"
	 " ipa_rx_work+0x20/0x40\n"
	 " process_one_work+0x1d8/0x360\n"
	 " worker_thread+0x74/0x440\n",
	 "INFO: rcu detected stall in ipa_rx_work", "lockup", "ipa_rx_work", false, ""},
	{"panic with no report before it",
	 "[  10.0] sysrq: Trigger a crash\n"
	 "[  10.0] Kernel panic - not syncing: sysrq triggered crash\n",
	 "kernel panic: sysrq triggered crash", "panic", "", false, ""},
	{"panic reason with numbers",
	 "Kernel panic - not syncing: Attempted to kill init! exitcode=0x0000000b\n",
	 "kernel panic: Attempted to kill init! exitcode=", "panic", "", false, ""},
	{"KASAN, read access",
	 "BUG: KASAN: slab-out-of-bounds in ipa3_tx_dp+0x1c8/0x2c0\n"
	 "Read of size 8 at addr ffffff8012345678 by task ipa/11\n"
	 "Call trace:\n"
	 " dump_backtrace+0x0/0x1a4\n"
	 " kasan_report+0x104/0x200\n"
	 " ipa3_tx_dp+0x1c8/0x2c0\n",
	 "KASAN: slab-out-of-bounds Read in ipa3_tx_dp", "crash", "ipa3_tx_dp", false, ""},
	{"UBSAN, past the sanitizer",
	 "UBSAN: array-index-out-of-bounds in drivers/soc/qcom/smem.c:712:9\n"
	 "index 9 is out of range for type 'u32 [8]'\n"
	 "Call trace:\n"
	 " dump_backtrace+0x0/0x1a4\n"
	 " __ubsan_handle_out_of_bounds+0x98/0xd0\n"
	 " qcom_smem_get+0x1b0/0x1c0\n",
	 "UBSAN: array-index-out-of-bounds in qcom_smem_get", "warning", "qcom_smem_get", false, ""},
	{"unhandled fault on arm",
	 "Unhandled fault: page domain fault (0x01b) at 0x00000008\n"
	 "Internal error: : 1b [#1] SMP ARM\n"
	 "PC is at qcom_smd_rx_data+0x30/0x90\n"
	 "Backtrace: \n"
	 "[<c0400000>] (qcom_smd_rx_data) from [<c0400100>] (qcom_smd_edge_intr+0x1c/0x30)\n",
	 "Unhandled fault in qcom_smd_rx_data", "crash", "qcom_smd_rx_data", false, ""},
	{"list corruption",
	 "kernel BUG at lib/list_debug.c:53!\n"
	 "pc : __list_del_entry_valid+0xcc/0xd0\n"
	 "Call trace:\n"
	 " __list_del_entry_valid+0xcc/0xd0\n"
	 " diag_remove_client+0x50/0x7c\n",
	 "BUG: corrupted list in diag_remove_client", "crash", "diag_remove_client", false, ""},
	{"apps watchdog bark with the interrupted frame",
	 "[ 301.5] msm_watchdog 17980000.qcom,wdt: Watchdog bark! Now = 301.512345\n"
	 "[ 301.5] msm_watchdog 17980000.qcom,wdt: Causing a watchdog bite!\n"
	 "[ 301.5] Kernel panic - not syncing: Apps watchdog bark received!\n"
	 "[ 301.5] Call trace:\n"
	 "[ 301.5]  dump_backtrace+0x0/0x1a4\n"
	 "[ 301.5]  panic+0x1b8/0x31c\n"
	 "[ 301.5]  qcom_wdt_bark_handler+0x80/0xa0\n"
	 "[ 301.5]  gic_handle_irq+0x74/0x88\n"
	 "[ 301.5]  el1_irq+0xb4/0x180\n"
	 "[ 301.5]  cam_sensor_poll_i2c+0x34/0x90\n"
	 "[ 301.5]  cam_sensor_power_up+0x210/0x400\n",
	 "watchdog bark in cam_sensor_poll_i2c", "watchdog", "cam_sensor_poll_i2c", false, ""},
	{"apps watchdog bark alone",
	 "[ 301.5] msm_watchdog 17980000.qcom,wdt: Watchdog bark! Now = 301.512345\n",
	 "watchdog bark", "watchdog", "", false, ""},
	{"modem fatal error, named by the crash that follows",
	 "[ 88.1] qcom_q6v5_pas 4080000.remoteproc: fatal error received: "
	 "err_qdi.c:456:EF:mss_rfc:1:rfc_task.c:1231:Assertion ret == 0 failed\n"
	 "[ 88.1] remoteproc remoteproc0: crash detected in modem: type fatal error\n"
	 "[ 88.2] subsys-restart: Resetting the SoC - modem crashed.\n",
	 "subsystem crash: modem: err_qdi.c:LINE:EF:mss_rfc::rfc_task.c:LINE:Assertion ret == failed", "subsystem", "",
	 false, ""},
	{"remote processor watchdog",
	 "[ 88.1] qcom_q6v5_pas 3000000.remoteproc: watchdog received: \n"
	 "[ 88.1] remoteproc remoteproc1: crash detected in 3000000.remoteproc: type watchdog\n",
	 "subsystem watchdog: remoteproc", "subsystem", "", false, ""},
	{"crash detected alone", "remoteproc remoteproc2: crash detected in cdsp: type fatal error\n",
	 "subsystem crash: cdsp", "subsystem", "", false, ""},
	{"subsystem restart alone", "[ 5.0] subsys-restart: Resetting the SoC - adsp crashed.\n",
	 "subsystem crash: adsp", "subsystem", "", false, ""},
	{"no crash",
	 "[    0.000000] Booting Linux on physical CPU 0x0\n"
	 "[    1.000000] BUG_ON is a macro, and WARNING: this line does not start with it\n",
	 "", "none", "", false, ""},
};

TEST(crash_title, each_kind_of_report)
{
	for (const title_case &c : cases) {
		SCOPED_TRACE(c.name);
		crash_title t = crash_title_of_text(c.log);
		EXPECT_EQ(t.title, c.title);
		EXPECT_EQ(t.kind, c.kind);
		EXPECT_EQ(t.frame, c.frame);
		EXPECT_EQ(t.corrupted, c.corrupted);
		EXPECT_EQ(t.alt, *c.alt ? std::vector<std::string>{c.alt} : std::vector<std::string>{});
		EXPECT_EQ(t.rules, CRASH_TITLE_RULES);
	}
}

std::string crash_at(const char *stamp, const char *pid, const char *addr, const char *frame)
{
	return std::string("[") + stamp + "][ T" + pid + "] Unable to handle kernel NULL pointer dereference at virtual address " +
	       addr + "\n[" + stamp + "][ T" + pid + "] CPU: 1 PID: " + pid + " Comm: kworker/1:" + pid +
	       "\n[" + stamp + "][ T" + pid + "] Call trace:\n[" + stamp + "][ T" + pid + "]  " + frame + "+0x" + addr +
	       "/0x400\n";
}

TEST(crash_title, one_bug_one_title)
{
	std::string a = crash_at("  12.345678", "311", "10", "ufshcd_queuecommand");
	std::string b = crash_at("9876.000001", "4242", "2c8", "ufshcd_queuecommand");
	std::string c = crash_at("  12.345678", "311", "10", "ufshcd_abort");
	EXPECT_EQ(crash_title_of_text(a).title, crash_title_of_text(b).title);
	EXPECT_NE(crash_title_of_text(a).title, crash_title_of_text(c).title);
}

TEST(crash_title, records_and_text_agree)
{
	kmsg_log log;
	log.records.push_back({1, "Unable to handle kernel paging request at virtual address 0"});
	log.records.push_back({2, "pc : sde_kms_commit+0x40/0x90\nCall trace:\n sde_kms_commit+0x40/0x90"});
	crash_title t = crash_title_of_log(log);
	EXPECT_EQ(t.title, "BUG: unable to handle kernel paging request in sde_kms_commit");
	EXPECT_FALSE(t.corrupted);
}

// Titles are printable, at most CRASH_TITLE_MAX characters, and come in
// bounded time from logs made to slow a reader down: huge lines, endless
// stacks, report starts on every line.
TEST(crash_title, hostile_logs)
{
	std::string reason(5000, 'x');
	reason[10] = '\x01';
	crash_title t = crash_title_of_text("Kernel panic - not syncing: " + reason + "\n");
	EXPECT_EQ(t.title.size(), static_cast<size_t>(CRASH_TITLE_MAX));
	for (char ch : t.title)
		EXPECT_TRUE(ch >= 0x20 && ch < 0x7f);

	std::string stack = "WARNING: CPU: 0 PID: 1 at a.c:1 f+0x0/0x4\nCall trace:\n";
	for (int i = 0; i < 300000; i++)
		stack += " _raw_spin_lock+0x1/0x2\n";
	std::string starts;
	for (int i = 0; i < 300000; i++)
		starts += "INFO: task x:1 blocked for more than 1 seconds. Unable to handle kernel\n";
	for (const std::string *log : {&stack, &starts}) {
		auto t0 = std::chrono::steady_clock::now();
		crash_title h = crash_title_of_text(*log);
		double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
		EXPECT_NE(h.kind, "none");
		EXPECT_LT(s, 10.0);
	}
}

} // namespace
