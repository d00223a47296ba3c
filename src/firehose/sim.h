// The simulated Firehose device: its record and the digest-table checks
// behind its write operation.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vorn.h"

struct vip_table_generator;

#define SIM_VIP_MAX_HASHES 8213
#define SIM_VIP_HASH_SIZE 32

enum sim_state : uint32_t {
	SIM_STATE_XML = 0,
	SIM_STATE_RAW_IN = 1,
	SIM_STATE_RAW_OUT = 2,
};

struct sim_response {
	char *data;
	size_t len;
	sim_response *next;
};

struct vorn_device_sim : vorn_device {
	vip_table_generator *vip_gen = nullptr;
	bool create_digests = false;
	sim_response *resp_head = nullptr;
	sim_response *resp_tail = nullptr;
	sim_state state = SIM_STATE_XML;
	size_t raw_remaining = 0;
	bool closed = false;

	uint8_t vip_hashes[SIM_VIP_MAX_HASHES][SIM_VIP_HASH_SIZE] = {};
	size_t vip_hash_count = 0;
	size_t vip_hash_idx = 0;
	uint8_t vip_chain_hash[SIM_VIP_HASH_SIZE] = {};
	bool vip_has_chain_hash = false;

	vorn_device_sim() = default;
	// Responses nobody read are released with the record.
	~vorn_device_sim() override;

	int open(const char *serial) override;
	int read(void *buf, size_t len, unsigned timeout_ms) override;
	int write(const void *buf, size_t len, unsigned timeout_ms) override;
	void close() override;
	void set_out_chunk_size(long size) override;
};

// Length of the signed (mbn) table header that must precede the image.
#define SIM_MBN_HEADER_MIN 40

const uint8_t *sim_vip_signed_payload(const uint8_t *buf, size_t len, size_t *payload_len);
void sim_vip_recv_table(vorn_device_sim *sim, const uint8_t *buf, size_t len, bool is_signed);
bool sim_set_digest_generation(bool create_digests, vorn_device *dev, vip_table_generator *gen);
vip_table_generator *sim_get_vip_generator(vorn_device *dev);

void sim_vip_check_chunk(vorn_device_sim *sim, const uint8_t *buf, size_t len);
