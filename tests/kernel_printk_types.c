/*
 * The type information a debugger needs to read a kernel's log: the printk
 * structures as Linux lays them out (the lockless ring of 5.10 and later with
 * PRINTK_RING, else the log_buf records of 4.x), and the variables its log
 * helpers start from. Built with -g by a cross compiler for the kernel's
 * architecture, each variable in a section of its own ("klog_" and its name)
 * that the linker places where the dumped kernel's vmcoreinfo says the
 * variable lies, this stands in for the kernel's vmlinux. Nothing runs it.
 */
typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
typedef unsigned long long u64;

#define KLOG_VAR(type, name) __attribute__((section("klog_" #name), used)) type name

enum printk_info_flags { LOG_NEWLINE = 2, LOG_CONT = 8 };
enum printk_info_flags printk_info_flags_used;

#ifdef PRINTK_RING
typedef struct {
	long counter;
} atomic_long_t;

enum desc_state { desc_miss = -1, desc_reserved = 0, desc_committed = 1, desc_finalized = 2, desc_reusable = 3 };
enum desc_state desc_state_used;

struct prb_data_blk_lpos {
	unsigned long begin;
	unsigned long next;
};

struct prb_desc {
	atomic_long_t state_var;
	struct prb_data_blk_lpos text_blk_lpos;
};

struct dev_printk_info {
	char subsystem[16];
	char device[48];
};

struct printk_info {
	u64 seq;
	u64 ts_nsec;
	u16 text_len;
	u8 facility;
	u8 flags : 5;
	u8 level : 3;
	u32 caller_id;
	struct dev_printk_info dev_info;
};

struct prb_data_ring {
	unsigned int size_bits;
	char *data;
	atomic_long_t head_lpos;
	atomic_long_t tail_lpos;
};

struct prb_desc_ring {
	unsigned int count_bits;
	struct prb_desc *descs;
	struct printk_info *infos;
	atomic_long_t head_id;
	atomic_long_t tail_id;
};

struct printk_ringbuffer {
	struct prb_desc_ring desc_ring;
	struct prb_data_ring text_data_ring;
	atomic_long_t fail;
};

KLOG_VAR(struct printk_ringbuffer *, prb);
KLOG_VAR(struct printk_ringbuffer, printk_rb_static);
#else
struct printk_log {
	u64 ts_nsec;
	u16 len;
	u16 text_len;
	u16 dict_len;
	u8 facility;
	u8 flags : 5;
	u8 level : 3;
};
struct printk_log *printk_log_used;

KLOG_VAR(char *, log_buf);
KLOG_VAR(u32, log_buf_len);
KLOG_VAR(u32, log_first_idx);
KLOG_VAR(u32, log_next_idx);
KLOG_VAR(u64, log_first_seq);
#endif

/* Only so that the linker has an entry point. */
void _start(void)
{
}
