// VIP (digest-table) transfer state carried by every device record.
#pragma once
#include <cstddef>
#include <cstdint>

enum vip_state : uint32_t {
	VIP_DISABLED = 0,
	VIP_INIT = 1,
	VIP_SEND_NEXT_TABLE = 2,
	VIP_SEND_DATA = 3,
	VIP_MAX = 4,
};

struct vip_transfer_data {
	vip_state state;
	int32_t signed_table_fd;
	int32_t chained_fds[32];
	size_t chained_num;
	size_t chained_cur;
	size_t digests;
	size_t frames_sent;
	size_t frames_left;
	size_t chained_table_size;
	bool fh_parse_status;
	bool sending_table;
	bool programmer_requires_vip;
};
